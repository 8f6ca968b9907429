// The default sensor parser and a parser loaded from a shared library.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ostrel/parser/SensorMsgParser.hpp"
#include "tests/support/FakeMqttClient.hpp"

using namespace ostrel;

namespace {

// Runs the gateway's calling sequence: getParser, parse, toString, getPublisher, publish.
std::string decodeAndPublish(SensorMsgParser& parser, MqttClient& client, std::uint32_t uid,
                             const Bytes& payload, long long ts, int rssi) {
  MsgDecoder* decoder = parser.getParser(payload);
  if (!decoder) return "<none>";
  ParsedMsg msg = decoder->parse(uid, payload);
  std::string text = parser.toString(msg);
  decoder->getPublisher(client).publish(uid, ts, msg, rssi);
  return text;
}

}  // namespace

TEST(SensorParser, DefaultPublishesPayloadAsHexJson) {
  auto parser = createSensorMsgParser();
  test::FakeMqttClient client;
  EXPECT_EQ(
      decodeAndPublish(*parser, client, 4000000001u, Bytes{0x01, 0xAB, 0x00}, 1733660000123, -62),
      "01ab00");
  ASSERT_EQ(client.publications.size(), 1u);
  const auto& p = client.publications[0];
  EXPECT_EQ(p.topic, "sensors/4000000001/raw");
  EXPECT_EQ(p.qos, 1);
  EXPECT_FALSE(p.retain);
  auto j = nlohmann::json::parse(p.payload);
  EXPECT_EQ(j["uid"], 4000000001u);
  EXPECT_EQ(j["ts"], 1733660000123LL);
  EXPECT_EQ(j["rssi"], -62);
  EXPECT_EQ(j["payload"], "01ab00");
}

TEST(SensorParser, DefaultDoesNotRecogniseAnEmptyPayload) {
  auto parser = createSensorMsgParser();
  EXPECT_EQ(parser->getParser(Bytes{}), nullptr);
  EXPECT_NE(parser->getParser(Bytes{0}), nullptr);
}

TEST(SensorParser, PublisherFollowsANewClient) {
  // After a restart the gateway hands a new client: publications must go to it.
  auto parser = createSensorMsgParser();
  test::FakeMqttClient first, second;
  decodeAndPublish(*parser, first, 1, Bytes{1}, 0, -1);
  decodeAndPublish(*parser, second, 1, Bytes{2}, 0, -1);
  EXPECT_EQ(first.publications.size(), 1u);
  EXPECT_EQ(second.publications.size(), 1u);
}

TEST(SensorParser, LoadsTheExampleParserLibrary) {
  auto parser = createSensorMsgParser(std::string(OSTREL_LIB_DIR) + "/libexample_parser.so");
  test::FakeMqttClient client;
  // Type 1, 2150 hundredths of a degree.
  EXPECT_EQ(decodeAndPublish(*parser, client, 7, Bytes{0x01, 0x08, 0x66}, 5, -70), "21.5 C");
  ASSERT_EQ(client.publications.size(), 1u);
  EXPECT_EQ(client.publications[0].topic, "sensors/7/temperature");
  EXPECT_EQ(nlohmann::json::parse(client.publications[0].payload)["celsius"], 21.5);
  // Payloads it does not know are not recognised.
  EXPECT_EQ(parser->getParser(Bytes{0x02, 0, 0}), nullptr);
}

TEST(SensorParser, MissingOrWrongLibraryIsAClearError) {
  try {
    createSensorMsgParser("/nonexistent/libparser.so");
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/libparser.so"), std::string::npos);
  }
  // A library without the factory function.
  EXPECT_THROW(createSensorMsgParser(std::string(OSTREL_LIB_DIR) + "/libTimer.so"),
               std::runtime_error);
}
