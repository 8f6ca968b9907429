// The MQTT session handlers and command dispatch, with an in-memory client and a protocol object
// on a socket pair: the queued commands are run and their bytes read back as the hat.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/hat/HatProtocolV2.hpp"
#include "tests/support/FakeMqttClient.hpp"
#include "tests/support/HatLinkTest.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel {
namespace {

using namespace std::chrono_literals;

constexpr const char* kConfig = R"(
[MQTT]
host = broker.invalid
port = 1884
keepalive = 30
username =
password =
[TIME]
sync-interval = 0
ntp-check-interval-min = 5
ntp-check-interval-max = 300
[LOG]
sensor-rtc-offset = false
failed-decrypt = false
[RADIO]
rssi-threshold = -98
)";

class MqttHandlersTest : public test::HatLinkTest {
 protected:
  void SetUp() override {
    openHatLink();
    client_ = std::make_shared<test::FakeMqttClient>();
    client_->on_connect = &ostrel::on_connect;
    client_->on_disconnect = &ostrel::on_disconnect;
    client_->on_subscribe = &ostrel::on_subscribe;
    client_->on_message = &ostrel::on_message;
    use(3, 1234);
    setLogSink([this](std::string_view l) { logs_.emplace_back(l); });
  }
  void TearDown() override {
    setLogSink({});
    gw().myProtocol.reset();
    closeHatLink();
  }

