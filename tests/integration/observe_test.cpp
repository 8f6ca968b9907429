// The daemon seen from the broker: availability with the will, the health report's counters,
// per-sensor status, TLS, and Home Assistant discovery.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Pki.hpp"
#include "tests/support/TcpProxy.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::observe {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using json = nlohmann::json;

// The simulator's default gateway UID, 0x01020304.
const std::string kGw = "gw/16909060";

hatsim::Options simOptions(std::vector<hatsim::VirtualNode> nodes = {}) {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.serial = "QGH000000042";
  o.fwRevision = 4711;
  o.nodes = std::move(nodes);
  return o;
}

// Waits for a health report for which `pred` holds; the last report seen when none did.
std::optional<json> waitForHealth(Subscriber& sub, const std::function<bool(const json&)>& pred,
                                  std::chrono::milliseconds timeout) {
  std::optional<json> seen;
  sub.waitFor(
      [&](const std::vector<Received>& v) {
        for (auto it = v.rbegin(); it != v.rend(); ++it) {
          if (it->topic != kGw + "/health") continue;
          auto j = json::parse(it->payload, nullptr, false);
          if (j.is_discarded()) return false;
          seen = j;
          return pred(j);
        }
        return false;
      },
      timeout);
  return seen;
}

// Waits until at least `n` lines contain `text`.
::testing::AssertionResult waitForLines(GatewayProcess& gw, const std::string& text, int n,
                                        std::chrono::milliseconds timeout) {
  return waitUntil([&] { return gw.countLines(text) >= n; }, timeout,
                   std::to_string(n) + " lines with " + text,
                   [&] { return std::to_string(gw.countLines(text)); });
}

GatewayConfig config(const HatSim& sim, int port, std::map<std::string, std::string> mqtt = {}) {
  GatewayConfig c{.device = sim.devicePath(), .mqttPort = port};
  c.extra["MQTT"] = std::move(mqtt);
  return c;
}

TEST(Observe, OnlineAfterStartOfflineAfterStopAndThroughTheWillAfterAKill) {
  Broker broker;
  {
    HatSim sim(simOptions({{1001, 11, 40, {0x01}, 0}}));
    sim.start();
    Subscriber sub(broker.port(), {kGw + "/status"});
    GatewayProcess gw(config(sim, broker.port()));
    gw.start();
    ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
    ASSERT_TRUE(
        sub.waitFor([](auto& v) { return !v.empty() && v.back().payload == "online"; }, 20s))
        << gw.transcript();
    // Stopped while readings are still queued: "offline" waits behind them and must still go
    // out, since the clean DISCONNECT discards the will.
    for (int i = 0; i < 200; ++i) sim.sendSensor(0);
    ASSERT_TRUE(waitForLines(gw, "Sensor #1001", 50, 20s)) << gw.transcript();
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.waitExit(20s), 0);
    ASSERT_TRUE(sub.waitFor([](auto& v) { return v.back().payload == "offline"; }, 20s))
        << gw.transcript();
  }
  {
    HatSim sim(simOptions());
    sim.start();
    GatewayProcess gw(config(sim, broker.port()));
    gw.start();
    ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
    // The wake-up does not wait for the connect: the retained copy is there once a live one is.
    Subscriber live(broker.port(), {kGw + "/status"});
    ASSERT_TRUE(
        live.waitFor([](auto& v) { return !v.empty() && v.back().payload == "online"; }, 20s));
    Subscriber online(broker.port(), {kGw + "/status"});
    ASSERT_TRUE(
        online.waitFor([](auto& v) { return !v.empty() && v.back().payload == "online"; }, 20s));
    EXPECT_TRUE(online.messages().back().retain);
    gw.signal(SIGKILL);
    gw.waitExit(20s);
    ASSERT_TRUE(online.waitFor([](auto& v) { return v.back().payload == "offline"; }, 20s));
    // Retained: a subscriber that comes later learns it too.
    Subscriber later(broker.port(), {kGw + "/status"});
    ASSERT_TRUE(later.waitForCount(1, 20s));
    EXPECT_EQ(later.messages().back().payload, "offline");
    EXPECT_TRUE(later.messages().back().retain);
  }
}

