#include "ostrel/gateway/Progress.hpp"

#include <gtest/gtest.h>

using namespace ostrel;
using namespace std::chrono_literals;

namespace {

const Progress::Clock::time_point t0{1000h};

// Each stage has its own limit of time without a sign of progress.
TEST(Progress, StuckOnlyAfterTheStagesLimitWithoutAMark) {
  struct Case {
    Stage stage;
    std::chrono::seconds quiet;
    bool stuck;
  };
  for (const Case& c :
       {Case{Stage::Running, 9s, false}, Case{Stage::Running, 10s, true},
        Case{Stage::WaitingForDevice, 11s, true}, Case{Stage::WaitingForHello, 59s, false},
        Case{Stage::WaitingForHello, 60s, true}, Case{Stage::SettingUp, 61s, true},
        Case{Stage::Starting, 30s, false}, Case{Stage::RetryPause, 61s, false},
        Case{Stage::RetryPause, 75s, true}}) {
    SCOPED_TRACE(std::string(Progress::describe(c.stage)) + " quiet " +
                 std::to_string(c.quiet.count()) + " s");
    Progress p;
    p.mark(c.stage, t0);
    EXPECT_EQ(p.stuck(t0 + c.quiet), c.stuck);
  }
}

TEST(Progress, MarksKeepAStageAliveAndANewStageStartsItsClock) {
  Progress p;
  p.mark(Stage::Running, t0);
  p.mark(Stage::Running, t0 + 8s);
  EXPECT_FALSE(p.stuck(t0 + 15s));
  EXPECT_TRUE(p.stuck(t0 + 18s));
  EXPECT_EQ(p.since(), t0);

  p.mark(Stage::SettingUp, t0 + 20s);
  EXPECT_EQ(p.since(), t0 + 20s);
  EXPECT_EQ(p.statusText(t0 + 30s), "Setting up encryption with the hat for 10 s");
  EXPECT_EQ(p.statusText(t0 + 81s), "Stuck setting up encryption with the hat for 61 s");
}

}  // namespace
