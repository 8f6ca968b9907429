#include "ostrel/base/Tasks.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <numeric>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/base/Log.hpp"
#include "ostrel/hat/TxQueue.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/Wait.hpp"

using namespace ostrel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using test::LogCapture;

// Whether thread `tid` of this process is asleep (blocked, as in a wait on a condition).
bool threadSleeps(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

awaitable<void> waitAndCount(Event& e, int& woken) {
  co_await e.wait();
  ++woken;
}

// Keeps running for `busy` after cancellation, as a task stuck in uncancellable work would.
awaitable<void> stubborn(std::chrono::milliseconds busy, bool& finished) {
  co_await asio::this_coro::throw_if_cancelled(false);
  auto ex = co_await asio::this_coro::executor;
  asio::steady_timer t(ex);
  auto end = Clock::now() + busy;
  while (Clock::now() < end) {
    t.expires_after(10ms);
    co_await t.async_wait(asio::as_tuple(use_awaitable));
  }
  finished = true;
}

awaitable<void> sleeper(bool& reachedEnd) {
  co_await sleepFor(10s);
  reachedEnd = true;
}

awaitable<void> failing() {
  co_await sleepFor(1ms);
  throw std::runtime_error("boom");
}

awaitable<void> cancelAllNow(TaskRegistry& reg, std::chrono::milliseconds grace, const Task* keep) {
  co_await reg.cancelAll(grace, keep);
}

}  // namespace

TEST(TasksEvent, WaitersBeforeAndAfterSet) {
  asio::io_context ctx;
  Event e(ctx.get_executor());
  int woken = 0;
  for (int i = 0; i < 5; ++i) asio::co_spawn(ctx, waitAndCount(e, woken), asio::detached);
  ctx.run_for(50ms);
  EXPECT_EQ(woken, 0);
  EXPECT_FALSE(e.isSet());
  e.set();
  ctx.restart();
  ctx.run_for(200ms);
  EXPECT_EQ(woken, 5);
  EXPECT_TRUE(e.isSet());

  // Once set, a wait completes at once, and setting again does no harm.
  e.set();
  asio::co_spawn(ctx, waitAndCount(e, woken), asio::detached);
  ctx.restart();
  auto t0 = Clock::now();
  ctx.run_for(1s);
  EXPECT_EQ(woken, 6);
  EXPECT_LT(Clock::now() - t0, 500ms);
}

TEST(TasksEvent, CancelledWaitEndsWithoutTheEvent) {
  asio::io_context ctx;
  Event e(ctx.get_executor());
  int woken = 0;
  asio::cancellation_signal sig;
  auto f = asio::co_spawn(ctx, waitAndCount(e, woken),
                          asio::bind_cancellation_slot(sig.slot(), asio::use_future));
  ctx.run_for(30ms);
  sig.emit(asio::cancellation_type::terminal);
  ctx.restart();
  ctx.run_for(200ms);
  ASSERT_EQ(f.wait_for(0s), std::future_status::ready);
  EXPECT_THROW(f.get(), boost::system::system_error);
  EXPECT_EQ(woken, 0);
  EXPECT_FALSE(e.isSet());
}

TEST(TasksRegistry, CancelAllGivesEachTaskItsGraceAndMovesOn) {
  asio::io_context ctx;
  TaskRegistry reg;
  bool stuck1Done = false, stuck2Done = false, sleeperEnd = false;
  auto stuck1 = reg.spawn(ctx.get_executor(), "stuck1", stubborn(1500ms, stuck1Done));
  auto polite = reg.spawn(ctx.get_executor(), "polite", sleeper(sleeperEnd));
  auto stuck2 = reg.spawn(ctx.get_executor(), "stuck2", stubborn(1500ms, stuck2Done));
  ctx.run_for(20ms);
  EXPECT_EQ(reg.running(), 3u);

  auto t0 = Clock::now();
  auto f = asio::co_spawn(ctx, cancelAllNow(reg, 100ms, nullptr), asio::use_future);
  ctx.restart();
  while (f.wait_for(0s) != std::future_status::ready && Clock::now() - t0 < 3s)
    ctx.run_one_for(50ms);
  auto took = Clock::now() - t0;
  ASSERT_EQ(f.wait_for(0s), std::future_status::ready);
  f.get();
  EXPECT_GE(took, 190ms);   // both stuck tasks had their grace
  EXPECT_LT(took, 1000ms);  // and neither was waited for to the end
  EXPECT_TRUE(polite->done());
  EXPECT_FALSE(sleeperEnd);
  EXPECT_FALSE(stuck1->done());
  EXPECT_FALSE(stuck2->done());
  EXPECT_EQ(reg.running(), 2u);

  // Let the stuck ones end before the loop goes away.
  ctx.restart();
  ctx.run_for(3s);
  EXPECT_TRUE(stuck1Done && stuck2Done);
  EXPECT_EQ(reg.running(), 0u);
}

