#pragma once
// Whether the hat still talks. A hung hat sends nothing and answers nothing, which looks just like
// a quiet radio network: a hat that can be asked (protocol version 2 and later: the clock read)
// is asked once it has been silent for a while, and brought up again when two questions in a row
// go unanswered. A version-1 hat cannot be asked; its silence is only reported.
#include <chrono>

namespace ostrel {

class HatLiveness {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Action { None, Ask, GiveUp };
  static constexpr int QUESTIONS = 2;
  static constexpr std::chrono::seconds DEFAULT_PERIOD{300};

  explicit HatLiveness(Clock::time_point start = Clock::now()) : lastHeard_(start) {}

  // Silence that leads to the first question; set at every start from the configuration.
  void setPeriod(std::chrono::seconds period) { period_ = period; }
  std::chrono::seconds period() const { return period_; }
  // How long each question is given: the hat answers at once, but its question may wait behind
  // other transmit jobs.
  Clock::duration answerWait() const;

  // A byte came from the hat at `t`; earlier times than the last one change nothing.
  void heard(Clock::time_point t);
  // What to do now about a hat that can be asked; called about once a second.
  Action poll(Clock::time_point now);
  Clock::duration silentFor(Clock::time_point now) const { return now - lastHeard_; }
  int unanswered() const { return asked_; }
  // Silence the questions account for. Beyond it the receive loop stops marking progress, so that
  // the watchdog ends a gateway whose questions somehow never settle the matter.
  bool withinAllowance(Clock::time_point now) const;

 private:
  std::chrono::seconds period_ = DEFAULT_PERIOD;
  Clock::time_point lastHeard_;
  Clock::time_point askedAt_{};
  int asked_ = 0;
};

}  // namespace ostrel
