// Notifications to systemd: silent without a socket, exact messages with one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <future>

#include "ostrel/sys/SystemdNotify.hpp"
#include "tests/support/NotifySocket.hpp"

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;

class SdNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-notify-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    sock_.emplace(dir_ + "/notify");
  }
  void TearDown() override {
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("WATCHDOG_PID");
    sock_.reset();
    ::rmdir(dir_.c_str());
  }
  std::string dir_;
  std::optional<NotifySocket> sock_;
};

TEST_F(SdNotify, SendsNothingWithoutASocket) {
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(sdnotify::active());
  sdnotify::ready();
  sdnotify::status("idle");
  sdnotify::watchdog();
  EXPECT_EQ(sock_->receive(200ms), std::nullopt);
  ::setenv("NOTIFY_SOCKET", "", 1);
  EXPECT_FALSE(sdnotify::active());
}

TEST_F(SdNotify, SendsEachMessageAsOneDatagram) {
  ::setenv("NOTIFY_SOCKET", sock_->path().c_str(), 1);
  EXPECT_TRUE(sdnotify::active());
  sdnotify::ready();
  sdnotify::status("Hat protocol v3\nMQTT connected");
  sdnotify::watchdog();
  sdnotify::stopping();
  EXPECT_EQ(sock_->receive(2s), "READY=1");
  // A line feed inside the text would start a second assignment.
  EXPECT_EQ(sock_->receive(2s), "STATUS=Hat protocol v3 MQTT connected");
  EXPECT_EQ(sock_->receive(2s), "WATCHDOG=1");
  EXPECT_EQ(sock_->receive(2s), "STOPPING=1");
  // The socket stays usable: the environment is not cleared after the first message.
  sdnotify::ready();
  EXPECT_EQ(sock_->receive(2s), "READY=1");
}

// A manager that does not read (its queue holds a few datagrams) must not hold up the event loop.
TEST_F(SdNotify, NeverWaitsForAManagerThatDoesNotRead) {
  ::setenv("NOTIFY_SOCKET", sock_->path().c_str(), 1);
  auto sent = std::async(std::launch::async, [] {
    for (int i = 0; i < 200; ++i) sdnotify::status("busy " + std::to_string(i));
  });
  EXPECT_EQ(sent.wait_for(5s), std::future_status::ready);
  sock_.reset();  // a blocked sender fails once the socket is gone
}

TEST_F(SdNotify, WatchdogIntervalOnlyForThisProcess) {
  ::unsetenv("WATCHDOG_USEC");
  EXPECT_EQ(sdnotify::watchdogInterval(), std::nullopt);
  ::setenv("WATCHDOG_USEC", "4000000", 1);
  EXPECT_EQ(sdnotify::watchdogInterval(), std::chrono::microseconds(4000000));
  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
  EXPECT_EQ(sdnotify::watchdogInterval(), std::chrono::microseconds(4000000));
  // Inherited from a parent that systemd watches: not ours to ping.
  ::setenv("WATCHDOG_PID", std::to_string(::getpid() + 1).c_str(), 1);
  EXPECT_EQ(sdnotify::watchdogInterval(), std::nullopt);
  ::unsetenv("WATCHDOG_PID");
  ::setenv("WATCHDOG_USEC", "0", 1);
  EXPECT_EQ(sdnotify::watchdogInterval(), std::nullopt);
}

}  // namespace
}  // namespace ostrel::test
