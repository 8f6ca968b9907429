// Node operations against a real SerialPort on one end of a socket pair; the test reads and
// writes the other end as the hat.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/nodeops/NodeOps.hpp"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

class NodeOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    port_ = std::make_shared<SerialPort>(ctx_.get_executor());
    port_->adopt(fds[0]);
    hat_ = fds[1];
    gw().ser = port_;
    gw().pendingReply.reset();
    clearNodeIds();
    ihexCache().clear();
    flashUpdateStatus() = nlohmann::ordered_json::object();
    setLogSink([this](std::string_view l) { logs_.emplace_back(l); });
  }
  void TearDown() override {
    setLogSink({});
    gw().ser.reset();
    gw().pendingReply.reset();
    ::close(hat_);
  }

  // Everything the gateway has written to the hat so far.
  Bytes hatReads() {
    Bytes out;
    std::uint8_t buf[4096];
    for (ssize_t n; (n = ::recv(hat_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      out.insert(out.end(), buf, buf + n);
    return out;
  }
  void hatSends(std::string_view s) {
    ASSERT_EQ(::write(hat_, s.data(), s.size()), ssize_t(s.size()));
  }

  void run(awaitable<void> a, awaitable<void> beside = nullCoro()) {
    std::exception_ptr err;
    asio::co_spawn(ctx_, std::move(a), [&](std::exception_ptr e) { err = e; });
    asio::co_spawn(ctx_, std::move(beside), asio::detached);
    ctx_.run();
    ctx_.restart();
    if (err) std::rethrow_exception(err);
  }
  static awaitable<void> nullCoro() { co_return; }

  // What the receive loop does with an awaited answer.
  awaitable<void> receiveLoop() {
    Bytes window = co_await port_->read_async(2);
    auto& p = gw().pendingReply;
    if (!p || toString(window) != p->code) co_return;
    Bytes rest = co_await port_->read_async(p->length - 2);
    auto deliver = p->deliver;
    p.reset();
    append(window, rest);
    deliver(window);
  }

  bool logged(const std::string& line) const {
    return std::find(logs_.begin(), logs_.end(), line) != logs_.end();
  }

  asio::io_context ctx_;
  std::shared_ptr<SerialPort> port_;
  int hat_ = -1;
  std::vector<std::string> logs_;
};

// ---- Checksum and node messages ----

TEST(Crc, TwosComplementOfByteSum) {
  EXPECT_EQ(crcsum(Bytes{}), 0);
  EXPECT_EQ(crcsum(Bytes{0x01}), 0xFF);
  EXPECT_EQ(crcsum(toBytes("abc")), 0xDA);
  EXPECT_EQ(crcsum(Bytes{0x80, 0x80}), 0);
}

TEST_F(NodeOpsTest, TxFramesByteExact) {
  txMessage("node:msg:7", json{{"msgtype", 11}, {"outputLevel", 300}, {"toid", 5}});
  EXPECT_EQ(hatReads(), (Bytes{'T', 'X', 9, 0, 7, 0, 0, 0, 5, 0x0B, 0x01, 0x2C}));
  EXPECT_EQ(logs_, std::vector<std::string>{"Sent message to node with ID 5 of length 8"});

  txMessage("a:b:1", json{{"msgtype", 204}, {"toid", "258"}});
  EXPECT_EQ(hatReads(), (Bytes{'T', 'X', 7, 0, 1, 0, 0, 1, 2, 204}));

  txMessage("42", json{{"msgtype", "10"}, {"waterTemp", 21.7}, {"toid", 1}});
  EXPECT_EQ(hatReads(), (Bytes{'T', 'X', 8, 0, 42, 0, 0, 0, 1, 10, 21}));
}

TEST_F(NodeOpsTest, TxWritesNothingWithoutPayloadOrOnBadField) {
  txMessage("k:1", json{{"msgtype", 12}, {"toid", 5}});
  txMessage("k:1", json::object());
  txMessage("k:1", json());
  EXPECT_THROW(txMessage("k:1", json{{"msgtype", 11}, {"outputLevel", 65536}, {"toid", 5}}),
               EncodeError);
  EXPECT_THROW(txMessage("k:1", json{{"msgtype", 10}, {"waterTemp", -1}, {"toid", 5}}),
               EncodeError);
  EXPECT_THROW(txMessage("k:65536", json{{"msgtype", 204}, {"toid", 5}}), EncodeError);
  EXPECT_THROW(txMessage("k:x", json{{"msgtype", 204}, {"toid", 5}}), std::invalid_argument);
  EXPECT_THROW(txMessage("k:1", json{{"msgtype", 204}}), std::invalid_argument);
  EXPECT_THROW(txMessage("k:1", json{{"msgtype", "eleven"}, {"toid", 5}}), std::invalid_argument);
  EXPECT_TRUE(hatReads().empty());
  EXPECT_TRUE(logs_.empty());
}

TEST_F(NodeOpsTest, NoPortIsAClearError) {
  gw().ser.reset();
  EXPECT_THROW(txMessage("k:1", json{{"msgtype", 204}, {"toid", 5}}), SerialError);
}

// ---- Sensor configuration ----

TEST(SensorConfig, RecordLayouts) {
  json t5{{"sensorType", 5},
          {"sleepCycles", 3},
          {"useLed", 1},
          {"txPower", 2},
          {"preBatteryMeasurementDelayMin", 600}};
  EXPECT_EQ(getSensorConfig(t5), (Bytes{0xA3, 0x02, 0x58}));
  json t3{{"sensorType", 3},           {"sleepCycles", 0},
          {"useLed", false},           {"txPower", "7"},
          {"vcselPeriodPreRange", 14}, {"vcselPeriodFinalRange", 10},
          {"signalRateLimit", 0.25},   {"measurementTimingBudget", 33}};
  EXPECT_EQ(getSensorConfig(t3), (Bytes{0x70, 25, 0x6C, 33}));
  t3["signalRateLimit"] = 0.29;
  EXPECT_EQ(getSensorConfig(t3)[1], 28);
  t3["signalRateLimit"] = "0.999";
  EXPECT_EQ(getSensorConfig(t3)[1], 99);

  json t1 = t5;
  t1["sensorType"] = 1;
  EXPECT_EQ(getSensorConfig(t1).size(), 3u);
  json t2{{"sensorType", 2}, {"sleepCycles", 3}, {"useLed", 1}, {"txPower", 2}};
  EXPECT_TRUE(getSensorConfig(t2).empty());
  EXPECT_TRUE(getSensorConfig(json::object()).empty());
}

TEST(SensorConfig, MissingOrOutOfRangeFails) {
  json t3{{"sensorType", 3},
          {"sleepCycles", 0},
          {"useLed", 0},
          {"txPower", 7},
          {"vcselPeriodPreRange", 14},
          {"vcselPeriodFinalRange", 10},
          {"signalRateLimit", 0.25},
          {"measurementTimingBudget", 33}};
  auto with = [&](const char* k, json v) {
    json c = t3;
    if (v.is_null())
      c.erase(k);
    else
      c[k] = v;
    return c;
  };
  EXPECT_THROW(getSensorConfig(with("vcselPeriodPreRange", nullptr)), std::invalid_argument);
  EXPECT_THROW(getSensorConfig(with("vcselPeriodFinalRange", 6)), EncodeError);
  EXPECT_THROW(getSensorConfig(with("measurementTimingBudget", 300)), EncodeError);
  EXPECT_THROW(getSensorConfig(with("signalRateLimit", 2.56)), EncodeError);
  EXPECT_THROW(getSensorConfig(with("useLed", 2)), EncodeError);
  EXPECT_THROW(getSensorConfig(with("sleepCycles", -1)), EncodeError);
  EXPECT_THROW(getSensorConfig(json{{"sensorType", 2}, {"sleepCycles", 3}, {"txPower", 2}}),
               std::invalid_argument);
  EXPECT_THROW(getSensorConfig(json{{"sensorType", 5},
                                    {"sleepCycles", 3},
                                    {"useLed", 1},
                                    {"txPower", 2},
                                    {"preBatteryMeasurementDelayMin", 65536}}),
               EncodeError);
}

TEST_F(NodeOpsTest, SensorConfigFrames) {
  json t5{{"sensorType", 5},
          {"sleepCycles", 3},
          {"useLed", 1},
          {"txPower", 2},
          {"preBatteryMeasurementDelayMin", 600}};
  txSensorConfig("cfg:sensor:4660", t5);
  EXPECT_EQ(hatReads(), (Bytes{'P', 'P', 7, 0x00, 0x00, 0x12, 0x34, 0xA3, 0x02, 0x58}));
  EXPECT_TRUE(logged("Sent sensor config from channel cfg:sensor:4660 to Gateway Hat"));
  // The key number takes all four bytes, unlike the two of a "TX" frame.
  txSensorConfig("cfg:70000", t5);
  EXPECT_EQ(hatReads(), (Bytes{'P', 'P', 7, 0x00, 0x01, 0x11, 0x70, 0xA3, 0x02, 0x58}));
  txSensorConfig("4294967295", t5);
  EXPECT_EQ(hatReads(), (Bytes{'P', 'P', 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xA3, 0x02, 0x58}));

  logs_.clear();
  txSensorConfig("cfg:1",
                 json{{"sensorType", 2}, {"sleepCycles", 3}, {"useLed", 1}, {"txPower", 2}});
  EXPECT_EQ(logs_,
            std::vector<std::string>{"No sensor config layout for sensor type 2; nothing sent"});
  t5["preBatteryMeasurementDelayMin"] = 70000;
  EXPECT_THROW(txSensorConfig("cfg:1", t5), EncodeError);
  EXPECT_THROW(txSensorConfig("cfg:4294967296", json{{"sensorType", 1},
                                                     {"sleepCycles", 3},
                                                     {"useLed", 1},
                                                     {"txPower", 2},
                                                     {"preBatteryMeasurementDelayMin", 1}}),
               EncodeError);
  EXPECT_TRUE(hatReads().empty());
}

// ---- Keep-in-receive mode ----

TEST(PeerMode, NodeIdLookupKeepsInsertionOrder) {
  clearNodeIds();
  EXPECT_EQ(uid2idRepr(), "{}");
  setNodeId(1002, 9);
  setNodeId(1001, 7);
  setNodeId(1002, 4);
  EXPECT_EQ(uid2idRepr(), "{1002: 4, 1001: 7}");
  EXPECT_EQ(getNodeIdFromUID(1001), 7);
  EXPECT_EQ(getNodeIdFromUID("1001"), 7);
  EXPECT_EQ(getNodeIdFromUID(5), UNREGISTERED_NODE_ID);
  EXPECT_THROW(getNodeIdFromUID("sensor"), std::invalid_argument);
  removeNodeId(1002);
  EXPECT_EQ(uid2idRepr(), "{1001: 7}");
  clearNodeIds();
}

TEST_F(NodeOpsTest, PeerModeAnswerReachesTheWaitingCall) {
  setNodeId(1001, 7);
  hatSends("PMS");
  auto t0 = Clock::now();
  run(setPeerMode(1001, true), receiveLoop());
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
  EXPECT_EQ(hatReads(), (Bytes{'P', 'M', 7, 1}));
  EXPECT_EQ(logs_, std::vector<std::string>{"Set keep-peer-in-rx mode for node ID 7 to 1"});
  EXPECT_FALSE(gw().pendingReply);

  logs_.clear();
  hatSends("PMx");
  run(setPeerMode("4242", 0), receiveLoop());
  EXPECT_EQ(hatReads(), (Bytes{'P', 'M', 255, 0}));
  EXPECT_EQ(logs_, std::vector<std::string>{
                       "Failed to set keep-peer-in-rx mode for node ID 255 to 0 - node not "
                       "registered. Error code: bytearray(b'PMx')"});
}

TEST_F(NodeOpsTest, PeerModeSilenceTimesOut) {
  auto t0 = Clock::now();
  run(setPeerMode(1001, 1));
  auto took = Clock::now() - t0;
  EXPECT_GE(took, std::chrono::milliseconds(950));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_FALSE(gw().pendingReply);
  EXPECT_EQ(logs_, std::vector<std::string>{
                       "Failed to set keep-peer-in-rx mode for node ID 255 to 1 - node not "
                       "registered. Error code: bytearray(b'')"});
}

TEST_F(NodeOpsTest, PeerModeAnswerAndRefusals) {
  hatSends("PMS");
  run(setPeerMode(1, 0), receiveLoop());
  EXPECT_EQ(logs_, std::vector<std::string>{"Set keep-peer-in-rx mode for node ID 255 to 0"});
  EXPECT_EQ(hatReads(), (Bytes{'P', 'M', 255, 0}));

  EXPECT_THROW(run(setPeerMode(1, 256)), EncodeError);
  EXPECT_THROW(run(setPeerMode("x1", 1)), std::invalid_argument);
  gw().pendingReply = PendingReply{"RT", 10, [](Bytes) {}};
  EXPECT_THROW(run(setPeerMode(1, 1)), std::runtime_error);
  EXPECT_EQ(gw().pendingReply->code, "RT");  // the other operation's wait is left alone
  EXPECT_TRUE(hatReads().empty());
}

// ---- Firmware transfer ----

class FirmwareTest : public NodeOpsTest {
 protected:
  void SetUp() override {
    NodeOpsTest::SetUp();
    dir_ = fs::path(::testing::TempDir()) / ("nodeops-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::remove_all(dir_);
    NodeOpsTest::TearDown();
  }
  std::string bin(const std::string& name, std::size_t n, int seed) {
    auto p = dir_ / name;
    std::ofstream f(p, std::ios::binary);
    for (std::size_t i = 0; i < n; ++i) f.put(static_cast<char>(image(i, seed)));
    return p.string();
  }
  static std::uint8_t image(std::size_t i, int seed) { return std::uint8_t(i * 7 + seed); }
  std::string tool(const std::string& cmd, const std::string& out) {
    EXPECT_EQ(std::system((cmd + " >/dev/null 2>&1").c_str()), 0) << cmd;
    return (dir_ / out).string();
  }
  // The "TB" frames on the line; each must carry a valid checksum.
  std::vector<Bytes> tbFrames() {
    Bytes all = hatReads();
    std::vector<Bytes> frames;
    for (std::size_t i = 0; i < all.size();) {
      EXPECT_EQ(toString(ByteView(all).subspan(i, 2)), "TB");
      std::size_t len = 3 + all[i + 2];
      Bytes f(all.begin() + long(i), all.begin() + long(std::min(i + len, all.size())));
      unsigned sum = 0;
      for (std::size_t k = 2; k < f.size(); ++k) sum += f[k];
      EXPECT_EQ(sum % 256, 0u) << "checksum of frame at " << i;
      frames.push_back(f);
      i += len;
    }
    return frames;
  }
  json request(const std::string& file, long long uid, long long start = 0) {
    return json{{"startAddr", start},
                {"filePath", file},
                {"msgtype", 5},
                {"toNodeUID", uid},
                {"authToken", "de ad BE EF"}};
  }
  void step(long long addr, const std::string& file) {
    txBigMessageStep(addr, file, 3, 5, 1001, Bytes{0xDE, 0xAD, 0xBE, 0xEF});
  }
  fs::path dir_;
};

TEST_F(FirmwareTest, HundredBytesAtZero) {
  std::string hex = tool(
      "srec_cat " + bin("a.bin", 100, 3) + " -binary -o " + (dir_ / "a.hex").string() + " -intel",
      "a.hex");
  setNodeId(1001, 7);
  run(txBigMessage("fw:update:3", request(hex, 1001)));
  EXPECT_EQ(logs_, (std::vector<std::string>{
                       "Starting flash procedure to UID 1001 with network ID 7 ...", "{1001: 7}"}));
  auto& st = flashUpdateStatus();
  std::vector<std::string> keys;
  for (auto& [k, v] : st.items()) keys.push_back(k);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"startTime", "startAddr", "filePath", "msgtype", "toNodeUID",
                                      "authToken", "msgId", "txstatus", "numSent", "noAckError",
                                      "crcError", "tryOnMsgReceive", "abortOnNoAck", "maxAddr"}));
  EXPECT_EQ(st["maxAddr"], 99);
  EXPECT_EQ(st["authToken"].get_binary(), (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

  auto frames = tbFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 9),
            (Bytes{'T', 'B', 49, 3, 50, 7, 201, 0, 0}));
  for (std::size_t i = 0; i < 42; ++i) EXPECT_EQ(frames[0][9 + i], image(i, 3));
  EXPECT_EQ(st["txstatus"], "ACK_WAIT");

  st["txstatus"] = "SENDING";
  step(42, hex);
  st["txstatus"] = "SENDING";
  step(92, hex);
  frames = tbFrames();
  ASSERT_EQ(frames.size(), 2u);  // no closing command right after the last data chunk
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 9),
            (Bytes{'T', 'B', 57, 3, 4, 7, 201, 0, 42}));
  EXPECT_EQ(frames[0][9 + 49], image(91, 3));
  EXPECT_EQ(frames[1].size(), 6u + 3 + 8 + 1);
  EXPECT_EQ(frames[1][9 + 7], image(99, 3));

  step(100, hex);  // still waiting for the acknowledgement
  EXPECT_TRUE(hatReads().empty());
  st["txstatus"] = "SENDING";
  step(100, hex);
  frames = tbFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0],
            (Bytes{'T', 'B', 9, 3, 4, 7, 202, 0xDE, 0xAD, 0xBE, 0xEF, frames[0].back()}));
  EXPECT_TRUE(logged("Sent last data chunk."));
  EXPECT_EQ(st["numSent"], 4);
}

