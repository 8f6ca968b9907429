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

#include "ostrel/io/Log.hpp"
#include "ostrel/io/Tasks.hpp"

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

// Fake timedatectl, ntpstat and sudo first on PATH. Each records its arguments (one [..] per
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
    for (const char* name : {"timedatectl", "ntpstat", "sudo"}) {
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

TEST_F(ClockBeaconTest, MalformedStatusEndsSyncWithoutArmingNext) {
  put("timedatectl.out", "NTP=yes\ngarbage\n");
  ClockBeacon b(ctx.get_executor(), target, 100, 1, 4);
  b.sync();
  ASSERT_TRUE(runUntil([&] { return !lines.empty(); }, 3s));
  runFor(50ms);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("line without '=': 'garbage'"), std::string::npos) << lines[0];
  EXPECT_EQ(b.syncTimer, nullptr);
  EXPECT_EQ(b.ntpCheckTimer, nullptr);
  EXPECT_TRUE(target.calls.empty());
}

TEST_F(ClockBeaconTest, HangingStatusCommandIsKilledAtOneSecond) {
  put("timedatectl.sleep", "20");
  ClockBeacon b(ctx.get_executor(), target, 100, 1, 4);
  startTicker();
  auto start = Clock::now();
  b.sync();
  ASSERT_TRUE(runUntil([&] { return !lines.empty(); }, 4s));
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 1s);
  EXPECT_LT(elapsed, 2s);
  EXPECT_GE(ticks, 30);
  EXPECT_NE(lines[0].find("command 'timedatectl show' timed out after 1 s"), std::string::npos)
      << lines[0];
  EXPECT_EQ(b.syncTimer, nullptr);
  EXPECT_TRUE(target.calls.empty());
}

TEST_F(ClockBeaconTest, ReadNtpStat) {
  ClockBeacon b(ctx.get_executor(), target);
  auto read = [&] {
    bool done = false;
    asio::co_spawn(ctx, b.readNTPStat(), [&](std::exception_ptr) { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; }, 3s));
  };
  read();
  EXPECT_TRUE(b.synchronized);
  put("ntpstat.rc", "2");
  read();
  EXPECT_FALSE(b.synchronized);
  EXPECT_EQ(lines, (std::vector<std::string>{"NTP synchronized: True", "NTP synchronized: False"}));
  EXPECT_EQ(calls(), (std::vector<std::string>{"ntpstat", "ntpstat"}));
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
                       "Could not set system time: out\nFailed to set time: Access denied\n",
                   }));
  EXPECT_FALSE(b.osNTPEnabled);
}

TEST_F(ClockBeaconTest, HangingSetTimeIsKilledAndNtpComesBackOn) {
  put("settime.sleep", "20");
  ClockBeacon b(ctx.get_executor(), target);
  b.osNTPEnabled = true;
  b.ntpPause = 0ms;
  auto start = Clock::now();
  b.setSystemTime(utc(2024, 3, 1, 13, 5, 9, 250));
  ASSERT_TRUE(runUntil([&] { return !b.settingSystemTime(); }, 6s));
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 2s);
  EXPECT_LT(elapsed, 3500ms);
  EXPECT_EQ(calls().size(), 3u);
  EXPECT_EQ(calls().back(), "sudo [timedatectl] [set-ntp] [true]");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], "Enabling OS: automatic time synchronization.");
  EXPECT_NE(lines[2].find("timed out after 2 s"), std::string::npos) << lines[2];
  EXPECT_TRUE(b.osNTPEnabled);
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
