// The monitor: availability, the health report's counters, per-sensor status and its rate,
// discovery configurations, and the settings it reads.
#include "ostrel/observe/Monitor.hpp"

#include <fmt/format.h>

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
  client->counters.oldestUnacked = 31s;
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
  EXPECT_EQ(h["oldest_unacked_s"], 31);
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

// What Home Assistant's device-based discovery needs of one device: its topic, the device, the
// origin, and for each component a platform, a unique ID, a name and a state topic.
json expectDevice(const Publications& pubs, const std::string& id,
                  std::set<std::string>& uniqueIds) {
  EXPECT_EQ(pubs.size(), 1u);
  const auto& [topic, payload] = pubs.at(0);
  EXPECT_EQ(topic, "homeassistant/device/" + id + "/config");
  json j = json::parse(payload);
  EXPECT_EQ(j["dev"]["identifiers"], json::array({id}));
  EXPECT_TRUE(j["dev"]["name"].is_string());
  EXPECT_EQ(j["o"], (json{{"name", "ostrel"},
                          {"sw_version", "9.8.7"},
                          {"support_url", "https://example.org/help"}}));
  for (const auto& [cid, c] : j["cmps"].items()) {
    for (const char* key : {"p", "unique_id", "name", "state_topic"})
      EXPECT_TRUE(c.contains(key)) << cid << " lacks " << key;
    EXPECT_TRUE(uniqueIds.insert(c["unique_id"].get<std::string>()).second) << cid;
  }
  return j;
}

json availability(const std::string& topic) {
  return {{"topic", topic}, {"payload_available", "online"}, {"payload_not_available", "offline"}};
}

TEST(Discovery, OneConfigurationPerDeviceWithOriginComponentsAndAvailability) {
  const Origin origin{"ostrel", "9.8.7", "https://example.org/help"};
  std::set<std::string> uniqueIds;
  json g =
      expectDevice(gatewayDiscovery("homeassistant", kGw, origin), "ostrel_16909060", uniqueIds);
  EXPECT_EQ(g["dev"]["name"], "ostrel gateway 16909060");
  EXPECT_EQ(g["availability"], json::array({availability("gw/16909060/status")}));
  EXPECT_EQ(g["cmps"].size(), 4u);
  EXPECT_EQ(g["cmps"]["status"]["p"], "binary_sensor");
  EXPECT_EQ(g["cmps"]["status"]["state_topic"], "gw/16909060/status");
  EXPECT_EQ(g["cmps"]["status"]["device_class"], "connectivity");
  for (const char* field : {"readings_received", "readings_dropped", "readings_buffered"}) {
    EXPECT_EQ(g["cmps"][field]["state_topic"], "gw/16909060/health") << field;
    // The template names a field the health report has.
    EXPECT_EQ(g["cmps"][field]["value_template"], fmt::format("{{{{ value_json.{} }}}}", field));
  }

  auto th = std::make_shared<DecoderInfo>(
      DecoderInfo{"th",
                  {{"temperature", "°C", "temperature", "measurement", {}, ""},
                   {"door", "", "door", "", {"closed", "open"}, "open"},
                   {"mode", "", "enum", "", {"eco", "boost"}, ""}}});
  // A second decoder of the same sensor: a field name both have is the first one's.
  auto other = std::make_shared<DecoderInfo>(
      DecoderInfo{"other", {{"temperature", "K", "", "", {}, ""}, {"level", "", "", "", {}, ""}}});
  json s = expectDevice(sensorDiscovery("homeassistant", kGw, 555, {th, other}, origin),
                        "ostrel_16909060_555", uniqueIds);
  EXPECT_EQ(s["dev"]["via_device"], "ostrel_16909060");
  EXPECT_EQ(s["dev"]["model"], "th, other");
  // Unavailable when the gateway is offline or the sensor has not been heard for its expiry.
  json sensorStatus = availability("gw/16909060/sensor/555");
  sensorStatus["value_template"] = "{{ value_json.availability }}";
  EXPECT_EQ(s["availability"], json::array({availability("gw/16909060/status"), sensorStatus}));
  EXPECT_EQ(s["availability_mode"], "all");
  std::set<std::string> ids;
  for (const auto& [cid, c] : s["cmps"].items()) ids.insert(cid);
  EXPECT_EQ(ids,
            (std::set<std::string>{"rssi", "last_seen", "temperature", "door", "mode", "level"}));
  const json& rssi = s["cmps"]["rssi"];
  EXPECT_EQ(rssi["state_topic"], "gw/16909060/sensor/555");
  EXPECT_EQ(rssi["device_class"], "signal_strength");
  EXPECT_EQ(rssi["unit_of_measurement"], "dBm");
  const json& t = s["cmps"]["temperature"];
  EXPECT_EQ(t["p"], "sensor");
  EXPECT_EQ(t["state_topic"], "sensors/555/state");
  EXPECT_EQ(t["unit_of_measurement"], "°C");
  EXPECT_EQ(t["device_class"], "temperature");
  EXPECT_EQ(t["state_class"], "measurement");
  // Absent from a reading (another decoder's, or a short payload): no output, the value stays.
  EXPECT_EQ(t["value_template"],
            "{% if value_json.temperature is defined %}{{ value_json.temperature }}{% endif %}");
  const json& door = s["cmps"]["door"];
  EXPECT_EQ(door["p"], "binary_sensor");
  EXPECT_EQ(door["device_class"], "door");
  EXPECT_EQ(door["value_template"],
            "{% if value_json.door is defined %}{{ 'ON' if "
            "value_json.door == 'open' else 'OFF' }}{% endif %}");
  EXPECT_EQ(s["cmps"]["mode"]["options"], json::array({"eco", "boost"}));
  EXPECT_FALSE(s["cmps"]["level"].contains("unit_of_measurement"));

  // The per-component topics of earlier versions, emptied.
  Publications legacy = legacyGatewayRemoval("homeassistant", kGw);
  auto sensorLegacy = legacySensorRemoval("homeassistant", kGw, 555);
  legacy.insert(legacy.end(), sensorLegacy.begin(), sensorLegacy.end());
  EXPECT_EQ(legacy,
            (Publications{{"homeassistant/binary_sensor/ostrel_16909060/status/config", ""},
                          {"homeassistant/sensor/ostrel_16909060/readings_received/config", ""},
                          {"homeassistant/sensor/ostrel_16909060/readings_dropped/config", ""},
                          {"homeassistant/sensor/ostrel_16909060/readings_buffered/config", ""},
                          {"homeassistant/sensor/ostrel_16909060_555/rssi/config", ""},
                          {"homeassistant/sensor/ostrel_16909060_555/last_seen/config", ""}}));
}