TEST(Observe, HealthCountsWhatTheHatSentAndTheBrokerOutage) {
  Broker broker;
  HatSim sim(simOptions({{0xC0FFEE, 9, 64, {0x01, 0x02}, 0}}));
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#", "gw/#"});
  GatewayProcess gw(config(sim, broker.port(), {{"health-interval", "1"}}));
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();

  sim.startFlood(500, 0);
  auto readings = [](const std::vector<Received>& v) {
    std::size_t n = 0;
    for (auto& m : v) n += m.topic.rfind("sensors/", 0) == 0;
    return n;
  };
  ASSERT_TRUE(sub.waitFor([&](auto& v) { return readings(v) >= 500; }, 60s)) << gw.transcript();
  for (int i = 0; i < 3; ++i) sim.sendSensor(0, hatsim::SensorKind::Duplicate);
  sim.sendFailedDecrypt(0, {1, 2, 3, 4, 5, 6, 7, 8});
  sim.sendFailedDecrypt(0, {1, 2, 3, 4, 5, 6, 7, 8});

  auto h = waitForHealth(
      sub,
      [](const json& j) {
        return j["readings_received"] == 500 && j["readings_published"] == 500 &&
               j["duplicates"] == 3 && j["decrypt_failures"] == 2;
      },
      15s);
  ASSERT_TRUE(h) << gw.transcript();
  EXPECT_EQ((*h)["readings_received"], 500) << h->dump();
  EXPECT_EQ((*h)["readings_published"], 500) << h->dump();
  EXPECT_EQ((*h)["readings_dropped"], 0);
  EXPECT_EQ((*h)["readings_buffered"], 0);
  EXPECT_EQ((*h)["duplicates"], 3);
  EXPECT_EQ((*h)["decrypt_failures"], 2);
  EXPECT_EQ((*h)["protocol_version"], 1);
  EXPECT_EQ((*h)["firmware_revision"], 4711);
  EXPECT_EQ((*h)["hat_serial"], "QGH000000042");
  EXPECT_EQ((*h)["mqtt_reconnects"], 0);
  EXPECT_EQ((*h)["serial_recoveries"], 0);
  EXPECT_EQ((*h)["tx_queue_jobs"], 0);
  EXPECT_TRUE((*h)["last_clock_sync"].is_null());  // protocol version 1 keeps no clock
  EXPECT_GT((*h)["rss_kb"].get<long long>(), 1000);
  EXPECT_GE((*h)["uptime_s"].get<long long>(), 1);

  // The broker goes away; what the hat sends meanwhile waits in the buffer and is published
  // once the gateway is connected again.
  broker.stop();
  ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 20s), 0) << gw.transcript();
  for (int i = 0; i < 20; ++i) sim.sendSensor(0);
  ASSERT_TRUE(waitForLines(gw, "Sensor #12648430", 23, 20s)) << gw.transcript();
  broker.start();
  Subscriber after(broker.port(), {"gw/#"});
  h = waitForHealth(
      after,
      [](const json& j) {
        return j["mqtt_reconnects"] == 1 && j["readings_published"] == 520 &&
               j["readings_received"] == 520;
      },
      40s);
  ASSERT_TRUE(h) << gw.transcript();
  EXPECT_EQ((*h)["readings_dropped"], 0) << h->dump();
  EXPECT_EQ((*h)["readings_buffered"], 0) << h->dump();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

TEST(Observe, DroppedCountIsWhatTheSubscriberMissedAfterAnOutageLongerThanTheBuffer) {
  // More readings than the gateway's buffer holds arrive while the broker is away.
  constexpr int kSent = 10600;
  Broker broker;
  // The outage is the proxy's, so that the subscriber is in place before the gateway can be
  // back: a reading published before it subscribed would count as missed.
  TcpProxy proxy(broker.port(), [](int) { return TcpProxy::Mode::Forward; });
  Subscriber sub(broker.port(), {"sensors/#", kGw + "/health"});
  HatSim sim(simOptions());
  sim.start();
  // About 4,000 readings' worth of buffer.
  GatewayProcess gw(
      config(sim, proxy.port(), {{"health-interval", "1"}, {"buffer-size", "1000000"}}));
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Subscribed mid", 20s), 0) << gw.transcript();
  proxy.setDown(true);
  ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 20s), 0) << gw.transcript();
  sim.startFlood(kSent, 0);
  ASSERT_TRUE(waitForLines(gw, "Sensor #987149", kSent, 120s)) << gw.countLines("Sensor #");
  proxy.setDown(false);
  auto h = waitForHealth(
      sub,
      [](const json& j) {
        return j["readings_received"] == kSent && j["readings_buffered"] == 0 &&
               j["mqtt_reconnects"] == 1;
      },
      60s);
  ASSERT_TRUE(h) << gw.countLines("Sensor #");
  // Distinct readings: one whose acknowledgement was lost in the outage comes twice.
  std::set<std::string> got;
  auto distinct = [&](const std::vector<Received>& v) {
    got.clear();
    for (auto& m : v)
      if (m.topic == "sensors/987149/raw") got.insert(m.payload.substr(m.payload.find("payload")));
    return got.size();
  };
  int dropped = (*h)["readings_dropped"].get<int>();
  // All that was not dropped arrives.
  EXPECT_TRUE(
      sub.waitFor([&](auto& v) { return static_cast<int>(distinct(v)) >= kSent - dropped; }, 30s))
      << got.size() << " of " << kSent << ", " << dropped << " dropped";
  distinct(sub.messages());
  int missed = kSent - static_cast<int>(got.size());
  EXPECT_GT(missed, 0);
  // The count also holds the gateway's own status publications lost as the broker went away.
  EXPECT_GE(dropped, missed) << h->dump();
  EXPECT_LE(dropped, missed + 5) << h->dump();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

