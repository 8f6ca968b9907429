// Floods from whoever may publish to the broker, a row each, against the real daemon, a real
// mosquitto and the hat simulator: the daemon's memory, event loop and log stay bounded, a
// reading still arrives, and the hat's clock beacon still goes out on time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/AclBroker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string GW = "16909060";  // the simulator's gateway UID
const std::string REQUEST = " -t gw/" + GW + "/node/1001/message";
const std::string READING = "sensors/1001/raw";
constexpr long long SYNC_INTERVAL_MS = 2000;

struct Row {
  const char* name;
  std::string publish;    // mosquitto_pub's arguments; FILES is where the payload files lie
  bool acl = false;       // the example's broker ACL, whose operator sends instead of anonymous
  bool otherUid = false;  // the daemon's session still subscribes an earlier hat's key commands
};

const fs::path FILES = fs::temp_directory_path() / ("ostrel-flood-" + std::to_string(::getpid()));

// The large ones are spread over 10-15 s (about 45 and 85 MB/s): at full speed the broker
// and the copies in the MQTT library take both cores of a small test machine.
const Row ROWS[] = {
    {"10,000 oversized key commands", " -t gw/" + GW + "/setSensorRadioKey/5 -f " +
                                          (FILES / "key64k").string() +
                                          " --repeat 10000 --repeat-delay 0.0008"},
    {"10,000 key commands for another gateway",
     " -t gw/99/setSensorRadioKey/5 -m " + std::string(32, 'k') + " --repeat 10000", false, true},
    {"1,000 requests of 1 MiB",
     REQUEST + " -f " + (FILES / "object1m").string() + " --repeat 1000 --repeat-delay 0.01"},
    // 65,535 bytes: the most correlation data MQTT 5 can carry.
    {"1,000 requests with the largest correlation data",
     REQUEST + R"( -m '{"key": 7, "msgtype": 11, "outputLevel": 300}' -D publish response-topic )" +
         "ostrel-node/x -D publish correlation-data " + std::string(65535, 'c') + " --repeat 1000"},
    {"10,000 replies the broker refuses",
     REQUEST + R"( -m '{"key": 1}' -D publish response-topic denied/x --repeat 10000)", true},
    {"100,000 inbound messages", " -t tx/flood -m x --repeat 100000"},
};

// Broker, simulator with a reading every 100 ms, and the daemon with node operations on, a clock
// beacon every 2 s from a host clock said to be in sync, and a health report every second.
struct Rig {
  std::unique_ptr<AclBroker> acl;
  std::unique_ptr<Broker> open;
  hatsim::HatSim sim;
  std::unique_ptr<GatewayProcess> gw;
  std::unique_ptr<Subscriber> watch;

  explicit Rig(const Row& row) : sim(simOptions()) {
    if (row.acl)
      acl = std::make_unique<AclBroker>(GW);
    else
      open = std::make_unique<Broker>();
    const int port = acl ? acl->port() : open->port();
    sim.start();
    GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = port, .syncInterval = 2};
    cfg.extra = {{"MQTT", {{"health-interval", "1"}, {"client-id", "flood-gw"}}},
                 {"OPS", {{"enabled", "yes"}}}};
    if (acl) {
      cfg.extra["MQTT"]["username"] = acl->users().gateway.user;
      cfg.extra["MQTT"]["password"] = acl->users().gateway.password;
    } else {
      cfg.extra["OPS"]["reply-prefix"] = "ostrel-node/";
    }
    gw = std::make_unique<GatewayProcess>(cfg);
    if (row.otherUid) run(" -i flood-gw -c -x 600 -E -t gw/99/setSensorRadioKey/+", "sub");
    watch = std::make_unique<Subscriber>(port,
                                         std::vector<std::string>{"gw/" + GW + "/health", READING},
                                         0, acl ? acl->users().probe : Login{});
    // The clock commands: in sync, so that each synchronisation sends "ST" to the hat.
    const fs::path bin = fs::path(gw->dir()) / "bin";
    fs::create_directories(bin);
    std::ofstream(bin / "timedatectl") << "#!/bin/sh\nprintf 'NTP=yes\\nNTPSynchronized=yes\\n'\n";
    ::chmod((bin / "timedatectl").c_str(), 0755);
    ::chmod(bin.c_str(), 0755);
    gw->start({}, {{"PATH", bin.string() + ":" + std::getenv("PATH")}});
  }
  ~Rig() {
    gw->signal(SIGTERM);
    gw->waitExit(20s);
  }
  static hatsim::Options simOptions() {
    hatsim::Options o;
    o.version = 3;
    o.bootDelayMs = 0;
    o.promptIntervalMs = 200;
    o.nodes = {{1001, 7, 60, {0x01, 0x14}, 100}};
    return o;
  }
  // The flood's sender yields the CPU: the bound is on the daemon's loop, not on a busy machine.
  void run(const std::string& args, const char* tool = "pub") const {
    std::string cmd = "nice -n 19 mosquitto_" + std::string(tool) + " -h 127.0.0.1 -V 5 -q 0 -p " +
                      std::to_string(acl ? acl->port() : open->port()) + args;
    if (acl)  // the example's passwords hold blanks
      cmd += " -u " + acl->users().operator_.user + " -P '" + acl->users().operator_.password + "'";
    EXPECT_EQ(std::system((cmd + " >/dev/null").c_str()), 0) << cmd.substr(0, 200);
  }
  std::vector<Clock::time_point> beacons() const {
    std::vector<Clock::time_point> out;
    for (const auto& f : sim.framesSoFar())
      if (f.code == "ST") out.push_back(f.at);
    return out;
  }
};

