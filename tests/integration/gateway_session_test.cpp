// Hat set-up (local node and stored links), radio wake-up and the MQTT session of the real daemon.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_session {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using Clock = std::chrono::steady_clock;

hatsim::Options simOptions() {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.uniqueId = 77001;
  o.nodes.push_back({5000, 7, 71, {0x01, 0x14}, 0});
  return o;
}

struct Link {
  std::uint32_t uid, localStartup, peerStartup, peerMessages;
  std::uint8_t keyByte;
  Bytes statusFile() const {
    Bytes b;
    putBe32(b, localStartup);
    b.insert(b.end(), 32, keyByte);
    putBe32(b, peerStartup);
    putBe32(b, peerMessages);
    return b;
  }
  Bytes peerSetup() const {
    Bytes b = toBytes("PS");
    putBe32(b, localStartup);
    b.push_back(0);
    putBe32(b, uid);
    putBe32(b, peerStartup);
    putBe32(b, peerMessages);
    b.insert(b.end(), 32, keyByte);
    return b;
  }
};

void writeFile(const std::string& path, const Bytes& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  out.close();
  ::chmod(path.c_str(), 0666);
}

// Sends a reading and waits for the daemon to take it: whatever the start-up was still to send
// the hat, it has sent by then.
::testing::AssertionResult readingTaken(HatSim& sim, const GatewayProcess& gw) {
  int from = static_cast<int>(gw.lines().size());
  sim.sendSensor(0);
  if (gw.waitForLine("Sensor #5000", 20s, false, from) >= 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no reading taken:\n" << gw.transcript();
}

std::vector<hatsim::Frame> framesOf(const HatSim& sim, const std::string& code) {
  std::vector<hatsim::Frame> out;
  for (auto& f : sim.framesSoFar())
    if (f.code == code) out.push_back(f);
  return out;
}

TEST(GatewaySession, LocalThenPeerSetupsEachAfterTheLastConfirmation) {
  constexpr int kDelayMs = 400;
  auto o = simOptions();
  o.localConfirm.delayMs = kDelayMs;
  o.peerConfirm.delayMs = kDelayMs;
  Broker broker;
  HatSim sim(o);
  sim.start();
  GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = broker.port()};
  cfg.nodeId = 17;
  cfg.networkId = 201;
  GatewayProcess gw(cfg);
  const std::vector<Link> links = {{5000, 3, 9, 1234, 0xA5}, {4026531840u, 0xFFFFFFFF, 1, 2, 0x3C}};
  for (auto& l : links)
    writeFile(gw.stateDir() + "/" + std::to_string(l.uid) + ".status", l.statusFile());
  for (const char* name : {"abc.status", "007.status", "-5.status"})
    writeFile(gw.stateDir() + "/" + name, links[0].statusFile());
  gw.start();

  auto ls = sim.nextFrame("LS", 20s);
  ASSERT_TRUE(ls) << gw.transcript();
  EXPECT_EQ(ls->bytes, (Bytes{'L', 'S', 17, 201, 0, 0, 0, 0}));
  auto first = sim.nextFrame("PS", 20s);
  ASSERT_TRUE(first) << gw.transcript();
  auto second = sim.nextFrame("PS", 20s);
  ASSERT_TRUE(second) << gw.transcript();
  auto tc = sim.nextFrame("TC", 20s);
  ASSERT_TRUE(tc) << gw.transcript();
  // Each frame went out only after the hat confirmed the one before.
  auto delay = std::chrono::milliseconds(kDelayMs - 20);
  EXPECT_GE(first->at - ls->at, delay);
  EXPECT_GE(second->at - first->at, delay);
  EXPECT_GE(tc->at - second->at, delay);

  std::set<Bytes> sent = {first->bytes, second->bytes};
  std::set<Bytes> expected = {links[0].peerSetup(), links[1].peerSetup()};
  EXPECT_EQ(first->bytes.size(), 51u);
  EXPECT_EQ(sent, expected);
  ASSERT_TRUE(readingTaken(sim, gw));
  EXPECT_EQ(framesOf(sim, "PS").size(), 2u);

  EXPECT_EQ(gw.countLines(gw.stateDir() + "/7.status is not a file"), 1) << gw.transcript();
  EXPECT_EQ(gw.countLines("-5 must be a number"), 1) << gw.transcript();
  EXPECT_EQ(gw.countLines("abc"), 0);
  EXPECT_EQ(gw.countLines("Sent local node setup for node 17, network 201 "), 1);
  EXPECT_EQ(gw.countLines("Sent peer node setup"), 2);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

// The wake-up follows the set-up, broker or not, and a connect never sends another.
TEST(GatewaySession, WakeUpGoesOutOnceAfterSetupBrokerOrNot) {
  {  // the broker is up at once, the hat confirms slowly
    auto o = simOptions();
    o.localConfirm.delayMs = 1200;
    Broker broker;
    HatSim sim(o);
    sim.start();
    GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
    gw.start();
    auto ls = sim.nextFrame("LS", 20s);
    ASSERT_TRUE(ls) << gw.transcript();
    auto tc = sim.nextFrame("TC", 20s);
    ASSERT_TRUE(tc) << gw.transcript();
    EXPECT_GE(tc->at - ls->at, 1150ms);
    ASSERT_TRUE(readingTaken(sim, gw));
    EXPECT_EQ(framesOf(sim, "TC").size(), 1u) << gw.transcript();
    EXPECT_EQ(gw.countLines("Waking Gateway Hat up"), 1);
  }
  {  // the hat confirms at once, the broker comes late: the radio does not wait for it
    Broker broker;
    broker.stop();
    HatSim sim(simOptions());
    sim.start();
    GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
    gw.start();
    int refused = gw.waitForLine("not reachable; retrying", 20s);
    ASSERT_GE(refused, 0) << gw.transcript();
    ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
    ASSERT_TRUE(readingTaken(sim, gw));
    broker.start();
    ASSERT_GE(gw.waitForLine("Subscribed mid", 20s), 0) << gw.transcript();
    EXPECT_EQ(framesOf(sim, "TC").size(), 1u) << gw.transcript();
  }
}

TEST(GatewaySession, ConnectSubscribesAndBrokerRestartRenewsSubscriptions) {
  Broker broker;
  HatSim sim(simOptions());
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  // The connect does not wait for the wake-up, nor the wake-up for the connect.
  EXPECT_GE(gw.waitForLine("Subscribing to tx/#", 5s), 0) << gw.transcript();
  EXPECT_EQ(gw.countLines("Subscribing to "), 1);
  ASSERT_GE(gw.waitForLine("Subscribed mid #", 20s), 0) << gw.transcript();
  publishTo(broker.port(), "tx/5000/config", "1");
  EXPECT_GE(gw.waitForLine("RECV MSG on topic tx/5000/config", 20s, true), 0) << gw.transcript();

  broker.stop();
  broker.start();
  int first = gw.findLine("Connected to MQTT broker");
  int second = gw.waitForLine("Connected to MQTT broker", 30s, false, first + 1);
  ASSERT_GT(second, first) << gw.transcript() << "broker log:\n" << broker.logText();
  ASSERT_GE(gw.waitForLine("Subscribed mid #", 20s, false, second), 0) << gw.transcript();
  publishTo(broker.port(), "tx/5000/after", "2");
  EXPECT_GE(gw.waitForLine("RECV MSG on topic tx/5000/after", 20s, true, second), 0)
      << gw.transcript();
  EXPECT_EQ(framesOf(sim, "TC").size(), 1u);  // a reconnect does not wake the radio again
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

TEST(GatewaySession, VersionThreeHatAlsoSubscribesTheGatewayTopics) {
  auto o = simOptions();
  o.version = 3;
  Broker broker;
  HatSim sim(o);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Subscribed mid #", 20s), 0) << gw.transcript();
  int subscribing = gw.findLine("Subscribing to tx/#");
  ASSERT_GE(subscribing, 0) << gw.transcript();
  auto lines = gw.lines();
  ASSERT_GT(lines.size(), static_cast<std::size_t>(subscribing) + 2);
  EXPECT_EQ(lines[subscribing + 1], "Subscribing to gw/77001/setSensorRadioKey/+");
  EXPECT_EQ(lines[subscribing + 2], "Subscribing to gw/77001/removeSensorRadioKey/+");

  for (std::string topic : {"gw/77001/setSensorRadioKey/5000", "gw/77001/removeSensorRadioKey/5000",
                            "gw/77001/setRTCOffset", "tx/5000/x"}) {
    publishTo(broker.port(), topic, "");
    EXPECT_GE(gw.waitForLine("RECV MSG on topic " + topic, 20s, true), 0) << topic;
  }
  // Another gateway's topics are not ours.
  publishTo(broker.port(), "gw/77002/setRTCOffset", "1.5");
  publishTo(broker.port(), "tx/5000/marker", "");
  ASSERT_GE(gw.waitForLine("RECV MSG on topic tx/5000/marker", 20s, true), 0);
  EXPECT_EQ(gw.countLines("gw/77002"), 0);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

TEST(GatewaySession, UnconfirmedLocalSetupTimesOutAndReadingGoesOn) {
  auto o = simOptions();
  o.localConfirm.withhold = true;
  Broker broker;
  HatSim sim(o);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("LS", 20s)) << gw.transcript();
  int timedOut = gw.waitForLine("did not confirm \"Local node setup complete\"", 20s);
  ASSERT_GE(timedOut, 0) << gw.transcript();
  sim.sendLog("still here");
  EXPECT_GE(gw.waitForLine("[GW Log] still here", 20s, true, timedOut), 0) << gw.transcript();
  sim.sendStatistics(5, 6);
  EXPECT_GE(gw.waitForLine("Num RX: 5, Num Lost Packets: 6", 20s, true, timedOut), 0);
  EXPECT_TRUE(framesOf(sim, "TC").empty());
  EXPECT_TRUE(framesOf(sim, "PS").empty());
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

}  // namespace
}  // namespace ostrel::test::gateway_session