TEST(Observe, EachSensorGetsItsStatusWithItsRssiNotOncePerReading) {
  Broker broker;
  HatSim sim(simOptions({{1001, 11, 40, {0x01}, 0},
                         {1002, 12, 55, {0x02}, 0},
                         {1003, 13, 70, {0x03}, 0},
                         {1004, 14, 80, {0x04}, 0}}));
  sim.start();
  Subscriber sub(broker.port(), {kGw + "/sensor/#"});
  GatewayProcess gw(config(sim, broker.port()));
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Subscribed mid", 20s), 0) << gw.transcript();  // each first heard live
  for (int round = 0; round < 10; ++round)
    for (std::size_t n = 0; n < 3; ++n) sim.sendSensor(n);
  ASSERT_TRUE(sub.waitForCount(3, 20s)) << gw.transcript();
  ASSERT_TRUE(waitForLines(gw, "Sensor #100", 30, 20s)) << gw.transcript();
  // Published in order: a status for any of the thirty readings comes before the one of 1004.
  sim.sendSensor(3);
  ASSERT_TRUE(sub.waitFor(
      [&](auto& v) { return !v.empty() && v.back().topic == kGw + "/sensor/1004"; }, 20s))
      << gw.transcript();

  auto msgs = sub.messages();
  msgs.pop_back();
  ASSERT_EQ(msgs.size(), 3u);  // one each: the next is due a minute later
  const std::map<std::string, std::pair<int, int>> expected = {{kGw + "/sensor/1001", {11, -40}},
                                                               {kGw + "/sensor/1002", {12, -55}},
                                                               {kGw + "/sensor/1003", {13, -70}}};
  for (auto& m : msgs) {
    ASSERT_TRUE(expected.count(m.topic)) << m.topic;
    json j = json::parse(m.payload);
    EXPECT_EQ(j["node"], expected.at(m.topic).first) << m.payload;
    EXPECT_EQ(j["rssi"], expected.at(m.topic).second) << m.payload;
    EXPECT_EQ(j["readings"], 1) << m.payload;  // published when first heard
    EXPECT_EQ(j["duplicates"], 0);
    EXPECT_EQ(j["last_seen"].get<std::string>().size(), std::string("2026-12-08T20:15:03Z").size());
    EXPECT_EQ(j["last_seen"].get<std::string>().back(), 'Z');
  }
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

TEST(Observe, TlsBrokerReachedWithItsCaAndRefusedWithAnother) {
  Pki pki;
  Broker broker(BrokerTls{.caFile = pki.caCert(),
                          .certFile = pki.serverCert(),
                          .keyFile = pki.serverKey(),
                          .requireClientCert = true});
  std::map<std::string, std::string> tls = {{"tls", "yes"},
                                            {"ca-file", pki.caCert()},
                                            {"cert-file", pki.clientCert()},
                                            {"key-file", pki.clientKey()}};
  {
    HatSim sim(simOptions());
    sim.start();
    GatewayProcess gw(config(sim, broker.port(), tls));
    gw.start();
    ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
    // Logged before the wake-up went out; the reader thread may not have it yet.
    EXPECT_GE(gw.waitForLine("Connected to MQTT broker", 5s), 0) << gw.transcript();
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.waitExit(20s), 0);
  }
  {
    tls["ca-file"] = pki.otherCaCert();
    HatSim sim(simOptions());
    sim.start();
    GatewayProcess gw(config(sim, broker.port(), tls));
    gw.start();
    int first = gw.waitForLine(
        "TLS: the broker's certificate does not verify against " + pki.otherCaCert(), 20s);
    ASSERT_GE(first, 0) << gw.transcript();
    // It keeps trying, one clear line per attempt (the reason and the retry together), and never
    // connects.
    EXPECT_NE(gw.lines()[first].find("not reachable; retrying in"), std::string::npos)
        << gw.lines()[first];
    ASSERT_GE(
        gw.waitForLine("TLS: the broker's certificate does not verify against " + pki.otherCaCert(),
                       20s, false, first + 1),
        0)
        << gw.transcript();
    EXPECT_LT(gw.findLine("Connected to MQTT broker"), 0) << gw.transcript();
    EXPECT_FALSE(gw.waitExit(0ms).has_value());
    EXPECT_TRUE(sim.nextFrame("LS", 20s));  // the hat is set up all the same
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
  }
  {
    // A broker without TLS: no falling back to plain TCP.
    Broker plain;
    tls["ca-file"] = pki.caCert();
    HatSim sim(simOptions());
    sim.start();
    GatewayProcess gw(config(sim, plain.port(), tls));
    gw.start();
    ASSERT_GE(gw.waitForLine("not reachable; retrying", 20s), 0) << gw.transcript();
    EXPECT_LT(gw.findLine("Connected to MQTT broker"), 0) << gw.transcript();
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
  }
}

