#include "ostrel/time/ClockBeacon.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Tasks.hpp"

using namespace ostrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct FakeTarget : ClockTarget {
  std::vector<std::string> calls;
  void scheduleTx(std::function<void()> job) override {
    calls.push_back("scheduleTx");
    job();
  }
  void txDate() override { calls.push_back("txDate"); }
  void rxDate() override { calls.push_back("rxDate"); }
};

// Fake timedatectl and sudo first on PATH. Each records its arguments (one [..] per
// argument) and then sleeps, prints and exits as the files <kind>.sleep/.out/.err/.rc say, where
// kind is the program name or, for sudo, ntpoff/ntpon/settime.
constexpr const char* kScript = R"SH(#!/bin/sh
D='{dir}'
{{ printf '%s' '{name}'; for a in "$@"; do printf ' [%s]' "$a"; done; echo; }} >> "$D/calls"
k={name}
case "$*" in *"set-ntp false"*) k=ntpoff;; *"set-ntp true"*) k=ntpon;; *set-time*) k=settime;; esac
if [ -f "$D/$k.sleep" ]; then sleep "$(cat "$D/$k.sleep")"; fi
if [ -f "$D/$k.out" ]; then cat "$D/$k.out"; fi
if [ -f "$D/$k.err" ]; then cat "$D/$k.err" >&2; fi
if [ -f "$D/$k.rc" ]; then exit "$(cat "$D/$k.rc")"; fi
exit 0
)SH";

class ClockBeaconTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("ostrel-clock-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* name : {"timedatectl", "sudo"}) {
      auto p = dir / name;
      std::ofstream(p) << fmt::format(fmt::runtime(kScript), fmt::arg("dir", dir.string()),
                                      fmt::arg("name", name));
      fs::permissions(p, fs::perms::owner_all);
    }
    const char* path = std::getenv("PATH");
    oldPath_ = path ? path : "/usr/bin:/bin";
    ::setenv("PATH", (dir.string() + ":" + oldPath_).c_str(), 1);
    const char* tz = std::getenv("TZ");
    if (tz) oldTz_ = tz;
    setTz("UTC0");
    ClockBeacon::setNtpOwed(false);
    ClockBeacon::restoreRetryPause() = 100ms;
    setLogSink([this](std::string_view l) {
      lines.emplace_back(l);
      lineTimes.push_back(Clock::now());
    });
  }
  void TearDown() override {
    // End every task of this loop while it still exists.
    bool done = false;
    asio::co_spawn(ctx, TaskRegistry::instance().cancelAll(200ms),
                   [&](std::exception_ptr) { done = true; });
    runUntil([&] { return done; }, 2s);
    setLogSink({});
    ::setenv("PATH", oldPath_.c_str(), 1);
    if (oldTz_)
      ::setenv("TZ", oldTz_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
    fs::remove_all(dir);
  }

  static void setTz(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  void put(const std::string& name, const std::string& content) {
    std::ofstream(dir / name) << content;
  }
  std::vector<std::string> calls() const {
    std::ifstream f(dir / "calls");
    std::vector<std::string> v;
    for (std::string l; std::getline(f, l);) v.push_back(l);
    return v;
  }
  std::size_t count(std::string_view prefix) const {
    std::size_t n = 0;
    for (auto& l : lines) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  bool runUntil(const std::function<bool()>& pred, Clock::duration limit) {
    auto end = Clock::now() + limit;
    while (!pred()) {
      if (Clock::now() > end) return false;
      if (ctx.stopped()) ctx.restart();
      ctx.run_for(5ms);
    }
    return true;
  }
  void runFor(Clock::duration d) {
    runUntil([] { return false; }, d);
  }
  // Counts 20 ms ticks: proof that the loop is free while commands and pauses run.
  void startTicker() {
    ticker_.expires_after(20ms);
    ticker_.async_wait([this](auto ec) {
      if (ec) return;
      ++ticks;
      startTicker();
    });
  }

  asio::io_context ctx;
  FakeTarget target;
  fs::path dir;
  std::vector<std::string> lines;
  std::vector<Clock::time_point> lineTimes;
  int ticks = 0;

 private:
  asio::steady_timer ticker_{ctx};
  std::string oldPath_;
  std::optional<std::string> oldTz_;
};

const std::string kNotSynced = "NTP=yes\nNTPSynchronized=no\nTimezone=UTC\n";
const std::string kSynced = "Timezone=Europe/Berlin\nNTP = yes \nNTPSynchronized=yes\n";

UtcTime utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms) {
  using namespace std::chrono;
  return sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

}  // namespace

TEST_F(ClockBeaconTest, IntervalsAreClampedAndZeroDisablesEverything) {
  ClockBeacon b(ctx.get_executor(), target, -5, 0, -3);
  EXPECT_EQ(b.syncInterval, 0);
  EXPECT_EQ(b.ntpCheckIntervalMin, 1);
  EXPECT_EQ(b.ntpCheckIntervalMax, 1);
  EXPECT_EQ(b.ntpCheckInterval, 1);
  b.sync();
  runFor(300ms);
  EXPECT_TRUE(calls().empty());
  EXPECT_TRUE(target.calls.empty());
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(b.syncTimer, nullptr);
  EXPECT_EQ(b.ntpCheckTimer, nullptr);
}

TEST_F(ClockBeaconTest, UnsyncedHostAsksHatThenPollsUntilNetworkTime) {
  put("timedatectl.out", kNotSynced);
  ClockBeacon b(ctx.get_executor(), target, 100, 1, 2);
  auto start = Clock::now();
  b.sync();
  ASSERT_TRUE(runUntil([&] { return !target.calls.empty(); }, 3s));
  EXPECT_EQ(calls(), std::vector<std::string>{"timedatectl [show]"});
  EXPECT_EQ(lines, std::vector<std::string>{"NTP synchronized: False"});
  EXPECT_TRUE(b.osNTPEnabled);
  EXPECT_FALSE(b.osNTPInSync);
  EXPECT_FALSE(b.synchronized);
  EXPECT_EQ(target.calls, (std::vector<std::string>{"scheduleTx", "rxDate"}));
  EXPECT_EQ(b.numRxSyncs, 1);
  EXPECT_NE(b.syncTimer, nullptr);
  ASSERT_NE(b.ntpCheckTimer, nullptr);
  EXPECT_EQ(b.ntpCheckInterval, 2);

  // First poll after 1 s, still unsynchronised: next one after 2 s (the maximum).
  ASSERT_TRUE(runUntil([&] { return lines.size() == 2; }, 3s));
  EXPECT_EQ(b.ntpCheckInterval, 2);
  put("timedatectl.out", kSynced);
  // That poll finds network time and pushes it to the hat without a second status read.
  ASSERT_TRUE(runUntil([&] { return target.calls.size() == 4; }, 4s));
  EXPECT_EQ(target.calls[3], "txDate");
  EXPECT_EQ(b.numTxSyncs, 1);
  EXPECT_EQ(calls().size(), 3u);
  EXPECT_EQ(lines.back(), "NTP synchronized: True");
  EXPECT_TRUE(b.ntpCheckTimer->fired());  // no new poll armed
  EXPECT_EQ(b.ntpCheckInterval, 2);
  ASSERT_EQ(lineTimes.size(), 3u);
  auto gap1 = lineTimes[1] - lineTimes[0], gap2 = lineTimes[2] - lineTimes[1];
  EXPECT_GE(gap1, 1s);
  EXPECT_LT(gap1, 1700ms);
  EXPECT_GE(gap2, 2s);
  EXPECT_LT(gap2, 2700ms);
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(ClockBeaconTest, PollIntervalDoublesUpToMaximum) {
  put("timedatectl.out", kNotSynced);
  ClockBeacon b(ctx.get_executor(), target, 900, 5, 300);
  std::vector<long long> seen;
  for (int i = 1; i <= 8; ++i) {
    b.ntpCheck();
    ASSERT_TRUE(runUntil([&] { return lines.size() == static_cast<std::size_t>(i); }, 3s));
    seen.push_back(b.ntpCheckInterval);
  }
  EXPECT_EQ(seen, (std::vector<long long>{10, 20, 40, 80, 160, 300, 300, 300}));
  EXPECT_TRUE(target.calls.empty());  // polls alone never talk to the hat

  ClockBeacon low(ctx.get_executor(), target, 900, 10, 4);
  EXPECT_EQ(low.ntpCheckInterval, 10);
  low.ntpCheck();
  ASSERT_TRUE(runUntil([&] { return lines.size() == 9; }, 3s));
  EXPECT_EQ(low.ntpCheckInterval, 4);
}

TEST_F(ClockBeaconTest, SyncedHostPushesTimeDirectlyAndNeverPolls) {
  put("timedatectl.out", kSynced);
  ClockBeacon b(ctx.get_executor(), target, 100, 1, 4);
  b.sync(false);
  ASSERT_TRUE(runUntil([&] { return !target.calls.empty(); }, 3s));
  EXPECT_EQ(target.calls, std::vector<std::string>{"txDate"});
  EXPECT_TRUE(b.synchronized);
  EXPECT_EQ(b.numTxSyncs, 1);
  EXPECT_EQ(b.ntpCheckTimer, nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"NTP synchronized: True"});
  // Without a poll ever armed, the next synchronisation checks through a poll again.
  b.sync();
  ASSERT_TRUE(runUntil([&] { return target.calls.size() == 3; }, 3s));
  EXPECT_EQ(calls().size(), 2u);
  EXPECT_EQ(target.calls[1], "scheduleTx");
}

TEST_F(ClockBeaconTest, FailedStatusCommandCountsAsUnsynchronised) {
  put("timedatectl.out", kSynced);
  put("timedatectl.rc", "1");
  ClockBeacon b(ctx.get_executor(), target, 100, 1, 4);
  b.sync();
  ASSERT_TRUE(runUntil([&] { return !target.calls.empty(); }, 3s));
  EXPECT_FALSE(b.osNTPEnabled);
  EXPECT_FALSE(b.osNTPInSync);
  EXPECT_FALSE(b.synchronized);
  EXPECT_EQ(target.calls.back(), "rxDate");
  EXPECT_EQ(lines, std::vector<std::string>{"NTP synchronized: False"});
}

// A status read that fails in any way costs one log line: the hat is asked for its time, the poll
// and the next synchronisation are armed, and that one reads the status again.
TEST_F(ClockBeaconTest, FailedStatusReadIsLoggedAndTheScheduleGoesOn) {
  struct Case {
    const char* name;
    const char* file;
    const char* content;
    const char* logged;
  };
  for (const Case& c :
       {Case{"malformed", "timedatectl.out", "NTP=yes\ngarbage\n", "line without '=': 'garbage'"},
        Case{"hanging", "timedatectl.sleep", "20",
             "command 'timedatectl show' timed out after 0.3 s"}}) {
    SCOPED_TRACE(c.name);
    fs::remove(dir / "timedatectl.out");
    put(c.file, c.content);
    lines.clear();
    target.calls.clear();
    ClockBeacon b(ctx.get_executor(), target, 2, 5, 10);
    b.statusTimeout = 300ms;
    auto start = Clock::now();
    b.sync();
    ASSERT_TRUE(runUntil([&] { return !target.calls.empty(); }, 3s));
    EXPECT_LT(Clock::now() - start, 1500ms);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Could not read the time synchronization status: ", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[0].find(c.logged), std::string::npos) << lines[0];
    EXPECT_TRUE(b.statusUnknown());
    EXPECT_EQ(target.calls.back(), "rxDate");
    EXPECT_NE(b.syncTimer, nullptr);
    EXPECT_NE(b.ntpCheckTimer, nullptr);

    // The command works again: the next synchronisation, 2 s on, reads it and pushes the time.
    fs::remove(dir / c.file);
    put("timedatectl.out", kSynced);
    ASSERT_TRUE(runUntil([&] { return target.calls.back() == "txDate"; }, 4s));
    EXPECT_FALSE(b.statusUnknown());
    EXPECT_EQ(lines.back(), "NTP synchronized: True");
    b.shutdown();
    fs::remove(dir / "timedatectl.out");
  }
}

// The bring-up waits for the first status read only for a while: a quick one queues its clock
// command before the caller goes on, a slow one queues it later on its own.
TEST_F(ClockBeaconTest, SyncNowHoldsTheCallerOnlyForABoundedTime) {
  put("timedatectl.out", kSynced);
  for (bool slow : {false, true}) {
    SCOPED_TRACE(slow ? "slow" : "quick");
    target.calls.clear();
    lines.clear();
    if (slow) put("timedatectl.sleep", "1");
    ClockBeacon b(ctx.get_executor(), target, 100, 1, 4);
    b.firstSyncWait = 300ms;
    std::size_t queuedAtReturn = 99;
    bool returned = false;
    asio::co_spawn(ctx, b.syncNow(true), [&](std::exception_ptr e) {
      EXPECT_FALSE(e);
      queuedAtReturn = target.calls.size();
      returned = true;
    });
    ASSERT_TRUE(runUntil([&] { return returned; }, 3s));
    if (slow) {
      EXPECT_EQ(queuedAtReturn, 0u);
      EXPECT_EQ(lines, std::vector<std::string>{"Time synchronization status not read within 300 "
                                                "ms; going on without waiting for it"});
    } else {
      EXPECT_EQ(queuedAtReturn, 2u);
    }
    ASSERT_TRUE(runUntil([&] { return target.calls.size() == 2; }, 3s));
    EXPECT_EQ(target.calls.back(), "txDate");
    EXPECT_NE(b.syncTimer, nullptr);
    b.shutdown();
  }
}

TEST_F(ClockBeaconTest, SetSystemTimeTogglesNtpAroundPauseWithoutBlocking) {
  setTz("XXX-2");  // two hours east of UTC
  ClockBeacon b(ctx.get_executor(), target);
  b.osNTPEnabled = true;
  b.ntpPause = 400ms;
  startTicker();
  auto start = Clock::now();
  b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
  EXPECT_TRUE(b.settingSystemTime());
  b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));  // ignored while the first runs
  ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 5s));
  EXPECT_GE(Clock::now() - start, 400ms);
  EXPECT_GE(ticks, 15);
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "sudo [timedatectl] [set-ntp] [false]",
                         "sudo [timedatectl] [set-time] [2024-03-01 15:05:09.650]",
                         "sudo [timedatectl] [set-ntp] [true]",
                     }));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Not setting system time because a change of it is already in progress.",
                       "Disabling OS: automatic time synchronization.",
                       "System time has been set successfully.",
                       "Enabling OS: automatic time synchronization.",
                   }));
  EXPECT_TRUE(b.osNTPEnabled);
}

