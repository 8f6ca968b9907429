// The daemon's MQTT side under strain: many starts and stops over plain TCP and TLS, and ten
// thousand sensors announced to Home Assistant while the broker restarts and the session is taken
// over.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Pki.hpp"
#include "tests/support/TcpProxy.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using json = nlohmann::json;

// The simulator's default gateway UID, 0x01020304.
const std::string kHealth = "gw/16909060/health";

hatsim::Options simOptions() {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  return o;
}

// Twenty times over plain TCP, twenty over TLS: start, wait for a reading, SIGTERM. A stop that
// comes while the connection or the readings are still under way must end cleanly all the same.
// tests/race_hunt.sh runs this beside two busy loops, where the races show.
TEST(StartStop, TwentyCyclesOverPlainTcpAndTwentyOverTlsEachExitZero) {
  Pki pki;
  Broker tlsBroker(BrokerTls{.caFile = pki.caCert(),
                             .certFile = pki.serverCert(),
                             .keyFile = pki.serverKey(),
                             .requireClientCert = true});
  Broker plainBroker;
  Subscriber sub(plainBroker.port(), {"sensors/1001/raw"});
  auto opt = simOptions();
  opt.nodes = {{1001, 11, 40, {0x01}, 50}};
  HatSim sim(opt);
  sim.start();

  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    GatewayConfig cfg{.device = sim.devicePath(),
                      .mqttPort = tls ? tlsBroker.port() : plainBroker.port()};
    if (tls)
      cfg.extra["MQTT"] = {{"tls", "yes"},
                           {"ca-file", pki.caCert()},
                           {"cert-file", pki.clientCert()},
                           {"key-file", pki.clientKey()}};
    for (int cycle = 0; cycle < 20; ++cycle) {
      SCOPED_TRACE("cycle " + std::to_string(cycle));
      GatewayProcess gw(cfg);
      const auto seen = sub.messages().size();
      gw.start();
      if (tls) {
        // No plain subscriber on the TLS broker: the daemon connected and took a reading.
        const int connected = gw.waitForLine("Connected to MQTT broker", 20s);
        ASSERT_GE(connected, 0) << gw.transcript();
        ASSERT_GE(gw.waitForLine("Sensor #1001 ", 20s, false, connected), 0) << gw.transcript();
      } else {
        ASSERT_TRUE(sub.waitForCount(seen + 1, 20s)) << gw.transcript();
      }
      gw.signal(SIGTERM);
      ASSERT_EQ(gw.waitExit(20s), 0) << gw.transcript();
    }
  }
}

std::string hostName() {
  char buf[256] = {};
  EXPECT_EQ(::gethostname(buf, sizeof buf - 1), 0);
  return buf;
}

// Peak resident memory (VmHWM) of process `pid` in kB; -1 when unreadable.
long long peakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}

// What the subscribers, one per broker run, received: readings by their payload (sequence number
// and send time, distinct for every message the hat sent), the health reports, and how often each
// discovery configuration came. Each message is looked at once.
struct Delivered {
  std::set<std::string> readings;
  std::set<std::string> sensors;
  std::vector<json> health;
  std::map<std::string, int> configs;

  void take(const Subscriber& sub, std::size_t& seen) {
    auto v = sub.messages();
    for (; seen < v.size(); ++seen) {
      const auto& m = v[seen];
      if (m.topic == kHealth) {
        health.push_back(json::parse(m.payload, nullptr, false));
      } else if (m.topic.rfind("sensors/", 0) == 0) {
        const std::string marker = "\"payload\": \"";
        auto at = m.payload.find(marker);
        if (at == std::string::npos) continue;
        at += marker.size();
        readings.insert(m.payload.substr(at, m.payload.find('"', at) - at));
        sensors.insert(m.topic);
      } else if (m.topic.rfind("homeassistant/", 0) == 0 && m.topic != "homeassistant/status") {
        ++configs[m.topic];
      }
    }
  }
};

// Ten thousand sensors, each announced to Home Assistant, then a stream at 100/s through five
// broker restarts and five session take-overs. The daemon reaches the broker through a proxy that
// stays down while a broker restarts, until a new subscriber is in place: the subscribers together
// see everything the broker got.
TEST(ManySensors, TenThousandAnnouncedThroughBrokerRestartsAndTakeOversLoseNothing) {
  Broker broker;
  TcpProxy proxy(broker.port(), [](int) { return TcpProxy::Mode::Forward; });
  auto opt = simOptions();
  opt.floodUids = 10000;
  HatSim sim(opt);
  sim.start();
  const std::vector<std::string> filters = {"sensors/#", kHealth, "homeassistant/#"};
  // One subscriber per broker run: an earlier one, reconnecting by itself, would count again
  // what the current one gets.
  auto sub = std::make_unique<Subscriber>(broker.port(), filters);
  std::size_t seen = 0;
  Delivered got;
  GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = proxy.port()};
  cfg.extra["MQTT"] = {{"health-interval", "1"}, {"discovery-prefix", "homeassistant"}};
  GatewayProcess gw(cfg);
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Subscribed mid", 20s), 0) << gw.transcript();
  auto taken = [&] { return gw.countLines("Sensor #"); };

  // Every sensor heard once.
  sim.startFlood(10000, 1000);
  ASSERT_TRUE(waitUntil([&] { return sim.floodDone(); }, 60s, "10,000 sensors heard"));

  const std::string clientId = "ostrel-" + hostName();
  sim.startFlood(0, 100);
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int from = static_cast<int>(gw.lines().size());
    if (round % 2 == 0) {
      broker.stop();
      proxy.setDown(true);
      ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 20s, false, from), 0);
      got.take(*sub, seen);
      sub.reset();
      seen = 0;
      broker.start();
      sub = std::make_unique<Subscriber>(broker.port(), filters);
      proxy.setDown(false);
    } else {
      publishTo(broker.port(), "ostrel-test/take-over", "x", 1, false, clientId);
      ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 20s, false, from), 0);
    }
    const int back = gw.waitForLine("Connected to MQTT broker", 30s, false, from);
    ASSERT_GE(back, 0) << gw.transcript();
    // A second of the stream through the new connection before the next blow.
    const int before = taken();
    ASSERT_TRUE(waitUntil([&] { return taken() >= before + 100; }, 20s, "100 more readings"));
  }
  sim.stopFlood();
  sim.sendLog("stream over");
  ASSERT_GE(gw.waitForLine("[GW Log] stream over", 30s, true), 0);
  const auto sent = sim.stats().floodSent;
  EXPECT_EQ(static_cast<std::uint64_t>(taken()), sent);

  EXPECT_TRUE(waitUntil(
      [&] {
        got.take(*sub, seen);
        return got.readings.size() >= sent;
      },
      60s, "every reading on the broker",
      [&] { return std::to_string(got.readings.size()) + " of " + std::to_string(sent); }));
  EXPECT_EQ(got.sensors.size(), 10000u);
  // The report made once everything went out.
  ASSERT_TRUE(waitUntil(
      [&] {
        got.take(*sub, seen);
        return !got.health.empty() && got.health.back().is_object() &&
               got.health.back()["readings_received"] == sent &&
               got.health.back()["readings_buffered"] == 0;
      },
      30s, "a report with every reading received and nothing buffered",
      [&] { return got.health.empty() ? std::string("none") : got.health.back().dump(); }));
  EXPECT_EQ(got.health.back()["readings_dropped"], 0) << got.health.back().dump();
  EXPECT_GE(got.health.back()["mqtt_reconnects"], 10) << got.health.back().dump();

  // Configurations are sent once; a reconnect, a take-over or a new broker does not repeat them
  // (only Home Assistant's "online" does).
  for (const auto& [topic, n] : got.configs) EXPECT_EQ(n, 1) << topic;
  EXPECT_EQ(got.configs.count("homeassistant/sensor/ostrel_16909060/readings_received/config"), 1u);

  long long worstDelay = 0;
  for (const auto& h : got.health) {
    ASSERT_TRUE(h.is_object());
    worstDelay = std::max(worstDelay, h.at("loop_delay_max_ms").get<long long>());
  }
  EXPECT_LT(worstDelay, 100) << "over " << got.health.size() << " reports";
  const long long peak = peakRssKb(gw.pid());
  EXPECT_GT(peak, 0);
  EXPECT_LT(peak, 25 * 1024) << "VmHWM " << peak << " kB";
  RecordProperty("loop_delay_max_ms", std::to_string(worstDelay));
  RecordProperty("vm_hwm_kb", std::to_string(peak));
  std::cerr << "worst loop delay " << worstDelay << " ms over " << got.health.size()
            << " reports, VmHWM " << peak << " kB, " << got.configs.size() << " configurations\n";
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(30s), 0);
}

}  // namespace
}  // namespace ostrel::test