TEST_F(FirmwareTest, StatusValuesAtStart) {
  std::string hex = tool(
      "srec_cat " + bin("s.bin", 100, 1) + " -binary -o " + (dir_ / "s.hex").string() + " -intel",
      "s.hex");
  auto& st = flashUpdateStatus();
  st["noAckError"] = 5;  // left over from an earlier transfer
  st["crcError"] = 2;
  double before =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  run(txBigMessage("9", request(hex, 1001, 42)));
  double after =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  ASSERT_TRUE(st["startTime"].is_number_float());
  EXPECT_GE(st["startTime"].get<double>(), before);  // seconds, not milliseconds
  EXPECT_LE(st["startTime"].get<double>(), after);
  EXPECT_EQ(st["startAddr"], 42);
  EXPECT_EQ(st["filePath"], hex);
  EXPECT_EQ(st["msgtype"], 5);
  EXPECT_EQ(st["toNodeUID"], 1001);
  EXPECT_EQ(st["msgId"], 9);
  for (const char* k : {"noAckError", "crcError", "tryOnMsgReceive", "abortOnNoAck"})
    EXPECT_EQ(st[k], 0) << k;
  EXPECT_EQ(st["numSent"], 1);
  // The first chunk starts where asked: 50 bytes from 42, time-out byte 4, node 255.
  auto frames = tbFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 9),
            (Bytes{'T', 'B', 57, 9, 4, 255, 201, 0, 42}));
}

