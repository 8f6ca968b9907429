#include "ostrel/sys/SerialPort.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PtyMaster.hpp"
#include "tests/support/Wait.hpp"

using namespace ostrel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using ostrel::test::PtyMaster;

template <typename T>
T run(asio::io_context& ctx, awaitable<T> a) {
  auto f = asio::co_spawn(ctx, std::move(a), asio::use_future);
  ctx.restart();
  ctx.run();
  return f.get();
}

std::string str(const Bytes& b) {
  return toString(b);
}

class SerialPortTest : public ::testing::Test {
 protected:
  void openPort(std::chrono::milliseconds timeout = 200ms, long long speed = 115200) {
    port = std::make_unique<SerialPort>(ctx.get_executor(), timeout);
    port->setDevice(pty.slave);
    port->setSpeed(speed);
    port->open();
  }
  // Declared before the port: the port's descriptor needs its io_context until it is gone.
  asio::io_context ctx;
  PtyMaster pty;
  std::unique_ptr<SerialPort> port;
};

template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const SerialError& e) {
    return e.what();
  }
  return "<no SerialError>";
}

}  // namespace

TEST_F(SerialPortTest, OpensWithSupportedSpeedsOnly) {
  openPort(200ms, 1000000);
  EXPECT_TRUE(port->isOpen());
  port->close();
  openPort(200ms, 115200);
  EXPECT_TRUE(port->isOpen());

  SerialPort odd(ctx.get_executor());
  odd.setDevice(pty.slave);
  odd.setSpeed(12345);
  auto msg = errorOf([&] { odd.open(); });
  EXPECT_NE(msg.find(pty.slave), std::string::npos) << msg;
  EXPECT_NE(msg.find("12345"), std::string::npos) << msg;
  EXPECT_FALSE(odd.isOpen());
}

TEST_F(SerialPortTest, MissingDeviceNamesThePath) {
  SerialPort p(ctx.get_executor());
  p.setDevice("/dev/ostrel-no-such-tty");
  p.setSpeed(115200);
  auto msg = errorOf([&] { p.open(); });
  EXPECT_NE(msg.find("/dev/ostrel-no-such-tty"), std::string::npos) << msg;
  EXPECT_FALSE(p.isOpen());
  // A file that is not a terminal is refused too.
  p.setDevice("/dev/null");
  msg = errorOf([&] { p.open(); });
  EXPECT_NE(msg.find("/dev/null"), std::string::npos) << msg;
  EXPECT_FALSE(p.isOpen());
}

TEST_F(SerialPortTest, ReadReturnsWhatWasAskedForWithoutLosingReadAhead) {
  openPort(10000ms);
  pty.send(
      "HL\x03"
      "abcdefghij");
  auto t0 = Clock::now();
  EXPECT_EQ(str(run(ctx, port->read_async(2))), "HL");
  EXPECT_EQ(str(run(ctx, port->read_async(1))), "\x03");
  EXPECT_EQ(str(run(ctx, port->read_async(10))), "abcdefghij");
  EXPECT_LT(Clock::now() - t0, 5000ms);  // nothing waited for the time-out
  EXPECT_EQ(port->buffered(), 0u);
}

TEST_F(SerialPortTest, ReadGivesUpAtTheTimeOut) {
  openPort(200ms);
  pty.send("abcd");
  auto t0 = Clock::now();
  EXPECT_EQ(str(run(ctx, port->read_async(10))), "abcd");
  auto took = Clock::now() - t0;
  EXPECT_GE(took, 180ms);
  EXPECT_LT(took, 3000ms);

  t0 = Clock::now();
  EXPECT_TRUE(run(ctx, port->read_async(3)).empty());
  took = Clock::now() - t0;
  EXPECT_GE(took, 180ms);
  EXPECT_LT(took, 3000ms);
}

// A slow hat: `parts` go out `gap` apart, timed on the port's own loop.
struct SlowHat {
  std::vector<std::unique_ptr<asio::steady_timer>> timers;
  SlowHat(asio::io_context& ctx, const PtyMaster& pty, std::vector<std::string> parts,
          std::chrono::milliseconds gap) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      timers.push_back(std::make_unique<asio::steady_timer>(ctx, gap * static_cast<int>(i)));
      timers.back()->async_wait([&pty, part = parts[i]](boost::system::error_code ec) {
        if (!ec) pty.send(part);
      });
    }
  }
};

TEST_F(SerialPortTest, ReadCollectsBytesThatArriveInPieces) {
  openPort(5000ms);
  SlowHat hat(ctx, pty, {"ab", "cd", "ef"}, 100ms);
  auto t0 = Clock::now();
  auto got = run(ctx, port->read_async(6));
  auto took = Clock::now() - t0;
  EXPECT_EQ(str(got), "abcdef");
  EXPECT_GE(took, 180ms);   // it waited for the last piece
  EXPECT_LT(took, 4000ms);  // returned once complete, not at the time-out
}

