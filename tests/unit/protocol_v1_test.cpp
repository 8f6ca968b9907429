// HatProtocolV1 against a real SerialPort on one end of a socket pair: the test plays the hat on
// the other end, captures the log and reads publications from an in-memory MQTT client.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "ostrel/base/Log.hpp"
#include "ostrel/hat/HatProtocolV1.hpp"
#include "tests/support/ConfirmingHat.hpp"
#include "tests/support/FakeMqttClient.hpp"
#include "tests/support/HatLinkTest.hpp"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void writeAll(int fd, std::string_view s) {
  ASSERT_EQ(::write(fd, s.data(), s.size()), ssize_t(s.size()));
}

awaitable<void> writeLater(int fd, std::chrono::milliseconds delay, std::string data) {
  auto ex = co_await asio::this_coro::executor;
  asio::steady_timer t(ex, delay);
  co_await t.async_wait(use_awaitable);
  writeAll(fd, data);
}

class ProtocolV1Test : public test::HatLinkTest {
 protected:
  void SetUp() override {
    openHatLink();
    char tmpl[] = "/tmp/ostrel-v1-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    client_ = std::make_shared<test::FakeMqttClient>();
    proto_ = std::make_unique<HatProtocolV1>(port_, client_, makeDefaultParser(), dir_);
    setLogSink([this](std::string_view l) {
      std::lock_guard lk(logMutex_);
      logs_.emplace_back(l);
    });
  }
  void TearDown() override {
    setLogSink({});
    proto_.reset();
    closeHatLink();
    fs::remove_all(dir_);
  }

  std::vector<std::string> logs() {
    std::lock_guard lk(logMutex_);
    return logs_;
  }
  bool logged(const std::string& line) {
    auto l = logs();
    return std::find(l.begin(), l.end(), line) != l.end();
  }

  // A valid-message block: UID, node ID, unused byte, RSSI magnitude, payload.
  static Bytes sensorBlock(std::uint32_t uid, int node, int rssiByte, const Bytes& payload) {
    Bytes b;
    putBe32(b, uid);
    b.push_back(static_cast<std::uint8_t>(node));
    b.push_back(0x5A);
    b.push_back(static_cast<std::uint8_t>(rssiByte));
    append(b, payload);
    return b;
  }
  static Bytes withLength(const Bytes& block) {
    Bytes b{static_cast<std::uint8_t>(block.size())};
    append(b, block);
    return b;
  }

