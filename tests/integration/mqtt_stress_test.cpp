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

namespace ostrel::test::mqtt_stress {
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

// The readings the daemon logged ("Sensor #987149 [Node 99]: <payload hex> ...") that are not in
// `delivered`, as (line index, payload); the first few.
std::vector<std::pair<int, std::string>> missingOf(const GatewayProcess& gw,
                                                   const std::set<std::string>& delivered) {
  std::vector<std::pair<int, std::string>> missing;
  auto lines = gw.lines();
  for (int i = 0; i < static_cast<int>(lines.size()) && missing.size() < 5; ++i) {
    if (lines[i].rfind("Sensor #", 0) != 0) continue;
    auto at = lines[i].find("]: ");
    if (at == std::string::npos) continue;
    auto hex = lines[i].substr(at + 3, 24);
    if (!delivered.count(hex)) missing.emplace_back(i, hex);
  }
  return missing;
}

// The connection events nearest to line `index`, with their distance in milliseconds.
std::string aroundLine(const GatewayProcess& gw, int index) {
  auto lines = gw.lines();
  auto at = gw.lineTime(index);
  std::string out;
  auto describe = [&](int i) {
    auto t = gw.lineTime(i);
    long long ms =
        at && t ? std::chrono::duration_cast<std::chrono::milliseconds>(*t - *at).count() : 0;
    out += "\n  line " + std::to_string(i) + " (" + std::to_string(ms) + " ms): " + lines[i];
  };
  for (int i = index - 1, n = 0; i >= 0 && n < 3; --i)
    if (lines[i].find("MQTT") != std::string::npos || lines[i].find("aside") != std::string::npos)
      describe(i), ++n;
  for (int i = index + 1, n = 0; i < static_cast<int>(lines.size()) && n < 3; ++i)
    if (lines[i].find("MQTT") != std::string::npos || lines[i].find("aside") != std::string::npos)
      describe(i), ++n;
  return out;
}

// The first of `blows` (line, what) at or after line `index`.
std::string nextBlow(const std::vector<std::pair<int, std::string>>& blows, int index) {
  for (const auto& [line, what] : blows)
    if (line >= index) return what + " from line " + std::to_string(line);
  return "none";
}

// Ten thousand sensors, each announced to Home Assistant, then a stream at 100/s through five
// broker restarts and five session take-overs. The daemon reaches the broker through a proxy that
// stays down while a broker restarts, until a new subscriber is in place: the subscribers together
// see everything the broker got. Each new broker knows nothing of the daemon's session.
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
  cfg.extra["PARSER"] = {{"announce", "all"}};  // each heard once, each a device
  GatewayProcess gw(cfg);
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Subscribed mid", 20s), 0) << gw.transcript();
  auto taken = [&] { return gw.countLines("Sensor #"); };

  // Every sensor heard once.
  sim.startFlood(10000, 1000);
  ASSERT_TRUE(waitUntil([&] { return sim.floodDone(); }, 60s, "10,000 sensors heard"));

  const std::string clientId = "ostrel-" + hostName();
  std::vector<std::pair<int, std::string>> blows;  // (first log line after it, what)
  // Reports from the next but one on cover only the stream (each covers the period before it).
  got.take(*sub, seen);
  const std::size_t streamReports = got.health.size() + 1;
  sim.startFlood(0, 100);
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int from = static_cast<int>(gw.lines().size());
    blows.emplace_back(from, round % 2 == 0 ? "broker restart" : "take-over");
    if (round % 2 == 0) {
      // The daemon is cut off first and the broker's queue to the subscriber drained (a marker
      // sent after everything else has come through): a broker that has acknowledged a reading
      // and is stopped before passing it on would lose it, and that is not the daemon's doing.
      proxy.setDown(true);
      ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 20s, false, from), 0);
      const std::string marker = "drained " + std::to_string(round);
      publishTo(broker.port(), "sensors/drained", marker, 1);
      ASSERT_TRUE(sub->waitFor(
          [&](const std::vector<Received>& v) { return !v.empty() && v.back().payload == marker; },
          30s));
      broker.stop();
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
  for (const auto& [index, payload] : missingOf(gw, got.readings))
    ADD_FAILURE() << "reading " << payload << " (line " << index
                  << ") never reached the broker; next blow: " << nextBlow(blows, index)
                  << aroundLine(gw, index);
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
  // (only Home Assistant's "online" does), nor the emptying of the earlier versions' topics. A
  // publication in flight as a connection went away may go out again: at most a batch (10
  // sensors, 2 topics emptied each) per connection lost. The gateway's own went out long before
  // the first loss.
  int repeated = 0;
  for (const auto& [topic, n] : got.configs) repeated += n - 1;
  EXPECT_LE(repeated, 10 * 20) << "of " << got.configs.size();
  for (auto topic : {"homeassistant/device/ostrel_16909060/config",
                     "homeassistant/binary_sensor/ostrel_16909060/status/config",
                     "homeassistant/sensor/ostrel_16909060/readings_received/config",
                     "homeassistant/sensor/ostrel_16909060/readings_dropped/config",
                     "homeassistant/sensor/ostrel_16909060/readings_buffered/config"})
    EXPECT_EQ(got.configs[topic], 1) << topic;

  long long worstDelay = 0, floodDelay = 0;
  std::string slow;
  for (std::size_t i = 0; i < got.health.size(); ++i) {
    const auto& h = got.health[i];
    ASSERT_TRUE(h.is_object());
    const auto delay = h.at("loop_delay_max_ms").get<long long>();
    if (i < streamReports) {
      floodDelay = std::max(floodDelay, delay);
      continue;
    }
    worstDelay = std::max(worstDelay, delay);
    if (delay >= 100)  // reported also where the sanitizer build allows more
      slow += " " + std::to_string(delay) + " ms (uptime " + h.at("uptime_s").dump() +
              " s, reconnects " + h.at("mqtt_reconnects").dump() + ")";
  }
  // Instrumented or emulated code runs several times slower; the emulator's own memory counts
  // in the process's peak.
  const bool native = nativeUninstrumented();
  const long long kLoopBound = native ? 100 : 300;
  EXPECT_LT(worstDelay, kLoopBound)
      << "over " << got.health.size() - streamReports << " reports of the stream:" << slow;
  const long long peak = peakRssKb(gw.pid());
  EXPECT_GT(peak, 0);
  if (native) {
    EXPECT_LT(peak, 25 * 1024) << "VmHWM " << peak << " kB";
  }
  RecordProperty("loop_delay_max_ms", std::to_string(worstDelay));
  RecordProperty("vm_hwm_kb", std::to_string(peak));
  RecordProperty("loop_delay_max_ms_first_hearing", std::to_string(floodDelay));
  std::cerr << "first hearing at 1000/s: loop delay up to " << floodDelay << " ms; stream: "
            << "worst loop delay " << worstDelay << " ms over " << got.health.size()
            << " reports, VmHWM " << peak << " kB, " << got.configs.size() << " configurations ("
            << repeated << " repeated)\n";
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(30s), 0);
}

}  // namespace
}  // namespace ostrel::test::mqtt_stress
