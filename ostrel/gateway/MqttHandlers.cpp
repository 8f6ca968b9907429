// MQTT session handlers and command dispatch.
#include <cmath>

#include <algorithm>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/base/Observer.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/hat/HatProtocolV2.hpp"

namespace ostrel {

static HatProtocolV1& protocol() {
  auto p = gw().myProtocol.get();
  if (!p) throw std::runtime_error("no protocol object yet: the hat has not said hello");
  return *p;
}

void on_connect(MqttClient& client, const std::string& flags, const std::string& rc,
                const std::string& props) {
  HatProtocolV1& proto = protocol();
  logf("Connected to MQTT broker. flags {}. rc {}. props {}.", flags, rc, props);
  std::string gwAddPeerSub = fmt::format("gw/{}/setSensorRadioKey/+", proto.getGWUID());
  std::string gwRemovePeerSub = fmt::format("gw/{}/removeSensorRadioKey/+", proto.getGWUID());
  std::string gwRTCSub = fmt::format("gw/{}/setRTCOffset", proto.getGWUID());
  std::string txSub = "tx/#";
  logf("Subscribing to {}", txSub);
  MqttClient::Subscriptions subs{{txSub, 1}};
  if (proto.getVersion() >= 3)
    subs.insert(subs.end(), {{gwAddPeerSub, 0}, {gwRemovePeerSub, 0}, {gwRTCSub, 0}});
  // Still one SUBSCRIBE: the observer's filters (Home Assistant's status) ride along.
  std::size_t own = subs.size();
  observer().addSubscriptions(subs);
  client.subscribe(subs);
  if (proto.getVersion() >= 3) {
    logf("Subscribing to {}", gwAddPeerSub);
    logf("Subscribing to {}", gwRemovePeerSub);
  }
  for (std::size_t i = own; i < subs.size(); ++i) logf("Subscribing to {}", subs[i].first);
  observer().onConnected(client);
}

void on_disconnect(MqttClient&, const std::string&) {
  log("Disconnected from MQTT broker");
}

void on_subscribe(MqttClient&, int mid, const std::vector<int>& qos, const std::string& props) {
  std::string q = "[";
  for (std::size_t i = 0; i < qos.size(); ++i) q += (i ? ", " : "") + std::to_string(qos[i]);
  q += "]";
  logf("Subscribed mid #{} props {} qos {}", mid, props, q);
}

// The radio commands exist from protocol version 2 on.
static HatProtocolV2& radioProtocol(const char* operation) {
  auto* v2 = dynamic_cast<HatProtocolV2*>(&protocol());
  if (!v2)
    throw std::runtime_error(
        fmt::format("protocol version {} has no {}", protocol().getVersion(), operation));
  return *v2;
}

// Lines that outside input can repeat without end go through the gateway's flood limit while
// it runs.
static void logInput(std::string_view line) {
  if (auto limit = gw().inputLog.lock())
    limit->log(line);
  else
    log(line);
}

static long long uidFromTopic(std::string_view digits) {
  try {
    return parseInteger(digits);
  } catch (...) {
    // A hostile topic may carry any number of digits: the log line shows only the first few.
    std::string shown = digits.size() > 24
                            ? fmt::format("{}... ({} digits)", digits.substr(0, 24), digits.size())
                            : std::string(digits);
    throw std::invalid_argument(fmt::format("sensor UID {} is out of range", shown));
  }
}

namespace {

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

CommandTopic matchCommandTopic(std::string_view topic) {
  // Split on '/' once, left to right: linear in the topic's length, whatever it holds.
  std::string_view levels[5];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = topic.find('/', start);
    if (count == std::size(levels)) return {};
    levels[count++] = topic.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (levels[0] != "gw" || !allDigits(levels[1])) return {};
  if (count == 3 && levels[2] == "setRTCOffset") return {CommandTopic::SetRTCOffset, {}};
  if (count == 4 && allDigits(levels[3])) {
    if (levels[2] == "setSensorRadioKey") return {CommandTopic::SetSensorRadioKey, levels[3]};
    if (levels[2] == "removeSensorRadioKey") return {CommandTopic::RemoveSensorRadioKey, levels[3]};
  }
  return {};
}

void on_message(MqttClient&, const std::string& topic, const Bytes& payload, int,
                const std::string&) {
  // Anyone allowed to publish on tx/# can send without end: the line is flood-limited, and
  // shortened by the log like every field.
  logInput(fmt::format("RECV MSG on topic {}", shortened(escapeControl(topic))));
  CommandTopic cmd = matchCommandTopic(topic);
  switch (cmd.kind) {
    case CommandTopic::SetSensorRadioKey: {
      long long peerUID = uidFromTopic(cmd.sensorUid);
      if (payload.empty()) return;
      HatProtocolV2& p = radioProtocol("setupPeerKey");
      p.scheduleTx(&HatProtocolV2::setupPeerKey, &p, peerUID, payload);
      break;
    }
    case CommandTopic::RemoveSensorRadioKey: {
      long long peerUID = uidFromTopic(cmd.sensorUid);
      HatProtocolV2& p = radioProtocol("removePeerKey");
      p.scheduleTx(&HatProtocolV2::removePeerKey, &p, peerUID);
      break;
    }
    case CommandTopic::SetRTCOffset: {
      if (!isAscii(payload))
        throw std::invalid_argument(
            fmt::format("RTC offset payload is not ASCII text: {}", excerpt(toString(payload))));
      double rtcOffset = parseDouble(toString(payload));
      if (!std::isfinite(rtcOffset))
        throw std::invalid_argument(
            fmt::format("RTC offset is not a finite number: {}", excerpt(toString(payload))));
      HatProtocolV2& p = radioProtocol("setRTCOffset");
      p.scheduleTx(&HatProtocolV2::setRTCOffset, &p, rtcOffset);
      break;
    }
    case CommandTopic::None:
      observer().onMessage(topic, payload);
      break;
  }
}

}  // namespace ostrel
