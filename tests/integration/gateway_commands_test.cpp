// MQTT commands to a running daemon with a version 3 hat: radio keys and the hat clock trim
// reach the line in the documented layout, bad payloads are refused without harm, and a burst of
// commands is paced onto the line in arrival order.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/mqtt/PahoMqttClient.hpp"
#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_commands {
namespace {

using namespace std::chrono_literals;

const std::string GW = std::to_string(0x01020304);  // the simulator's default unique ID

struct Rig {
  test::Broker broker;
  hatsim::HatSim sim;
  std::unique_ptr<test::GatewayProcess> gw;

  Rig() : sim(options()) {
    sim.start();
    test::GatewayConfig cfg;
    cfg.device = sim.devicePath();
    cfg.mqttPort = broker.port();
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
    return o;
  }
  // Up once the command subscriptions are acknowledged.
  bool waitReady() { return gw->waitForLine("Subscribed mid", 20s) >= 0; }
  void publish(const std::string& topic, const std::string& payload) {
    test::publishTo(broker.port(), topic, payload, 0);
  }
  bool running() { return !gw->waitExit(0ms); }
};

// Waits until exactly `n` lines contain `text` (more fail at once).
::testing::AssertionResult waitUntilCount(test::GatewayProcess& gw, const std::string& text,
                                          int n) {
  auto count = [&] { return gw.countLines(text); };
  auto got = test::waitUntil([&] { return count() >= n; }, 20s, std::to_string(n) + " x " + text,
                             [&] { return std::to_string(count()); });
  if (got && count() != n) return ::testing::AssertionFailure() << count() << " x " << text;
  return got;
}

Bytes peerKeyFrame(std::uint32_t uid, const Bytes& key) {
  Bytes f = toBytes("PK");
  putBe32(f, uid);
  append(f, key);
  return f;
}

TEST(GatewayCommands, RadioKeyCommandsReachTheHat) {
  Rig rig;
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  Bytes key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0x80 + i * 3);

  rig.publish("gw/" + GW + "/setSensorRadioKey/5000", toString(key));
  auto pk = rig.sim.nextFrame("PK", 20s);
  ASSERT_TRUE(pk) << rig.gw->transcript();
  EXPECT_EQ(pk->bytes, peerKeyFrame(5000, key));
  EXPECT_GE(rig.gw->waitForLine("Transmitting peer key for UID 5000", 20s), 0);

  // Keys of the wrong length go nowhere: the next frame on the line is the removal.
  rig.publish("gw/" + GW + "/setSensorRadioKey/5001", toString(key).substr(0, 31));
  rig.publish("gw/" + GW + "/setSensorRadioKey/5002", toString(key) + "x");
  rig.publish("gw/" + GW + "/setSensorRadioKey/5003", "");
  rig.publish("gw/" + GW + "/removeSensorRadioKey/42", "whatever");
  pk = rig.sim.nextFrame("PK", 20s);
  ASSERT_TRUE(pk) << rig.gw->transcript();
  EXPECT_EQ(pk->bytes, peerKeyFrame(42, Bytes(32, 0)));
  ASSERT_GE(rig.gw->waitForLine("Sending remove command for peer UID 42", 20s), 0);
  EXPECT_EQ(rig.gw->countLines("Transmitting peer key"), 1) << rig.gw->transcript();
  EXPECT_EQ(rig.gw->countLines("RECV MSG on topic gw/" + GW + "/setSensorRadioKey/"), 4);
  EXPECT_EQ(rig.sim.peerKeys().count(5000), 1u);
  EXPECT_TRUE(rig.running());
}