  // A 44-byte status file: local startup counter, key, peer startup and message counters.
  void writeStatusFile(const std::string& name, std::uint8_t seed) {
    std::ofstream f(dir_ + "/" + name, std::ios::binary);
    for (int i = 0; i < 44; ++i) f.put(static_cast<char>(seed + i));
  }
  Bytes readFile(const std::string& name) {
    std::ifstream f(dir_ + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  std::string dir_;
  std::shared_ptr<test::FakeMqttClient> client_;
  std::unique_ptr<HatProtocolV1> proto_;
  std::mutex logMutex_;
  std::vector<std::string> logs_;
};

// ---- Receive dispatch ----

TEST_F(ProtocolV1Test, UnknownCodeReadsNothing) {
  hatSends(withLength(sensorBlock(5000, 7, 72, {1, 2, 3})));
  EXPECT_FALSE(run(proto_->processMsg("XY")));
  EXPECT_FALSE(run(proto_->processMsg("RT")));  // a version 2 code
  EXPECT_EQ(run(port_->read_async(11)), withLength(sensorBlock(5000, 7, 72, {1, 2, 3})));
  EXPECT_TRUE(logs().empty());
  EXPECT_TRUE(client_->publications.empty());
}

TEST_F(ProtocolV1Test, ValidMessagePublishedThroughDefaultParser) {
  long long before = nowMillis();
  hatSends(withLength(sensorBlock(5000, 7, 72, {0x01, 0x02, 0xAB})));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  long long after = nowMillis();

  ASSERT_EQ(client_->publications.size(), 1u);
  const auto& pub = client_->publications[0];
  EXPECT_EQ(pub.topic, "sensors/5000/raw");
  EXPECT_EQ(pub.qos, 1);
  EXPECT_FALSE(pub.retain);
  long long ts = nlohmann::json::parse(pub.payload).at("ts").get<long long>();
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, after);
  EXPECT_LT(after - before, 1000);
  EXPECT_EQ(pub.payload,
            fmt::format(R"({{"uid": 5000, "ts": {}, "rssi": -72, "payload": "0102ab"}})", ts));
  EXPECT_EQ(logs(), std::vector<std::string>{"Sensor #5000 [Node 7]: 0102ab \t RSSI: -72"});
  EXPECT_EQ(proto_->nodeIds().entries(), (NodeIds::Entries{{5000, 7}}));

  // A new node ID for a known UID replaces the old one; a full 32-bit UID stays unsigned.
  hatSends(withLength(sensorBlock(5000, 9, 72, {0x10})));
  hatSends(withLength(sensorBlock(0xFFFFFFFF, 1, 72, {0x10})));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_EQ(proto_->nodeIds().entries(), (NodeIds::Entries{{5000, 9}, {0xFFFFFFFF, 1}}));
  ASSERT_EQ(client_->publications.size(), 3u);
  EXPECT_EQ(client_->publications[2].topic, "sensors/4294967295/raw");
}

TEST_F(ProtocolV1Test, DuplicateIsLoggedNotPublished) {
  proto_->nodeIds().set(5000, 3);
  hatSends(withLength(sensorBlock(5000, 7, 72, {0x01})));
  EXPECT_TRUE(run(proto_->processMsg("SI")));
  EXPECT_EQ(logs(), std::vector<std::string>{"Sensor #5000 [Node 7]: Duplicate msg \t RSSI: -72 "});
  EXPECT_TRUE(client_->publications.empty());
  EXPECT_EQ(proto_->nodeIds().find(5000), 3);

  hatSends(withLength(sensorBlock(5000, 7, 72, {0x01})));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_EQ(client_->publications.size(), 1u);
  EXPECT_EQ(proto_->nodeIds().find(5000), 7);
}

TEST_F(ProtocolV1Test, DuplicateThatNoParserTakesIsReportedAsSuch) {
  hatSends(withLength(sensorBlock(5000, 7, 72, {})));
  EXPECT_TRUE(run(proto_->processMsg("SI")));
  EXPECT_EQ(logs(),
            std::vector<std::string>{"Sensor #5000 [Node 7]: Could not parse msg. RSSI: -72"});
  EXPECT_TRUE(client_->publications.empty());
}

// Records what the decoder is handed.
class RecordingParser : public SensorMsgParser, MsgDecoder, MsgPublisher {
 public:
  MsgDecoder* getParser(const Bytes&) override { return this; }
  std::string toString(const ParsedMsg&) override { return "parsed"; }
  ParsedMsg parse(std::uint32_t senderUID, const Bytes& payload) override {
    uids.push_back(senderUID);
    payloads.push_back(payload);
    return senderUID;
  }
  MsgPublisher& getPublisher(MqttClient&) override { return *this; }
  void publish(std::uint32_t senderUID, long long, const ParsedMsg& parsed, int) override {
    published.emplace_back(senderUID, std::any_cast<std::uint32_t>(parsed));
  }
  std::vector<std::uint32_t> uids;
  std::vector<Bytes> payloads;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> published;
};

TEST_F(ProtocolV1Test, DecoderGetsTheSenderUid) {
  auto parser = std::make_shared<RecordingParser>();
  HatProtocolV1 proto(port_, client_, parser, dir_);
  hatSends(withLength(sensorBlock(0x89ABCDEF, 7, 72, {0x42, 0x43})));
  EXPECT_TRUE(run(proto.processMsg("SD")));
  EXPECT_EQ(parser->uids, std::vector<std::uint32_t>{0x89ABCDEF});
  EXPECT_EQ(parser->payloads, std::vector<Bytes>{(Bytes{0x42, 0x43})});
  EXPECT_EQ(parser->published,
            (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x89ABCDEF, 0x89ABCDEF}}));
  EXPECT_TRUE(logged("Sensor #2309737967 [Node 7]: parsed \t RSSI: -72"));
}