TEST_F(FirmwareTest, OffsetImageAndGapFill) {
  std::string high = tool("objcopy -I binary -O ihex --change-addresses 0x1000 " +
                              bin("h.bin", 60, 1) + " " + (dir_ / "h.hex").string(),
                          "h.hex");
  step(0x1000, high);
  auto frames = tbFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 9),
            (Bytes{'T', 'B', 57, 3, 4, 255, 201, 0x10, 0}));
  EXPECT_EQ(flashUpdateStatus()["maxAddr"], 0x1000 + 59);

  std::string gap = tool("srec_cat " + bin("p1.bin", 30, 0) + " -binary " + bin("p2.bin", 40, 9) +
                             " -binary -offset 60 -o " + (dir_ / "g.hex").string() + " -intel",
                         "g.hex");
  step(0, gap);
  frames = tbFrames();
  ASSERT_EQ(frames.size(), 1u);
  const Bytes& f = frames[0];
  for (std::size_t i = 0; i < 30; ++i) EXPECT_EQ(f[9 + i], image(i, 0));
  for (std::size_t i = 30; i < 42; ++i) EXPECT_EQ(f[9 + i], 0xFF) << i;
  flashUpdateStatus()["txstatus"] = "SENDING";
  step(42, gap);
  frames = tbFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0][9 + 17], 0xFF);            // address 59
  EXPECT_EQ(frames[0][9 + 18], image(0, 9));     // address 60
  EXPECT_EQ(frames[0].size(), 6u + 3 + 50 + 1);  // 42..91
}

