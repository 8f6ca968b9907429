#pragma once
// Bounded log volume for lines that outside input can repeat without end (noise on the serial
// line): the first lines of each second go out as they are, the rest are counted and reported in
// one summary line per second while the burst lasts.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

class LogThrottle {
 public:
  explicit LogThrottle(Executor ex, std::size_t perSecond = 20);
  ~LogThrottle();
  LogThrottle(const LogThrottle&) = delete;
  LogThrottle& operator=(const LogThrottle&) = delete;

  // Event-loop thread only.
  void log(std::string_view line);
  std::size_t leftOutTotal() const { return leftOutTotal_; }

 private:
  using Clock = std::chrono::steady_clock;
  void endWindow();

  asio::steady_timer timer_;
  std::size_t perSecond_;
  Clock::time_point windowStart_{};
  std::size_t inWindow_ = 0;
  std::size_t leftOut_ = 0;
  std::size_t leftOutTotal_ = 0;
  bool timerArmed_ = false;
  unsigned generation_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace ostrel
