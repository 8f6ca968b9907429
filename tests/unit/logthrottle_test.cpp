#include "ostrel/base/LogThrottle.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/LogCapture.hpp"

using namespace ostrel;
using namespace std::chrono_literals;

namespace {

std::size_t count(const std::vector<std::string>& lines, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
  return n;
}

TEST(LogThrottle, BurstKeepsItsFirstLinesAndSummarisesTheRestOncePerSecond) {
  test::LogCapture cap;
  asio::io_context ctx;
  LogThrottle t(ctx.get_executor(), 20);
  for (int i = 0; i < 1000; ++i) t.log("noise " + std::to_string(i));
  ASSERT_EQ(cap.lines.size(), 20u);
  EXPECT_EQ(cap.lines.front(), "noise 0");
  EXPECT_EQ(cap.lines.back(), "noise 19");
  // The summary comes when the second is over, also when nothing more is logged.
  ctx.run_for(1300ms);
  ASSERT_EQ(cap.lines.size(), 21u);
  EXPECT_EQ(cap.lines.back(), "Log flood: 980 lines left out in the last second");
  EXPECT_EQ(t.leftOutTotal(), 980u);
  // A new second lets lines through again.
  t.log("after");
  EXPECT_EQ(cap.lines.back(), "after");
}

TEST(LogThrottle, LongBurstGivesBoundedLinesPerSecond) {
  test::LogCapture cap;
  asio::io_context ctx;
  LogThrottle t(ctx.get_executor(), 20);
  auto end = std::chrono::steady_clock::now() + 2500ms;
  std::size_t sent = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 100; ++i, ++sent) t.log("x");
    ctx.restart();
    ctx.run_for(5ms);
  }
  ctx.restart();
  ctx.run_for(1100ms);
  std::size_t plain = count(cap.lines, "x");
  std::size_t summaries = count(cap.lines, "Log flood: ");
  EXPECT_LE(plain, 3u * 20u);
  EXPECT_GE(summaries, 2u);
  EXPECT_LE(summaries, 4u);
  // Every line is either shown or counted in a summary.
  std::size_t counted = 0;
  for (const auto& l : cap.lines)
    if (l.rfind("Log flood: ", 0) == 0) counted += std::stoul(l.substr(11));
  EXPECT_EQ(plain + counted, sent);
}

TEST(LogThrottle, LinesUpToTheLimitLeaveNoSummaryBehind) {
  test::LogCapture cap;
  asio::io_context ctx;
  LogThrottle t(ctx.get_executor(), 3);
  for (int i = 0; i < 3; ++i) t.log("a");
  EXPECT_EQ(cap.lines.size(), 3u);
  // No summary is due: nothing waits on the loop (a pending one would hold run() for a second).
  EXPECT_EQ(ctx.run(), 0u);
  EXPECT_EQ(count(cap.lines, "Log flood"), 0u);
}

// The owner (the receive loop's coroutine) may end just as the summary's wait expires: the
// expired wait's handler is then already queued and runs after the throttle is gone.
TEST(LogThrottle, ASummaryQueuedAsTheThrottleGoesDoesNotRun) {
  test::LogCapture cap;
  asio::io_context ctx;
  auto t = std::make_unique<LogThrottle>(ctx.get_executor(), 1);
  t->log("a");
  const auto due = std::chrono::steady_clock::now() + 1s;
  t->log("b");  // left out: the summary's wait expires at `due` at the latest
  while (std::chrono::steady_clock::now() <= due) std::this_thread::sleep_for(50ms);
  // The loop's first turn queues the expired wait behind this, so the throttle goes first.
  asio::post(ctx, [&] { t.reset(); });
  ctx.run();
  EXPECT_EQ(count(cap.lines, "Log flood: 1 lines"), 1u);  // the destructor's, and no other
}

}  // namespace
