#pragma once
// The daemon's one log: a line is written whole, under a lock, and flushed at once.
//
// Much of what is logged comes from outside (topics, payloads, the hat's own log text), so the
// log guards itself rather than trusting each caller: log() escapes control characters and
// malformed UTF-8 (no forged lines, no terminal escapes, no binary blobs in the journal) and cuts
// a line at MAX_LOG_LINE bytes; logf() also shortens every text argument over MAX_LOG_FIELD
// bytes, saying how long it was.
#include <fmt/format.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace ostrel {

inline constexpr std::size_t MAX_LOG_LINE = 4096;
inline constexpr std::size_t MAX_LOG_FIELD = 200;

void log(std::string_view line);

// The line as log() writes it: control characters and malformed UTF-8 escaped, cut at `limit`.
std::string logSafe(std::string_view line, std::size_t limit = MAX_LOG_LINE);
// `text` cut at `limit` bytes (on a character boundary) with its length, when it is longer.
std::string shortened(std::string_view text, std::size_t limit = MAX_LOG_FIELD);

// A short, quoted, escaped excerpt of outside text for an error message: enough to recognise
// the input, never enough to carry a forged line or a flood into the log.
std::string excerpt(std::string_view text, std::size_t limit = 32);

namespace detail {
template <typename T>
decltype(auto) logField(const T& v) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    std::string_view s(v);
    return s.size() > MAX_LOG_FIELD ? shortened(s) : std::string(s);
  } else {
    return (v);
  }
}
}  // namespace detail

template <typename... Args>
void logf(fmt::format_string<Args...> f, Args&&... args) {
  // Text arguments are held shortened; the others by reference.
  std::tuple<decltype(detail::logField(args))...> fields(detail::logField(args)...);
  std::apply(
      [&](const auto&... a) {
        log(fmt::vformat(fmt::string_view(f), fmt::make_format_args(a...)));
      },
      fields);
}

// Tests capture the log by installing a sink; an empty function restores standard output.
// The sink receives lines as they would be written.
using LogSink = std::function<void(std::string_view)>;
void setLogSink(LogSink sink);

// "<type>: <what> (in <where>)" for a caught exception.
std::string describeException(std::exception_ptr e, std::string_view where);

}  // namespace ostrel