TEST_F(ProtocolV1Test, EmptyPayloadAndRssiExtremes) {
  hatSends(withLength(sensorBlock(5000, 7, 72, {})));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_EQ(logs(),
            std::vector<std::string>{"Sensor #5000 [Node 7]: Could not parse msg. RSSI: -72"});
  EXPECT_TRUE(client_->publications.empty());
  EXPECT_EQ(proto_->nodeIds().find(5000), 7);

  logs_.clear();
  hatSends(withLength(sensorBlock(1, 2, 0, {0xEE})));
  hatSends(withLength(sensorBlock(1, 2, 255, {0xEE})));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_EQ(logs(), (std::vector<std::string>{"Sensor #1 [Node 2]: ee \t RSSI: 0",
                                              "Sensor #1 [Node 2]: ee \t RSSI: -255"}));
  ASSERT_EQ(client_->publications.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(client_->publications[0].payload).at("rssi"), 0);
  EXPECT_EQ(nlohmann::json::parse(client_->publications[1].payload).at("rssi"), -255);
}

TEST_F(ProtocolV1Test, ShortDataIsADecodeError) {
  // Nothing at all after the code.
  EXPECT_THROW(run(proto_->processMsg("SD")), DecodeError);
  // The length byte promises more than arrives before the read time-out.
  hatSends(Bytes{10, 0, 0, 0x13, 0x88, 7});
  EXPECT_THROW(run(proto_->processMsg("SD")), DecodeError);
  // A complete block too short for the fields.
  hatSends(Bytes{6, 0, 0, 0x13, 0x88, 7, 0});
  EXPECT_THROW(run(proto_->processMsg("SI")), DecodeError);
  hatSends(Bytes{3, 1, 2, 3});
  EXPECT_THROW(run(proto_->processMsg("SX")), DecodeError);
  hatSends(Bytes(16, 1));
  EXPECT_THROW(run(proto_->processMsg("SP")), DecodeError);
  hatSends(Bytes(7, 1));
  EXPECT_THROW(run(proto_->processMsg("ST")), DecodeError);
  EXPECT_TRUE(client_->publications.empty());
  EXPECT_TRUE(proto_->nodeIds().entries().empty());
}

TEST_F(ProtocolV1Test, FailedDecryptLine) {
  hatSends(Bytes{4, 3, 1, 200, 2});
  hatSends(Bytes{7, 3, 1, 200, 2, 12, 200, 7});
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  EXPECT_EQ(logs(),
            (std::vector<std::string>{
                "TX 3 -> RX 1: Decrypt Failed. [] Connection index: 2 \t RSSI: -200",
                "TX 3 -> RX 1: Decrypt Failed. [12, 200, 7] Connection index: 2 \t RSSI: -200"}));
  EXPECT_TRUE(client_->publications.empty());
}