TEST_F(FirmwareTest, UnusableFiles) {
  std::ofstream(dir_ / "text.hex") << "this is not intel hex\n";
  EXPECT_THROW(step(0, (dir_ / "text.hex").string()), FirmwareError);
  std::string far = tool("srec_cat " + bin("f.bin", 10, 0) + " -binary -offset 0x10000 -o " +
                             (dir_ / "f.hex").string() + " -intel",
                         "f.hex");
  EXPECT_THROW(step(0, far), FirmwareError);
  std::ofstream(dir_ / "empty.hex") << ":00000001FF\n";
  EXPECT_THROW(step(0, (dir_ / "empty.hex").string()), FirmwareError);
  EXPECT_TRUE(ihexCache().empty());

  flashUpdateStatus()["txstatus"] = "SENDING";
  step(0, (dir_ / "missing.hex").string());
  step(0, "");
  step(0, dir_.string());
  EXPECT_EQ(flashUpdateStatus()["txstatus"], "SENDING");
  EXPECT_TRUE(hatReads().empty());

  std::string ok = tool(
      "srec_cat " + bin("o.bin", 10, 0) + " -binary -o " + (dir_ / "o.hex").string() + " -intel",
      "o.hex");
  EXPECT_THROW(txBigMessageStep(0, ok, 3, 256, 1001, {}), EncodeError);
  EXPECT_THROW(txBigMessageStep(0, ok, 256, 5, 1001, {}), EncodeError);
  EXPECT_THROW(run(txBigMessage("fw:1", json{{"startAddr", 0},
                                             {"filePath", ok},
                                             {"msgtype", 5},
                                             {"toNodeUID", 1},
                                             {"authToken", "xyz"}})),
               std::invalid_argument);
  EXPECT_TRUE(hatReads().empty());
}

