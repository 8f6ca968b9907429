// The receive path of the real daemon (protocol version 1): hello, readings, reports, bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_rx {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kNodeUid = 5000;

hatsim::Options simOptions() {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.uniqueId = 0xA1B2C3D4;  // above 2^31: must print unsigned
  o.fwRevision = 305419896;
  o.boardType = 3;
  o.hwMajor = 2, o.hwMinor = 0, o.hwPatch = 11;
  o.buildDay = 24, o.buildMonth = 6, o.buildYear = 2031;
  o.radioSettings = 2;  // 868 MHz, software radio
  o.serial = "QGH12345678Z";
  o.nodes.push_back({kNodeUid, 7, 71, {0x01, 0x14, 0xAB}, 0});
  return o;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const Bytes& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  out.close();
  ::chmod(path.c_str(), 0666);  // the daemon runs as another user
}

long long nowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool hasRawReading(const std::vector<Received>& v, std::size_t from = 0) {
  for (std::size_t i = from; i < v.size(); ++i)
    if (v[i].topic == "sensors/5000/raw") return true;
  return false;
}

// A daemon that has said hello, set up the hat and switched its radio on.
struct Running {
  Broker broker;
  HatSim sim;
  std::unique_ptr<Subscriber> sub;
  std::unique_ptr<GatewayProcess> gw;

  explicit Running(hatsim::Options o = simOptions(),
                   const std::function<void(GatewayProcess&)>& prepare = {})
      : sim(std::move(o)) {
    sim.start();
    sub = std::make_unique<Subscriber>(broker.port(), std::vector<std::string>{"sensors/#"});
    gw = std::make_unique<GatewayProcess>(
        GatewayConfig{.device = sim.devicePath(), .mqttPort = broker.port()});
    if (prepare) prepare(*gw);
    gw->start();
  }
  bool ready() { return sim.nextFrame("TC", 20s).has_value(); }
  // Sends readings until one is published (bounded), true when one was.
  bool readingGetsThrough() {
    std::size_t from = sub->messages().size();
    for (int i = 0; i < 40; ++i) {
      sim.sendSensor(0);
      if (sub->waitFor([&](auto& v) { return hasRawReading(v, from); }, 500ms)) return true;
    }
    return false;
  }
};

TEST(GatewayRx, HelloWritesUidFilePublishesRevisionAndLogsGatewayInfo) {
  Running r;
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  int info = r.gw->waitForLine("Gateway Info: ", 20s, true);
  ASSERT_GE(info, 0) << r.gw->transcript();
  // The block is seven lines, written one by one.
  ASSERT_GE(r.gw->waitForLine("\tRadio: ", 20s, false, info), 0) << r.gw->transcript();
  auto lines = r.gw->lines();
  std::vector<std::string> expected = {"Gateway Info: ",
                                       "\tFirmware Revision: 305419896",
                                       "\tUnique ID: 2712847316",
                                       "\tHat Type: Quorind Gateway Hat",
                                       "\tHardware Revision: 2.0.11",
                                       "\tBuild Date: 24.6.2031",
                                       "\tS/N: QGH12345678Z",
                                       "\tRadio: 868 MHz, W "};
  ASSERT_GE(lines.size(), info + expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin() + info, lines.begin() + info + expected.size()),
            expected);

  EXPECT_EQ(readFile(r.gw->stateDir() + "/gateway.uid"), std::string("\xA1\xB2\xC3\xD4", 4));

  // Subscribed only once the broker has it: the revision must have been retained, at QoS 1.
  Subscriber early(r.broker.port(), {"gw/2712847316/firmware/revision"});
  ASSERT_TRUE(early.waitForCount(1, 20s));
  Subscriber late(r.broker.port(), {"gw/2712847316/firmware/revision"}, 2);
  ASSERT_TRUE(late.waitForCount(1, 20s));
  auto m = late.messages().front();
  EXPECT_EQ(m.payload, "305419896");
  EXPECT_TRUE(m.retain);
  EXPECT_EQ(m.qos, 1);
}