  // Installs a protocol object of the given version as the gateway's.
  void use(int version, std::uint32_t gwUid) {
    std::shared_ptr<HatProtocolV1> p;
    Config cfg = Config::fromString(kConfig);
    if (version == 1)
      p = std::make_shared<HatProtocolV1>(port_, client_, makeDefaultParser(), "/nonexistent");
    else if (version == 2)
      p = std::make_shared<HatProtocolV2>(port_, client_, makeDefaultParser(), "/nonexistent", cfg,
                                          ctx_.get_executor());
    else
      p = std::make_shared<HatProtocolV3>(port_, client_, makeDefaultParser(), "/nonexistent", cfg,
                                          ctx_.get_executor());
    p->setGWUID(gwUid);
    gw().myProtocol = p;
  }
  HatProtocolV1& proto() { return *gw().myProtocol; }
  std::size_t queued() { return proto().txQueue().size(); }
  // Runs every queued job and returns what reached the hat.
  Bytes runQueued() {
    while (queued() > 0) proto().txQueuedMsgs();
    Bytes out;
    std::uint8_t buf[4096];
    for (ssize_t n; (n = ::recv(hat_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      out.insert(out.end(), buf, buf + n);
    return out;
  }
  void message(const std::string& topic, const Bytes& payload) {
    on_message(*client_, topic, payload, 0, "[]");
  }
  void message(const std::string& topic, std::string_view payload) {
    message(topic, Bytes(payload.begin(), payload.end()));
  }

  std::shared_ptr<test::FakeMqttClient> client_;
  std::vector<std::string> logs_;
};

// ---- Session handlers ----

TEST_F(MqttHandlersTest, ConnectSubscribesCommandTopicsForVersion3) {
  client_->fireConnect();
  ASSERT_EQ(client_->subscriptions.size(), 1u);
  EXPECT_EQ(client_->subscriptions[0],
            (MqttClient::Subscriptions{{"tx/#", 1},
                                       {"gw/1234/setSensorRadioKey/+", 0},
                                       {"gw/1234/removeSensorRadioKey/+", 0},
                                       {"gw/1234/setRTCOffset", 0}}));
  EXPECT_EQ(logs_, (std::vector<std::string>{
                       "Connected to MQTT broker. flags session present 0. rc Success. props [].",
                       "Subscribing to tx/#", "Subscribing to gw/1234/setSensorRadioKey/+",
                       "Subscribing to gw/1234/removeSensorRadioKey/+"}));
}

TEST_F(MqttHandlersTest, ConnectSubscribesOnlyTxBeforeVersion3) {
  for (int v : {1, 2}) {
    use(v, 1234);
    client_->subscriptions.clear();
    logs_.clear();
    client_->fireConnect();
    ASSERT_EQ(client_->subscriptions.size(), 1u) << v;
    EXPECT_EQ(client_->subscriptions[0], (MqttClient::Subscriptions{{"tx/#", 1}})) << v;
    EXPECT_EQ(std::count_if(logs_.begin(), logs_.end(),
                            [](const std::string& l) { return l.rfind("Subscribing to", 0) == 0; }),
              1)
        << v;
  }
}

TEST_F(MqttHandlersTest, ReconnectSubscribesAgain) {
  client_->fireConnect();
  client_->fireDisconnect();
  client_->fireConnect("session present 1", "Not authorized", "[]");
  ASSERT_EQ(client_->subscriptions.size(), 2u);
  EXPECT_EQ(client_->subscriptions[1], client_->subscriptions[0]);
  EXPECT_EQ(std::count(logs_.begin(), logs_.end(), "Subscribing to tx/#"), 2);
}

// The set-up wakes the hat; connects, however many, add nothing to it.
TEST_F(MqttHandlersTest, ConnectsNeverWakeTheHatAgain) {
  asio::co_spawn(ctx_, proto().postEncryption(), asio::detached);
  ctx_.run();
  EXPECT_EQ(queued(), 1u);
  client_->fireConnect();
  client_->fireDisconnect();
  client_->fireConnect();
  EXPECT_EQ(runQueued(), toBytes("TC"));
}

// A broker that never answers holds nothing up: the hat is set up and woken, the firmware
// revision waits in the client, and the connect, when it comes, subscribes.
TEST_F(MqttHandlersTest, BringUpNeverWaitsForTheBroker) {
  gw().myProtocol.reset();
  gw().ser = port_;
  client_->connectCallsHandler = false;
  char dir[] = "/tmp/ostrel-rx-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  Config config = Config::fromString(kConfig);
  Args args{.nodeId = 5, .networkId = 100};
  asio::cancellation_signal stop;
  bool ended = false;
  asio::co_spawn(
      ctx_, processRxMsgs(client_, config, args, dir),
      asio::bind_cancellation_slot(stop.slot(), [&](std::exception_ptr) { ended = true; }));
  auto until = [&](auto pred) {
    for (auto end = std::chrono::steady_clock::now() + 10s;
         !pred() && std::chrono::steady_clock::now() < end;)
      ctx_.run_one_for(50ms);
    return pred();
  };
  hatSends(hatsim::helloMessage({.version = 3}));
  Bytes sent;
  ASSERT_TRUE(until([&] { return append(sent, hatReads()), sent.size() >= 8; }));
  EXPECT_EQ(toString(ByteView(sent).subspan(0, 2)), "LS");
  hatSends("LGLocal node setup complete\r\n");
  ASSERT_TRUE(until([&] { return gw().myProtocol && queued() == 1; }));
  EXPECT_EQ(runQueued(), toBytes("TC"));
  EXPECT_EQ(client_->connects.size(), 1u);
  ASSERT_EQ(client_->publications.size(), 1u);
  EXPECT_EQ(client_->publications[0].topic, "gw/16909060/firmware/revision");
  client_->fireConnect();
  EXPECT_EQ(client_->subscriptions.size(), 1u);
  EXPECT_EQ(queued(), 0u);  // no second wake-up
  stop.emit(asio::cancellation_type::terminal);
  until([&] { return ended; });
  gw().ser.reset();
  std::filesystem::remove_all(dir);
}

TEST_F(MqttHandlersTest, ConnectWithoutProtocolFails) {
  gw().myProtocol.reset();
  EXPECT_THROW(on_connect(*client_, "f", "rc", "[]"), std::runtime_error);
  EXPECT_TRUE(client_->subscriptions.empty());
  // Through the client: the error is logged, nothing else happens.
  client_->fireConnect();
  EXPECT_TRUE(client_->subscriptions.empty());
  ASSERT_EQ(logs_.size(), 1u);
  EXPECT_NE(logs_[0].find("on_connect"), std::string::npos) << logs_[0];
}

TEST_F(MqttHandlersTest, DisconnectAndSubscribeOnlyLog) {
  client_->fireConnect();
  logs_.clear();
  client_->fireDisconnect();
  EXPECT_EQ(logs_, std::vector<std::string>{"Disconnected from MQTT broker"});
  EXPECT_EQ(client_->subscriptions.size(), 1u);

  logs_.clear();
  client_->fireSubscribe(3, {1, 0, 0, 128}, "[]");
  EXPECT_EQ(logs_, std::vector<std::string>{"Subscribed mid #3 props [] qos [1, 0, 0, 128]"});
}

// ---- Command dispatch ----

TEST_F(MqttHandlersTest, EveryMessageIsLogged) {
  message("tx/anything", "payload");
  message("tx/a/b", "");
  EXPECT_EQ(logs_, (std::vector<std::string>{"RECV MSG on topic tx/anything",
                                             "RECV MSG on topic tx/a/b"}));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(MqttHandlersTest, SetKeyQueuesPeerKey) {
  Bytes key(32);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i * 7);
  use(3, 1234);
  message("gw/1234/setSensorRadioKey/5000", key);
  EXPECT_EQ(logs_, std::vector<std::string>{"RECV MSG on topic gw/1234/setSensorRadioKey/5000"});
  ASSERT_EQ(queued(), 1u);
  EXPECT_EQ(proto().txQueue().size(TxSource::Commands), 1u);
  Bytes want{'P', 'K', 0x00, 0x00, 0x13, 0x88};
  append(want, key);
  EXPECT_EQ(runQueued(), want);
  EXPECT_EQ(logs_.back(), "Transmitting peer key for UID 5000");

  // An empty payload clears a retained key on the broker: nothing to do.
  message("gw/1234/setSensorRadioKey/5000", Bytes{});
  EXPECT_EQ(queued(), 0u);
}

TEST_F(MqttHandlersTest, RemoveKeyQueuesWhateverThePayload) {
  message("gw/1234/removeSensorRadioKey/42", "ignored");
  message("gw/1234/removeSensorRadioKey/0042", "");
  ASSERT_EQ(queued(), 2u);
  Bytes one{'P', 'K', 0x00, 0x00, 0x00, 0x2A};
  one.insert(one.end(), 32, 0);
  Bytes both = one;
  append(both, one);
  EXPECT_EQ(runQueued(), both);
  EXPECT_EQ(std::count(logs_.begin(), logs_.end(), "Sending remove command for peer UID 42"), 2);
}

TEST_F(MqttHandlersTest, UidBeyond32BitsIsRefusedOnArrival) {
  EXPECT_THROW(message("gw/1234/removeSensorRadioKey/4294967296", ""), std::invalid_argument);
  EXPECT_THROW(message("gw/1234/removeSensorRadioKey/99999999999999999999999", ""),
               std::invalid_argument);
  EXPECT_EQ(queued(), 0u);
}

// Each refusal: nothing queued, one line naming the topic and the reason.
TEST_F(MqttHandlersTest, CommandsTheHatCannotTakeAreRefusedOnArrivalInOneLine) {
  const std::string big(1024 * 1024, '1');
  const std::string cases[][3] = {
      {"gw/77/setSensorRadioKey/5000", big, "it is for gateway UID 77, this gateway is 1234"},
      {"gw/4294968530/setRTCOffset", "1",
       "it is for gateway UID 4294968530, this gateway is 1234"},  // 1234 + 2^32
      {"gw/1234/setSensorRadioKey/5000", big, "a radio key has 1048576 bytes, not 32"},
      {"gw/1234/setSensorRadioKey/4294967296", big, "sensor UID 4294967296 is out of range"},
      {"gw/1234/setRTCOffset", big, "RTC offset payload of 1048576 bytes is too long"},
      {"gw/1234/setRTCOffset", "104.86", "RTC offset too big: 104.86 ppm"}};  // 32,769 steps
  for (const auto& [topic, payload, reason] : cases) {
    logs_.clear();
    dispatchMessage(*client_, topic, toBytes(payload), 0, "[]");
    ASSERT_EQ(logs_.size(), 2u) << topic;
    EXPECT_EQ(logs_[1], "MQTT command on " + topic + " refused: " + reason) << topic;
  }
  EXPECT_EQ(queued(), 0u);
  // Past the commands' share of the queue: refused the same way; the clock's lane stays open.
  for (std::size_t i = 0; i <= TxQueue::COMMAND_JOBS; ++i)
    dispatchMessage(*client_, "gw/01234/removeSensorRadioKey/5", {}, 0, "[]");
  EXPECT_EQ(logs_.back(),
            "MQTT command on gw/01234/removeSensorRadioKey/5 refused: 256 MQTT "
            "command jobs waiting; job refused");
  EXPECT_NO_THROW(proto().scheduleTx([] {}));
}

TEST_F(MqttHandlersTest, ClockOffsetQueued) {
  message("gw/1234/setRTCOffset", "-1.5");
  message("gw/1234/setRTCOffset", " 2.5e0\n");
  ASSERT_EQ(queued(), 2u);
  EXPECT_EQ(runQueued(), (Bytes{'S', 'R', 0xFE, 0x2B, 'S', 'R', 0x03, 0x0D}));
  EXPECT_EQ(logs_.back(), "Sending RTC offset adjustment command: 2.5 ppm");
}

TEST_F(MqttHandlersTest, BadClockOffsetFailsAndQueuesNothing) {
  for (std::string_view bad : {"abc", "nan", "inf", "-inf", "", "1.5x", "1,5", "0x10"}) {
    EXPECT_ANY_THROW(message("gw/1234/setRTCOffset", bad)) << bad;
  }
  EXPECT_ANY_THROW((message("gw/1234/setRTCOffset", Bytes{'1', 0xFF})));
  EXPECT_ANY_THROW((message("gw/1234/setRTCOffset", Bytes{0xC3, 0xA9})));
  EXPECT_EQ(queued(), 0u);
  // Through the client the error is logged and goes no further.
  logs_.clear();
  client_->fireMessage("gw/1234/setRTCOffset", std::string_view("abc"));
  ASSERT_EQ(logs_.size(), 2u);
  EXPECT_EQ(logs_[0], "RECV MSG on topic gw/1234/setRTCOffset");
  EXPECT_NE(logs_[1].find("on_message"), std::string::npos) << logs_[1];
  EXPECT_EQ(queued(), 0u);
}

TEST_F(MqttHandlersTest, NonMatchingTopicsAreOnlyLogged) {
  Bytes key(32, 9);
  for (const char* topic :
       {"gw/1234/setRTCOffset/x", "gw/abc/setSensorRadioKey/5000", "gw/1234/setSensorRadioKey/5x",
        "gw/1234/setSensorRadioKey/", "gw/1234/removeSensorRadioKey/-4",
        "gw/1234/removeSensorRadioKey/42/x", "xgw/1234/setRTCOffset", "gw/1234/setrtcoffset"}) {
    message(topic, key);
  }
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(logs_.size(), 8u);
  for (const auto& l : logs_) EXPECT_EQ(l.rfind("RECV MSG on topic ", 0), 0u) << l;
}

TEST_F(MqttHandlersTest, CommandsNeedARadioProtocol) {
  use(1, 1234);
  EXPECT_ANY_THROW(message("gw/1234/setSensorRadioKey/5000", Bytes(32, 1)));
  EXPECT_ANY_THROW(message("gw/1234/removeSensorRadioKey/42", ""));
  EXPECT_ANY_THROW(message("gw/1234/setRTCOffset", "1.0"));
  EXPECT_EQ(queued(), 0u);

  gw().myProtocol.reset();
  EXPECT_ANY_THROW(message("gw/1234/removeSensorRadioKey/42", ""));
  EXPECT_ANY_THROW(message("gw/1234/setRTCOffset", "1.0"));
  // Topics that are not commands need no protocol object.
  EXPECT_NO_THROW(message("tx/x", "1"));
}

TEST_F(MqttHandlersTest, HugeTopicsAreMatchedWithoutRecursionAndRefusedInOneLine) {
  // Far beyond what any stack-hungry matcher survives; the match itself walks the topic once.
  std::string digits(1000000, '9');
  EXPECT_THROW(message("gw/1234/setSensorRadioKey/" + digits, Bytes(32, 1)), std::invalid_argument);
  EXPECT_THROW(message("gw/1234/removeSensorRadioKey/" + digits, ""), std::invalid_argument);
  EXPECT_EQ(queued(), 0u);
  // The refusal shows a few digits and the count, not a megabyte.
  try {
    message("gw/1234/removeSensorRadioKey/" + digits, "");
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()),
              "sensor UID " + std::string(24, '9') + "... (1000000 digits) is out of range");
  }
  // Long topics that are not commands: only logged.
  message("gw/" + digits + "/setSensorRadioKey", "x");
  message(std::string(100000, '/'), "x");
  message("gw/1234/setSensorRadioKey/" + digits + "/x", "x");
  EXPECT_EQ(queued(), 0u);

  const std::string topic = "gw/" + digits + "/removeSensorRadioKey/17";  // the UID views into it
  auto m = matchCommandTopic(topic);
  EXPECT_EQ(m.kind, CommandTopic::RemoveSensorRadioKey);
  EXPECT_EQ(m.sensorUid, "17");
  EXPECT_EQ(m.gatewayUid.size(), digits.size());
  EXPECT_EQ(matchCommandTopic("gw/1/setRTCOffset").kind, CommandTopic::SetRTCOffset);
  EXPECT_EQ(matchCommandTopic("gw//setRTCOffset").kind, CommandTopic::None);
  EXPECT_EQ(matchCommandTopic("gw/1/setSensorRadioKey/+").kind, CommandTopic::None);
  EXPECT_EQ(matchCommandTopic("gw/1/setSensorRadioKey/12/").kind, CommandTopic::None);
  EXPECT_EQ(matchCommandTopic("/gw/1/setRTCOffset").kind, CommandTopic::None);
}

TEST_F(MqttHandlersTest, ControlCharactersInTopicsCannotForgeLogLines) {
  message(std::string("tx/a\nStopping serial interface RX...\r\x1b[2J\\n\x7f"), "1");
  ASSERT_EQ(logs_.size(), 1u);
  EXPECT_EQ(logs_[0],
            "RECV MSG on topic tx/a\\nStopping serial interface RX...\\r\\x1b[2J\\\\n\\x7f");
  EXPECT_EQ(logs_[0].find('\n'), std::string::npos);
  EXPECT_EQ(logs_[0].find('\r'), std::string::npos);
}

TEST_F(MqttHandlersTest, CommandsAfterTheTransmitLoopStoppedAreRefusedNotBlocked) {
  proto().txQueue().close();
  EXPECT_THROW(message("gw/1234/setRTCOffset", "1.0"), TxQueueClosed);
  // Through the client: one logged error each, nothing waits.
  logs_.clear();
  for (int i = 0; i < 30; ++i) client_->fireMessage("gw/1234/setRTCOffset", std::string_view("1"));
  EXPECT_EQ(logs_.size(), 60u);
  EXPECT_NE(logs_[1].find("transmit loop has stopped"), std::string::npos) << logs_[1];
  proto().txQueue().open();
  message("gw/1234/setRTCOffset", "1.0");
  EXPECT_EQ(queued(), 1u);
}

}  // namespace
}  // namespace ostrel
