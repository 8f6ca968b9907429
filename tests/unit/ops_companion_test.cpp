// The node-operations companion against a fake broker connection and a socket-pair hat: where
// answers go, what reaches the line, and the published transfer status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/nodeops/Companion.hpp"
#include "ostrel/nodeops/NodeOps.hpp"
#include "tests/support/FakeMqttClient.hpp"
#include "tests/support/HatLinkTest.hpp"

namespace ostrel::ops {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

class CompanionTest : public test::HatLinkTest {
 protected:
  void SetUp() override {
    openHatLink();
    dir_ = fs::path(::testing::TempDir()) / ("companion-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    fake_ = std::make_shared<test::FakeMqttClient>();
    gw().ser = port_;
    gw().pendingReply.reset();
    gw().myProtocol =
        std::make_shared<HatProtocolV1>(port_, fake_, makeDefaultParser(), dir_.string());
    gw().myProtocol->setGWUID(77);
    gw().myProtocol->useNodeIds(gw().nodeIds);  // as the receive loop does at the hello
    clearNodeIds();
    ihexCache().clear();
    flashUpdateStatus() = nlohmann::ordered_json::object();
    setLogSink([](std::string_view) {});
    CompanionSettings s;
    s.stateDir = dir_.string();
    s.jobLimit = 300ms;
    // The transmit worker, played inline, or holding its jobs as a busy worker does.
    auto enqueue = [this](std::function<void()> job) -> awaitable<void> {
      if (holdJobs_)
        held_.push_back(std::move(job));
      else
        job();
      co_return;
    };
    companion_ = std::make_shared<Companion>(
        ctx_.get_executor(), s, enqueue, [this](Executor, const MqttSettings&) { return fake_; });
    companion_->start();
    auto end = std::chrono::steady_clock::now() + 5s;
    while (fake_->subscriptions.empty() && std::chrono::steady_clock::now() < end)
      ctx_.run_one_for(50ms);
    ASSERT_FALSE(fake_->subscriptions.empty());
  }
  void TearDown() override {
    run(companion_->stop());
    setLogSink({});
    gw().myProtocol.reset();
    gw().ser.reset();
    closeHatLink();
    fs::remove_all(dir_);
  }
  // Delivers a request and runs the loop until `n` publications exist.
  void request(const std::string& topic, std::string_view payload, std::size_t n,
               const MqttReplyProps& props = {}) {
    fake_->fireRequest(topic, payload, props);
    auto end = std::chrono::steady_clock::now() + 5s;
    while (fake_->publications.size() < n && std::chrono::steady_clock::now() < end)
      ctx_.run_one_for(50ms);
    ASSERT_GE(fake_->publications.size(), n);
  }

  fs::path dir_;
  bool holdJobs_ = false;
  std::vector<std::function<void()>> held_;
  std::shared_ptr<test::FakeMqttClient> fake_;
  std::shared_ptr<Companion> companion_;
};

TEST_F(CompanionTest, SubscribesAndAnswersWithCorrelationData) {
  ASSERT_EQ(fake_->subscriptions.size(), 1u);
  EXPECT_EQ(fake_->subscriptions[0].size(), 5u);
  EXPECT_EQ(fake_->subscriptions[0][0], (std::pair<std::string, int>{"gw/77/node/+/message", 1}));

  request("gw/77/node/5/message", R"({"key": 7, "msgtype": 11, "outputLevel": 300})", 1,
          {"my/answers", "c-1"});
  EXPECT_EQ(fake_->publications[0].topic, "my/answers");
  EXPECT_EQ(fake_->publications[0].correlation, "c-1");
  EXPECT_EQ(fake_->publications[0].payload, R"({"ok": true})");
  EXPECT_EQ(hatReads(), (Bytes{'T', 'X', 9, 0, 7, 0, 0, 0, 5, 11, 0x01, 0x2C}));

  // No response topic: the request topic + "/response". A refusal writes nothing.
  request("gw/77/node/5/message", R"({"key": 70000, "msgtype": 204})", 2);
  EXPECT_EQ(fake_->publications[1].topic, "gw/77/node/5/message/response");
  EXPECT_EQ(json::parse(fake_->publications[1].payload)["ok"], false);
  // Another gateway's request is not ours.
  fake_->fireRequest("gw/78/node/5/message", R"({"key": 1, "msgtype": 204})");
  for (int i = 0; i < 5; ++i) ctx_.run_one_for(20ms);
  EXPECT_EQ(fake_->publications.size(), 2u);
  EXPECT_TRUE(hatReads().empty());
}

TEST_F(CompanionTest, RefusedRequestsNeverActAndAreAnsweredWhereTheyCameFrom) {
  const std::string msg = R"({"key": 7, "msgtype": 11, "outputLevel": 300})";
  const std::string answers = "gw/77/node/5/message/response";
  auto error = [&](std::size_t i) {
    EXPECT_EQ(fake_->publications[i].topic, answers);
    json a = json::parse(fake_->publications[i].payload);
    EXPECT_EQ(a["ok"], false);
    return a["error"].get<std::string>();
  };
  // Replies onto the gateway's own command topic, a wildcard: refused, on the request's topic.
  request("gw/77/node/5/message", msg, 1, {"gw/77/removeSensorRadioKey/77", "c-1"});
  EXPECT_NE(error(0).find("response topic is refused"), std::string::npos);
  EXPECT_EQ(fake_->publications[0].correlation, "c-1");
  request("gw/77/node/5/message", msg, 2, {"a/#", ""});
  EXPECT_NE(error(1).find("wildcard"), std::string::npos);

  MqttReplyProps retained;
  retained.retained = true;
  request("gw/77/node/5/message", msg, 3, retained);
  EXPECT_NE(error(2).find("retained requests are not carried out"), std::string::npos);

  std::string huge(MAX_REQUEST_BYTES + 1, ' ');
  request("gw/77/node/5/message", huge, 4);
  EXPECT_NE(error(3).find("is larger than the limit"), std::string::npos);
  EXPECT_TRUE(hatReads().empty());
  for (auto& p : fake_->publications) EXPECT_EQ(p.topic, answers);
}

TEST_F(CompanionTest, LongCorrelationDataAndOversizedRequestsAreRefusedWithoutACopy) {
  const std::string msg = R"({"key": 7, "msgtype": 11, "outputLevel": 300})";
  request("gw/77/node/5/message", msg, 1, {"my/answers", std::string(257, 'c')});
  request("gw/77/node/5/peer-mode", std::string(MAX_SMALL_REQUEST_BYTES + 1, '1'), 2);
  request("gw/77/node/5/message", msg, 3, {"my/answers", std::string(256, 'c')});
  const auto& p = fake_->publications;
  EXPECT_EQ(p[0].topic, "my/answers");
  EXPECT_EQ(p[0].correlation, "");
  EXPECT_NE(p[0].payload.find("correlation data of 257 bytes is longer than the limit of 256"),
            std::string::npos);
  EXPECT_NE(p[1].payload.find("is larger than the limit of 4096 bytes"), std::string::npos);
  EXPECT_EQ(p[2].correlation.size(), 256u);
  EXPECT_EQ(hatReads().size(), 12u);  // the last request's "TX" only
}

TEST_F(CompanionTest, TheShippedConfigurationKeepsRepliesUnderOstrelNode) {
  auto c = Config::load(std::string(OSTREL_SOURCE_DIR) + "/packaging/ostrel.conf");
  c.set("OPS", "enabled", "yes");
  auto s = companionSettings(c, dir_.string(), "pi");
  ASSERT_TRUE(s && s->mqtt.retainAsPublished);
  EXPECT_EQ(refuseReplyTopic("my/answers", "gw/77/node/5/message", {{}, {}, s->replyPrefix}),
            "replies go only to topics under ostrel-node/");
}

TEST_F(CompanionTest, AJobPastItsTimeLimitIsNeverStarted) {
  holdJobs_ = true;
  request("gw/77/node/5/message", R"({"key": 7, "msgtype": 11, "outputLevel": 300})", 1);
  json a = json::parse(fake_->publications[0].payload);
  EXPECT_EQ(a["ok"], false);
  EXPECT_NE(a["error"].get<std::string>().find("it was not sent"), std::string::npos) << a;
  // The worker gets to it late: the requester was told it failed, so it does nothing.
  ASSERT_EQ(held_.size(), 1u);
  held_[0]();
  EXPECT_TRUE(hatReads().empty());
}

TEST_F(CompanionTest, WorkerFailureIsAnswered) {
  port_->close();
  request("gw/77/node/5/config",
          R"({"key": 1, "sensorType": 1, "sleepCycles": 1, "useLed": 0, "txPower": 1,
              "preBatteryMeasurementDelayMin": 5})",
          1);
  json a = json::parse(fake_->publications[0].payload);
  EXPECT_EQ(a["ok"], false);
  EXPECT_NE(a["error"].get<std::string>().find("not open"), std::string::npos) << a;
}