TEST_F(ClockBeaconTest, FailedNtpOffSkipsPauseAndCorrection) {
  put("ntpoff.rc", "1");
  ClockBeacon b(ctx.get_executor(), target);
  b.osNTPEnabled = true;
  b.ntpPause = 3s;
  auto start = Clock::now();
  b.setSystemTime(utc(2024, 12, 31, 23, 59, 59, 999) + std::chrono::microseconds(900));
  ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 5s));
  EXPECT_LT(Clock::now() - start, 2s);
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "sudo [timedatectl] [set-ntp] [false]",
                         "sudo [timedatectl] [set-time] [2024-12-31 23:59:59.999]",
                         "sudo [timedatectl] [set-ntp] [true]",
                     }));
  EXPECT_TRUE(b.osNTPEnabled);
}

TEST_F(ClockBeaconTest, SetSystemTimeRefusalsAndFailureOutput) {
  ClockBeacon b(ctx.get_executor(), target);
  b.synchronized = true;
  b.setSystemTime(utc(2024, 3, 1, 0, 0, 0, 0));
  b.synchronized = false;
  b.setSystemTime(utc(2022, 12, 31, 23, 59, 59, 999));
  EXPECT_FALSE(b.settingSystemTime());

  put("settime.rc", "1");
  put("settime.out", "out\n");
  put("settime.err", "Failed to set time: Access denied\n");
  b.setSystemTime(utc(2023, 1, 1, 0, 0, 0, 0));
  ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 5s));
  EXPECT_EQ(calls(),
            std::vector<std::string>{"sudo [timedatectl] [set-time] [2023-01-01 00:00:00.000]"});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Not setting system time because it is synchronized to NTP",
                       "Not setting system time because given date is before 2023.",
                       // One line: the log escapes the command's line feeds but its last.
                       "Could not set system time: out\\nFailed to set time: Access denied\n",
                   }));
  EXPECT_FALSE(b.osNTPEnabled);
}