TEST_F(ProtocolV1Test, StoreStateUpdatesCountersOnly) {
  writeStatusFile("5000.status", 100);
  Bytes before = readFile("5000.status");
  Bytes block{0xAA, 0xBB, 0xCC, 0xDD, 0x99, 0x00, 0x00, 0x13, 0x88,
              0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  hatSends(block);
  EXPECT_TRUE(run(proto_->processMsg("SP")));
  EXPECT_EQ(logs(), std::vector<std::string>{"Storing state for UID 5000."});

  Bytes expected = before;
  std::copy(block.begin(), block.begin() + 4, expected.begin());
  std::copy(block.begin() + 9, block.end(), expected.begin() + 36);
  EXPECT_EQ(readFile("5000.status"), expected);

  // No file for that node: reported, and no file is created.
  logs_.clear();
  block[8] = 0x89;  // UID 5001
  hatSends(block);
  EXPECT_TRUE(run(proto_->processMsg("SP")));
  EXPECT_EQ(logs(), (std::vector<std::string>{"Storing state for UID 5001.",
                                              dir_ + "/5001.status is not a file"}));
  EXPECT_FALSE(fs::exists(dir_ + "/5001.status"));
}

TEST_F(ProtocolV1Test, StatisticsAreUnsigned) {
  hatSends(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x2A});
  EXPECT_TRUE(run(proto_->processMsg("ST")));
  EXPECT_EQ(logs(), std::vector<std::string>{"Num RX: 4294967295, Num Lost Packets: 2147483690"});
}

TEST_F(ProtocolV1Test, LogLines) {
  hatSends("Radio up\r\n");
  hatSends("\r\n");
  hatSends("t\xC3\xA9mp \xFFok\r\n");  // é kept, the stray byte dropped
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(run(proto_->processMsg("LG")));
  // A line cut by the read time-out still loses two characters.
  hatSends("abcdef");
  EXPECT_TRUE(run(proto_->processMsg("LG")));
  EXPECT_EQ(logs(), (std::vector<std::string>{"[GW Log] Radio up", "[GW Log] ",
                                              "[GW Log] t\xC3\xA9mp ok", "[GW Log] abcd"}));
}

// ---- Waiting for a line ----

TEST_F(ProtocolV1Test, WaitWithoutTextReturnsFirstLine) {
  hatSends("hello\r\nLG  setup done \r\n");
  EXPECT_EQ(run(HatProtocolV1::waitForRxMsg(*port_, std::nullopt)), "hello\r\n");
  EXPECT_EQ(run(HatProtocolV1::waitForRxMsg(*port_, std::nullopt)), "setup done");
  EXPECT_EQ(logs(), std::vector<std::string>{"[GW Log] setup done"});
  // Nothing arrives: the empty line after the read time-out.
  auto t0 = Clock::now();
  EXPECT_EQ(run(HatProtocolV1::waitForRxMsg(*port_, std::nullopt)), "");
  EXPECT_GE(Clock::now() - t0, 250ms);
}

TEST_F(ProtocolV1Test, WaitForTextNeedsExactLogLine) {
  hatSends(
      "Local node setup complete\r\n"
      "LGLocal node setup\r\n"
      "LG Local node setup complete!\r\n"
      "xxLG\tLocal node setup complete \r\n"
      "LGafter\r\n");
  EXPECT_EQ(run(HatProtocolV1::waitForRxMsg(*port_, "Local node setup complete")),
            "Local node setup complete");
  EXPECT_EQ(logs(), (std::vector<std::string>{"[GW Log] Local node setup",
                                              "[GW Log] Local node setup complete!",
                                              "[GW Log] Local node setup complete"}));
  // It stops at the matching line: what follows is still unread.
  EXPECT_EQ(toString(run(port_->readline_async())), "LGafter\r\n");
}

TEST_F(ProtocolV1Test, WaitJoinsLineSplitByPause) {
  hatSends("L");
  asio::co_spawn(ctx_, writeLater(hat_, 450ms, "GLocal node setup complete\r\n"), asio::detached);
  auto t0 = Clock::now();
  EXPECT_EQ(run(HatProtocolV1::waitForRxMsg(*port_, "Local node setup complete")),
            "Local node setup complete");
  EXPECT_GE(Clock::now() - t0, 400ms);
  EXPECT_TRUE(logged("[GW Log] Local node setup complete"));
}