// Discovery through the monitor: announcements go out from a timer, run here on the fixture's
// io_context.
struct AnnounceTest : MonitorTest {
  std::size_t count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& p : client->publications) n += p.topic.rfind(prefix, 0) == 0;
    return n;
  }
  // Runs the loop until `n` publications under `prefix` have gone out or 5 s have passed.
  std::size_t announced(const std::string& prefix, std::size_t n) {
    ioc.restart();
    auto until = std::chrono::steady_clock::now() + 5s;
    while (count(prefix) < n && std::chrono::steady_clock::now() < until) ioc.run_one_for(100ms);
    return count(prefix);
  }
  std::string device(std::uint32_t uid) const {
    return fmt::format("ha/device/ostrel_16909060_{}/config", uid);
  }
  void start(AnnounceRule rule, std::chrono::seconds healthInterval = 60s) {
    make({.healthInterval = healthInterval,
          .discoveryPrefix = "ha",
          .announce = std::move(rule),
          .birthDelayMax = 0ms});
    monitor->onHello(1, 1, "S", kGw);
    connect();
  }
};

TEST_F(AnnounceTest, OnceAndAgainWhenHomeAssistantComesBackPacedBehindReadings) {
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
  make({.discoveryPrefix = "ha", .announce = {AnnounceRule::All}, .birthDelayMax = 0ms});
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
  // The earlier versions' six configurations emptied, then one per device.
  EXPECT_EQ(announced("ha/", 8u), 8u);
  EXPECT_EQ(count("ha/device/"), 2u);
  for (const auto& p : client->publications) {
    if (p.topic.rfind("ha/", 0) != 0) continue;
    EXPECT_TRUE(p.retain) << p.topic;
    EXPECT_EQ(p.payload.empty(), p.topic.rfind("ha/device/", 0) != 0) << p.topic;
  }
  // A device's configuration comes after its old ones are gone, in a later batch.
  auto index = [&](const std::string& topic) {
    for (std::size_t i = 0; i < client->publications.size(); ++i)
      if (client->publications[i].topic == topic) return i;
    return client->publications.size();
  };
  EXPECT_LT(index("ha/sensor/ostrel_16909060_555/last_seen/config"), index(device(555)));
  // The sensor's status expires on the broker unless it is heard again.
  auto status = on("gw/16909060/sensor/555");
  ASSERT_EQ(status.size(), 1u);
  EXPECT_TRUE(status[0].retain);
  EXPECT_EQ(status[0].expiry, Monitor::SENSOR_STATUS_EXPIRY_S);
  EXPECT_EQ(json::parse(status[0].payload)["availability"], "online");

  // Neither a second reading nor a reconnect sends a configuration again.
  now += 120s;
  monitor->onReading(555, 7, -62, false);
  connect();
  monitor->onMessage("ha/status", toBytes("offline"));
  ioc.restart();
  ioc.run_for(200ms);
  EXPECT_EQ(count("ha/"), 8u);
  // Home Assistant has started again: each device once more (two births in a row count once),
  // and the old configurations are not emptied again.
  monitor->onMessage("ha/status", toBytes("online"));
  monitor->onMessage("ha/status", toBytes("online"));
  EXPECT_EQ(announced("ha/device/", 4u), 4u);
  monitor->onReading(556, 7, -62, false);  // comes after anything still due
  EXPECT_EQ(announced(device(556), 1u), 1u);
  EXPECT_EQ(count("ha/device/"), 5u);
  EXPECT_EQ(count("ha/sensor/ostrel_16909060_555/"), 2u);
}