TEST_F(CompanionTest, FirmwareStartAndStepPublishTheStatus) {
  fs::path bin = dir_ / "fw.bin";
  {
    std::ofstream f(bin, std::ios::binary);
    for (int i = 0; i < 60; ++i) f.put(static_cast<char>(i));
  }
  fs::path hexPath = dir_ / "fw.hex";
  ASSERT_EQ(std::system(("srec_cat " + bin.string() + " -binary -o " + hexPath.string() +
                         " -intel >/dev/null 2>&1")
                            .c_str()),
            0);
  std::ifstream in(hexPath);
  std::string hex((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The companion learns 1001's node ID from the readings the protocol object heard.
  gw().myProtocol->nodeIds().set(1001, 7);

  json req = {{"key", 3}, {"msgtype", 5}, {"authToken", "abcd"}, {"startAddr", 0}, {"image", hex}};
  request("gw/77/node/1001/firmware", req.dump(), 2);
  ASSERT_EQ(fake_->publications[0].topic, "gw/77/node/1001/firmware/status");
  EXPECT_TRUE(fake_->publications[0].retain);
  json st = json::parse(fake_->publications[0].payload);
  EXPECT_EQ(st["authToken"], "abcd");
  EXPECT_EQ(st["txstatus"], "ACK_WAIT");
  EXPECT_EQ(st["maxAddr"], 59);
  EXPECT_EQ(fake_->publications[1].payload, R"({"ok": true})");
  Bytes first = hatReads();
  ASSERT_GE(first.size(), 9u);
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 9), (Bytes{'T', 'B', 49, 3, 50, 7, 201, 0, 0}));
  // The image lives in the state directory, readable by its owner only.
  EXPECT_EQ(fs::status(dir_ / "ops-firmware.hex").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);

  // A step for another sensor is refused; one for 1001 sends the next chunk.
  request("gw/77/node/1002/firmware/step", R"({"startAddr": 42})", 3);
  EXPECT_EQ(json::parse(fake_->publications[2].payload)["ok"], false);
  request("gw/77/node/1001/firmware/step", R"({"startAddr": 42})", 5);
  st = json::parse(fake_->publications[3].payload);
  EXPECT_EQ(st["numSent"], 2);
  Bytes second = hatReads();
  ASSERT_EQ(second.size(), 6u + 3 + 18 + 1);
  EXPECT_EQ(second[8], 42);

  // A bad image leaves the running transfer alone.
  req["image"] = ":02000000ZZ\n";
  request("gw/77/node/1001/firmware", req.dump(), 6);
  EXPECT_EQ(json::parse(fake_->publications[5].payload)["ok"], false);
  EXPECT_EQ(flashUpdateStatus()["numSent"], 2);
  EXPECT_TRUE(hatReads().empty());
  EXPECT_FALSE(fs::exists(dir_ / "ops-firmware.hex.new"));
}

TEST_F(CompanionTest, ConnectionSettings) {
  Config c = Config::fromString(R"([MQTT]
host = broker.lan
port = 1884
keepalive = 30
username = u
password = p
[OPS]
enabled = yes
)");
  auto s = companionSettings(c, "/st", "pi");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->mqtt.clientId, "ostrel-pi-ops");
  EXPECT_EQ(s->host, "broker.lan");
  EXPECT_EQ(s->port, 1884);
  EXPECT_EQ(s->mqtt.username, "u");
  EXPECT_TRUE(s->mqtt.cleanStart);
  EXPECT_EQ(s->mqtt.sessionExpiry, 0u);
  c.set("MQTT", "client-id", "kitchen-gw");
  EXPECT_EQ(companionSettings(c, "/st", "pi")->mqtt.clientId, "kitchen-gw-ops");
  EXPECT_FALSE(companionSettings(Config::fromString("[OPS]\nenabled = no\n"), "/st", "pi"));
  EXPECT_FALSE(companionSettings(Config::fromString("[MQTT]\nhost = x\n"), "/st", "pi"));
}

}  // namespace
}  // namespace ostrel::ops
