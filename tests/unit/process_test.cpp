#include "ostrel/sys/Process.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <thread>

#include "tests/support/Wait.hpp"

using namespace ostrel;
using namespace std::chrono_literals;

namespace {

// Runs one command on a fresh loop and returns its result or rethrows its error.
CommandResult run(const std::string& cmd, std::chrono::milliseconds timeout = 5s,
                  bool capture = true, bool merge = false) {
  asio::io_context ctx;
  std::optional<CommandResult> result;
  std::exception_ptr error;
  asio::co_spawn(ctx, runCommand(cmd, timeout, capture, merge),
                 [&](std::exception_ptr e, CommandResult r) {
                   error = e;
                   result = std::move(r);
                 });
  ctx.run();
  if (error) std::rethrow_exception(error);
  return *result;
}

}  // namespace

TEST(SplitCommandLine, QuotingRules) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitCommandLine("  timedatectl   show "), (V{"timedatectl", "show"}));
  EXPECT_EQ(splitCommandLine("sudo timedatectl set-time '2024-03-01 13:05:09.250'"),
            (V{"sudo", "timedatectl", "set-time", "2024-03-01 13:05:09.250"}));
  EXPECT_EQ(splitCommandLine(R"(a"b c"d 'x\y' "q\"\\\n" e\ f \'g)"),
            (V{"ab cd", "x\\y", "q\"\\\\n", "e f", "'g"}));
  EXPECT_EQ(splitCommandLine("'' \"\""), (V{"", ""}));
  EXPECT_TRUE(splitCommandLine("   ").empty());
  EXPECT_THROW(splitCommandLine("echo 'open"), CommandError);
  EXPECT_THROW(splitCommandLine("echo \"open"), CommandError);
  EXPECT_THROW(splitCommandLine("echo trailing\\"), CommandError);
}

TEST(RunCommand, CapturesOutputAndExitStatus) {
  auto r = run("sh -c 'echo \"out put\"; echo err >&2; exit 3'");
  EXPECT_EQ(r.exitStatus, 3);
  EXPECT_EQ(r.output, "out put\n");

  auto merged = run("sh -c 'echo one; echo two >&2'", 5s, true, true);
  EXPECT_EQ(merged.exitStatus, 0);
  EXPECT_EQ(merged.output, "one\ntwo\n");

  auto uncaptured = run("sh -c 'exit 7'", 5s, false, false);
  EXPECT_EQ(uncaptured.exitStatus, 7);
  EXPECT_EQ(uncaptured.output, "");

  // Standard input is not the terminal's: a reader sees end of file at once.
  EXPECT_EQ(run("cat").output, "");
  EXPECT_EQ(run("sh -c 'kill -TERM $$'").exitStatus, -15);
}

TEST(RunCommand, ChattyChildDoesNotBlock) {
  // Far more than a pipe holds; the child only ends if we keep reading.
  auto r = run("head -c 3000000 /dev/zero", 5s);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.output.size(), 1u << 20);
}

TEST(RunCommand, UnknownCommandRaises) {
  EXPECT_THROW(run("   "), CommandError);
  if (std::string(OSTREL_EMULATOR) != "")
    GTEST_SKIP() << "qemu-user does not report a failed exec from posix_spawnp";
  try {
    run("/nonexistent/ostrel-no-such-command arg");
    FAIL() << "no error";
  } catch (const CommandError& e) {
    EXPECT_NE(std::string(e.what()).find("ostrel-no-such-command"), std::string::npos);
  }
}

TEST(RunCommand, TimeoutKillsWholeGroupAndLoopKeepsRunning) {
  asio::io_context ctx;
  int ticks = 0;
  bool done = false;
  asio::steady_timer ticker(ctx);
  std::function<void()> tick = [&] {
    ticker.expires_after(20ms);
    ticker.async_wait([&](auto ec) {
      // A tick already queued when the command ends is not cancelled: the flag ends the chain.
      if (ec || done) return;
      ++ticks;
      tick();
    });
  };
  tick();
  std::exception_ptr error;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration elapsed{};
  // The grandchild sleep holds the output pipe: it must die with the group.
  asio::co_spawn(ctx, runCommand("sh -c 'sleep 30; echo late'", 300ms, true, false),
                 [&](std::exception_ptr e, CommandResult) {
                   error = e;
                   done = true;
                   elapsed = std::chrono::steady_clock::now() - start;
                   ticker.cancel();
                 });
  ctx.run_for(5s);
  ASSERT_TRUE(done);
  EXPECT_LT(elapsed, 2s);
  EXPECT_GE(elapsed, 300ms);
  EXPECT_GE(ticks, 5);
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const CommandTimeout& e) {
    EXPECT_STREQ(e.what(), "command 'sh -c 'sleep 30; echo late'' timed out after 0.3 s");
  }
  // Killed and reaped: no child of ours is left, not even a zombie.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(RunCommand, CancellingTheTaskKillsTheChild) {
  asio::io_context ctx;
  asio::cancellation_signal sig;
  std::exception_ptr error;
  bool done = false;
  auto start = std::chrono::steady_clock::now();
  asio::co_spawn(ctx, runCommand("sleep 30", 20s, false, false),
                 asio::bind_cancellation_slot(sig.slot(), [&](std::exception_ptr e, CommandResult) {
                   error = e;
                   done = true;
                 }));
  asio::steady_timer t(ctx, 100ms);
  t.async_wait([&](auto) { sig.emit(asio::cancellation_type::terminal); });
  ctx.run_for(5s);
  EXPECT_TRUE(done);
  ASSERT_TRUE(error);
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // Reaped off the event loop, within moments: no zombie stays behind.
  EXPECT_TRUE(
      test::waitUntil([] { return ::waitpid(-1, nullptr, WNOHANG) == -1; }, 10s, "no child left"));
}
