// Restarts of the running daemon during a stream of readings: every reading the daemon took from
// the hat reaches the broker (at least once), however often it restarts.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <set>
#include <thread>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;

// The flood payload starts with the sequence number (u32 BE): its first 8 hex digits.
std::optional<unsigned long> seqAfter(const std::string& text, const std::string& marker) {
  auto at = text.find(marker);
  if (at == std::string::npos || text.size() < at + marker.size() + 8) return std::nullopt;
  try {
    return std::stoul(text.substr(at + marker.size(), 8), nullptr, 16);
  } catch (...) {
    return std::nullopt;
  }
}

TEST(GatewayRestart, TwentyRestartsInTwoSecondsLoseNoReadingTheDaemonReceived) {
  Broker broker;
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.resetOnOpen = false;  // a restart finds the hat running
  hatsim::HatSim sim(o);
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw(GatewayConfig{.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 8s)) << gw.transcript();

  sim.startFlood(1000, 200);
  std::this_thread::sleep_for(1s);
  for (int i = 0; i < 20; ++i) {
    gw.signal(SIGHUP);
    std::this_thread::sleep_for(100ms);
  }
  auto until = std::chrono::steady_clock::now() + 15s;
  while (!sim.floodDone() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(500ms);

  // What the daemon logged as received ("Sensor #987149 [Node 99]: <payload hex> ...").
  std::set<unsigned long> taken;
  for (const auto& line : gw.lines())
    if (line.find("Sensor #987149 ") != std::string::npos)
      if (auto seq = seqAfter(line, "]: ")) taken.insert(*seq);
  ASSERT_GT(taken.size(), 500u) << gw.transcript();
  // Signals that come while a restart is under way fold into it.
  EXPECT_GE(gw.countLines("Received restart signal..."), 3);

  std::set<unsigned long> published;
  sub.waitFor(
      [&](const std::vector<Received>& v) {
        published.clear();
        for (const auto& m : v)
          if (auto seq = seqAfter(m.payload, "\"payload\": \"")) published.insert(*seq);
        return std::includes(published.begin(), published.end(), taken.begin(), taken.end());
      },
      15s);
  std::vector<unsigned long> lost;
  std::set_difference(taken.begin(), taken.end(), published.begin(), published.end(),
                      std::back_inserter(lost));
  EXPECT_TRUE(lost.empty()) << lost.size() << " of " << taken.size() << " lost, first "
                            << (lost.empty() ? 0 : lost.front());
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0);
}

}  // namespace
}  // namespace ostrel::test