class FloodBounds : public ::testing::TestWithParam<Row> {
 protected:
  static void SetUpTestSuite() {
    fs::create_directories(FILES);
    std::ofstream(FILES / "key64k") << std::string(64 * 1024, 'k');
    // Many keys, all unknown: costly to build whole.
    std::string object = "{";
    for (int i = 0; object.size() < 1024 * 1024 - 30; ++i)
      object += "\"k" + std::to_string(i) + "\":0,";
    object += "\"pad\":\"" + std::string(1024 * 1024 - object.size() - 9, ' ') + "\"}";
    std::ofstream(FILES / "object1m") << object;
  }
  static void TearDownTestSuite() { fs::remove_all(FILES); }
};

TEST_P(FloodBounds, MemoryLoopLogReadingAndClockStayWithinBounds) {
  const Row& row = GetParam();
  Rig rig(row);
  ASSERT_GE(rig.gw->waitForLine("Node operations: taking requests", 30s), 0)
      << rig.gw->transcript();
  ASSERT_TRUE(waitUntil([&] { return rig.beacons().size() >= 2; }, 20s, "two clock beacons"));
  const pid_t pid = rig.gw->pid();
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";  // VmHWM from now on
  const long long rss0 = peakRssKb(pid);
  const std::size_t lines0 = rig.gw->lines().size(), seen0 = rig.watch->messages().size();
  const auto t0 = Clock::now();

  std::atomic<bool> sent{false};
  std::thread flood([&] {
    rig.run(row.publish);
    sent = true;
  });
  // Every message sent and two beacons due since the flood began.
  auto beaconsSince = [&] {
    auto b = rig.beacons();
    return std::count_if(b.begin(), b.end(), [&](auto t) { return t > t0; });
  };
  EXPECT_TRUE(waitUntil([&] { return sent && beaconsSince() >= 2; }, 90s, "the flood and beacons"));
  flood.join();
  const auto end = Clock::now();
  auto reports = [&](const std::vector<Received>& v) {
    return std::count_if(v.begin(), v.end(), [](const auto& m) { return m.topic != READING; });
  };
  // The report that covers the last second is among the next two.
  const auto reported = reports(rig.watch->messages());
  EXPECT_TRUE(rig.watch->waitFor([&](const auto& v) { return reports(v) >= reported + 2; }, 10s));

  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const long long growthKb = peakRssKb(pid) - rss0;
  const double linesPerSecond = static_cast<double>(rig.gw->lines().size() - lines0) / seconds;
  long long loopMs = 0;
  bool reading = false;
  auto msgs = rig.watch->messages();
  for (std::size_t i = seen0; i < msgs.size(); ++i) {
    reading = reading || msgs[i].topic == READING;
    auto h = nlohmann::json::parse(msgs[i].payload, nullptr, false);
    if (msgs[i].topic != READING && h.is_object())
      loopMs = std::max(loopMs, h.value("loop_delay_max_ms", 0LL));
  }
  // From the last beacon before the flood to the end (a beacon never sent counts as late).
  long long gapMs = 0;
  auto last = t0;
  for (auto t : rig.beacons()) {
    if (t > t0 && t <= end) gapMs = std::max<long long>(gapMs, (t - last) / 1ms);
    if (t <= end) last = t;
  }
  gapMs = std::max<long long>(gapMs, (end - last) / 1ms);
  const auto threads = std::distance(
      fs::directory_iterator("/proc/" + std::to_string(pid) + "/task"), fs::directory_iterator());
  std::cerr << "flood '" << row.name << "': " << seconds << " s, peak RSS +" << growthKb
            << " kB (VmHWM " << peakRssKb(pid) << " kB, " << threads << " threads), loop delay max "
            << loopMs << " ms, " << linesPerSecond << " log lines/s, beacon gap max " << gapMs
            << " ms, reading " << (reading ? "arrived" : "missing") << "\n";
  // Instrumented or emulated code is several times slower and has a larger peak of its own.
  const bool native = nativeUninstrumented();
  EXPECT_LT(growthKb, (native ? 16 : 64) * 1024);
  EXPECT_LT(loopMs, native ? 100 : 300);
  EXPECT_LT(linesPerSecond, 100);
  EXPECT_TRUE(reading);
  EXPECT_LE(gapMs, SYNC_INTERVAL_MS + 1000);  // each beacon is due an interval after the last
}

INSTANTIATE_TEST_SUITE_P(Floods, FloodBounds, ::testing::ValuesIn(ROWS),
                         [](const auto& info) { return "Row" + std::to_string(info.index); });

}  // namespace
}  // namespace ostrel::test
