// Node operations end to end: ostrel-node (or a bare MQTT client) asks the daemon's companion,
// the frames reach the simulated hat byte for byte, and the answers come back correlated.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/nodeops/Requests.hpp"
#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::node_ops {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using json = nlohmann::json;

const std::string GW = std::to_string(0x01020304);  // the simulator's default unique ID

struct Run {
  int status;
  std::string output;
};

struct Rig {
  test::Broker broker;
  hatsim::HatSim sim;
  std::unique_ptr<test::GatewayProcess> gw;

  // `beforeStart` runs once the broker is up, before the daemon starts.
  explicit Rig(const std::function<void(Rig&)>& beforeStart = {}) : sim(options()) {
    if (beforeStart) beforeStart(*this);
    sim.start();
    test::GatewayConfig cfg;
    cfg.device = sim.devicePath();
    cfg.mqttPort = broker.port();
    cfg.extra = {{"OPS", {{"enabled", "yes"}}}};
    gw = std::make_unique<test::GatewayProcess>(cfg);
    gw->start();
  }
  ~Rig() {
    gw->signal(SIGTERM);
    gw->waitExit(20s);
  }
  static hatsim::Options options() {
    hatsim::Options o;
    o.version = 3;
    o.bootDelayMs = 0;
    o.promptIntervalMs = 200;
    // 1001 is heard often; 1002 never speaks, so the gateway has no node ID for it.
    o.nodes = {{1001, 7, 62, {0x01}, 300}, {1002, 9, 70, {0x02}, 0}};
    o.tbAck = true;
    o.tbAckPayload = {0xAC};
    return o;
  }
  // Ready once the companion serves and sensor 1001 has been heard.
  bool waitReady() {
    return gw->waitForLine("Node operations: taking requests on gw/" + GW, 20s) >= 0 &&
           gw->waitForLine("Sensor #1001 [Node 7]", 20s) >= 0;
  }
  Run node(const std::string& args) {
    // A cross build runs the client through its emulator, as it does the daemon.
    std::string emulator = OSTREL_EMULATOR;
    std::string cmd = fmt::format("{}{}/ostrel-node --broker 127.0.0.1:{} --gateway {} {} 2>&1",
                                  emulator.empty() ? "" : emulator + " ", OSTREL_BIN_DIR,
                                  broker.port(), GW, args);
    Run r{-1, {}};
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    if (std::string problem = test::abnormalEnd("ostrel-node", st, r.output); !problem.empty())
      ADD_FAILURE() << problem;
    return r;
  }
  std::vector<hatsim::Frame> frames(const std::string& code) {
    std::vector<hatsim::Frame> out;
    for (auto& f : sim.framesSoFar())
      if (f.code == code) out.push_back(f);
    return out;
  }
};

// An Intel HEX image of `n` bytes from `base` (byte i is i * 7 + 3).
std::string hexImage(const fs::path& dir, const std::string& name, std::size_t n,
                     unsigned base = 0) {
  fs::path bin = dir / (name + ".bin"), hex = dir / name;
  {
    std::ofstream f(bin, std::ios::binary);
    for (std::size_t i = 0; i < n; ++i) f.put(static_cast<char>(i * 7 + 3));
  }
  std::string cmd = fmt::format("srec_cat {} -binary -offset {} -o {} -intel >/dev/null 2>&1",
                                bin.string(), base, hex.string());
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return hex.string();
}

fs::path tempDir() {
  fs::path d = fs::path(::testing::TempDir()) / ("ops-" + std::to_string(::getpid()));
  fs::create_directories(d);
  return d;
}