// ---- Encryption set-up ----

TEST_F(ProtocolV1Test, SetupSendsLocalThenEachPeerAfterConfirmation) {
  writeStatusFile("5000.status", 10);
  writeStatusFile("77.status", 60);
  writeStatusFile("abc.status", 0);
  writeStatusFile("007.status", 0);
  writeStatusFile("-5.status", 0);
  writeStatusFile("12.state", 0);
  Args args;
  args.nodeId = 1;
  args.networkId = 100;
  test::ConfirmingHat hat(hat_, 10);
  run(proto_->setupEncryption(args));
  hat.stop();

  EXPECT_FALSE(hat.spokeEarly) << "a frame went out before the previous one was confirmed";
  ASSERT_EQ(hat.frames.size(), 3u);
  EXPECT_EQ(hat.frames[0], (Bytes{'L', 'S', 1, 100, 0, 0, 0, 0}));
  std::map<std::uint32_t, Bytes> ps;
  for (int i = 1; i < 3; ++i) {
    ASSERT_EQ(hat.frames[i].size(), 51u);
    ps[getBe32(hat.frames[i], 7)] = hat.frames[i];
  }
  for (std::uint32_t uid : {5000u, 77u}) {
    ASSERT_TRUE(ps.count(uid)) << uid;
    Bytes file = readFile(std::to_string(uid) + ".status");
    Bytes want = toBytes("PS");
    append(want, ByteView(file).subspan(0, 4));
    want.push_back(0);
    putBe32(want, uid);
    append(want, ByteView(file).subspan(36, 8));
    append(want, ByteView(file).subspan(4, 32));
    EXPECT_EQ(ps[uid], want) << uid;
  }
  EXPECT_EQ(proto_->uid2Radio.size(), 2u);
  EXPECT_TRUE(proto_->uid2Radio.count(5000) && proto_->uid2Radio.count(77));
  EXPECT_TRUE(proto_->encryptionSetup());

  auto l = logs();
  EXPECT_EQ(l.front(), "Sent local node setup for node 1, network 100 \n");
  EXPECT_EQ(std::count(l.begin(), l.end(), "Sent peer node setup\n"), 2);
  EXPECT_EQ(std::count(l.begin(), l.end(), "[GW Log] Peer setup complete"), 2);
  EXPECT_TRUE(logged(dir_ + "/7.status is not a file"));
  EXPECT_TRUE(logged("-5 must be a number"));
  for (const auto& line : l) EXPECT_EQ(line.find("abc"), std::string::npos) << line;
  // MQTT is not up, and the wake-up is queued all the same.
  EXPECT_EQ(proto_->txQueue().size(), 1u);
}

TEST_F(ProtocolV1Test, SetupWithoutPeersOrWithEmptyDirectory) {
  writeStatusFile("5000.status", 10);
  Args args;
  args.nodeId = 2;
  args.networkId = 3;
  test::ConfirmingHat hat(hat_, 10);
  run(proto_->setupEncryption(args, false));
  hat.stop();
  ASSERT_EQ(hat.frames.size(), 1u);
  EXPECT_EQ(hat.frames[0], (Bytes{'L', 'S', 2, 3, 0, 0, 0, 0}));
  EXPECT_TRUE(proto_->uid2Radio.empty());
  EXPECT_TRUE(proto_->encryptionSetup());
}

TEST_F(ProtocolV1Test, SilentHatEndsSetupWithTimeout) {
  proto_->confirmTimeout = 200ms;
  Args args;
  args.nodeId = 1;
  args.networkId = 100;
  auto t0 = Clock::now();
  EXPECT_THROW(run(proto_->setupEncryption(args)), HatTimeout);
  auto took = Clock::now() - t0;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 2s);
  EXPECT_EQ(hatReads(), (Bytes{'L', 'S', 1, 100, 0, 0, 0, 0}));
  auto l = logs();
  EXPECT_TRUE(std::any_of(l.begin(), l.end(), [](const std::string& s) {
    return s.find("did not confirm") != std::string::npos &&
           s.find("Local node setup complete") != std::string::npos;
  }));
  EXPECT_FALSE(proto_->encryptionSetup());
}

