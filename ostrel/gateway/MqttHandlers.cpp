// MQTT session handlers and command dispatch.
#include <cmath>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/base/Observer.hpp"
#include "ostrel/base/Topic.hpp"
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

// A sensor UID level as the hat's 32-bit UID.
static std::uint32_t uidFromTopic(std::string_view digits) {
  if (auto uid = parseUid(digits)) return *uid;
  // A hostile topic may carry any number of digits: the log line shows only the first few.
  std::string shown = digits.size() > 24
                          ? fmt::format("{}... ({} digits)", digits.substr(0, 24), digits.size())
                          : std::string(digits);
  throw std::invalid_argument(fmt::format("sensor UID {} is out of range", shown));
}

CommandTopic matchCommandTopic(std::string_view topic) {
  std::string_view levels[4];
  std::size_t count = splitTopic(topic, levels);
  if (count < 3 || levels[0] != "gw" || !allDigits(levels[1])) return {};
  if (count == 3 && levels[2] == "setRTCOffset") return {CommandTopic::SetRTCOffset, levels[1], {}};
  if (count == 4 && allDigits(levels[3])) {
    if (levels[2] == "setSensorRadioKey")
      return {CommandTopic::SetSensorRadioKey, levels[1], levels[3]};
    if (levels[2] == "removeSensorRadioKey")
      return {CommandTopic::RemoveSensorRadioKey, levels[1], levels[3]};
  }
  return {};
}

// Longer than any number the clock trim takes ("-104.8544", " 2.5e0\n").
constexpr std::size_t MAX_RTC_OFFSET_TEXT = 64;

static double rtcOffsetFrom(const Bytes& payload) {
  if (payload.size() > MAX_RTC_OFFSET_TEXT)
    throw std::invalid_argument(
        fmt::format("RTC offset payload of {} bytes is too long", payload.size()));
  if (!isAscii(payload))
    throw std::invalid_argument(
        fmt::format("RTC offset payload is not ASCII text: {}", excerpt(toString(payload))));
  double rtcOffset = parseDouble(toString(payload));
  if (!std::isfinite(rtcOffset))
    throw std::invalid_argument(
        fmt::format("RTC offset is not a finite number: {}", excerpt(toString(payload))));
  if (!HatProtocolV2::rtcOffsetFits(rtcOffset))
    throw std::invalid_argument(fmt::format("RTC offset too big: {} ppm", floatRepr(rtcOffset)));
  return rtcOffset;
}

void on_message(MqttClient&, const std::string& topic, const Bytes& payload, int,
                const std::string&) {
  // Anyone allowed to publish on tx/# can send without end: the line is flood-limited, and
  // shortened by the log like every field.
  logInput(fmt::format("RECV MSG on topic {}", shortened(escapeControl(topic))));
  CommandTopic cmd = matchCommandTopic(topic);
  if (cmd.kind == CommandTopic::None) return observer().onMessage(topic, payload);
  // Checked on arrival, before anything is queued: a session kept from an earlier hat (another
  // UID) still holds that hat's subscriptions, and each command costs the hat 50 ms.
  std::uint32_t own = protocol().getGWUID();
  if (parseUid(cmd.gatewayUid) != own)
    throw std::invalid_argument(fmt::format("it is for gateway UID {}, this gateway is {}",
                                            shortened(cmd.gatewayUid, 24), own));
  switch (cmd.kind) {
    case CommandTopic::SetSensorRadioKey: {
      std::uint32_t peerUID = uidFromTopic(cmd.sensorUid);
      if (payload.empty()) return;  // how a retained key is cleared on the broker
      if (payload.size() != HatProtocolV2::PEER_KEY_BYTES)
        throw std::invalid_argument(fmt::format("a radio key has {} bytes, not {}", payload.size(),
                                                HatProtocolV2::PEER_KEY_BYTES));
      HatProtocolV2& p = radioProtocol("setupPeerKey");
      p.scheduleTx(TxSource::Commands,
                   [&p, peerUID, key = payload] { p.setupPeerKey(peerUID, key); });
      break;
    }
    case CommandTopic::RemoveSensorRadioKey: {
      std::uint32_t peerUID = uidFromTopic(cmd.sensorUid);
      HatProtocolV2& p = radioProtocol("removePeerKey");
      p.scheduleTx(TxSource::Commands, [&p, peerUID] { p.removePeerKey(peerUID); });
      break;
    }
    case CommandTopic::SetRTCOffset: {
      double rtcOffset = rtcOffsetFrom(payload);
      HatProtocolV2& p = radioProtocol("setRTCOffset");
      p.scheduleTx(TxSource::Commands, [&p, rtcOffset] { p.setRTCOffset(rtcOffset); });
      break;
    }
    case CommandTopic::None:
      break;
  }
}

void dispatchMessage(MqttClient& client, const std::string& topic, const Bytes& payload, int qos,
                     const std::string& props) {
  try {
    on_message(client, topic, payload, qos, props);
  } catch (const std::invalid_argument& e) {
    logInput(
        fmt::format("MQTT command on {} refused: {}", shortened(escapeControl(topic)), e.what()));
  } catch (const TxQueueFull& e) {
    logInput(
        fmt::format("MQTT command on {} refused: {}", shortened(escapeControl(topic)), e.what()));
  } catch (...) {
    logInput(describeException(std::current_exception(), "on_message"));
  }
}

}  // namespace ostrel