TEST_F(ClockBeaconTest, HangingSetTimeIsKilledAndNtpComesBackOn) {
  put("settime.sleep", "20");
  ClockBeacon b(ctx.get_executor(), target);
  b.osNTPEnabled = true;
  b.ntpPause = 0ms;
  b.setTimeTimeout = 500ms;
  auto start = Clock::now();
  b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
  ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 6s));
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 500ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_EQ(calls().size(), 3u);
  EXPECT_EQ(calls().back(), "sudo [timedatectl] [set-ntp] [true]");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[1].find("Could not set system time: command 'sudo timedatectl set-time"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[1].find("timed out after 0.5 s"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "Enabling OS: automatic time synchronization.");
  EXPECT_TRUE(b.osNTPEnabled);
  EXPECT_FALSE(ClockBeacon::ntpOwed());
}

// "set-ntp false" that times out: the real state decides whether the pause and correction apply,
// and automatic synchronisation is switched on again in either case (a slow timedated may still
// carry out the request after the command was killed).
TEST_F(ClockBeaconTest, NtpOffTimingOutReadsTheStateAndSwitchesBackOn) {
  struct Case {
    const char* state;
    const char* setTime;
  };
  for (const Case& c : {Case{"NTP=no\n", "[2024-03-01 13:05:09.650]"},
                        Case{"NTP=yes\n", "[2024-03-01 13:05:09.250]"}}) {
    SCOPED_TRACE(c.state);
    fs::remove(dir / "calls");
    lines.clear();
    put("ntpoff.sleep", "20");
    put("timedatectl.out", c.state);
    ClockBeacon b(ctx.get_executor(), target);
    b.osNTPEnabled = true;
    b.ntpPause = 400ms;
    b.ntpSwitchTimeout = 300ms;
    b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
    ASSERT_TRUE(runUntil([&] { return calls().size() == 1; }, 3s));
    EXPECT_TRUE(ClockBeacon::ntpOwed());  // while the request is pending
    ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 5s));
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "sudo [timedatectl] [set-ntp] [false]",
                           "timedatectl [show]",
                           std::string("sudo [timedatectl] [set-time] ") + c.setTime,
                           "sudo [timedatectl] [set-ntp] [true]",
                       }));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[1].find("Could not switch off automatic time synchronization: command "
                            "'sudo timedatectl set-ntp false' timed out after 0.3 s"),
              std::string::npos)
        << lines[1];
    EXPECT_EQ(lines[3], "Enabling OS: automatic time synchronization.");
    EXPECT_TRUE(b.osNTPEnabled);
    EXPECT_FALSE(ClockBeacon::ntpOwed());
  }
}