TEST(GatewayCommands, ClockTrimIsSentOnlyForUsableOffsets) {
  Rig rig;
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  const std::string topic = "gw/" + GW + "/setRTCOffset";

  rig.publish(topic, "-1.5");
  auto sr = rig.sim.nextFrame("SR", 20s);
  ASSERT_TRUE(sr) << rig.gw->transcript();
  EXPECT_EQ(sr->bytes, (Bytes{'S', 'R', 0xFE, 0x2B}));
  EXPECT_GE(rig.gw->waitForLine("Sending RTC offset adjustment command: -1.5 ppm", 20s), 0);

  // Nothing of these reaches the hat; the marker afterwards is the next trim it sees.
  for (const std::string bad : {"1e3", "abc", "nan", "inf", "\xff\xfe", ""})
    rig.publish(topic, bad);
  rig.publish(topic, " 2.5 ");
  sr = rig.sim.nextFrame("SR", 20s);
  ASSERT_TRUE(sr) << rig.gw->transcript();
  EXPECT_EQ(sr->bytes, (Bytes{'S', 'R', 0x03, 0x0D})) << "781 steps";
  EXPECT_FALSE(rig.sim.nextFrame("SR", 200ms));
  ASSERT_GE(rig.gw->waitForLine("Sending RTC offset adjustment command: 2.5 ppm", 20s), 0);

  EXPECT_EQ(rig.gw->countLines("RTC offset too big: 1000.0 ppm"), 1) << rig.gw->transcript();
  EXPECT_EQ(rig.gw->countLines("RECV MSG on topic " + topic), 8);
  // Each unusable payload is refused once on arrival, the offset too large among them, naming
  // the topic.
  EXPECT_EQ(rig.gw->countLines("MQTT command on " + topic + " refused: "), 6)
      << rig.gw->transcript();
  EXPECT_TRUE(rig.running());
}

// A Paho client of the test's own, to publish faster than one process per message allows.
struct Publisher {
  asio::io_context ioc;
  asio::executor_work_guard<asio::io_context::executor_type> guard{ioc.get_executor()};
  std::shared_ptr<MqttClient> client;
  std::thread thread;

  explicit Publisher(int port) {
    MqttSettings s;
    s.clientId = "ostrel-test-burst";
    s.cleanStart = true;
    s.sessionExpiry = 0;
    client = makePahoMqttClient(ioc.get_executor(), s);
    thread = std::thread([this] { ioc.run(); });
    auto connected = asio::co_spawn(ioc, client->connect("127.0.0.1", port, 30), asio::use_future);
    if (connected.wait_for(5s) != std::future_status::ready)
      throw std::runtime_error("test publisher did not connect");
    connected.get();
  }
  ~Publisher() {
    auto done = asio::co_spawn(ioc, client->disconnect(), asio::use_future);
    done.wait_for(3s);
    guard.reset();
    ioc.stop();
    thread.join();
  }
  template <typename F>
  void onLoop(F f) {
    std::promise<void> p;
    asio::post(ioc, [&] {
      f();
      p.set_value();
    });
    p.get_future().wait();
  }
};

TEST(GatewayCommands, BurstOfCommandsIsPacedInArrivalOrder) {
  Rig rig;
  ASSERT_TRUE(rig.waitReady()) << rig.gw->transcript();
  constexpr std::uint32_t N = 100;
  Publisher pub(rig.broker.port());
  pub.onLoop([&] {
    for (std::uint32_t uid = 1; uid <= N; ++uid)
      pub.client->publish("gw/" + GW + "/removeSensorRadioKey/" + std::to_string(uid), "", 1,
                          false);
  });

  std::vector<hatsim::Frame> frames;
  for (std::uint32_t i = 0; i < N; ++i) {
    auto f = rig.sim.nextFrame("PK", i == 0 ? 20s : 10s);
    if (!f) break;
    frames.push_back(*f);
  }
  ASSERT_EQ(frames.size(), N) << rig.gw->transcript();
  std::vector<std::chrono::steady_clock::duration> gaps;
  for (std::uint32_t i = 0; i < N; ++i) {
    EXPECT_EQ(frames[i].bytes, peerKeyFrame(i + 1, Bytes(32, 0))) << "frame " << i;
    if (i > 0) gaps.push_back(frames[i].at - frames[i - 1].at);
  }
  // The gateway leaves 50 ms between jobs. The simulator notes a frame when its thread gets to
  // it, so on a busy machine one late note shortens the next gap, down to none when two frames
  // are read at once: the smallest gap tells nothing. The typical gap carries the pacing, and the
  // average over 99 gaps falls below 49.5 ms if even two commands went out together.
  std::sort(gaps.begin(), gaps.end());
  auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  EXPECT_GE(ms(gaps[gaps.size() / 2]), 48.0);
  EXPECT_GE(ms(frames.back().at - frames.front().at) / (N - 1), 49.5);
  EXPECT_TRUE(waitUntilCount(*rig.gw, "Sending remove command for peer UID", static_cast<int>(N)))
      << rig.gw->countLines("Sending remove command for peer UID");
  EXPECT_TRUE(rig.running());
}

}  // namespace
}  // namespace ostrel::test::gateway_commands
