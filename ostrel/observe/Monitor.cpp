#include "ostrel/observe/Monitor.hpp"

#include <ctime>
#include <fstream>

#include "ostrel/base/Log.hpp"

namespace ostrel::observe {

using json = nlohmann::json;
using namespace std::chrono_literals;

MonitorSettings monitorSettings(const Config& config) {
  MonitorSettings s;
  if (config.has("MQTT", "health-interval")) {
    long long v = config.getInt("MQTT", "health-interval");
    // Up to a day: a longer period would only hide a gateway that stopped reporting.
    if (v < 0 || v > 86400)
      throw ConfigError(
          fmt::format("[MQTT] health-interval must lie between 0 and 86400 seconds, got {}", v));
    s.healthInterval = std::chrono::seconds(v);
  }
  if (config.has("MQTT", "discovery-prefix")) {
    s.discoveryPrefix = config.getString("MQTT", "discovery-prefix");
    if (s.discoveryPrefix.find_first_of("+#") != std::string::npos)
      throw ConfigError("[MQTT] discovery-prefix must not contain MQTT wildcards");
  }
  return s;
}

std::string isoUtc(std::chrono::system_clock::time_point t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

long long readRssKb(const std::string& statusFile) {
  std::ifstream in(statusFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) != 0) continue;
    try {
      return std::stoll(line.substr(6));
    } catch (...) {
      return -1;
    }
  }
  return -1;
}

namespace {

std::string gatewayId(std::uint32_t uid) {
  return fmt::format("ostrel_{}", uid);
}

json gatewayDevice(std::uint32_t uid) {
  return {{"identifiers", json::array({gatewayId(uid)})},
          {"name", fmt::format("ostrel gateway {}", uid)},
          {"manufacturer", "ostrel"}};
}

// The fields every entity shares: its identity, its device and the availability topic.
json entity(const std::string& uniqueId, const std::string& name, json device,
            std::uint32_t gatewayUid) {
  return {{"unique_id", uniqueId},
          {"object_id", uniqueId},
          {"name", name},
          {"device", std::move(device)},
          {"availability_topic", fmt::format("gw/{}/status", gatewayUid)},
          {"payload_available", "online"},
          {"payload_not_available", "offline"}};
}

}  // namespace

Publications gatewayDiscovery(const std::string& prefix, std::uint32_t uid) {
  Publications out;
  std::string node = gatewayId(uid);
  std::string health = fmt::format("gw/{}/health", uid);

  json status = entity(node + "_status", "Status", gatewayDevice(uid), uid);
  status["state_topic"] = fmt::format("gw/{}/status", uid);
  status["payload_on"] = "online";
  status["payload_off"] = "offline";
  status["device_class"] = "connectivity";
  status["entity_category"] = "diagnostic";
  out.emplace_back(fmt::format("{}/binary_sensor/{}/status/config", prefix, node), status.dump());

  struct Counter {
    const char* field;
    const char* name;
    const char* stateClass;
  };
  for (auto c : {Counter{"readings_received", "Readings received", "total_increasing"},
                 Counter{"readings_dropped", "Readings dropped", "total_increasing"},
                 Counter{"readings_buffered", "Readings buffered", "measurement"}}) {
    json e = entity(fmt::format("{}_{}", node, c.field), c.name, gatewayDevice(uid), uid);
    e["state_topic"] = health;
    e["value_template"] = fmt::format("{{{{ value_json.{} }}}}", c.field);
    e["state_class"] = c.stateClass;
    e["entity_category"] = "diagnostic";
    out.emplace_back(fmt::format("{}/sensor/{}/{}/config", prefix, node, c.field), e.dump());
  }
  return out;
}

Publications sensorDiscovery(const std::string& prefix, std::uint32_t uid,
                             std::uint32_t sensorUid) {
  Publications out;
  std::string node = fmt::format("ostrel_{}_{}", uid, sensorUid);
  json device = {{"identifiers", json::array({node})},
                 {"name", fmt::format("Sensor {}", sensorUid)},
                 {"via_device", gatewayId(uid)}};
  std::string state = fmt::format("gw/{}/sensor/{}", uid, sensorUid);

  json rssi = entity(node + "_rssi", "RSSI", device, uid);
  rssi["state_topic"] = state;
  rssi["value_template"] = "{{ value_json.rssi }}";
  rssi["device_class"] = "signal_strength";
  rssi["unit_of_measurement"] = "dBm";
  rssi["state_class"] = "measurement";
  rssi["entity_category"] = "diagnostic";
  out.emplace_back(fmt::format("{}/sensor/{}/rssi/config", prefix, node), rssi.dump());

  json seen = entity(node + "_last_seen", "Last seen", device, uid);
  seen["state_topic"] = state;
  seen["value_template"] = "{{ value_json.last_seen }}";
  seen["device_class"] = "timestamp";
  seen["entity_category"] = "diagnostic";
  out.emplace_back(fmt::format("{}/sensor/{}/last_seen/config", prefix, node), seen.dump());
  return out;
}

