#pragma once
// Collects the daemon's log lines for the life of the object (thread-safe).
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/base/Log.hpp"

namespace ostrel::test {

struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    setLogSink([this](std::string_view l) {
      std::lock_guard lk(m);
      lines.emplace_back(l);
    });
  }
  ~LogCapture() { setLogSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<std::string> snapshot() {
    std::lock_guard lk(m);
    return lines;
  }

 private:
  std::mutex m;
};

}  // namespace ostrel::test