// Switching back on is retried until it holds; a status read that shows it on settles it too.
TEST_F(ClockBeaconTest, SwitchingNtpBackOnIsRetried) {
  put("ntpon.rc", "1");
  put("timedatectl.out", "NTP=no\n");
  ClockBeacon b(ctx.get_executor(), target);
  b.osNTPEnabled = true;
  b.ntpPause = 0ms;
  b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
  ASSERT_TRUE(runUntil([&] { return count("Could not switch automatic") >= 2; }, 5s));
  EXPECT_TRUE(ClockBeacon::ntpOwed());
  EXPECT_FALSE(b.osNTPEnabled);
  EXPECT_EQ(lines.back(),
            "Could not switch automatic time synchronization back on: exit status 1; trying "
            "again in 0.2 s");
  fs::remove(dir / "ntpon.rc");
  ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 5s));
  EXPECT_FALSE(ClockBeacon::ntpOwed());
  EXPECT_TRUE(b.osNTPEnabled);

  // Failing, but the state read shows it on: nothing is owed any more.
  ClockBeacon::setNtpOwed(true);
  put("ntpon.rc", "1");
  put("timedatectl.out", "NTP=yes\n");
  bool owed = true;
  bool done = false;
  asio::co_spawn(ctx, ClockBeacon::restoreNtp(&ostrel::runCommand, 1s, 1s, 1),
                 [&](std::exception_ptr e, bool r) {
                   EXPECT_FALSE(e);
                   owed = r;
                   done = true;
                 });
  ASSERT_TRUE(runUntil([&] { return done; }, 5s));
  EXPECT_FALSE(owed);
  EXPECT_FALSE(ClockBeacon::ntpOwed());
}

