// Node-operation requests: which topics are ours and which payloads are refused before anything
// reaches the hat.
#include <gtest/gtest.h>

#include "ostrel/nodeops/Requests.hpp"

namespace ostrel::ops {
namespace {

using json = nlohmann::json;

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

TEST(OpsTopics, MatchesOnlyThisGatewaysNodeOperations) {
  auto t = matchTopic("gw/16909060/node/1001/message", "16909060");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->op, Op::Message);
  EXPECT_EQ(t->sensorUid, 1001u);
  EXPECT_EQ(matchTopic("gw/16909060/node/7/config", "16909060")->op, Op::Config);
  EXPECT_EQ(matchTopic("gw/16909060/node/7/peer-mode", "16909060")->op, Op::PeerMode);
  EXPECT_EQ(matchTopic("gw/16909060/node/7/firmware", "16909060")->op, Op::Firmware);
  EXPECT_EQ(matchTopic("gw/16909060/node/4294967295/firmware/step", "16909060")->sensorUid,
            4294967295u);

  for (const char* bad :
       {"gw/16909061/node/7/message", "gw/16909060/node/4294967296/message",
        "gw/16909060/node/7a/message", "gw/16909060/node//message", "gw/16909060/node/+/message",
        "gw/16909060/node/7/message/response", "gw/16909060/node/7/firmware/status",
        "gw/16909060/node/7/reboot", "gw/16909060/nodes/7/message", "gw/16909060/node/7",
        "gw/16909060/node/-7/message", "gw/16909060/node/7/firmware/step/x"})
    EXPECT_FALSE(matchTopic(bad, "16909060")) << bad;
  EXPECT_EQ(requestFilters("5").back(), "gw/5/node/+/firmware/step");
  EXPECT_EQ(requestFilters("5").size(), 5u);
}

TEST(OpsTopics, FilterMatching) {
  struct Case {
    const char* filter;
    const char* topic;
    bool match;
  } cases[] = {
      {"tx/#", "tx/evil", true},
      {"tx/#", "tx", true},
      {"tx/#", "txa/b", false},
      {"gw/7/x/+", "gw/7/x/77", true},
      {"gw/7/x/+", "gw/7/x", false},
      {"gw/7/x/+", "gw/7/x/77/y", false},
      {"+/status", "homeassistant/status", true},
      {"a/+/c", "a//c", true},
      {"a", "a/b", false},
      {"#", "anything/at/all", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(topicMatches(c.filter, c.topic), c.match) << c.filter << " " << c.topic;
}

TEST(OpsReplyTopics, RepliesStayOutOfWhatTheGatewayActsOn) {
  ReplyRules rules{{"tx/#", "gw/77/node/+/message", "gw/77/removeSensorRadioKey/+",
                    "homeassistant/status", "other/+/in"},
                   {"tx/", "gw/", "sensors/", "homeassistant/"},
                   ""};
  const std::string req = "gw/77/node/5/message";
  struct Case {
    std::string topic;
    const char* refusal;  // a part of the reason, or nullptr when allowed
  } cases[] = {
      {"gw/77/removeSensorRadioKey/77", "under gw/"},
      {"gw/9999/setRTCOffset", "under gw/"},  // another gateway's command
      {"tx/evil", "under tx/"},
      {"a/#", "wildcard"},
      {"a/+/b", "wildcard"},
      {"sensors/1001/raw", "under sensors/"},
      {"homeassistant/sensor/x/config", "under homeassistant/"},
      {"other/1/in", "takes input on it (other/+/in)"},
      {"$SYS/broker/x", "belong to the broker"},
      {std::string(257, 'a'), "longer than 256"},
      {"a/\xff", "not plain UTF-8"},
      {"a/\nb", "not plain UTF-8"},
      {std::string("a/\0b", 4), "not plain UTF-8"},
      {"", "empty"},
      {"gw/77/node/5/message/response", nullptr},  // the request's own answer topic
      {"gw/77/node/6/message/response", "under gw/"},
      {"ostrel-node/host-1234/r", nullptr},
      {"my/answers", nullptr},
      {std::string(256, 'a'), nullptr},
      {"caf\xc3\xa9/r\xc3\xa9ponses", nullptr},
  };
  for (const auto& c : cases) {
    auto why = refuseReplyTopic(c.topic, req, rules);
    if (!c.refusal) {
      EXPECT_FALSE(why) << c.topic << ": " << *why;
    } else {
      ASSERT_TRUE(why) << c.topic;
      EXPECT_NE(why->find(c.refusal), std::string::npos) << c.topic << ": " << *why;
    }
  }
  rules.prefix = "ostrel-node/";
  EXPECT_FALSE(refuseReplyTopic("ostrel-node/a", req, rules));
  EXPECT_FALSE(refuseReplyTopic(req + "/response", req, rules));
  auto why = refuseReplyTopic("my/answers", req, rules);
  ASSERT_TRUE(why);
  EXPECT_EQ(*why, "replies go only to topics under ostrel-node/");
}

TEST(OpsRequests, MessageBecomesTheCoresValueMap) {
  auto m = parseMessage(text(R"({"key": 7, "msgtype": 11, "outputLevel": 300})"), 5);
  EXPECT_EQ(m.keyName, "7");
  EXPECT_EQ(m.valueMap, (json{{"msgtype", 11}, {"outputLevel", 300}, {"toid", 5}}));
  EXPECT_EQ(parseMessage(text(R"({"key": 65535, "msgtype": 204})"), 1).keyName, "65535");

  for (const char* bad : {R"({"key": 65536, "msgtype": 204})",  // key beyond 16 bits
                          R"({"key": -1, "msgtype": 204})",     //
                          R"({"msgtype": 204})",                // key missing
                          R"({"key": 1, "msgtype": 12})",       // no payload for this type
                          R"({"key": 1, "msgtype": 11, "outputLevel": 65536})",  //
                          R"({"key": 1, "msgtype": 11})",                        // field missing
                          R"({"key": 1, "msgtype": 10, "waterTemp": 256})",      //
                          R"({"key": 1, "msgtype": 204, "toid": 9})",  // the topic names the sensor
                          R"({"key": 1.5, "msgtype": 204})",           //
                          R"({"key": 1, "msgtype": 204, "x": {"y": [1]}})",  // nested
                          R"([1, 2])", R"({"key": 1,)", "", "\xff"}) {
    EXPECT_THROW(parseMessage(text(bad), 5), BadRequest) << bad;
  }
}

TEST(OpsRequests, ConfigChecksEveryFieldBeforeSending) {
  auto c = parseConfig(text(R"({"key": 70000, "sensorType": 5, "sleepCycles": 3, "useLed": 1,
                                "txPower": 2, "preBatteryMeasurementDelayMin": 600})"));
  EXPECT_EQ(c.keyName, "70000");
  EXPECT_FALSE(c.config.contains("key"));
  EXPECT_EQ(c.config["preBatteryMeasurementDelayMin"], 600);

  const std::string base = R"("key": 1, "sensorType": 5, "useLed": 1, "txPower": 2, )";
  for (std::string tail : {R"("sleepCycles": 16, "preBatteryMeasurementDelayMin": 1)",
                           R"("sleepCycles": 3, "preBatteryMeasurementDelayMin": 65536)",
                           R"("sleepCycles": 3)",  // delay missing
                           R"("sleepCycles": 3, "preBatteryMeasurementDelayMin": 1, "colour": 2)"})
    EXPECT_THROW(parseConfig(text("{" + base + tail + "}")), BadRequest) << tail;
  EXPECT_THROW(parseConfig(text(R"({"key": 1, "sensorType": 2, "sleepCycles": 3, "useLed": 1,
                                   "txPower": 2})")),
               BadRequest);  // no record layout
  EXPECT_THROW(parseConfig(text(R"({"key": 1, "sensorType": 5, "sleepCycles": 3, "useLed": 1,
                                   "txPower": 8, "preBatteryMeasurementDelayMin": 1})")),
               BadRequest);
}

TEST(OpsRequests, PeerModeAndStep) {
  EXPECT_EQ(parsePeerMode(text("1")), 1);
  EXPECT_EQ(parsePeerMode(text("0")), 0);
  for (const char* bad : {"2", "on", "", " 1", "01"})
    EXPECT_THROW(parsePeerMode(text(bad)), BadRequest) << bad;
  EXPECT_EQ(parseStep(text(R"({"startAddr": 65536})")), 65536);
  EXPECT_THROW(parseStep(text(R"({"startAddr": 65537})")), BadRequest);
  EXPECT_THROW(parseStep(text(R"({"startAddr": 0, "key": 1})")), BadRequest);
}

TEST(OpsRequests, FirmwareLimits) {
  json ok = {{"key", 3},
             {"msgtype", 5},
             {"authToken", "de ad BE EF"},
             {"startAddr", 0},
             {"image", ":00000001FF\n"}};
  auto f = parseFirmware(text(ok.dump()));
  EXPECT_EQ(f.key, 3);
  EXPECT_EQ(f.authToken, "de ad BE EF");
  EXPECT_EQ(f.image, ":00000001FF\n");

  auto refused = [&](const char* key, json value) {
    json j = ok;
    if (value.is_null())
      j.erase(key);
    else
      j[key] = value;
    EXPECT_THROW(parseFirmware(text(j.dump())), BadRequest) << key << " " << value.dump();
  };
  refused("key", 256);
  refused("msgtype", 256);
  refused("startAddr", 65536);
  refused("authToken", "xyz");
  refused("authToken", std::string(502, 'a'));
  refused("image", nullptr);
  refused("image", 5);
  refused("image", std::string(MAX_IMAGE_BYTES + 1, '0'));
  refused("filePath", "/etc/passwd");
  json big = ok;
  big["image"] = std::string(MAX_IMAGE_BYTES, '0');
  EXPECT_NO_THROW(parseFirmware(text(big.dump())));
}

TEST(OpsRequests, SizeIsJudgedBeforeParsingAndUnknownKeysWhereTheParserMeetsThem) {
  auto refusal = [](auto f) -> std::string {
    try {
      f();
    } catch (const BadRequest& e) {
      return e.what();
    }
    return "";
  };
  // Unterminated JSON: an answer about its size shows that the parser never started; after an
  // unknown key the parser stops, and the broken rest is never read.
  const std::string big = R"({"pad": ")" + std::string(MAX_SMALL_REQUEST_BYTES, ' ');
  const std::string rest = ", " + std::string(3000, '[');
  EXPECT_EQ(refusal([&] { parseMessage(text(big), 5); }),
            "request of 4105 bytes is larger than the limit of 4096 bytes");
  EXPECT_EQ(refusal([&] { parseConfig(text(R"({"colour": 2)" + rest)); }), "unknown key 'colour'");
  EXPECT_EQ(refusal([&] { parseStep(text(R"({"startAddr": 1, "key": 1)" + rest)); }),
            "unknown key 'key'");
  // A full-size image with CRLF line ends grows by its escapes in JSON: still taken.
  std::string image;
  while (image.size() + 46 <= MAX_IMAGE_BYTES) image += ":" + std::string(43, '0') + "\r\n";
  json fw = {{"key", 3}, {"msgtype", 5}, {"authToken", "ab"}, {"startAddr", 0}, {"image", image}};
  ASSERT_GT(fw.dump().size(), MAX_IMAGE_BYTES + 4096);
  EXPECT_EQ(refusal([&] { parseFirmware(text(fw.dump())); }), "");
}

TEST(OpsRequests, StatusAndAnswerTexts) {
  nlohmann::ordered_json st;
  st["startTime"] = 1.5;
  st["toNodeUID"] = 1001;
  st["authToken"] = nlohmann::ordered_json::binary({0xDE, 0xAD});
  st["txstatus"] = "ACK_WAIT";
  EXPECT_EQ(statusJson(st),
            R"({"startTime":1.5,"toNodeUID":1001,"authToken":"dead","txstatus":"ACK_WAIT"})");
  EXPECT_EQ(json::parse(errorAnswer("bad \"x\"")), (json{{"ok", false}, {"error", "bad \"x\""}}));
  EXPECT_EQ(json::parse(okAnswer()), (json{{"ok", true}}));
}

}  // namespace
}  // namespace ostrel::ops