TEST(GatewayRx, ReadingsArePublishedAndReportsLogged) {
  const Bytes key(32, 0x5A);
  Running r(simOptions(), [&](GatewayProcess& gw) {
    Bytes status;
    putBe32(status, 0x11111111);
    append(status, key);
    putBe32(status, 0x22222222);
    putBe32(status, 0x33333333);
    writeFile(gw.stateDir() + "/5000.status", status);
  });
  ASSERT_TRUE(r.ready()) << r.gw->transcript();

  r.sim.sendSensor(0);
  ASSERT_TRUE(r.sub->waitForCount(1, 20s)) << r.gw->transcript();
  long long received = nowMillis();
  auto m = r.sub->messages().front();
  EXPECT_EQ(m.topic, "sensors/5000/raw");
  auto j = nlohmann::json::parse(m.payload);
  EXPECT_EQ(j["uid"], 5000);
  EXPECT_EQ(j["rssi"], -71);
  EXPECT_EQ(j["payload"], "0114ab");
  EXPECT_LE(std::llabs(j["ts"].get<long long>() - received), 5000);  // milliseconds, and now
  EXPECT_GE(r.gw->waitForLine("Sensor #5000 [Node 7]: 0114ab \t RSSI: -71", 20s, true), 0);

  // Each report gives exactly its line; a duplicate is never published.
  r.sim.sendSensor(0, hatsim::SensorKind::Duplicate);
  EXPECT_GE(r.gw->waitForLine("Sensor #5000 [Node 7]: Duplicate msg \t RSSI: -71 ", 20s, true), 0);
  r.sim.sendFailedDecrypt(0, {1, 2, 250});
  EXPECT_GE(r.gw->waitForLine("TX 7 -> RX 1: Decrypt Failed. [1, 2, 250] Connection index: 0 \t "
                              "RSSI: -71",
                              20s, true),
            0);
  r.sim.sendStatistics(0xFFFFFFFF, 12);
  EXPECT_GE(r.gw->waitForLine("Num RX: 4294967295, Num Lost Packets: 12", 20s, true), 0);
  r.sim.sendLog("radio temperature 31 C");
  EXPECT_GE(r.gw->waitForLine("[GW Log] radio temperature 31 C", 20s, true), 0);

  // The link-state report rewrites the counters and leaves the key alone.
  std::string path = r.gw->stateDir() + "/5000.status";
  r.sim.sendLinkState(0);
  EXPECT_GE(r.gw->waitForLine("Storing state for UID 5000.", 20s, true), 0) << r.gw->transcript();
  std::string after;
  EXPECT_TRUE(waitUntil(
      [&] {
        after = readFile(path);
        return after.substr(0, 4) == std::string("\0\0\0\1", 4);
      },
      20s, "the new counters in " + path));
  ASSERT_EQ(after.size(), 44u);
  EXPECT_EQ(after.substr(0, 4), std::string("\0\0\0\1", 4));
  EXPECT_EQ(after.substr(4, 32), std::string(32, '\x5A'));
  EXPECT_EQ(after.substr(36, 4), std::string("\0\0\0\1", 4));
  EXPECT_EQ(after.substr(40, 4), std::string("\0\0\0\1", 4));  // one reading so far

  // Nothing but the readings was published: the reports' publications would come before the
  // second reading's.
  r.sim.sendSensor(0);
  ASSERT_TRUE(r.sub->waitForCount(2, 20s)) << r.gw->transcript();
  auto all = r.sub->messages();
  EXPECT_EQ(all.size(), 2u);
  EXPECT_EQ(all.back().topic, "sensors/5000/raw");
}

TEST(GatewayRx, GarbageAndShortBlocksAreLoggedAndReadingResumes) {
  Running r;
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  r.sim.sendGarbage(4);
  r.sim.sendSensor(0);
  ASSERT_TRUE(r.sub->waitForCount(1, 20s)) << r.gw->transcript();
  EXPECT_GE(r.gw->countLines("Garbage Msg Start: "), 4) << r.gw->transcript();

  int before = static_cast<int>(r.gw->lines().size());
  r.sim.sendSensor(0, hatsim::SensorKind::ShortBlock);
  // The missing bytes show as a failed read after the read time-out.
  EXPECT_GE(r.gw->waitForLine("short read: sensor message", 20s, false, before), 0)
      << r.gw->transcript();
  EXPECT_TRUE(r.readingGetsThrough()) << r.gw->transcript();

  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0);
}

TEST(GatewayRx, UnknownProtocolVersionIsRefused) {
  auto o = simOptions();
  o.version = 4;
  Broker broker;
  HatSim sim(o);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  int refused = gw.waitForLine("Unexpected protocol version b'\\x04'", 20s, true);
  ASSERT_GE(refused, 0) << gw.transcript();
  // The information block that follows is scanned as message starts, byte by byte.
  EXPECT_GE(gw.waitForLine("Garbage Msg Start: ", 20s, false, refused), refused);
  // Checks that no set-up follows the refusal within this time.
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(std::filesystem::exists(gw.stateDir() + "/gateway.uid"));
  EXPECT_FALSE(sim.nextFrame("LS", 0ms));
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
  EXPECT_EQ(gw.countLines("Putting Gateway Hat in standby mode"), 0);
}

TEST(GatewayRx, RandomBytesNeitherCrashNorWedgeTheDaemon) {
  Running r;
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  std::mt19937 rng(20240607);
  for (int chunk = 0; chunk < 40; ++chunk) {
    Bytes noise(512);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    r.sim.sendRaw(noise);
  }
  // A message start in the noise may still wait for its body and take the first readings in:
  // readingGetsThrough sends until one arrives.
  EXPECT_TRUE(r.readingGetsThrough()) << r.gw->transcript();
  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0) << r.gw->transcript();
}

// The hat is set up while the broker is away; the revision and the readings reach it later.
TEST(GatewayRx, BrokerStartingLateStillGetsRevisionSetupAndReadings) {
  Broker broker;
  broker.stop();
  auto o = simOptions();
  o.nodes[0].periodMs = 200;
  HatSim sim(o);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  std::string retrying =
      "MQTT broker 127.0.0.1:" + std::to_string(broker.port()) + " not reachable; retrying";
  ASSERT_GE(gw.waitForLine(retrying, 20s), 0) << gw.transcript();
  auto ls = sim.nextFrame("LS", 20s);
  ASSERT_TRUE(ls) << gw.transcript();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();

  broker.start();
  Subscriber sub(broker.port(), {"gw/#", "sensors/#"});
  EXPECT_TRUE(sub.waitFor(
      [](auto& v) {
        bool revision = false, reading = false;
        for (auto& m : v) {
          revision |= m.topic == "gw/2712847316/firmware/revision" && m.payload == "305419896";
          reading |= m.topic == "sensors/5000/raw";
        }
        return revision && reading;
      },
      20s))
      << gw.transcript();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

}  // namespace
}  // namespace ostrel::test::gateway_rx
