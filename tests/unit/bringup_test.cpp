#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "tests/support/LogCapture.hpp"
#include "tests/support/PtyMaster.hpp"

using namespace ostrel;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

using test::LogCapture;

class BringupCpuinfo : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-cpuinfo-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string file(const std::string& text) {
    auto p = (dir_ / ("cpuinfo" + std::to_string(n_++))).string();
    std::ofstream(p) << text;
    return p;
  }
  fs::path dir_;
  int n_ = 0;
};

using ostrel::test::PtyMaster;

// Runs the start-up wait, abandoned after `limit` as the gateway's start does; true when the
// start-up line ended it.
awaitable<bool> startupWithin(SerialPort& ser, std::chrono::milliseconds limit) {
  asio::steady_timer t(co_await asio::this_coro::executor, limit);
  auto wait = waitForHatStartup(ser);
  auto timeout = t.async_wait(asio::as_tuple(use_awaitable));
  auto r = co_await (std::move(wait) || std::move(timeout));
  co_return r.index() == 0;
}

class BringupStartup : public ::testing::Test {
 protected:
  void openPort(std::chrono::milliseconds timeout) {
    port = std::make_unique<SerialPort>(ctx.get_executor(), timeout);
    port->setDevice(pty.slave);
    port->setSpeed(115200);
    port->open();
  }
  bool runStartup(std::chrono::milliseconds limit) {
    auto f = asio::co_spawn(ctx, startupWithin(*port, limit), asio::use_future);
    ctx.run();
    return f.get();
  }
  asio::io_context ctx;
  PtyMaster pty;
  std::unique_ptr<SerialPort> port;
};

}  // namespace

TEST_F(BringupCpuinfo, DetectsBroadcomHardwareLine) {
  EXPECT_TRUE(
      isRaspi(file("processor\t: 0\nBogoMIPS\t: 38.40\n\nHardware\t: BCM2835\n"
                   "Revision\t: a02082\n")));
  EXPECT_TRUE(isRaspi(file("processor : 0\n  Hardware : BCM2711\nModel : Raspberry Pi 4\n")));
  EXPECT_TRUE(isRaspi(file("Hardware\t: BCM2835")));  // no line end at the end of the file
}

TEST_F(BringupCpuinfo, OtherBoardsAreNotDetected) {
  // BCM elsewhere than in a Hardware line.
  EXPECT_FALSE(isRaspi(file("Model\t: BCM2835 based board\nvendor_id : BCM\n")));
  EXPECT_FALSE(isRaspi(file("model name : Hardware BCM\n")));
  // A Hardware line without BCM, and a typical PC.
  EXPECT_FALSE(isRaspi(file("Hardware\t: Allwinner sun50i\nSerial : BCM-less\n")));
  EXPECT_FALSE(isRaspi(file("processor\t: 0\nvendor_id\t: GenuineIntel\nflags\t: fpu vme\n")));
  EXPECT_FALSE(isRaspi(file("")));
}

TEST_F(BringupCpuinfo, MissingFileIsAnError) {
  EXPECT_ANY_THROW(isRaspi((dir_ / "absent").string()));
}

TEST_F(BringupStartup, AnswersEachPromptOnceAndEndsOnTheStartupLine) {
  LogCapture cap;
  openPort(1000ms);
  std::string answers;
  std::thread hat([&] {
    pty.send("QBoot 2.1\r\nPress 'r' to run the application\r\n");
    answers += pty.recv(1, 2000ms);
    // The firmware's line without its "LG" code is just another bootloader line.
    pty.send("waiting\r\nPress 'r' to run the application\r\nGateway Module started up\r\n");
    answers += pty.recv(1, 2000ms);
    answers += pty.recv(8, 300ms);  // nothing more may come
    pty.send("LGGateway Module started up\r\n");
  });
  auto t0 = Clock::now();
  bool started = runStartup(5000ms);
  hat.join();
  EXPECT_TRUE(started);
  EXPECT_LT(Clock::now() - t0, 3000ms);
  EXPECT_EQ(answers, "rr");
  std::vector<std::string> expected = {
      "[Bootloader] QBoot 2.1\r\n",
      "[Bootloader] Press 'r' to run the application\r\n",
      "Sent command 'r' (run app) to bootloader.",
      "[Bootloader] waiting\r\n",
      "[Bootloader] Press 'r' to run the application\r\n",
      "Sent command 'r' (run app) to bootloader.",
      "[Bootloader] Gateway Module started up\r\n",
      "[GW Log] Gateway Module started up",
  };
  EXPECT_EQ(cap.lines, expected);
}

TEST_F(BringupStartup, ReadsNothingBeyondTheStartupLine) {
  LogCapture cap;
  openPort(1000ms);
  pty.send("LGGateway Module started up\r\nHL\x03");
  EXPECT_TRUE(runStartup(3000ms));
  // The hello that follows is left for the receive loop.
  ctx.restart();
  auto f = asio::co_spawn(ctx, port->read_async(3), asio::use_future);
  ctx.run();
  EXPECT_EQ(toString(f.get()), "HL\x03");
  EXPECT_EQ(pty.recv(1, 100ms), "");
}

TEST_F(BringupStartup, SilenceLogsEmptyBootloaderLinesUntilTheLimit) {
  LogCapture cap;
  openPort(100ms);
  auto t0 = Clock::now();
  EXPECT_FALSE(runStartup(450ms));
  auto took = Clock::now() - t0;
  EXPECT_GE(took, 440ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_GE(cap.lines.size(), 3u);
  EXPECT_LE(cap.lines.size(), 5u);
  for (const auto& l : cap.lines) EXPECT_EQ(l, "[Bootloader] ");
  EXPECT_EQ(pty.recv(1, 100ms), "");  // no prompt, so no answer
}