TEST(TasksRegistry, KeptTaskSurvivesCancelAll) {
  asio::io_context ctx;
  TaskRegistry reg;
  bool keptEnd = false, otherEnd = false;
  auto kept = reg.spawn(ctx.get_executor(), "kept", sleeper(keptEnd));
  auto other = reg.spawn(ctx.get_executor(), "other", sleeper(otherEnd));
  auto f = asio::co_spawn(ctx, cancelAllNow(reg, 200ms, kept.get()), asio::use_future);
  ctx.run_for(300ms);
  ASSERT_EQ(f.wait_for(0s), std::future_status::ready);
  EXPECT_TRUE(other->done());
  EXPECT_FALSE(kept->done());
  EXPECT_EQ(reg.running(), 1u);
  kept->cancel();
  ctx.restart();
  ctx.run_for(200ms);
  EXPECT_TRUE(kept->done());
  EXPECT_FALSE(keptEnd || otherEnd);
}

TEST(TasksRegistry, FinishedTasksLeaveTheRegistryAndFailuresAreLogged) {
  LogCapture cap;
  asio::io_context ctx;
  TaskRegistry reg;
  bool end = false;
  auto bad = reg.spawn(ctx.get_executor(), "worker-x", failing());
  auto cancelled = reg.spawn(ctx.get_executor(), "napper", sleeper(end));
  ctx.run_for(50ms);
  cancelled->cancel();
  ctx.restart();
  ctx.run_for(100ms);
  EXPECT_TRUE(bad->done());
  EXPECT_TRUE(cancelled->done());
  EXPECT_EQ(reg.running(), 0u);
  // The registry has let go of both: only this test still holds them.
  EXPECT_EQ(bad.use_count(), 1);
  EXPECT_EQ(cancelled.use_count(), 1);
  // A failure is reported with its origin; a cancellation is not a failure.
  ASSERT_EQ(cap.lines.size(), 1u);
  EXPECT_NE(cap.lines[0].find("boom"), std::string::npos) << cap.lines[0];
  EXPECT_NE(cap.lines[0].find("worker-x"), std::string::npos) << cap.lines[0];
}

TEST(TasksRegistry, ATaskStillRunningWhenTheLoopStopsIsReleasedBeforeTheLoopGoesAway) {
  std::weak_ptr<Task> left;
  TaskRegistry reg;
  bool end = false;
  {
    asio::io_context ctx;
    left = reg.spawn(ctx.get_executor(), "stuck", stubborn(10s, end));
    auto f = asio::co_spawn(ctx, cancelAllNow(reg, 20ms, nullptr), asio::use_future);
    ctx.run_for(100ms);
    ASSERT_EQ(f.wait_for(0s), std::future_status::ready);
    EXPECT_EQ(reg.running(), 1u);
    reg.release();
    EXPECT_EQ(reg.running(), 0u);
    EXPECT_FALSE(end);
  }
  // With the loop gone nothing holds the task, so its timer went with the loop's own services
  // rather than after them.
  EXPECT_TRUE(left.expired());
}

TEST(TxQueue, FirstInFirstOut) {
  TxQueue q;
  std::vector<int> ran;
  for (int i = 0; i < 10; ++i) q.put([&ran, i] { ran.push_back(i); });
  EXPECT_EQ(q.size(), 10u);
  for (int i = 0; i < 10; ++i) q.take()();
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(q.size(), 0u);
}