TEST(NodeOps, RequestsReachTheLineAndAreAnswered) {
  Rig rig;
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();

  auto r = rig.node("message 1001 --key 7 --msgtype 11 --output-level 300");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "{\"ok\":true}\n");
  auto tx = rig.sim.nextFrame("TX", 20s);
  ASSERT_TRUE(tx);
  EXPECT_EQ(tx->bytes, (Bytes{'T', 'X', 9, 0, 7, 0, 0, 0x03, 0xE9, 11, 0x01, 0x2C}));

  r = rig.node(
      "config 1001 --key 70000 --set sensorType=5 --set sleepCycles=3 --set useLed=1 "
      "--set txPower=2 --set preBatteryMeasurementDelayMin=600");
  EXPECT_EQ(r.status, 0) << r.output;
  auto pp = rig.sim.nextFrame("PP", 20s);
  ASSERT_TRUE(pp);
  EXPECT_EQ(pp->bytes, (Bytes{'P', 'P', 7, 0x00, 0x01, 0x11, 0x70, 0xA3, 0x02, 0x58}));

  // The node ID comes from the readings the gateway heard.
  r = rig.node("peer-mode 1001 on");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(json::parse(r.output), (json{{"ok", true}, {"confirmed", true}}));
  auto pm = rig.sim.nextFrame("PM", 20s);
  ASSERT_TRUE(pm);
  EXPECT_EQ(pm->bytes, (Bytes{'P', 'M', 7, 1}));

  r = rig.node("peer-mode 1002 off");
  EXPECT_EQ(r.status, 1) << r.output;
  json a = json::parse(r.output);
  EXPECT_EQ(a["ok"], false);
  EXPECT_EQ(a["errorCode"], "504d46");  // "PMF"
  pm = rig.sim.nextFrame("PM", 20s);
  ASSERT_TRUE(pm);
  EXPECT_EQ(pm->bytes, (Bytes{'P', 'M', 255, 0}));
}

TEST(NodeOps, BadRequestsAreRefusedWithoutTouchingTheLine) {
  Rig rig;
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  fs::path dir = tempDir();

  auto r = rig.node("message 1001 --key 65536 --msgtype 204");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("key 65536 is not within 0..65535"), std::string::npos) << r.output;
  r = rig.node(
      "config 1001 --key 1 --set sensorType=2 --set sleepCycles=3 --set useLed=1 "
      "--set txPower=2");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("no configuration layout"), std::string::npos) << r.output;
  r = rig.node(
      "config 1001 --key 1 --set sensorType=5 --set sleepCycles=3 --set useLed=1 "
      "--set txPower=2 --set preBatteryMeasurementDelayMin=1 --set bogus=1");
  EXPECT_NE(r.output.find("unknown key 'bogus'"), std::string::npos) << r.output;

  // Data above 0xFFFF cannot be addressed by a chunk.
  std::string high = hexImage(dir, "high.hex", 10, 0xFFFA);
  r = rig.node("firmware 1001 " + high + " --key 3 --auth-token dead");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("beyond the 16-bit chunk address"), std::string::npos) << r.output;
  {
    std::ofstream f(dir / "big.hex");
    f << std::string(258 * 1024, '0');  // the request fits, the image does not
  }
  r = rig.node("firmware 1001 " + (dir / "big.hex").string() + " --key 3 --auth-token dead");
  EXPECT_NE(r.output.find("image is larger than 262144 bytes"), std::string::npos) << r.output;
  r = rig.node("firmware/step 1001 --x 1");  // not a command of the tool
  EXPECT_EQ(r.status, 2);
  // A step with no transfer started.
  {
    test::Subscriber sub(rig.broker.port(), {"gw/" + GW + "/node/1001/firmware/step/response",
                                             "gw/" + GW + "/node/1001/message/response"});
    test::publishTo(rig.broker.port(), "gw/" + GW + "/node/1001/firmware/step",
                    R"({"startAddr": 0})");
    test::publishTo(rig.broker.port(), "gw/" + GW + "/node/1001/message", "not json");
    ASSERT_TRUE(sub.waitForCount(2, 20s));
    auto got = sub.messages();
    // Without a response topic the answer goes to the request topic + "/response".
    EXPECT_EQ(got[0].topic, "gw/" + GW + "/node/1001/firmware/step/response");
    EXPECT_EQ(json::parse(got[0].payload),
              (json{{"ok", false}, {"error", "no firmware transfer has been started"}}));
    EXPECT_EQ(got[1].topic, "gw/" + GW + "/node/1001/message/response");
    EXPECT_EQ(json::parse(got[1].payload)["ok"], false);
  }
  // Answered, so handled: a frame of theirs would be on the line before this clock trim's.
  test::publishTo(rig.broker.port(), "gw/" + GW + "/setRTCOffset", "1.5");
  ASSERT_TRUE(rig.sim.nextFrame("SR", 20s)) << rig.gw->transcript();
  for (const char* code : {"TX", "PP", "TB", "PM"}) EXPECT_TRUE(rig.frames(code).empty()) << code;
  fs::remove_all(dir);
}