TEST_F(ProtocolV1Test, HatThatStopsAfterLocalSetupTimesOutOnPeer) {
  writeStatusFile("5000.status", 10);
  proto_->confirmTimeout = 300ms;
  Args args;
  args.nodeId = 1;
  args.networkId = 100;
  test::ConfirmingHat hat(hat_, 1);
  EXPECT_THROW(run(proto_->setupEncryption(args)), HatTimeout);
  hat.stop();
  EXPECT_EQ(hat.frames.size(), 2u);
  EXPECT_FALSE(proto_->encryptionSetup());
}

TEST_F(ProtocolV1Test, OutOfRangeIdsWriteNothing) {
  Args args;
  args.nodeId = 256;
  args.networkId = 1;
  EXPECT_ANY_THROW(run(proto_->setupEncryption(args)));
  args.nodeId = 1;
  args.networkId = -1;
  EXPECT_ANY_THROW(run(proto_->setupEncryption(args)));
  EXPECT_TRUE(hatReads().empty());
  EXPECT_FALSE(proto_->encryptionSetup());
}

// ---- Transmit queue and wake-up ----

TEST_F(ProtocolV1Test, JobsRunInOrderWithTheirArguments) {
  std::vector<std::string> calls;
  auto noArgs = [&] { calls.push_back("f()"); };
  auto twoArgs = [&](int a, int b) { calls.push_back(fmt::format("f({}, {})", a, b)); };
  proto_->scheduleTx(noArgs);
  proto_->scheduleTx(twoArgs, 1, 2);
  proto_->scheduleTx(twoArgs, 3, 4);
  EXPECT_EQ(proto_->txQueue().size(), 3u);
  for (int i = 0; i < 3; ++i) proto_->txQueuedMsgs();
  EXPECT_EQ(calls, (std::vector<std::string>{"f()", "f(1, 2)", "f(3, 4)"}));
}

TEST_F(ProtocolV1Test, SchedulingNeverBlocksAndKeepsOrderPastTenJobs) {
  // The event loop schedules; it must not wait for the worker, however many jobs are queued.
  std::vector<int> ran;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 25; ++i) proto_->scheduleTx([&ran, i] { ran.push_back(i); });
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
  EXPECT_EQ(proto_->txQueue().size(), 25u);
  while (proto_->txQueue().size() > 0) proto_->txQueuedMsgs();
  std::vector<int> expected(25);
  for (int i = 0; i < 25; ++i) expected[i] = i;
  EXPECT_EQ(ran, expected);
  // A stopped transmit loop refuses jobs at once.
  proto_->txQueue().close();
  EXPECT_THROW(proto_->scheduleTx([] {}), TxQueueClosed);
}

// The radio is woken once the set-up is done, broker or not: readings wait in the client.
TEST_F(ProtocolV1Test, SetupEndsWithTheWakeupWithoutWaitingForMqtt) {
  EXPECT_EQ(proto_->txQueue().size(), 0u);
  run(proto_->postEncryption());
  EXPECT_TRUE(proto_->encryptionSetup());
  ASSERT_EQ(proto_->txQueue().size(), 1u);
  proto_->txQueuedMsgs();
  EXPECT_EQ(hatReads(), toBytes("TC"));
  EXPECT_EQ(logs(), std::vector<std::string>{"Waking Gateway Hat up\n"});
}

TEST_F(ProtocolV1Test, ShutdownSendsStandby) {
  proto_->shutdown();
  EXPECT_EQ(hatReads(), toBytes("SC"));
  EXPECT_TRUE(logs().empty());
}

}  // namespace
}  // namespace ostrel