TEST(TxQueue, PutNeverBlocksAndKeepsOrderBeyondTenUpToTheBacklog) {
  TxQueue q(10, 5);
  ASSERT_EQ(q.capacity(), 10u);
  std::vector<int> ran;
  for (int i = 0; i < 10; ++i) q.put([&ran, i] { ran.push_back(i); });
  EXPECT_EQ(q.size(), 10u);  // the first ten slots are taken
  for (int i = 10; i < 15; ++i) q.put([&ran, i] { ran.push_back(i); });  // into the backlog
  EXPECT_EQ(q.size(), 15u);
  EXPECT_THROW(q.put([] {}), TxQueueFull);
  EXPECT_EQ(q.size(), 15u);
  while (q.size() > 0) q.take()();
  std::vector<int> expected(15);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(ran, expected);
  EXPECT_NO_THROW(q.put([] {}));  // room again
}

TEST(TxQueue, CloseRefusesNewJobsWakesTheWorkerAndKeepsWhatWaits) {
  TxQueue q;
  std::promise<bool> woke;
  std::atomic<pid_t> tid{0};
  std::thread worker([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    woke.set_value(static_cast<bool>(q.take()));
  });
  // close() must wake a worker that already waits in take(), not one that has yet to get there.
  ASSERT_TRUE(test::waitUntil([&] { return tid != 0 && threadSleeps(tid); }, 10s,
                              "the worker to wait in take()"));
  q.close();
  auto f = woke.get_future();
  ASSERT_EQ(f.wait_for(2s), std::future_status::ready);
  EXPECT_FALSE(f.get());  // an empty job: nothing to run
  worker.join();
  EXPECT_THROW(q.put([] {}), TxQueueClosed);

  q.open();
  int calls = 0;
  q.put([&] { ++calls; });
  q.close();
  EXPECT_FALSE(q.take());  // closed: the job stays for the next start
  EXPECT_EQ(q.size(), 1u);
  q.open();
  q.take()();
  EXPECT_EQ(calls, 1);
}

TEST(TxQueue, TakeWaitsForAJob) {
  TxQueue q;
  std::promise<void> got;
  std::thread worker([&] {
    q.take()();
    got.set_value();
  });
  auto f = got.get_future();
  EXPECT_EQ(f.wait_for(100ms), std::future_status::timeout);
  std::atomic<int> calls{0};
  q.put([&] { ++calls; });
  EXPECT_EQ(f.wait_for(2s), std::future_status::ready);
  worker.join();
  EXPECT_EQ(calls, 1);
}

TEST(TxQueue, ManyProducersOneWorkerKeepEachProducersOrder) {
  TxQueue q;
  constexpr int kEach = 300;
  std::vector<std::pair<int, int>> ran;  // (producer, sequence)
  std::thread worker([&] {
    for (int i = 0; i < 2 * kEach; ++i) q.take()();
  });
  auto produce = [&](int who) {
    for (int i = 0; i < kEach; ++i) q.put([&ran, who, i] { ran.emplace_back(who, i); });
  };
  std::thread p0(produce, 0), p1(produce, 1);
  p0.join();
  p1.join();
  worker.join();
  ASSERT_EQ(ran.size(), 2u * kEach);
  int next[2] = {0, 0};
  for (auto [who, seq] : ran) EXPECT_EQ(seq, next[who]++);
}

TEST(TxQueue, EachSourceHasItsOwnLaneAndNoneStarvesAnother) {
  TxQueue q(10, 5);
  std::string ran;
  auto job = [&ran](char c) { return [&ran, c] { ran += c; }; };
  for (std::size_t i = 0; i < TxQueue::COMMAND_JOBS; ++i) q.put(TxSource::Commands, job('c'));
  EXPECT_THROW(q.put(TxSource::Commands, job('x')), TxQueueFull);  // their lane only is full
  q.put(TxSource::NodeOps, job('n'));
  q.put(TxSource::NodeOps, job('n'));
  q.put(job('g'));  // a clock beacon: first, however much waits
  EXPECT_EQ(q.size(), TxQueue::COMMAND_JOBS + 3);
  for (int i = 0; i < 6; ++i) q.take()();
  EXPECT_EQ(ran, "gcncnc");
}