TEST(NodeOps, FirmwareDrivenByAcknowledgements) {
  Rig rig;
  rig.sim.configure([](hatsim::Options& o) { o.tbAckMissFirst = 1; });
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  fs::path dir = tempDir();
  std::string hex = hexImage(dir, "fw.hex", 120);

  auto r = rig.node("firmware 1001 " + hex +
                    " --key 3 --msgtype 5 --auth-token deadbeef --step-on-topic sensors/1001/raw "
                    "--ack-prefix ac --ack-timeout 2 --retries 2");
  EXPECT_EQ(r.status, 0) << r.output << rig.gw->transcript();
  EXPECT_NE(r.output.find("firmware transfer to sensor 1001 complete"), std::string::npos);
  EXPECT_NE(r.output.find("progress: 4/4 chunks, 120/120 bytes"), std::string::npos) << r.output;

  // The first chunk went unacknowledged and was sent again; then 42, 92 and the closing command.
  auto tb = rig.frames("TB");
  ASSERT_EQ(tb.size(), 5u);
  std::vector<std::pair<int, int>> kindAddr;
  for (auto& f : tb) {
    EXPECT_TRUE(f.checksumOk);
    EXPECT_EQ(f.bytes[3], 3);  // msgId
    EXPECT_EQ(f.bytes[5], 7);  // node ID of 1001
    kindAddr.emplace_back(f.bytes[6], f.bytes[6] == 201 ? getBe16(f.bytes, 7) : -1);
  }
  EXPECT_EQ(kindAddr, (std::vector<std::pair<int, int>>{
                          {201, 0}, {201, 0}, {201, 42}, {201, 92}, {202, -1}}));
  EXPECT_EQ(tb[3].bytes.size(), 6u + 3 + 28 + 1);
  EXPECT_EQ(tb[4].bytes,
            (Bytes{'T', 'B', 9, 3, 4, 7, 202, 0xDE, 0xAD, 0xBE, 0xEF, tb[4].bytes.back()}));

  r = rig.node("status 1001");
  EXPECT_EQ(r.status, 0) << r.output;
  json st = json::parse(r.output);
  std::vector<std::string> keys;
  for (auto& [k, v] : st.items()) keys.push_back(k);
  EXPECT_EQ(st["txstatus"], "ACK_WAIT");
  EXPECT_EQ(st["numSent"], 5);
  EXPECT_EQ(st["authToken"], "deadbeef");
  EXPECT_EQ(st["startAddr"], 0);
  EXPECT_EQ(st["maxAddr"], 119);
  EXPECT_EQ(st["toNodeUID"], 1001);
  EXPECT_EQ(st["msgId"], 3);
  fs::remove_all(dir);
}