TEST(Observe, DiscoveryConfigurationsOnlyWhenAPrefixIsSet) {
  for (bool withPrefix : {false, true}) {
    SCOPED_TRACE(withPrefix ? "with prefix" : "without prefix");
    Broker broker;  // none of the other round's retained messages
    HatSim sim(simOptions({{2001, 21, 60, {0x05}, 0}}));
    sim.start();
    Subscriber sub(broker.port(), {"homeassistant/#", kGw + "/sensor/#"});
    std::map<std::string, std::string> keys;
    if (withPrefix) keys["discovery-prefix"] = "homeassistant";
    GatewayProcess gw(config(sim, broker.port(), keys));
    gw.start();
    ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
    // Three readings: the default rule makes a device of a sensor heard three times in an hour.
    for (int i = 0; i < 3; ++i) sim.sendSensor(0);
    auto seen = [&](const std::string& prefix) {
      std::size_t n = 0;
      for (auto& m : sub.messages())
        n += m.topic.rfind(prefix, 0) == 0 && m.topic != "homeassistant/status";
      return n;
    };
    ASSERT_TRUE(waitUntil([&] { return seen(kGw + "/sensor/2001") > 0; }, 20s, "sensor status"));
    // Configurations follow, paced behind readings: the six topics of earlier versions emptied,
    // then the gateway's device and the sensor's.
    std::map<std::string, std::vector<std::string>> configs;
    if (withPrefix) {
      ASSERT_TRUE(waitUntil([&] { return seen("homeassistant/") >= 8; }, 20s, "8 publications"));
      // Home Assistant says it has started: it is told of each device again, once.
      publishTo(broker.port(), "homeassistant/status", "online", 1);
      ASSERT_TRUE(waitUntil([&] { return seen("homeassistant/") >= 10; }, 20s, "2 more"));
    }
    for (auto& m : sub.messages())
      if (m.topic.rfind("homeassistant/", 0) == 0 && m.topic != "homeassistant/status")
        configs[m.topic].push_back(m.payload);
    gw.signal(SIGTERM);
    EXPECT_EQ(gw.waitExit(20s), 0);
    if (!withPrefix) {
      EXPECT_TRUE(configs.empty());
      continue;
    }
    const std::string gwNode = "homeassistant/sensor/ostrel_16909060/";
    const std::string sensorNode = "homeassistant/sensor/ostrel_16909060_2001/";
    for (auto topic : {std::string("homeassistant/binary_sensor/ostrel_16909060/status/config"),
                       gwNode + "readings_received/config", gwNode + "readings_dropped/config",
                       gwNode + "readings_buffered/config", sensorNode + "rssi/config",
                       sensorNode + "last_seen/config"})
      EXPECT_EQ(configs[topic], std::vector<std::string>{""}) << topic;
    for (auto topic : {std::string("homeassistant/device/ostrel_16909060/config"),
                       std::string("homeassistant/device/ostrel_16909060_2001/config")}) {
      ASSERT_EQ(configs[topic].size(), 2u) << topic;
      const json c = json::parse(configs[topic].back());
      EXPECT_EQ(c["availability"][0]["topic"], kGw + "/status") << topic;
      EXPECT_EQ(c["o"]["name"], "ostrel") << topic;
      EXPECT_FALSE(c["dev"]["identifiers"].empty()) << topic;
      for (const auto& [id, component] : c["cmps"].items()) {
        EXPECT_TRUE(component["state_topic"].is_string()) << topic << " " << id;
        EXPECT_TRUE(component["unique_id"].is_string()) << topic << " " << id;
      }
    }
    EXPECT_EQ(configs.size(), 8u);
    const json sensor = json::parse(configs["homeassistant/device/ostrel_16909060_2001/config"][0]);
    EXPECT_EQ(sensor["cmps"]["rssi"]["state_topic"], kGw + "/sensor/2001");
    EXPECT_EQ(sensor["availability"][1]["topic"], kGw + "/sensor/2001");
    EXPECT_EQ(sensor["availability_mode"], "all");
  }
}

}  // namespace
}  // namespace ostrel::test::observe
