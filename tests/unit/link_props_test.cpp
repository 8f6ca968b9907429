// The property blocks and reason codes of the MQTT library, read as the link reports them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrel/mqtt/LinkProps.hpp"

// The library's C headers do not declare C linkage themselves.
extern "C" {
#include <MQTTProperties.h>
}

namespace ostrel::test::link_props {
namespace {

// A property block as the library hands it over.
struct Block {
  std::vector<MQTTProperty> props;
  std::vector<std::string> strings;  // what the properties point into
  MQTTProperties p{};
  Block() { strings.reserve(16); }
  // An integer property of `bytes` bytes (1, 2 or 4).
  Block& num(MQTTPropertyCodes code, int bytes, unsigned v) {
    MQTTProperty prop{code, {}};
    if (bytes == 1) prop.value.byte = static_cast<unsigned char>(v);
    if (bytes == 2) prop.value.integer2 = static_cast<unsigned short>(v);
    if (bytes == 4) prop.value.integer4 = v;
    return add(prop);
  }
  Block& text(MQTTPropertyCodes code, std::string data, std::string value = {}) {
    MQTTProperty prop{code, {}};
    for (auto [s, field] : {std::pair{&data, &prop.value.data}, {&value, &prop.value.value}}) {
      strings.push_back(std::move(*s));
      *field = {static_cast<int>(strings.back().size()), strings.back().data()};
    }
    return add(prop);
  }
  Block& add(MQTTProperty prop) {
    props.push_back(prop);
    p = {static_cast<int>(props.size()), static_cast<int>(props.size()), 0, props.data()};
    return *this;
  }
};

TEST(LinkProps, TextNamesEachPropertyWithItsValue) {
  Block b;
  b.num(MQTTPROPERTY_CODE_RECEIVE_MAXIMUM, 2, 20)
      .num(MQTTPROPERTY_CODE_MAXIMUM_QOS, 1, 1)
      .num(MQTTPROPERTY_CODE_SESSION_EXPIRY_INTERVAL, 4, 3600)
      .text(MQTTPROPERTY_CODE_USER_PROPERTY, "site", "barn")
      .text(MQTTPROPERTY_CODE_CORRELATION_DATA, std::string("\0\1\2", 3))
      .text(MQTTPROPERTY_CODE_ASSIGNED_CLIENT_IDENTIFER, "auto-1");
  EXPECT_EQ(mqttPropsText(b.p),
            "[receive maximum: 20, maximum qos: 1, session expiry interval: 3600, "
            "user property: site=barn, correlation data: 3 bytes, assigned client identifer: "
            "auto-1]");
  EXPECT_EQ(mqttPropsText(Block().p), "[]");
}

TEST(LinkProps, BrokerLimitsTakeWhatTheConnackSaysAndDefaultTheRest) {
  Block none;
  BrokerLimits d = mqttBrokerLimits(none.p);
  EXPECT_TRUE(d.maxPacketSize == 0 && d.maxQos == 2 && d.retainAvailable &&
              d.receiveMaximum == 65535);

  Block all;
  all.num(MQTTPROPERTY_CODE_MAXIMUM_PACKET_SIZE, 4, 4'000'000'000u)  // above a signed int
      .num(MQTTPROPERTY_CODE_MAXIMUM_QOS, 1, 0)
      .num(MQTTPROPERTY_CODE_RETAIN_AVAILABLE, 1, 0)
      .num(MQTTPROPERTY_CODE_RECEIVE_MAXIMUM, 2, 65000);
  BrokerLimits l = mqttBrokerLimits(all.p);
  EXPECT_EQ(l.maxPacketSize, 4'000'000'000u);
  EXPECT_EQ(l.maxQos, 0);
  EXPECT_FALSE(l.retainAvailable);
  EXPECT_EQ(l.receiveMaximum, 65000);
}

TEST(LinkProps, ReplyPropertiesKeepBinaryCorrelationData) {
  Block b;
  b.text(MQTTPROPERTY_CODE_RESPONSE_TOPIC, "app/replies/7")
      .text(MQTTPROPERTY_CODE_CORRELATION_DATA, std::string("a\0b", 3));
  MqttReplyProps r = mqttReplyProps(b.p);
  EXPECT_EQ(r.responseTopic, "app/replies/7");
  EXPECT_EQ(r.correlationData, std::string("a\0b", 3));
  MqttReplyProps none = mqttReplyProps(Block().p);
  EXPECT_TRUE(none.responseTopic.empty() && none.correlationData.empty());
}

TEST(LinkProps, ReasonTexts) {
  EXPECT_EQ(mqttReasonText(0), "Success");
  EXPECT_EQ(mqttReasonText(0x87), "Not authorized");
  EXPECT_EQ(mqttReasonText(0x55), "reason code 85");
}

}  // namespace
}  // namespace ostrel::test::link_props
