#include "ostrel/base/LogThrottle.hpp"

#include "ostrel/base/Log.hpp"

namespace ostrel {

LogThrottle::LogThrottle(Executor ex, std::size_t perSecond) : timer_(ex), perSecond_(perSecond) {}

LogThrottle::~LogThrottle() {
  if (leftOut_ > 0) logf("Log flood: {} lines left out in the last second", leftOut_);
}

void LogThrottle::endWindow() {
  if (leftOut_ > 0) logf("Log flood: {} lines left out in the last second", leftOut_);
  leftOut_ = 0;
  inWindow_ = 0;
  windowStart_ = Clock::now();
}

void LogThrottle::log(std::string_view line) {
  auto now = Clock::now();
  if (now - windowStart_ >= std::chrono::seconds(1)) {
    if (timerArmed_) {
      // The summary is due; the timer has not run yet.
      timer_.cancel();
      timerArmed_ = false;
      ++generation_;
    }
    endWindow();
  }
  if (inWindow_ < perSecond_) {
    ++inWindow_;
    ostrel::log(line);
    return;
  }
  ++leftOut_;
  ++leftOutTotal_;
  if (timerArmed_) return;
  // The summary goes out when the second is over, also when the burst has stopped by then.
  timerArmed_ = true;
  timer_.expires_at(windowStart_ + std::chrono::seconds(1));
  timer_.async_wait(
      [this, gen = generation_, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec) {
        // Cancelled; the throttle gone (a wait that expired just before its owner's coroutine
        // ended still runs, with no error); or a handler queued when the window was closed.
        if (ec || !alive.lock() || gen != generation_) return;
        timerArmed_ = false;
        endWindow();
      });
}

}  // namespace ostrel
