// The daemon end to end with version 2 and 3 hats: reception time stamps, the clock exchange
// with the hat under a faked host time service, and the set-up sequence.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "ostrel/base/Bytes.hpp"
#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_v2v3 {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using nlohmann::json;
using test::waitUntil;
namespace fs = std::filesystem;

constexpr std::uint32_t FLOOD_UID = 0xF100D;

// Broker, hat simulator and daemon; the daemon goes first at the end.
struct Rig {
  test::Broker broker;
  hatsim::HatSim sim;
  std::unique_ptr<test::GatewayProcess> gw;

  explicit Rig(hatsim::Options o, const std::function<void(test::GatewayConfig&)>& tweak = {})
      : sim(quick(std::move(o))) {
    sim.start();
    test::GatewayConfig cfg;
    cfg.device = sim.devicePath();
    cfg.mqttPort = broker.port();
    if (tweak) tweak(cfg);
    gw = std::make_unique<test::GatewayProcess>(cfg);
  }
  ~Rig() {
    gw->signal(SIGTERM);
    gw->waitExit(20s);
  }
  static hatsim::Options quick(hatsim::Options o) {
    o.bootDelayMs = 0;
    o.promptIntervalMs = 200;
    return o;
  }

  // A directory of stand-ins for the host's clock commands, to put first on PATH.
  std::string fakeCommands(const std::string& timedatectlShow, int setNtpSeconds = 0) {
    const fs::path bin = fs::path(gw->dir()) / "bin";
    fs::create_directories(bin);
    ::chmod(bin.c_str(), 0755);
    auto script = [&](const std::string& name, const std::string& text) {
      const fs::path p = bin / name;
      std::ofstream(p) << "#!/bin/sh\n" << text;
      ::chmod(p.c_str(), 0755);
    };
    script("timedatectl", "[ \"$1\" = show ] && printf '" + timedatectlShow + "'\nexit 0\n");
    script("sudo", "echo \"$(date +%s.%N) $*\" >> '" + sudoLog() +
                       "'\ncase \"$*\" in *set-ntp*) sleep " + std::to_string(setNtpSeconds) +
                       ";; esac\nexit 0\n");
    const char* path = std::getenv("PATH");
    return bin.string() + ":" + (path ? path : "/usr/bin:/bin");
  }
  std::string sudoLog() const { return gw->stateDir() + "/sudo.log"; }

  bool waitRadio() {
    return waitUntil([&] { return sim.radioOn(); }, 30s, "the radio to be switched on");
  }

  // Codes of the frames the hat received, the bootloader's run command left out.
  std::vector<std::string> codes() const {
    std::vector<std::string> out;
    for (const auto& f : sim.framesSoFar())
      if (f.code != "r") out.push_back(f.code);
    return out;
  }
};

Bytes sensorFrame(std::uint32_t uid, std::uint8_t nodeId, std::uint8_t rssi, const Bytes& stamp,
                  const Bytes& payload) {
  Bytes block;
  putBe32(block, uid);
  block.push_back(nodeId);
  block.push_back(0);
  block.push_back(rssi);
  append(block, stamp);
  append(block, payload);
  Bytes frame = toBytes("SD");
  frame.push_back(static_cast<std::uint8_t>(block.size()));
  append(frame, block);
  return frame;
}

std::optional<json> readingOf(const test::Subscriber& sub, std::uint32_t uid) {
  const std::string topic = "sensors/" + std::to_string(uid) + "/raw";
  for (const auto& m : sub.messages())
    if (m.topic == topic) return json::parse(m.payload);
  return std::nullopt;
}

