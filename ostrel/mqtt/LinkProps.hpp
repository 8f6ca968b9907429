#pragma once
// Reading the MQTT 5 property blocks and reason codes the library hands over: plain data, kept
// apart from the link that drives the library's client.
#include <string>

#include "ostrel/mqtt/MqttClient.hpp"

struct MQTTProperties;

namespace ostrel {

// "[receive maximum: 20, topic alias maximum: 10]"
std::string mqttPropsText(const MQTTProperties& props);
// The limits a CONNACK's properties set.
BrokerLimits mqttBrokerLimits(const MQTTProperties& props);
// A message's request/response properties (its retained flag is the caller's).
MqttReplyProps mqttReplyProps(const MQTTProperties& props);
// The reason code's text: "Success", "Not authorized", ...
std::string mqttReasonText(int reason);

}  // namespace ostrel
