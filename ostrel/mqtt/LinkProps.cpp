#include "ostrel/mqtt/LinkProps.hpp"

// The library's C headers do not declare C linkage themselves.
extern "C" {
#include <MQTTProperties.h>
#include <MQTTReasonCodes.h>
}

#include <fmt/format.h>

#include <cctype>
#include <optional>

namespace ostrel {

namespace {

std::string dataOf(const MQTTLenString& s) {
  return std::string(s.data ? s.data : "", static_cast<std::size_t>(s.len));
}

// The library's getters take a mutable block; they only read it.
MQTTProperties* mut(const MQTTProperties& p) {
  return const_cast<MQTTProperties*>(&p);
}

}  // namespace

std::string mqttPropsText(const MQTTProperties& c) {
  std::string out = "[";
  for (int i = 0; i < c.count; ++i) {
    const MQTTProperty& p = c.array[i];
    const char* raw = MQTTPropertyName(p.identifier);
    std::string name = raw ? raw : fmt::format("property {}", static_cast<int>(p.identifier));
    for (char& ch : name) ch = ch == '_' ? ' ' : static_cast<char>(std::tolower(ch));
    out += (i ? ", " : "") + name + ": ";
    switch (MQTTProperty_getType(p.identifier)) {
      case MQTTPROPERTY_TYPE_BYTE:
        out += std::to_string(p.value.byte);
        break;
      case MQTTPROPERTY_TYPE_TWO_BYTE_INTEGER:
        out += std::to_string(p.value.integer2);
        break;
      case MQTTPROPERTY_TYPE_FOUR_BYTE_INTEGER:
      case MQTTPROPERTY_TYPE_VARIABLE_BYTE_INTEGER:
        out += std::to_string(p.value.integer4);
        break;
      case MQTTPROPERTY_TYPE_UTF_8_STRING_PAIR:
        out += dataOf(p.value.data) + "=" + dataOf(p.value.value);
        break;
      case MQTTPROPERTY_TYPE_BINARY_DATA:
        out += fmt::format("{} bytes", p.value.data.len);
        break;
      default:
        out += dataOf(p.value.data);
    }
  }
  return out + "]";
}

BrokerLimits mqttBrokerLimits(const MQTTProperties& p) {
  auto value = [&](MQTTPropertyCodes code) -> std::optional<int> {
    if (!MQTTProperties_hasProperty(mut(p), code)) return std::nullopt;
    return MQTTProperties_getNumericValue(mut(p), code);
  };
  BrokerLimits l;
  if (auto v = value(MQTTPROPERTY_CODE_MAXIMUM_PACKET_SIZE))
    l.maxPacketSize = static_cast<std::uint32_t>(*v);
  if (auto v = value(MQTTPROPERTY_CODE_MAXIMUM_QOS)) l.maxQos = *v;
  if (auto v = value(MQTTPROPERTY_CODE_RETAIN_AVAILABLE)) l.retainAvailable = *v != 0;
  if (auto v = value(MQTTPROPERTY_CODE_RECEIVE_MAXIMUM))
    l.receiveMaximum = static_cast<std::uint16_t>(*v);
  return l;
}

MqttReplyProps mqttReplyProps(const MQTTProperties& p) {
  auto text = [&](MQTTPropertyCodes code) {
    const MQTTProperty* prop = MQTTProperties_getProperty(mut(p), code);
    return prop ? dataOf(prop->value.data) : std::string();
  };
  MqttReplyProps r;
  r.responseTopic = text(MQTTPROPERTY_CODE_RESPONSE_TOPIC);
  r.correlationData = text(MQTTPROPERTY_CODE_CORRELATION_DATA);
  return r;
}

std::string mqttReasonText(int reason) {
  if (reason == 0) return "Success";
  const char* t = MQTTReasonCode_toString(static_cast<MQTTReasonCodes>(reason));
  return t ? t : fmt::format("reason code {}", reason);
}

}  // namespace ostrel