Monitor::Monitor(Executor ex, MonitorSettings settings, Sources sources)
    : ex_(ex),
      settings_(std::move(settings)),
      sources_(std::move(sources)),
      timer_(ex),
      started_(sources_.steadyNow()),
      announceTimer_(ex) {}

void Monitor::start() {
  asio::co_spawn(ex_, run(), asio::detached);
}

void Monitor::stop() {
  stopped_ = true;
  timer_.cancel();
  announceTimer_.cancel();
}

awaitable<void> Monitor::run() {
  auto self = shared_from_this();
  while (!stopped_) {
    timer_.expires_after(sensorInterval());
    co_await timer_.async_wait(asio::as_tuple(use_awaitable));
    if (stopped_) break;
    tick();
  }
}

std::chrono::seconds Monitor::sensorInterval() const {
  return settings_.healthInterval.count() > 0 ? settings_.healthInterval : 60s;
}

std::string Monitor::statusTopic() const {
  return fmt::format("gw/{}/status", gatewayUid_.value_or(0));
}

std::shared_ptr<MqttClient> Monitor::connectedClient() {
  auto c = sources_.client ? sources_.client() : nullptr;
  return c && c->isConnected() ? c : nullptr;
}

void Monitor::sampleCounters(MqttClient& client) {
  MqttStats st = client.stats();
  published_ = st.published;
  dropped_ = st.dropped;
  queued_ = st.buffered;
  spooled_ = st.spooled;
}

void Monitor::onHello(int version, std::uint32_t fwRevision, const std::string& hatSerial,
                      std::uint32_t gatewayUid) {
  protocolVersion_ = version;
  fwRevision_ = fwRevision;
  hatSerial_ = hatSerial;
  gatewayUid_ = gatewayUid;
}

void Monitor::beforeConnect(MqttClient& client, std::uint32_t gatewayUid) {
  gatewayUid_ = gatewayUid;
  client.setWill({statusTopic(), "offline", 1, true});
}

// Retained: the client counts only publications that are not as readings.
void Monitor::publishOwn(MqttClient& client, const std::string& topic, std::string payload,
                         int qos) {
  client.publish(topic, std::move(payload), qos, true);
}

void Monitor::onConnected(MqttClient& client) {
  if (!gatewayUid_) return;
  ++connects_;
  publishOwn(client, statusTopic(), "online", 1);
  sampleCounters(client);
  if (settings_.healthInterval.count() > 0)
    publishOwn(client, fmt::format("gw/{}/health", *gatewayUid_), health().dump(), 0);
  publishDueSensors(client);
  scheduleAnnouncements();
}

void Monitor::addSubscriptions(std::vector<std::pair<std::string, int>>& subs) {
  if (!settings_.discoveryPrefix.empty())
    subs.emplace_back(settings_.discoveryPrefix + "/status", 1);
}

void Monitor::onMessage(const std::string& topic, const Bytes& payload) {
  if (settings_.discoveryPrefix.empty() || topic != settings_.discoveryPrefix + "/status") return;
  if (toString(payload) != "online") return;
  // Home Assistant has started again and forgotten what it was told.
  gatewayAnnounced_ = false;
  for (auto& [uid, s] : sensors_) s.announced = false;
  announceAll();
}

void Monitor::announceAll() {
  announceQueue_.clear();
  for (auto& [uid, s] : sensors_)
    if (!s.announced && s.lastPublished) {
      s.announced = true;
      announceQueue_.push_back(uid);
    }
  scheduleAnnouncements();
}

void Monitor::scheduleAnnouncements() {
  if (settings_.discoveryPrefix.empty() || announceArmed_ || stopped_) return;
  if (gatewayAnnounced_ && announceQueue_.empty()) return;
  announceArmed_ = true;
  announceTimer_.expires_after(ANNOUNCE_PERIOD);
  announceTimer_.async_wait([w = weak_from_this()](boost::system::error_code ec) {
    auto self = w.lock();
    if (!self) return;
    self->announceArmed_ = false;
    if (ec) return;
    if (self->announceSome()) self->scheduleAnnouncements();
  });
}

bool Monitor::announceSome() {
  auto client = connectedClient();
  if (!client || !gatewayUid_) return false;  // the next connect starts again
  if (client->stats().buffered >= ANNOUNCE_BELOW) return true;
  const auto& prefix = settings_.discoveryPrefix;
  if (!gatewayAnnounced_) {
    for (auto& [topic, payload] : gatewayDiscovery(prefix, *gatewayUid_))
      publishOwn(*client, topic, std::move(payload), 0);
    gatewayAnnounced_ = true;
  }
  for (std::size_t i = 0; i < ANNOUNCE_BATCH && !announceQueue_.empty(); ++i) {
    for (auto& [topic, payload] : sensorDiscovery(prefix, *gatewayUid_, announceQueue_.front()))
      publishOwn(*client, topic, std::move(payload), 0);
    announceQueue_.pop_front();
  }
  return true;
}