TEST_F(AnnounceTest, OnlySensorsTheRuleAdmitsBecomeDevices) {
  struct Heard {
    std::uint32_t uid;
    int minute;  // after the first reading
    bool duplicate = false;
  };
  struct Row {
    const char* rule;
    std::vector<Heard> heard;
    std::set<std::uint32_t> announced;
  } rows[] = {
      {"after-3",
       {{1, 0},
        {1, 10},
        {1, 20},  // three within the hour
        {2, 0},
        {2, 40},
        {2, 80},  // never three within an hour
        {3, 0},
        {3, 1, true},
        {3, 2, true},
        {3, 3},   // duplicates do not count
        {4, 0}},  // heard once: line noise, a neighbour
       {1}},
      {"after-1", {{4, 0}, {5, 3}}, {4, 5}},
      {"all", {{4, 0}}, {4}},
      {"listed 4, 10-20", {{4, 0}, {15, 0}, {21, 0}, {3, 0}, {3, 1}, {3, 2}}, {4, 15}},
  };
  constexpr std::uint32_t kLast = 99;  // listed, heard last: its device comes after any other
  for (const auto& row : rows) {
    SCOPED_TRACE(row.rule);
    client = std::make_shared<FakeMqttClient>();
    AnnounceRule rule = parseAnnounceRule(row.rule);
    rule.listed.emplace_back(kLast, kLast);
    start(rule);
    auto t0 = now;
    for (const auto& h : row.heard) {
      now = t0 + std::chrono::minutes(h.minute);
      monitor->onReading(h.uid, 7, -60, h.duplicate);
    }
    for (int i = 0; i < 3; ++i) monitor->onReading(kLast, 7, -60, false);
    ASSERT_EQ(announced(device(kLast), 1u), 1u);
    std::set<std::uint32_t> got;
    for (std::uint32_t uid : {1, 2, 3, 4, 5, 15, 21})
      if (count(device(uid)) > 0) got.insert(uid);
    EXPECT_EQ(got, row.announced);
  }
}

