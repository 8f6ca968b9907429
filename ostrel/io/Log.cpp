#include "ostrel/io/Log.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <typeinfo>

namespace ostrel {

namespace {
std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
LogSink& sinkRef() {
  static LogSink s;
  return s;
}
}  // namespace

void setLogSink(LogSink sink) {
  std::lock_guard lk(logMutex());
  sinkRef() = std::move(sink);
}

void log(std::string_view line) {
  std::lock_guard lk(logMutex());
  if (sinkRef()) {
    sinkRef()(line);
    return;
  }
  std::string buf;
  buf.reserve(line.size() + 1);
  buf.append(line);
  buf.push_back('\n');
  const char* p = buf.data();
  std::size_t left = buf.size();
  while (left > 0) {
    ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

static std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                           std::free);
  return status == 0 && d ? std::string(d.get()) : std::string(name);
}

std::string describeException(std::exception_ptr e, std::string_view where) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return fmt::format("{}: {} (in {})", demangle(typeid(ex).name()), ex.what(), where);
  } catch (...) {
    return fmt::format("unknown error (in {})", where);
  }
}

}  // namespace ostrel
