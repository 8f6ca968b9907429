#include "ostrel/gateway/HatLiveness.hpp"

#include <algorithm>

namespace ostrel {

using namespace std::chrono_literals;

HatLiveness::Clock::duration HatLiveness::answerWait() const {
  // A quarter of the period, 1 to 10 s: short periods (tests) stay short.
  return std::clamp<Clock::duration>(period_ / 4, 1s, 10s);
}

void HatLiveness::heard(Clock::time_point t) {
  if (t <= lastHeard_) return;
  lastHeard_ = t;
  asked_ = 0;
}

HatLiveness::Action HatLiveness::poll(Clock::time_point now) {
  if (now - lastHeard_ < period_) return Action::None;
  if (asked_ > 0 && now - askedAt_ < answerWait()) return Action::None;
  if (asked_ >= QUESTIONS) return Action::GiveUp;
  ++asked_;
  askedAt_ = now;
  return Action::Ask;
}

bool HatLiveness::withinAllowance(Clock::time_point now) const {
  // The questions' own time, and a few seconds for the bring-up to take over.
  return now - lastHeard_ < period_ + QUESTIONS * answerWait() + 5s;
}

}  // namespace ostrel