TEST_F(SerialPortTest, ReadlineSplitsAtLineFeeds) {
  openPort(200ms);
  pty.send("Press r\r\nsecond\nrest");
  EXPECT_EQ(str(run(ctx, port->readline_async())), "Press r\r\n");
  EXPECT_EQ(str(run(ctx, port->readline_async())), "second\n");
  auto t0 = Clock::now();
  EXPECT_EQ(str(run(ctx, port->readline_async())), "rest");
  EXPECT_GE(Clock::now() - t0, 180ms);
  t0 = Clock::now();
  EXPECT_TRUE(run(ctx, port->readline_async()).empty());
  EXPECT_GE(Clock::now() - t0, 180ms);
}

TEST_F(SerialPortTest, ReadlineJoinsALineSentInTwoParts) {
  openPort(5000ms);
  SlowHat hat(ctx, pty, {"LGGateway Mod", "ule started up\r\nHL"}, 150ms);
  auto t0 = Clock::now();
  auto line = run(ctx, port->readline_async());
  auto took = Clock::now() - t0;
  EXPECT_EQ(str(line), "LGGateway Module started up\r\n");
  EXPECT_LT(took, 4000ms);  // at the line feed, not at the time-out
  EXPECT_EQ(str(run(ctx, port->read_async(2))), "HL");
}

TEST_F(SerialPortTest, SmallWritesArriveInOrder) {
  openPort();
  std::string expected;
  std::string got;
  std::thread hat;
  for (int i = 0; i < 500; ++i) expected += std::string(1 + i % 4, static_cast<char>('a' + i % 26));
  hat = std::thread([&] { got = pty.recv(expected.size(), 5000ms); });
  std::size_t pos = 0;
  for (int i = 0; i < 500; ++i) {
    std::size_t len = 1 + i % 4;
    port->write(std::string_view(expected).substr(pos, len));
    pos += len;
  }
  port->flush();
  hat.join();
  EXPECT_EQ(got, expected);
}

TEST_F(SerialPortTest, FramesFromTwoThreadsNeverInterleave) {
  openPort();
  // Enough data to fill the line while the hat is not yet reading, so that writes come back
  // short and a writer has to wait for room in the middle of a frame.
  constexpr int kFrames = 1500;
  constexpr std::size_t kLen = 50;
  std::string got;
  std::thread hat([&] {
    // Reads only once the line is full (the pty holds 4095 bytes for the reader).
    EXPECT_TRUE(test::waitUntil(
        [&] {
          int queued = 0;
          return ::ioctl(pty.fd, FIONREAD, &queued) == 0 && queued >= 4000;
        },
        10s, "a full line"));
    got = pty.recv(2 * kFrames * kLen, 30000ms);
  });
  auto writer = [&](char fill) {
    std::string frame(kLen, fill);
    for (int i = 0; i < kFrames; ++i) port->write(frame);
  };
  std::thread a(writer, 'A');
  std::thread b(writer, 'B');
  a.join();
  b.join();
  hat.join();
  ASSERT_EQ(got.size(), 2 * kFrames * kLen);
  int countA = 0, countB = 0;
  for (std::size_t off = 0; off < got.size(); off += kLen) {
    auto frame = got.substr(off, kLen);
    ASSERT_EQ(frame, std::string(kLen, frame[0])) << "frame at offset " << off << " is mixed";
    (frame[0] == 'A' ? countA : countB)++;
  }
  EXPECT_EQ(countA, kFrames);
  EXPECT_EQ(countB, kFrames);
}

TEST_F(SerialPortTest, CloseIsIdempotentAndEndsAPendingRead) {
  openPort(5000ms);
  auto t0 = Clock::now();
  auto pending = asio::co_spawn(ctx, port->read_async(4), asio::use_future);
  asio::steady_timer t(ctx, 50ms);
  t.async_wait([&](boost::system::error_code) { port->close(); });
  ctx.run();
  EXPECT_THROW(pending.get(), SerialError);
  EXPECT_LT(Clock::now() - t0, 2500ms);  // the close, not the 5 s time-out, ended it
  EXPECT_FALSE(port->isOpen());
  EXPECT_NO_THROW(port->close());
  EXPECT_THROW(port->write(std::string_view("TC")), SerialError);
  EXPECT_THROW(port->flush(), SerialError);
  EXPECT_THROW(run(ctx, port->read_async(1)), SerialError);
  EXPECT_THROW(run(ctx, port->readline_async()), SerialError);
}

TEST_F(SerialPortTest, HangUpIsReportedAsALostDeviceNotSilence) {
  openPort(10000ms);
  pty.send("ab");
  EXPECT_EQ(str(run(ctx, port->read_async(2))), "ab");
  // The other side goes away, as an unplugged adapter or a killed simulator.
  ::close(pty.fd);
  pty.fd = -1;
  auto t0 = Clock::now();
  std::string err = errorOf([&] { run(ctx, port->read_async(1)); });
  // A pty reads as EIO or as a hang-up, depending on the kernel; both are a lost device.
  EXPECT_EQ(err.rfind("Serial device " + pty.slave + " lost: ", 0), 0u) << err;
  EXPECT_LT(Clock::now() - t0, 5000ms);  // at once, not after the read time-out
  EXPECT_THROW(run(ctx, port->readline_async()), SerialLost);
}

TEST_F(SerialPortTest, SilenceIsNotALostDevice) {
  openPort(150ms);
  EXPECT_TRUE(run(ctx, port->read_async(1)).empty());
  pty.send("x");
  EXPECT_EQ(str(run(ctx, port->read_async(1))), "x");
}
