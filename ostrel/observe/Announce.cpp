// The monitor's Home Assistant side: which sensors become devices, when their configurations go
// out (paced behind readings, again after Home Assistant's birth message), which decoders each
// device shows, and a device's availability once its sensor has gone quiet.
#include <algorithm>
#include <sstream>

#include "ostrel/base/Log.hpp"
#include "ostrel/observe/Monitor.hpp"

namespace ostrel::observe {

AnnounceRule parseAnnounceRule(const std::string& text) {
  auto bad = [&](const std::string& why) {
    return ConfigError(fmt::format("[PARSER] announce {}, got '{}'", why, escapeControl(text)));
  };
  AnnounceRule r;
  std::string_view t = text;
  if (t == "all") {
    r.mode = AnnounceRule::All;
  } else if (t.starts_with("after-")) {
    r.mode = AnnounceRule::After;
    long long n = 0;
    try {
      n = parseInteger(t.substr(6));
    } catch (const std::invalid_argument&) {
      throw bad("after-N needs a number of readings");
    }
    if (n < 1 || n > AnnounceRule::MAX_READINGS)
      throw bad(fmt::format("after-N: N must lie between 1 and {}", AnnounceRule::MAX_READINGS));
    r.readings = unsigned(n);
  } else if (t.starts_with("listed")) {
    r.mode = AnnounceRule::Listed;
    std::string rest(t.substr(6));
    std::replace(rest.begin(), rest.end(), ',', ' ');
    std::istringstream words(rest);
    for (std::string w; words >> w;) {
      auto dash = w.find('-');
      try {
        long long a = parseInteger(w.substr(0, dash));
        long long b = dash == std::string::npos ? a : parseInteger(w.substr(dash + 1));
        if (a < 0 || b > 0xFFFFFFFFLL || a > b) throw std::invalid_argument("range");
        r.listed.emplace_back(std::uint32_t(a), std::uint32_t(b));
      } catch (const std::invalid_argument&) {
        throw bad("listed takes sensor UIDs (0-4294967295) or ranges A-B");
      }
      if (r.listed.size() > AnnounceRule::MAX_LISTED)
        throw bad(fmt::format("listed takes at most {} UIDs or ranges", AnnounceRule::MAX_LISTED));
    }
    if (r.listed.empty()) throw bad("listed needs at least one sensor UID");
  } else {
    throw bad("must be all, after-N or listed followed by sensor UIDs");
  }
  return r;
}

void Monitor::onMessage(const std::string& topic, const Bytes& payload) {
  if (settings_.discoveryPrefix.empty() || topic != settings_.discoveryPrefix + "/status") return;
  if (toString(payload) != "online" || birthArmed_ || stopped_) return;
  // Home Assistant has started again and forgotten what it was told. It is told again after a
  // random pause, so that it is not flooded by every device at once.
  auto max = settings_.birthDelayMax.count();
  auto delay = std::uniform_int_distribution<long long>(0, std::max<long long>(max, 0))(random_);
  birthArmed_ = true;
  birthTimer_.expires_after(std::chrono::milliseconds(delay));
  birthTimer_.async_wait([w = weak_from_this()](boost::system::error_code ec) {
    auto self = w.lock();
    if (!self) return;
    self->birthArmed_ = false;
    if (!ec) self->announceAll();
  });
}

bool Monitor::announceRuleHolds(std::uint32_t uid, Sensor& s) {
  const auto& rule = settings_.announce;
  switch (rule.mode) {
    case AnnounceRule::All:
      return true;
    case AnnounceRule::Listed:
      return std::any_of(rule.listed.begin(), rule.listed.end(),
                         [uid](const auto& r) { return uid >= r.first && uid <= r.second; });
    case AnnounceRule::After:
      break;
  }
  auto now = sources_.steadyNow();
  auto& heard = s.heard;
  heard.erase(heard.begin(), std::find_if(heard.begin(), heard.end(),
                                          [&](auto t) { return now - t < AnnounceRule::WINDOW; }));
  if (heard.size() >= rule.readings) heard.erase(heard.begin());
  heard.push_back(now);
  if (heard.size() < rule.readings) return false;
  heard = {};
  return true;
}

void Monitor::queueAnnouncement(std::uint32_t uid, Sensor& s) {
  if (s.queued) return;
  s.queued = true;
  announceQueue_.push_back(uid);
  scheduleAnnouncements();
}

void Monitor::announceAll() {
  gatewayAnnounced_ = false;
  for (auto& [uid, s] : sensors_)
    if (s.eligible) queueAnnouncement(uid, s);
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
  auto publish = [&](const Publications& pubs) {
    for (const auto& [topic, payload] : pubs) publishOwn(*client, topic, payload, 0);
  };
  // The configurations of earlier versions go first, and their replacements a period later at
  // the earliest: Home Assistant must have dropped an entity before its unique ID comes again.
  if (!gatewayLegacyCleared_) {
    publish(legacyGatewayRemoval(prefix, *gatewayUid_));
    gatewayLegacyCleared_ = true;
  } else if (!gatewayAnnounced_) {
    publish(gatewayDiscovery(prefix, *gatewayUid_, settings_.origin));
    gatewayAnnounced_ = true;
  }
  // Those queued again below wait for the next batch.
  std::size_t batch = std::min(ANNOUNCE_BATCH, announceQueue_.size());
  for (std::size_t i = 0; i < batch; ++i) {
    std::uint32_t uid = announceQueue_.front();
    announceQueue_.pop_front();
    Sensor& s = sensors_.at(uid);
    s.queued = false;
    if (!s.legacyCleared) {
      publish(legacySensorRemoval(prefix, *gatewayUid_, uid));
      s.legacyCleared = true;
      queueAnnouncement(uid, s);
      continue;
    }
    publish(sensorDiscovery(prefix, *gatewayUid_, uid, s.decoders, settings_.origin));
  }
  return true;
}

void Monitor::onDecoded(std::uint32_t sensorUid, const std::shared_ptr<const DecoderInfo>& info) {
  if (settings_.discoveryPrefix.empty()) return;
  auto it = sensors_.find(sensorUid);
  if (it == sensors_.end()) return;
  Sensor& s = it->second;
  auto same = [](const auto& a, const auto& b) { return a == b || (a && b && *a == *b); };
  bool changed = false;
  if (!s.decodersFresh) {
    // The first reading since the files were read: what decodes it now is what the device shows.
    s.decodersFresh = true;
    DecoderInfos now;
    if (info) now.push_back(info);
    changed = !std::equal(now.begin(), now.end(), s.decoders.begin(), s.decoders.end(), same);
    s.decoders = std::move(now);
  } else if (info && s.decoders.size() < MAX_SENSOR_DECODERS &&
             std::none_of(s.decoders.begin(), s.decoders.end(),
                          [&](const auto& d) { return d->name == info->name; })) {
    s.decoders.push_back(info);
    changed = true;
  }
  if (changed && s.eligible) queueAnnouncement(sensorUid, s);
}

void Monitor::onDecodersLoaded() {
  for (auto& [uid, s] : sensors_) s.decodersFresh = false;
}

void Monitor::publishExpired(MqttClient& client) {
  // A sensor's device in Home Assistant goes unavailable once the sensor has not been heard for
  // its status's expiry: its status says so once (and itself expires a day later).
  if (settings_.discoveryPrefix.empty()) return;
  auto now = sources_.steadyNow();
  for (auto& [uid, s] : sensors_) {
    if (!s.eligible || s.offline) continue;
    if (now - s.lastHeard < std::chrono::seconds(SENSOR_STATUS_EXPIRY_S)) continue;
    s.offline = true;
    publishSensor(client, uid, s);
  }
}

}  // namespace ostrel::observe
