// When a silent hat is asked whether it is alive, when it is given up on, and how long the
// watchdog is fed meanwhile.
#include <gtest/gtest.h>

#include <sstream>

#include "ostrel/gateway/HatLiveness.hpp"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using Clock = HatLiveness::Clock;

// "t:x" at t seconds from the start: "h" hears a byte; "-", "A", "G" poll and expect nothing, a
// question, giving up; "w" and "x" expect the silence within the watchdog's allowance or not.
struct Case {
  const char* name;
  std::chrono::seconds period;
  const char* script;
};
class LivenessTiming : public ::testing::TestWithParam<Case> {};

TEST_P(LivenessTiming, Script) {
  HatLiveness l(Clock::time_point{});
  l.setPeriod(GetParam().period);
  std::istringstream script(GetParam().script);
  for (std::string step; script >> step;) {
    Clock::time_point t{std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::stod(step)))};
    char x = step.back();
    if (x == 'h') {
      l.heard(t);
    } else if (x == 'w' || x == 'x') {
      EXPECT_EQ(l.withinAllowance(t), x == 'w') << step;
    } else {
      auto a = l.poll(t);
      EXPECT_EQ(a == HatLiveness::Action::Ask      ? 'A'
                : a == HatLiveness::Action::GiveUp ? 'G'
                                                   : '-',
                x)
          << step;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LivenessTiming,
    ::testing::Values(
        // 5 minutes of silence, then two questions 10 s apart; the watchdog is fed for those
        // and 5 s more for the bring-up.
        Case{"Default", 300s, "299.9:- 300:A 305:- 310:A 319.9:- 320:G 324.9:w 325:x"},
        // Any byte answers: the count and the period start again.
        Case{"Answered", 300s, "300:A 301:h 600:- 601:A 611:A 612:h 625:- 936:w"},
        // A short period (tests) still gives each answer a second; late polls still ask twice.
        Case{"ShortPeriod", 2s, "2:A 2.9:- 3:A 3.9:- 4:G"},
        Case{"LatePolls", 60s, "10:h 500:A 5:h 900:A 1300:G"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel
