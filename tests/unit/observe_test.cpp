// The monitor: availability, the health report's counters, per-sensor status and its rate,
// discovery configurations, and the settings it reads.
#include "ostrel/observe/Monitor.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "tests/support/FakeMqttClient.hpp"

namespace ostrel::observe {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;
using test::FakeMqttClient;

constexpr std::uint32_t kGw = 16909060;

struct MonitorTest : ::testing::Test {
  asio::io_context ioc;
  std::shared_ptr<FakeMqttClient> client = std::make_shared<FakeMqttClient>();
  std::chrono::steady_clock::time_point now{std::chrono::hours(1000)};
  std::uint64_t recoveries = 0;
  std::shared_ptr<Monitor> monitor;

  void make(MonitorSettings settings = {}) {
    Sources s;
    s.client = [this] { return std::static_pointer_cast<MqttClient>(client); };
    s.serialRecoveries = [this] { return recoveries; };
    s.txQueueJobs = [] { return std::size_t{3}; };
    s.rssKb = [] { return 1234LL; };
    s.steadyNow = [this] { return now; };
    s.wallNow = [] { return std::chrono::system_clock::from_time_t(1796760903); };
    monitor = std::make_shared<Monitor>(ioc.get_executor(), settings, s);
  }

  // Hello, will, connect: the way the gateway brings a client up.
  void connect() {
    monitor->beforeConnect(*client, kGw);
    client->connected = true;
    monitor->onConnected(*client);
  }

  std::vector<FakeMqttClient::Publication> on(const std::string& topic) const {
    std::vector<FakeMqttClient::Publication> out;
    for (const auto& p : client->publications)
      if (p.topic == topic) out.push_back(p);
    return out;
  }
};

TEST_F(MonitorTest, WillAndOnlineOnConnectOfflineOnlyOnAStop) {
  make();
  monitor->onHello(2, 77, "QGH1", kGw);
  connect();
  ASSERT_TRUE(client->will);
  EXPECT_EQ(client->will->topic, "gw/16909060/status");
  EXPECT_EQ(client->will->payload, "offline");
  EXPECT_EQ(client->will->qos, 1);
  EXPECT_TRUE(client->will->retain);
  auto status = on("gw/16909060/status");
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].payload, "online");
  EXPECT_EQ(status[0].qos, 1);
  EXPECT_TRUE(status[0].retain);
  EXPECT_EQ(on("gw/16909060/health").size(), 1u);  // once right after the connect

  monitor->beforeDisconnect(*client, false);  // a restart: back online in a moment
  EXPECT_EQ(on("gw/16909060/status").size(), 1u);
  monitor->beforeDisconnect(*client, true);
  status = on("gw/16909060/status");
  ASSERT_EQ(status.size(), 2u);
  EXPECT_EQ(status[1].payload, "offline");
  EXPECT_TRUE(status[1].retain);

  // Not connected: an "offline" would wait in the buffer and arrive after the next "online".
  client->connected = false;
  monitor->beforeDisconnect(*client, true);
  EXPECT_EQ(on("gw/16909060/status").size(), 2u);
}

TEST_F(MonitorTest, HealthCountsReadingsAcrossRestarts) {
  make();
  monitor->onHello(2, 77, "QGH1", kGw);
  connect();
  for (int i = 0; i < 4; ++i) monitor->onReading(100, 7, -60, false);
  monitor->onReading(100, 7, -60, true);
  monitor->onDecryptFailure();
  monitor->onClockSync(std::chrono::system_clock::from_time_t(1796760903));
  // The client counts what is not retained: the four readings, not the monitor's own reports.
  client->counters.published = 4;
  client->counters.dropped = 2;
  client->counters.buffered = 5;
  client->counters.spooled = 3;
  recoveries = 1;
  now += 42s;
  json h = monitor->health();
  EXPECT_EQ(h["uptime_s"], 42);
  EXPECT_EQ(h["protocol_version"], 2);
  EXPECT_EQ(h["firmware_revision"], 77);
  EXPECT_EQ(h["hat_serial"], "QGH1");
  EXPECT_EQ(h["readings_received"], 4);
  EXPECT_EQ(h["readings_published"], 4);
  EXPECT_EQ(h["readings_dropped"], 2);
  EXPECT_EQ(h["readings_buffered"], 5);
  EXPECT_EQ(h["readings_spooled"], 3);
  EXPECT_EQ(h["duplicates"], 1);
  EXPECT_EQ(h["decrypt_failures"], 1);
  EXPECT_EQ(h["mqtt_reconnects"], 0);
  EXPECT_EQ(h["serial_recoveries"], 1);
  EXPECT_EQ(h["tx_queue_jobs"], 3);
  EXPECT_EQ(h["last_clock_sync"], "2026-12-08T20:15:03Z");
  EXPECT_EQ(h["rss_kb"], 1234);

  // A restart: the same client connects again and counts on.
  monitor->beforeDisconnect(*client, false);
  connect();
  client->counters.published = 6;
  client->counters.dropped = 3;
  client->counters.buffered = 0;
  h = monitor->health();
  EXPECT_EQ(h["readings_published"], 6);
  EXPECT_EQ(h["readings_dropped"], 3);
  EXPECT_EQ(h["readings_buffered"], 0);
  EXPECT_EQ(h["mqtt_reconnects"], 1);
}

TEST_F(MonitorTest, BeforeTheHelloTheHatFieldsAreNull) {
  make();
  json h = monitor->health();
  EXPECT_TRUE(h["protocol_version"].is_null());
  EXPECT_TRUE(h["firmware_revision"].is_null());
  EXPECT_TRUE(h["hat_serial"].is_null());
  EXPECT_TRUE(h["last_clock_sync"].is_null());
}

TEST_F(MonitorTest, SensorStatusAtOnceWhenFirstHeardThenAtMostOncePerInterval) {
  make({.healthInterval = 30s});
  monitor->onHello(1, 1, "S", kGw);
  connect();
  monitor->onReading(555, 7, -62, false);
  auto st = on("gw/16909060/sensor/555");
  ASSERT_EQ(st.size(), 1u);
  EXPECT_TRUE(st[0].retain);
  json j = json::parse(st[0].payload);
  EXPECT_EQ(j["node"], 7);
  EXPECT_EQ(j["rssi"], -62);
  EXPECT_EQ(j["last_seen"], "2026-12-08T20:15:03Z");
  EXPECT_EQ(j["readings"], 1);
  EXPECT_EQ(j["duplicates"], 0);

  now += 10s;
  for (int i = 0; i < 20; ++i) monitor->onReading(555, 7, -70, i % 5 == 0);
  monitor->tick();  // not yet due
  EXPECT_EQ(on("gw/16909060/sensor/555").size(), 1u);

  now += 20s;
  monitor->tick();
  st = on("gw/16909060/sensor/555");
  ASSERT_EQ(st.size(), 2u);
  j = json::parse(st[1].payload);
  EXPECT_EQ(j["rssi"], -70);
  EXPECT_EQ(j["readings"], 17);
  EXPECT_EQ(j["duplicates"], 4);

  now += 60s;
  monitor->tick();  // nothing new heard: nothing to say
  EXPECT_EQ(on("gw/16909060/sensor/555").size(), 2u);
  monitor->onReading(555, 7, -71, false);  // due already: at once
  EXPECT_EQ(on("gw/16909060/sensor/555").size(), 3u);
}

TEST_F(MonitorTest, SensorHeardWhileDisconnectedIsPublishedOnConnect) {
  make();
  monitor->onHello(1, 1, "S", kGw);
  monitor->beforeConnect(*client, kGw);
  monitor->onReading(9, 3, -50, false);
  EXPECT_TRUE(on("gw/16909060/sensor/9").empty());
  client->connected = true;
  monitor->onConnected(*client);
  EXPECT_EQ(on("gw/16909060/sensor/9").size(), 1u);
}

TEST_F(MonitorTest, HealthIntervalZeroSwitchesTheReportOff) {
  make({.healthInterval = 0s});
  monitor->onHello(1, 1, "S", kGw);
  connect();
  now += 3600s;
  monitor->tick();
  EXPECT_TRUE(on("gw/16909060/health").empty());
  EXPECT_EQ(on("gw/16909060/status").size(), 1u);
}

// The fields Home Assistant's MQTT discovery needs for a sensor or binary sensor that belongs to
// a device and follows the gateway's availability.
void expectDiscoverable(const std::string& topic, const std::string& payload) {
  static const std::regex topicForm(
      "homeassistant/(sensor|binary_sensor)/[a-zA-Z0-9_-]+/[a-zA-Z0-9_-]+/config");
  EXPECT_TRUE(std::regex_match(topic, topicForm)) << topic;
  json j = json::parse(payload);
  for (const char* key : {"unique_id", "name", "state_topic", "availability_topic", "device"})
    EXPECT_TRUE(j.contains(key)) << topic << " lacks " << key;
  EXPECT_EQ(j["availability_topic"], "gw/16909060/status");
  ASSERT_TRUE(j["device"]["identifiers"].is_array()) << topic;
  EXPECT_FALSE(j["device"]["identifiers"].empty());
  EXPECT_TRUE(j["device"].contains("name"));
}

TEST(Discovery, GatewayAndSensorConfigurationsCarryTheRequiredFields) {
  auto gwConfigs = gatewayDiscovery("homeassistant", kGw);
  ASSERT_EQ(gwConfigs.size(), 4u);
  std::set<std::string> uniqueIds;
  for (auto& [topic, payload] : gwConfigs) {
    expectDiscoverable(topic, payload);
    json j = json::parse(payload);
    uniqueIds.insert(j["unique_id"]);
    EXPECT_EQ(j["device"]["name"], "ostrel gateway 16909060");
    if (j.contains("value_template")) {
      EXPECT_EQ(j["state_topic"], "gw/16909060/health");
      // The template names a field the health report has.
      std::string field = j["value_template"].get<std::string>();
      EXPECT_NE(field.find("value_json.readings_"), std::string::npos) << field;
    }
  }
  auto sensorConfigs = sensorDiscovery("homeassistant", kGw, 555);
  ASSERT_EQ(sensorConfigs.size(), 2u);
  for (auto& [topic, payload] : sensorConfigs) {
    expectDiscoverable(topic, payload);
    json j = json::parse(payload);
    uniqueIds.insert(j["unique_id"]);
    EXPECT_EQ(j["state_topic"], "gw/16909060/sensor/555");
    EXPECT_EQ(j["device"]["via_device"], "ostrel_16909060");
  }
  EXPECT_EQ(uniqueIds.size(), 6u);  // every entity its own
  json rssi = json::parse(sensorConfigs[0].second);
  EXPECT_EQ(rssi["device_class"], "signal_strength");
  EXPECT_EQ(rssi["unit_of_measurement"], "dBm");
}

TEST_F(MonitorTest, DiscoveryOnceAndAgainWhenHomeAssistantComesBackPacedBehindReadings) {
  auto count = [this](const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& p : client->publications) n += p.topic.rfind(prefix, 0) == 0;
    return n;
  };
  // Announcements go out from a timer: runs the loop until `n` have or 5 s have passed.
  auto announced = [&](const std::string& prefix, std::size_t n) {
    ioc.restart();
    auto until = std::chrono::steady_clock::now() + 5s;
    while (count(prefix) < n && std::chrono::steady_clock::now() < until) ioc.run_one_for(100ms);
    return count(prefix);
  };
  make();
  monitor->onHello(1, 1, "S", kGw);
  connect();
  monitor->onReading(555, 7, -62, false);
  std::vector<std::pair<std::string, int>> subs;
  monitor->addSubscriptions(subs);
  EXPECT_TRUE(subs.empty());
  ioc.poll();
  EXPECT_EQ(count("homeassistant/"), 0u);

  client = std::make_shared<FakeMqttClient>();
  make({.discoveryPrefix = "ha"});
  monitor->addSubscriptions(subs);
  EXPECT_EQ(subs, (std::vector<std::pair<std::string, int>>{{"ha/status", 1}}));
  monitor->onHello(1, 1, "S", kGw);
  client->counters.buffered = Monitor::ANNOUNCE_BELOW;  // readings waiting: they go first
  connect();
  monitor->onReading(555, 7, -62, false);
  ioc.restart();
  ioc.run_for(200ms);  // a few announcement periods: none may go out meanwhile
  EXPECT_EQ(count("ha/"), 0u);
  client->counters.buffered = 0;
  EXPECT_EQ(announced("ha/", 6u), 6u);  // the gateway's four, the sensor's two
  EXPECT_EQ(count("ha/sensor/ostrel_16909060_555/"), 2u);
  // The sensor's status expires on the broker unless it is heard again.
  auto status = on("gw/16909060/sensor/555");
  ASSERT_EQ(status.size(), 1u);
  EXPECT_TRUE(status[0].retain);
  EXPECT_EQ(status[0].expiry, Monitor::SENSOR_STATUS_EXPIRY_S);

  // Neither a second reading nor a reconnect sends a configuration again.
  now += 120s;
  monitor->onReading(555, 7, -62, false);
  connect();
  monitor->onMessage("ha/status", toBytes("offline"));
  ioc.restart();
  ioc.run_for(200ms);
  EXPECT_EQ(count("ha/"), 6u);
  // Home Assistant has started again: everything once more.
  monitor->onMessage("ha/status", toBytes("online"));
  EXPECT_EQ(announced("ha/", 12u), 12u);
}

TEST(MonitorSettings, ReadsOptionalKeysStrictly) {
  auto s = monitorSettings(Config::fromString("[MQTT]\nhost = x\n"));
  EXPECT_EQ(s.healthInterval, 60s);
  EXPECT_TRUE(s.discoveryPrefix.empty());
  s = monitorSettings(
      Config::fromString("[MQTT]\nhealth-interval = 0\ndiscovery-prefix = homeassistant\n"));
  EXPECT_EQ(s.healthInterval, 0s);
  EXPECT_EQ(s.discoveryPrefix, "homeassistant");
  EXPECT_THROW(monitorSettings(Config::fromString("[MQTT]\nhealth-interval = -1\n")), ConfigError);
  EXPECT_THROW(monitorSettings(Config::fromString("[MQTT]\nhealth-interval = 1m\n")), ConfigError);
  EXPECT_THROW(monitorSettings(Config::fromString("[MQTT]\ndiscovery-prefix = ha/#\n")),
               ConfigError);
}

TEST(RssKb, ReadsVmRssAndAnswersMinusOneWithoutIt) {
  EXPECT_GT(readRssKb(), 0);
  EXPECT_EQ(readRssKb("/nonexistent/status"), -1);
}

}  // namespace
}  // namespace ostrel::observe