TEST_F(FirmwareTest, NewTransferSwitchesPreviousTargetOff) {
  std::string a = tool(
      "srec_cat " + bin("a.bin", 100, 3) + " -binary -o " + (dir_ / "a.hex").string() + " -intel",
      "a.hex");
  std::string b = tool(
      "srec_cat " + bin("b.bin", 20, 5) + " -binary -o " + (dir_ / "b.hex").string() + " -intel",
      "b.hex");
  setNodeId(1001, 7);
  setNodeId(1002, 9);
  run(txBigMessage("fw:3", request(a, 1001)));
  EXPECT_EQ(tbFrames().size(), 1u);

  hatSends("PMS");
  run(txBigMessage("fw:4", request(b, 1002)), receiveLoop());
  Bytes line = hatReads();
  ASSERT_GE(line.size(), 4u);
  EXPECT_EQ(Bytes(line.begin(), line.begin() + 4), (Bytes{'P', 'M', 7, 0}));
  ASSERT_GT(line.size(), 7u);
  EXPECT_EQ(Bytes(line.begin() + 4, line.begin() + 8), (Bytes{'T', 'B', 4 + 3 + 20, 4}));
  EXPECT_EQ(line[9], 9);
  EXPECT_TRUE(logged("Set keep-peer-in-rx mode for node ID 7 to 0"));
  EXPECT_TRUE(logged("{1001: 7, 1002: 9}"));
  EXPECT_EQ(ihexCache().count(a), 0u);
  EXPECT_EQ(ihexCache().count(b), 1u);
  EXPECT_EQ(flashUpdateStatus()["numSent"], 1);
  EXPECT_EQ(flashUpdateStatus()["msgId"], 4);
}

}  // namespace
}  // namespace ostrel