// A change of the clock cut short (the daemon stops meanwhile) leaves the debt for the exit.
TEST_F(ClockBeaconTest, ClockChangeCutShortLeavesNtpOwed) {
  put("settime.sleep", "20");
  {
    ClockBeacon b(ctx.get_executor(), target);
    b.osNTPEnabled = true;
    b.ntpPause = 0ms;
    b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
    ASSERT_TRUE(runUntil([&] { return calls().size() == 2; }, 3s));
  }
  runFor(100ms);
  EXPECT_TRUE(ClockBeacon::ntpOwed());
  bool done = false;
  asio::co_spawn(ctx, ClockBeacon::restoreNtp(&ostrel::runCommand, 1s, 1s, 1),
                 [&](std::exception_ptr, bool) { done = true; });
  ASSERT_TRUE(runUntil([&] { return done; }, 3s));
  EXPECT_EQ(calls().back(), "sudo [timedatectl] [set-ntp] [true]");
  EXPECT_FALSE(ClockBeacon::ntpOwed());
}

// After a failed status read the hat's time is taken only once a fresh read says the host is
// not synchronised.
TEST_F(ClockBeaconTest, UnknownStatusIsReadAgainBeforeSettingTheClock) {
  struct Case {
    std::string status;
    const char* outcome;
    std::size_t commands;
  };
  for (const Case& c :
       {Case{"garbage\n", "Not setting system time because its synchronization status is unknown.",
             1},
        Case{kSynced, "Not setting system time because it is synchronized to NTP", 1},
        Case{"NTP=no\nNTPSynchronized=no\n", "System time has been set successfully.", 2}}) {
    SCOPED_TRACE(c.status);
    put("timedatectl.out", "garbage\n");
    ClockBeacon b(ctx.get_executor(), target, 100, 100, 100);
    b.sync();
    ASSERT_TRUE(runUntil([&] { return b.statusUnknown(); }, 3s));
    b.shutdown();
    put("timedatectl.out", c.status);
    fs::remove(dir / "calls");
    b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
    ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 3s));
    auto seen = calls();
    ASSERT_EQ(seen.size(), c.commands);
    EXPECT_EQ(seen[0], "timedatectl [show]");
    EXPECT_EQ(lines.back(), c.outcome);
  }
}

TEST_F(ClockBeaconTest, ShutdownStopsSyncingButNotPolling) {
  put("timedatectl.out", kNotSynced);
  ClockBeacon b(ctx.get_executor(), target, 1, 1, 1);
  b.sync();
  ASSERT_TRUE(runUntil([&] { return target.calls.size() == 2; }, 3s));
  b.shutdown();
  EXPECT_EQ(b.syncTimer, nullptr);
  runFor(1300ms);
  EXPECT_EQ(target.calls.size(), 2u);
  EXPECT_EQ(count("NTP synchronized"), 2u);  // the poll went on

  // A synchronisation still reading the status when shut down arms nothing.
  put("timedatectl.sleep", "0.3");
  b.sync();
  runFor(100ms);
  b.shutdown();
  runFor(600ms);
  EXPECT_EQ(target.calls.size(), 2u);
  EXPECT_EQ(b.syncTimer, nullptr);
}

TEST_F(ClockBeaconTest, DestroyedWhileReadingStatus) {
  put("timedatectl.out", kSynced);
  put("timedatectl.sleep", "0.3");
  {
    ClockBeacon b(ctx.get_executor(), target, 100, 1, 4);
    b.sync();
    runFor(100ms);
  }
  runFor(600ms);
  EXPECT_TRUE(target.calls.empty());
  EXPECT_TRUE(lines.empty()) << lines.front();
}