void Monitor::beforeDisconnect(MqttClient& client, bool stopping) {
  sampleCounters(client);
  // Only while connected: a buffered "offline" would reach the broker after the next "online".
  if (!stopping || !gatewayUid_ || !client.isConnected()) return;
  publishOwn(client, statusTopic(), "offline", 1);
}

void Monitor::probeLoop() {
  // While readings flow, how long a handler posted now waits for the loop: a handler that
  // holds the loop (and so the serial line) shows here. Nothing runs while all is quiet.
  if (probing_) return;
  probing_ = true;
  asio::post(ex_, [w = weak_from_this(), t0 = std::chrono::steady_clock::now()] {
    auto self = w.lock();
    if (!self) return;
    self->probing_ = false;
    self->loopDelayMax_ = std::max(self->loopDelayMax_, std::chrono::steady_clock::now() - t0);
  });
}

void Monitor::onReading(std::uint32_t sensorUid, int node, int rssi, bool duplicate) {
  probeLoop();
  if (duplicate)
    ++duplicates_;
  else
    ++received_;
  auto it = sensors_.find(sensorUid);
  if (it == sensors_.end()) {
    if (sensors_.size() >= MAX_SENSORS) {
      if (!overflowLogged_)
        logf("More than {} sensors heard: no status topic for the rest", MAX_SENSORS);
      overflowLogged_ = true;
      return;
    }
    it = sensors_.emplace(sensorUid, Sensor{}).first;
  }
  Sensor& s = it->second;
  s.node = node;
  s.rssi = rssi;
  s.lastSeen = sources_.wallNow();
  if (duplicate)
    ++s.duplicates;
  else
    ++s.readings;
  s.changed = true;
  auto now = sources_.steadyNow();
  if (s.lastPublished && now - *s.lastPublished < sensorInterval()) return;
  if (auto c = connectedClient()) publishSensor(*c, sensorUid, s);
}

void Monitor::publishSensor(MqttClient& client, std::uint32_t uid, Sensor& s) {
  if (!gatewayUid_) return;
  if (!s.announced && !settings_.discoveryPrefix.empty()) {
    s.announced = true;
    announceQueue_.push_back(uid);
    scheduleAnnouncements();
  }
  json j = {{"node", s.node},
            {"rssi", s.rssi},
            {"last_seen", isoUtc(s.lastSeen)},
            {"readings", s.readings},
            {"duplicates", s.duplicates}};
  client.publishExpiring(fmt::format("gw/{}/sensor/{}", *gatewayUid_, uid), j.dump(), 0,
                         SENSOR_STATUS_EXPIRY_S);
  s.lastPublished = sources_.steadyNow();
  s.changed = false;
}

void Monitor::publishDueSensors(MqttClient& client) {
  auto now = sources_.steadyNow();
  for (auto& [uid, s] : sensors_) {
    if (!s.changed) continue;
    if (s.lastPublished && now - *s.lastPublished < sensorInterval()) continue;
    publishSensor(client, uid, s);
  }
}

json Monitor::health() {
  auto client = sources_.client ? sources_.client() : nullptr;
  if (client) sampleCounters(*client);
  auto uptime = std::chrono::duration_cast<std::chrono::seconds>(sources_.steadyNow() - started_);
  auto orNull = [](const auto& v) { return v ? json(*v) : json(nullptr); };
  return {
      {"uptime_s", uptime.count()},
      {"protocol_version", orNull(protocolVersion_)},
      {"firmware_revision", orNull(fwRevision_)},
      {"hat_serial", orNull(hatSerial_)},
      {"readings_received", received_},
      {"readings_published", published_},
      {"readings_dropped", dropped_},
      {"readings_buffered", queued_},
      {"readings_spooled", spooled_},
      {"duplicates", duplicates_},
      {"decrypt_failures", decryptFailures_},
      {"mqtt_reconnects", connects_ > 0 ? connects_ - 1 : 0},
      {"serial_recoveries", sources_.serialRecoveries ? sources_.serialRecoveries() : 0},
      {"tx_queue_jobs", sources_.txQueueJobs ? sources_.txQueueJobs() : 0},
      {"hat_silent_s", sources_.hatSilentS ? json(sources_.hatSilentS()) : json(nullptr)},
      {"last_clock_sync", lastClockSync_ ? json(isoUtc(*lastClockSync_)) : json(nullptr)},
      {"rss_kb", sources_.rssKb ? sources_.rssKb() : -1},
      {"loop_delay_max_ms",
       std::chrono::duration_cast<std::chrono::milliseconds>(loopDelayMax_).count()},
  };
}

void Monitor::tick() {
  auto client = connectedClient();
  if (!client || !gatewayUid_) return;
  if (settings_.healthInterval.count() > 0) {
    publishOwn(*client, fmt::format("gw/{}/health", *gatewayUid_), health().dump(), 0);
    loopDelayMax_ = {};  // the report covers one period
  }
  publishDueSensors(*client);
}

}  // namespace ostrel::observe
