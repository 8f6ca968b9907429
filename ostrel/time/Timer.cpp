#include "ostrel/time/Timer.hpp"

#include <chrono>
#include <cmath>

#include "ostrel/base/Log.hpp"

namespace ostrel {

// Shared with the pending wait, so that destroying the Timer (even from inside its own callback)
// never leaves the handler with a dangling object.
struct Timer::State {
  explicit State(Executor ex) : timer(ex) {}
  asio::steady_timer timer;
  std::function<void()> callback;
  bool fired = false;
  bool cancelled = false;
};

Timer::Timer(Executor ex, double timeoutSeconds, std::function<void()> callback)
    : state_(std::make_shared<State>(ex)) {
  // Negative or NaN delays fire at once; absurd ones are capped well inside the clock's range.
  double secs = timeoutSeconds > 0 ? std::min(timeoutSeconds, 1e9) : 0.0;
  state_->callback = std::move(callback);
  state_->timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(secs)));
  state_->timer.async_wait([s = state_](const boost::system::error_code& ec) {
    if (ec || s->cancelled) return;
    s->fired = true;
    auto cb = std::move(s->callback);
    try {
      if (cb) cb();
    } catch (...) {
      log(describeException(std::current_exception(), "timer callback"));
    }
  });
}

Timer::~Timer() {
  cancel();
}

void Timer::cancel() {
  if (state_->fired || state_->cancelled) return;
  state_->cancelled = true;
  state_->timer.cancel();
}

bool Timer::fired() const {
  return state_->fired;
}
bool Timer::cancelled() const {
  return state_->cancelled;
}

}  // namespace ostrel