long long nowMs() {
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// A stored link for node `uid`: local startup counter, key, peer startup and message counters.
Bytes writeStatusFile(const std::string& dir, std::uint32_t uid, std::uint8_t keyByte) {
  Bytes content;
  putBe32(content, 17);
  content.insert(content.end(), 32, keyByte);
  putBe32(content, 5);
  putBe32(content, 1234);
  const std::string path = dir + "/" + std::to_string(uid) + ".status";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
  ::chmod(path.c_str(), 0666);
  return content;
}

TEST(GatewayV2V3, ReadingsCarryTheHatsReceptionTime) {
  hatsim::Options o;
  o.version = 2;
  o.clockSet = false;
  Rig rig(o);
  test::Subscriber sub(rig.broker.port(), {"sensors/#"});
  rig.gw->start();
  ASSERT_TRUE(rig.waitRadio()) << rig.gw->transcript();

  const auto stamped = sys_days{2030y / 1 / 2} + 3h + 4min + 5s + 678ms;
  rig.sim.sendRaw(sensorFrame(5001, 3, 60, hatsim::encodeStamp(stamped), {0xAB}));
  rig.sim.sendRaw(sensorFrame(5002, 4, 61, Bytes(8, 0), {0xCD}));
  ASSERT_TRUE(sub.waitForCount(2, 20s)) << rig.gw->transcript();
  const long long receivedAt = nowMs();

  auto hatStamped = readingOf(sub, 5001);
  ASSERT_TRUE(hatStamped);
  EXPECT_EQ((*hatStamped)["ts"].get<long long>(), stamped.time_since_epoch().count());
  EXPECT_EQ((*hatStamped)["rssi"].get<int>(), -60);

  // An unset hat clock stamps zeros: the gateway's own time stands in.
  auto unstamped = readingOf(sub, 5002);
  ASSERT_TRUE(unstamped);
  EXPECT_NEAR((*unstamped)["ts"].get<long long>(), receivedAt, 5000);  // now, in milliseconds
  EXPECT_GE(rig.gw->waitForLine("Sensor #5001 [Node 3]", 20s), 0) << rig.gw->transcript();
}

TEST(GatewayV2V3, SynchronisedHostSetsTheHatClockBeforeRadioConfigAndWakeUp) {
  hatsim::Options o;
  o.version = 2;
  o.clockSet = false;
  Rig rig(o, [](test::GatewayConfig& c) {
    c.syncInterval = 60;
    c.rssiThreshold = -90;
  });
  const Bytes stored = writeStatusFile(rig.gw->stateDir(), 5001, 0x5A);
  writeStatusFile(rig.gw->stateDir(), 5002, 0x6B);
  const std::string path = rig.fakeCommands("NTP=yes\\nNTPSynchronized=yes\\n");
  rig.gw->start({}, {{"PATH", path}});
  ASSERT_TRUE(rig.waitRadio()) << rig.gw->transcript();

  const std::vector<std::string> expected = {"LS", "PS", "PS", "ST", "RF", "TC"};
  EXPECT_EQ(rig.codes(), expected) << rig.gw->transcript();

  // Version 2 replays every stored link.
  std::set<std::uint32_t> peers;
  Bytes ps5001;
  for (const auto& f : rig.sim.framesSoFar())
    if (f.code == "PS") {
      ASSERT_EQ(f.bytes.size(), 51u);
      peers.insert(getBe32(f.bytes, 7));
      if (getBe32(f.bytes, 7) == 5001) ps5001 = f.bytes;
    }
  EXPECT_EQ(peers, (std::set<std::uint32_t>{5001, 5002}));
  Bytes want = toBytes("PS");
  putBe32(want, 17);
  want.push_back(0);
  putBe32(want, 5001);
  putBe32(want, 5);
  putBe32(want, 1234);
  want.insert(want.end(), stored.begin() + 4, stored.begin() + 36);
  EXPECT_EQ(ps5001, want);

  auto st = rig.sim.nextFrame("ST", 0ms);
  ASSERT_TRUE(st);
  const Bytes& b = st->bytes;
  ASSERT_EQ(b.size(), 11u);
  const year_month_day ymd{year{1900 + b[5]}, month{b[4]}, day{b[3]}};
  ASSERT_TRUE(ymd.ok());
  const sys_days date{ymd};
  EXPECT_EQ(weekday{date}.iso_encoding(), b[2]);
  const auto sent =
      date + hours{b[6]} + minutes{b[7]} + seconds{b[8]} + milliseconds{getBe16(b, 9)};
  EXPECT_NEAR(sent.time_since_epoch().count(), nowMs(), 3000);
  EXPECT_NE(rig.sim.hatStamp(), Bytes(8, 0)) << "the hat's clock was set";

  EXPECT_EQ(rig.sim.rssiThreshold(), std::optional<std::uint8_t>(90));
  EXPECT_GE(rig.gw->waitForLine("NTP synchronized: True", 20s), 0) << rig.gw->transcript();
  EXPECT_GE(rig.gw->waitForLine("Setting RSSI threshold -90", 20s), 0);
  EXPECT_EQ(rig.gw->countLines("Setting RSSI threshold"), 1);
  EXPECT_EQ(rig.gw->countLines("Requesting Date/Time from Radio Hat"), 0);
}

TEST(GatewayV2V3, Version3SendsOnlyTheLocalSetup) {
  hatsim::Options o;
  o.version = 3;
  Rig rig(o);
  writeStatusFile(rig.gw->stateDir(), 5001, 0x5A);
  rig.gw->start();
  ASSERT_TRUE(rig.waitRadio()) << rig.gw->transcript();
  const std::vector<std::string> expected = {"LS", "TC"};
  EXPECT_EQ(rig.codes(), expected) << rig.gw->transcript();
  EXPECT_EQ(rig.gw->countLines("Sent peer node setup"), 0);
}

// Local wall-clock text "YYYY-MM-DD HH:MM:SS.mmm" as seconds since the epoch.
double localTextToEpoch(const std::string& text) {
  std::tm tm{};
  std::istringstream in(text);
  in >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
  if (in.fail()) return -1;
  tm.tm_isdst = -1;
  double frac = 0;
  const auto dot = text.find('.');
  if (dot != std::string::npos) frac = std::stod("0" + text.substr(dot, 4));
  return static_cast<double>(std::mktime(&tm)) + frac;
}

// "YYYY-MM-DD HH:MM:SS[.ffffff]+00:00" as seconds since the epoch.
double utcTextToEpoch(const std::string& text) {
  std::tm tm{};
  std::istringstream in(text);
  in >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
  if (in.fail()) return -1;
  double frac = 0;
  const auto dot = text.find('.');
  if (dot != std::string::npos) frac = std::stod("0" + text.substr(dot, 7));
  return static_cast<double>(::timegm(&tm)) + frac;
}

TEST(GatewayV2V3, UnsynchronisedHostTakesTheHatTimeWithoutLosingReadings) {
  hatsim::Options o;
  o.version = 2;
  Rig rig(o, [](test::GatewayConfig& c) { c.syncInterval = 60; });
  test::Subscriber sub(rig.broker.port(), {"sensors/#"});
  const std::string path = rig.fakeCommands("NTP=yes\\nNTPSynchronized=no\\n", 2);
  rig.gw->start({}, {{"PATH", path}});
  ASSERT_TRUE(rig.sim.nextFrame("RT", 20s)) << rig.gw->transcript();
  constexpr std::size_t N = 160;  // 8 s at 20/s, longer than the whole clock change
  rig.sim.startFlood(N, 20);

  const int hatLine = rig.gw->waitForLine("HAT Time: ", 20s);
  ASSERT_GE(hatLine, 0) << rig.gw->transcript();
  ASSERT_GE(rig.gw->waitForLine("Enabling OS: automatic time synchronization.", 20s), 0)
      << rig.gw->transcript();
  EXPECT_GE(rig.gw->countLines("NTP synchronized: False"), 1);
  EXPECT_EQ(rig.gw->countLines("Requesting Date/Time from Radio Hat"), 1);
  EXPECT_EQ(rig.gw->countLines("System time has been set successfully."), 1)
      << rig.gw->transcript();

  // The commands in order; the time set is the hat's plus the 3 s pause.
  ASSERT_TRUE(waitUntil(
      [&] {
        std::ifstream in(rig.sudoLog());
        return std::count(std::istreambuf_iterator<char>(in), {}, '\n') >= 3;
      },
      20s, "three commands in " + rig.sudoLog()));
  std::ifstream in(rig.sudoLog());
  std::vector<std::pair<double, std::string>> calls;
  for (std::string line; std::getline(in, line);) {
    const auto sp = line.find(' ');
    calls.emplace_back(std::stod(line.substr(0, sp)), line.substr(sp + 1));
  }
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].second, "timedatectl set-ntp false");
  EXPECT_EQ(calls[1].second.rfind("timedatectl set-time ", 0), 0u) << calls[1].second;
  EXPECT_EQ(calls[2].second, "timedatectl set-ntp true");
  EXPECT_GE(calls[1].first - calls[0].first, 4.8) << "2 s for set-ntp, then the 3 s pause";

  const std::string hatText = rig.gw->lines()[hatLine].substr(std::string("HAT Time: ").size());
  EXPECT_EQ(hatText.substr(0, 3), "202") << hatText;
  const double hatTime = utcTextToEpoch(hatText);
  const double setTime = localTextToEpoch(calls[1].second.substr(21));
  EXPECT_NEAR(setTime - hatTime, 3.0, 0.01) << hatText << " vs " << calls[1].second;
  EXPECT_NEAR(hatTime, nowMs() / 1000.0, 15) << "the hat's clock runs at host time";

  // No reading was lost while the host clock was being changed.
  ASSERT_TRUE(waitUntil([&] { return rig.sim.floodDone(); }, 30s, "the end of the flood"));
  const std::string topic = "sensors/" + std::to_string(FLOOD_UID) + "/raw";
  auto floodSeqs = [&] {
    std::set<std::uint32_t> seqs;
    for (const auto& m : sub.messages())
      if (m.topic == topic)
        seqs.insert(static_cast<std::uint32_t>(std::stoul(
            json::parse(m.payload)["payload"].get<std::string>().substr(0, 8), nullptr, 16)));
    return seqs;
  };
  EXPECT_TRUE(waitUntil([&] { return floodSeqs().size() >= N; }, 20s, "every reading"))
      << floodSeqs().size() << " of " << N << "\n"
      << rig.gw->transcript();
  const auto seqs = floodSeqs();
  EXPECT_EQ(seqs.size(), N);
  if (!seqs.empty()) {
    EXPECT_EQ(*seqs.rbegin(), N - 1);
  }
  EXPECT_FALSE(rig.gw->waitExit(0ms)) << "the daemon is still running";
}

}  // namespace
}  // namespace ostrel::test::gateway_v2v3
