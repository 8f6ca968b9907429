// The real daemon under a stand-in for systemd: readiness once the loops run, a status line that
// follows the hat and the broker, and watchdog pings while the event loop turns.
#include <gtest/gtest.h>
#include <signal.h>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/NotifySocket.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_notify {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using Clock = std::chrono::steady_clock;

struct Notified {
  std::vector<std::string> messages;
  bool has(const std::string& m) const {
    return std::find(messages.begin(), messages.end(), m) != messages.end();
  }
  std::size_t count(const std::string& m) const {
    return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), m));
  }
};

// Collects datagrams until `done` holds or `timeout` passes.
template <typename Pred>
bool collect(NotifySocket& sock, Notified& n, Pred done, std::chrono::milliseconds timeout) {
  auto until = Clock::now() + timeout;
  while (!done(n) && Clock::now() < until)
    if (auto m = sock.receive(100ms)) n.messages.push_back(*m);
  return done(n);
}

// Exit status after SIGTERM. The socket is drained meanwhile, as systemd does: a full socket
// queue would hold the daemon's sends.
std::optional<int> stopAndWait(GatewayProcess& gw, NotifySocket& sock, Notified& n) {
  gw.signal(SIGTERM);
  auto until = Clock::now() + 15s;
  while (Clock::now() < until) {
    while (auto m = sock.receive(0ms)) n.messages.push_back(*m);
    if (auto rc = gw.waitExit(100ms)) return rc;
  }
  return std::nullopt;
}

TEST(GatewayNotify, ReadyAfterTheLoopsStatusAndWatchdogPings) {
  Broker broker;
  hatsim::Options o;
  o.version = 3;
  o.nodes.push_back({5000, 7, 71, {0x01, 0x14}, 0});
  HatSim sim(o);
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  NotifySocket sock(gw.dir() + "/notify");
  // 600 ms: pings every 300 ms at the latest.
  gw.start({}, {{"NOTIFY_SOCKET", sock.path()}, {"WATCHDOG_USEC", "600000"}});

  Notified n;
  ASSERT_TRUE(collect(
      sock, n, [](auto& x) { return x.has("READY=1"); }, 20s))
      << gw.transcript();
  // Readiness comes once both loops have been started: the line is written before READY=1 (the
  // pipe may deliver it a little later than the datagram). The socket is drained all along, as
  // systemd does: ten unread datagrams would hold the daemon up.
  EXPECT_TRUE(collect(
      sock, n, [&](auto&) { return gw.findLine("Starting serial interface TX...") >= 0; }, 20s))
      << gw.transcript();

  bool woken = false;
  ASSERT_TRUE(collect(
      sock, n, [&](auto&) { return woken = woken || sim.nextFrame("TC", 0ms).has_value(); }, 20s))
      << gw.transcript();
  // A reading every second until one is published.
  auto sent = Clock::now() - 1s;
  collect(
      sock, n,
      [&](auto&) {
        if (!sub.messages().empty()) return true;
        if (Clock::now() - sent >= 1s) {
          sim.sendSensor(0);
          sent = Clock::now();
        }
        return false;
      },
      30s);
  ASSERT_GE(sub.messages().size(), 1u) << gw.transcript();

  // Within a few watchdog periods: more pings, and a status line that names the hat's version and
  // the broker connection.
  auto statusConnected = [](const Notified& x) {
    for (auto& m : x.messages)
      if (m.rfind("STATUS=Hat protocol v3, MQTT connected, ", 0) == 0) return true;
    return false;
  };
  std::size_t pingsBefore = n.count("WATCHDOG=1");
  ASSERT_TRUE(collect(
      sock, n,
      [&](auto& x) { return statusConnected(x) && x.count("WATCHDOG=1") >= pingsBefore + 3; }, 20s))
      << gw.transcript();

  EXPECT_EQ(stopAndWait(gw, sock, n), 0) << gw.transcript();
  EXPECT_TRUE(n.has("STOPPING=1"));
}

TEST(GatewayNotify, NoWatchdogPingsUnlessAsked) {
  Broker broker;
  HatSim sim(hatsim::Options{});
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  NotifySocket sock(gw.dir() + "/notify");
  gw.start({}, {{"NOTIFY_SOCKET", sock.path()}});
  Notified n;
  ASSERT_TRUE(collect(
      sock, n, [](auto& x) { return x.has("READY=1"); }, 20s))
      << gw.transcript();
  collect(
      sock, n, [](auto&) { return false; }, 1500ms);
  EXPECT_EQ(n.count("WATCHDOG=1"), 0u);
  EXPECT_TRUE(std::any_of(n.messages.begin(), n.messages.end(),
                          [](auto& m) { return m.rfind("STATUS=", 0) == 0; }));
  EXPECT_EQ(stopAndWait(gw, sock, n), 0) << gw.transcript();
}

}  // namespace
}  // namespace ostrel::test::gateway_notify
