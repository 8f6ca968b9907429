#pragma once
// The daemon's one log: a line is written whole, under a lock, and flushed at once.
#include <fmt/format.h>

#include <functional>
#include <string>
#include <string_view>

namespace ostrel {

void log(std::string_view line);

template <typename... Args>
void logf(fmt::format_string<Args...> f, Args&&... args) {
  log(fmt::format(f, std::forward<Args>(args)...));
}

// Tests capture the log by installing a sink; an empty function restores standard output.
using LogSink = std::function<void(std::string_view)>;
void setLogSink(LogSink sink);

// "<type>: <what> (in <where>)" for a caught exception.
std::string describeException(std::exception_ptr e, std::string_view where);

}  // namespace ostrel
