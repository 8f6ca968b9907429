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
  if (config.has("PARSER", "announce"))
    s.announce = parseAnnounceRule(config.getString("PARSER", "announce"));
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

Monitor::Monitor(Executor ex, MonitorSettings settings, Sources sources)
    : ex_(ex),
      settings_(std::move(settings)),
      sources_(std::move(sources)),
      timer_(ex),
      started_(sources_.steadyNow()),
      announceTimer_(ex),
      birthTimer_(ex) {}

void Monitor::start() {
  asio::co_spawn(ex_, run(), asio::detached);
}

void Monitor::stop() {
  stopped_ = true;
  timer_.cancel();
  announceTimer_.cancel();
  birthTimer_.cancel();
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
  oldestUnacked_ = st.oldestUnacked.count();
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
  auto now = sources_.steadyNow();
  s.lastHeard = now;
  s.offline = false;
  if (duplicate)
    ++s.duplicates;
  else
    ++s.readings;
  s.changed = true;
  if (!duplicate && !s.eligible && !settings_.discoveryPrefix.empty() &&
      announceRuleHolds(sensorUid, s)) {
    s.eligible = true;
    queueAnnouncement(sensorUid, s);
  }
  if (s.lastPublished && now - *s.lastPublished < sensorInterval()) return;
  if (auto c = connectedClient()) publishSensor(*c, sensorUid, s);
}

void Monitor::publishSensor(MqttClient& client, std::uint32_t uid, Sensor& s) {
  if (!gatewayUid_) return;
  json j = {{"node", s.node},
            {"rssi", s.rssi},
            {"last_seen", isoUtc(s.lastSeen)},
            {"readings", s.readings},
            {"duplicates", s.duplicates},
            {"availability", s.offline ? "offline" : "online"}};
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
      {"oldest_unacked_s", oldestUnacked_},
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
  publishExpired(*client);
}

}  // namespace ostrel::observe