TEST(NodeOps, FirmwareStopsAfterUnacknowledgedRetries) {
  Rig rig;
  rig.sim.configure([](hatsim::Options& o) { o.tbAck = false; });
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  fs::path dir = tempDir();
  std::string hex = hexImage(dir, "fw.hex", 60);
  auto r = rig.node("firmware 1001 " + hex +
                    " --key 4 --auth-token 01 --step-on-topic sensors/1001/raw --ack-prefix ac "
                    "--ack-timeout 0.5 --retries 1");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("no acknowledgement for the chunk at 0x0000 after 1 retries"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(rig.frames("TB").size(), 2u);
  fs::remove_all(dir);
}

TEST(NodeOps, HostileRequestsNeitherActNorReachTheWire) {
  Rig rig;
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  const long long peakBefore = test::peakRssKb(rig.gw->pid());
  const int port = rig.broker.port();
  const std::string request = "gw/" + GW + "/node/1001/message";
  const std::string msg = R"({"key": 7, "msgtype": 11, "outputLevel": 300})";
  // Replies that would act on the gateway's own commands, on tx/ or on a wildcard, which the
  // broker answers by closing the connection.
  const std::vector<std::string> hostile = {"gw/" + GW + "/removeSensorRadioKey/77", "tx/evil",
                                            "a/#"};
  test::Subscriber wire(port, {hostile[0], "tx/#", "a/#", request + "/response"});
  for (const auto& t : hostile)
    test::publishTo(port, request, msg, 1, false, {}, {"-D", "publish", "response-topic", t});

  // Over the request limit but within what the broker passes on: refused unread.
  fs::path dir = tempDir();
  {
    std::ofstream f(dir / "big.json");
    f << std::string(ops::MAX_REQUEST_BYTES + 10, ' ');
  }
  auto pub = [&](const fs::path& file) {
    std::string cmd = fmt::format("mosquitto_pub -h 127.0.0.1 -p {} -V 5 -q 1 -t {} -f {}", port,
                                  request, file.string());
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  };
  pub(dir / "big.json");
  // Far beyond it: the broker does not pass it on at all.
  {
    std::ofstream f(dir / "huge.json");
    std::string block(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) f << block;
  }
  pub(dir / "huge.json");

  // Then a good request is answered, by the same connection.
  auto r = rig.node("message 1001 --key 7 --msgtype 11 --output-level 300");
  EXPECT_EQ(r.status, 0) << r.output << rig.gw->transcript();
  ASSERT_TRUE(wire.waitFor(
      [&](const std::vector<test::Received>& v) {
        return std::count_if(v.begin(), v.end(), [&](const test::Received& m) {
                 return m.topic == request + "/response";
               }) >= 4;
      },
      20s));
  std::size_t refusals = 0;
  for (const auto& m : wire.messages()) {
    for (const auto& t : hostile) EXPECT_NE(m.topic, t);
    if (m.topic == request + "/response") {
      json a = json::parse(m.payload);
      EXPECT_EQ(a["ok"], false) << m.payload;
      ++refusals;
    }
  }
  EXPECT_EQ(refusals, 4u);
  EXPECT_EQ(rig.frames("TX").size(), 1u);  // the good request's only
  EXPECT_EQ(rig.gw->countLines("response topic 'tx/evil' refused"), 1) << rig.gw->transcript();
  // The companion kept its one connection.
  std::istringstream brokerLog(rig.broker.logText());
  std::size_t connects = 0;
  for (std::string line; std::getline(brokerLog, line);)
    if (line.find("New client connected") != std::string::npos &&
        line.find("-ops (") != std::string::npos)
      ++connects;
  EXPECT_EQ(connects, 1u) << rig.broker.logText();

  const long long peak = test::peakRssKb(rig.gw->pid());
  EXPECT_GT(peakBefore, 0);
  // Instrumented or emulated code has a larger peak of its own; what the requests add is
  // compared everywhere: taking in the 64 MiB one would add more than 64 MiB.
  if (test::nativeUninstrumented()) {
    EXPECT_LT(peak, 30 * 1024) << "kB peak RSS after a 64 MiB request";
  }
  EXPECT_LT(peak - peakBefore, 32 * 1024) << "kB of peak RSS the requests added";
  std::cerr << "peak RSS " << peakBefore << " kB before the requests, " << peak << " kB after\n";
  for (const auto& line : rig.gw->lines()) EXPECT_LE(line.size(), 4200u) << line.substr(0, 200);
  EXPECT_EQ(rig.gw->countLines("is larger than the limit"), 1);
  fs::remove_all(dir);
}

TEST(NodeOps, ARetainedRequestDoesNothingAtStart) {
  const std::string request = "gw/" + GW + "/node/1001/message";
  Rig rig([&](Rig& r) {
    test::publishTo(r.broker.port(), request, R"({"key": 7, "msgtype": 11, "outputLevel": 300})", 1,
                    true);
  });
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  ASSERT_GE(rig.gw->waitForLine("retained requests are not carried out", 20s), 0)
      << rig.gw->transcript();
  // A retained request while the companion is connected is refused too.
  const int from = static_cast<int>(rig.gw->lines().size());
  test::publishTo(rig.broker.port(), request, R"({"key": 9, "msgtype": 11, "outputLevel": 300})", 1,
                  true);
  ASSERT_GE(rig.gw->waitForLine("retained requests are not carried out", 20s, false, from), 0)
      << rig.gw->transcript();
  // A request after them is carried out, so the retained ones would have been by now.
  auto r = rig.node("message 1001 --key 8 --msgtype 11 --output-level 300");
  EXPECT_EQ(r.status, 0) << r.output;
  auto tx = rig.frames("TX");
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(tx[0].bytes[4], 8);  // the key of the live request
}

}  // namespace
}  // namespace ostrel::test::node_ops
