#include "ostrel/time/Timer.hpp"
#include "tests/support/LogCapture.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ostrel/base/Log.hpp"

using namespace ostrel;
using namespace std::chrono_literals;

namespace {

using test::LogCapture;

}  // namespace

TEST(Timer, ZeroDelayFiresOnLaterTurnInOrder) {
  asio::io_context ctx;
  std::vector<std::string> calls;
  Timer late(ctx.get_executor(), 0.05, [&] { calls.push_back("late"); });
  Timer zero(ctx.get_executor(), 0, [&] { calls.push_back("zero"); });
  Timer negative(ctx.get_executor(), -3, [&] { calls.push_back("negative"); });
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(zero.fired());
  ctx.run_for(1s);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls.back(), "late");
  EXPECT_TRUE(zero.fired());
  EXPECT_TRUE(late.fired());
}

TEST(Timer, WaitsForItsDelay) {
  asio::io_context ctx;
  std::chrono::steady_clock::time_point firedAt;
  auto start = std::chrono::steady_clock::now();
  Timer t(ctx.get_executor(), 0.15, [&] { firedAt = std::chrono::steady_clock::now(); });
  ctx.run_for(2s);
  EXPECT_GE(firedAt - start, 150ms);
  EXPECT_LT(firedAt - start, 1s);
}

TEST(Timer, CancelBeforeAndAfterFiring) {
  asio::io_context ctx;
  int a = 0, b = 0;
  Timer ta(ctx.get_executor(), 0.02, [&] { ++a; });
  Timer tb(ctx.get_executor(), 0, [&] { ++b; });
  ta.cancel();
  ctx.run_for(200ms);
  EXPECT_EQ(a, 0);
  EXPECT_TRUE(ta.cancelled());
  EXPECT_FALSE(ta.fired());
  EXPECT_EQ(b, 1);
  tb.cancel();  // already fired: no effect
  EXPECT_TRUE(tb.fired());
  EXPECT_FALSE(tb.cancelled());
}

TEST(Timer, ThrowingCallbackIsLoggedAndOthersRun) {
  LogCapture cap;
  asio::io_context ctx;
  int later = 0;
  Timer bad(ctx.get_executor(), 0, [] { throw std::runtime_error("boom"); });
  Timer good(ctx.get_executor(), 0.01, [&] { ++later; });
  ctx.run_for(200ms);
  EXPECT_EQ(later, 1);
  ASSERT_EQ(cap.lines.size(), 1u);
  EXPECT_EQ(cap.lines[0], "std::runtime_error: boom (in timer callback)");
}

TEST(Timer, DestroyedWhilePendingOrFromItsOwnCallback) {
  asio::io_context ctx;
  int calls = 0;
  {
    Timer gone(ctx.get_executor(), 0, [&] { ++calls; });
  }
  // A callback that replaces the timer that is calling it, as a periodic job does.
  std::unique_ptr<Timer> self;
  int rounds = 0;
  std::function<void()> again = [&] {
    if (++rounds < 3)
      self = std::make_unique<Timer>(ctx.get_executor(), 0, again);
    else
      self.reset();
  };
  self = std::make_unique<Timer>(ctx.get_executor(), 0, again);
  ctx.run_for(200ms);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(rounds, 3);
  EXPECT_EQ(self, nullptr);
}