TEST_F(AnnounceTest, TheDeviceShowsTheDecodersOfItsReadingsAsLearntSinceTheLastReload) {
  start({AnnounceRule::All});
  auto th = std::make_shared<DecoderInfo>(
      DecoderInfo{"th", {{"temperature", "°C", "temperature", "measurement", {}, ""}}});
  auto fields = [&](std::size_t n) {
    std::set<std::string> out;
    std::size_t seen = 0;
    for (const auto& p : client->publications)
      if (p.topic == device(555) && ++seen == n) {
        json config = json::parse(p.payload);
        for (const auto& [cid, c] : config["cmps"].items()) out.insert(cid);
      }
    return out;
  };
  monitor->onReading(555, 7, -60, false);
  monitor->onDecoded(555, th);
  ASSERT_EQ(announced(device(555), 1u), 1u);
  EXPECT_EQ(fields(1), (std::set<std::string>{"rssi", "last_seen", "temperature"}));

  // Read again, the same decoder: nothing to say. (Sensor 600, heard after it, is the marker:
  // its device comes after anything due before.)
  monitor->onDecodersLoaded();
  monitor->onReading(555, 7, -60, false);
  monitor->onDecoded(555, std::make_shared<DecoderInfo>(*th));
  monitor->onReading(600, 7, -60, false);
  ASSERT_EQ(announced(device(600), 1u), 1u);
  EXPECT_EQ(count(device(555)), 1u);

  // The decoder was removed: the next reading decodes no more, and the device loses its field.
  monitor->onDecodersLoaded();
  monitor->onReading(555, 7, -60, false);
  monitor->onDecoded(555, nullptr);
  ASSERT_EQ(announced(device(555), 2u), 2u);
  EXPECT_EQ(fields(2), (std::set<std::string>{"rssi", "last_seen"}));
  // Undecoded readings after that change nothing.
  monitor->onReading(555, 7, -60, false);
  monitor->onDecoded(555, nullptr);
  monitor->onReading(601, 7, -60, false);
  ASSERT_EQ(announced(device(601), 1u), 1u);
  EXPECT_EQ(count(device(555)), 2u);
}

TEST_F(AnnounceTest, ASensorNotHeardForItsExpiryIsSaidOfflineOnce) {
  start(parseAnnounceRule("after-2"));
  monitor->onReading(555, 7, -60, false);
  monitor->onReading(555, 7, -60, false);  // a device
  monitor->onReading(556, 7, -60, false);  // heard once: no device, no word about it
  auto availabilityOf = [&](std::uint32_t uid) {
    auto st = on(fmt::format("gw/16909060/sensor/{}", uid));
    return st.empty() ? std::string()
                      : json::parse(st.back().payload)["availability"].get<std::string>();
  };
  now += std::chrono::seconds(Monitor::SENSOR_STATUS_EXPIRY_S - 60);
  monitor->tick();
  EXPECT_EQ(availabilityOf(555), "online");
  now += 60s;
  monitor->tick();
  EXPECT_EQ(availabilityOf(555), "offline");
  auto statusCount = on("gw/16909060/sensor/555").size();
  EXPECT_EQ(on("gw/16909060/sensor/556").size(), 1u);
  now += 600s;
  monitor->tick();
  EXPECT_EQ(on("gw/16909060/sensor/555").size(), statusCount);
  monitor->onReading(555, 7, -60, false);  // heard again
  EXPECT_EQ(availabilityOf(555), "online");
}

TEST(AnnounceRule, ParsesAllAfterNAndListedStrictly) {
  EXPECT_EQ(parseAnnounceRule("all").mode, AnnounceRule::All);
  auto after = parseAnnounceRule("after-100");
  EXPECT_EQ(after.mode, AnnounceRule::After);
  EXPECT_EQ(after.readings, 100u);
  auto listed = parseAnnounceRule("listed 1001, 1005-1010 4294967295");
  EXPECT_EQ(listed.mode, AnnounceRule::Listed);
  EXPECT_EQ(listed.listed, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                               {1001, 1001}, {1005, 1010}, {4294967295u, 4294967295u}}));
  for (const char* bad : {"", "some", "after-0", "after-101", "after-x", "after-", "listed",
                          "listed 5-2", "listed 12a", "listed 4294967296", "listed -1"})
    EXPECT_THROW(parseAnnounceRule(bad), ConfigError) << bad;
  MonitorSettings defaults;
  EXPECT_EQ(defaults.announce.mode, AnnounceRule::After);
  EXPECT_EQ(defaults.announce.readings, 3u);
  EXPECT_EQ(monitorSettings(Config::fromString("[PARSER]\nannounce = all\n")).announce.mode,
            AnnounceRule::All);
  EXPECT_THROW(monitorSettings(Config::fromString("[PARSER]\nannounce = never\n")), ConfigError);
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
