// MQTT session handlers and command dispatch.
#include <cmath>
#include <regex>

#include "ostrel/core/Gateway.hpp"
#include "ostrel/io/Log.hpp"
#include "ostrel/protocol/HatProtocolV2.hpp"

namespace ostrel {

static HatProtocolV1& protocol() {
  auto p = gw().myProtocol.get();
  if (!p) throw std::runtime_error("no protocol object yet: the hat has not said hello");
  return *p;
}

void on_connect(MqttClient& client, const std::string& flags, const std::string& rc,
                const std::string& props) {
  HatProtocolV1& proto = protocol();
  proto.setMqttConnected(true);
  logf("Connected to MQTT broker. flags {}. rc {}. props {}.", flags, rc, props);
  std::string gwAddPeerSub = fmt::format("gw/{}/setSensorRadioKey/+", proto.getGWUID());
  std::string gwRemovePeerSub = fmt::format("gw/{}/removeSensorRadioKey/+", proto.getGWUID());
  std::string gwRTCSub = fmt::format("gw/{}/setRTCOffset", proto.getGWUID());
  std::string txSub = "tx/#";
  logf("Subscribing to {}", txSub);
  if (proto.getVersion() >= 3) {
    client.subscribe({{txSub, 1}, {gwAddPeerSub, 0}, {gwRemovePeerSub, 0}, {gwRTCSub, 0}});
    logf("Subscribing to {}", gwAddPeerSub);
    logf("Subscribing to {}", gwRemovePeerSub);
  } else {
    client.subscribe({{txSub, 1}});
  }
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

static long long uidFromTopic(const std::string& digits) {
  try {
    return parseInteger(digits);
  } catch (...) {
    throw std::invalid_argument(fmt::format("sensor UID {} is out of range", digits));
  }
}

void on_message(MqttClient&, const std::string& topic, const Bytes& payload, int,
                const std::string&) {
  static const std::regex setKey("gw/([0-9]+)/setSensorRadioKey/([0-9]+)");
  static const std::regex removeKey("gw/([0-9]+)/removeSensorRadioKey/([0-9]+)");
  static const std::regex rtcOffset("gw/([0-9]+)/setRTCOffset");
  log("RECV MSG on topic " + topic);
  std::smatch m;
  if (std::regex_match(topic, m, setKey)) {
    long long peerUID = uidFromTopic(m[2]);
    if (payload.empty()) return;
    HatProtocolV2& p = radioProtocol("setupPeerKey");
    p.scheduleTx(&HatProtocolV2::setupPeerKey, &p, peerUID, payload);
  } else if (std::regex_match(topic, m, removeKey)) {
    long long peerUID = uidFromTopic(m[2]);
    HatProtocolV2& p = radioProtocol("removePeerKey");
    p.scheduleTx(&HatProtocolV2::removePeerKey, &p, peerUID);
  } else if (std::regex_match(topic, m, rtcOffset)) {
    if (!isAscii(payload)) throw std::invalid_argument("RTC offset payload is not ASCII text");
    double rtcOffset = parseDouble(toString(payload));
    if (!std::isfinite(rtcOffset))
      throw std::invalid_argument(
          fmt::format("RTC offset is not a finite number: '{}'", toString(payload)));
    HatProtocolV2& p = radioProtocol("setRTCOffset");
    p.scheduleTx(&HatProtocolV2::setRTCOffset, &p, rtcOffset);
  }
}

}  // namespace ostrel
