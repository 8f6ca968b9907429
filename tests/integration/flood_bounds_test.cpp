// Floods from whoever may publish to the broker, a row each, against the real daemon, a real
// mosquitto and the hat simulator: memory, event loop and log stay bounded, a reading still
// arrives, and the clock beacon (every 2 s) still goes out on time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/support/AclBroker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::flood_bounds {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string GW = "16909060", READING = "sensors/1001/raw";
const std::string REQUEST = " -t gw/" + GW + "/node/1001/message";
const fs::path FILES = fs::temp_directory_path() / ("ostrel-flood-" + std::to_string(::getpid()));

struct Row {
  const char* name;
  std::string publish;    // mosquitto_pub's arguments
  bool acl = false;       // the example's ACL (its operator sends), which refuses other replies
  bool otherUid = false;  // the daemon's session still holds an earlier hat's subscription
};

// The large ones spread over 10-15 s (about 45 and 85 MB/s): at full speed the broker and the
// MQTT library's copies take both cores of a small test machine.
const Row ROWS[] = {
    {"10,000 oversized key commands", " -t gw/" + GW + "/setSensorRadioKey/5 -f " +
                                          (FILES / "key64k").string() +
                                          " --repeat 10000 --repeat-delay 0.0008"},
    {"10,000 key commands for another gateway",
     " -t gw/99/setSensorRadioKey/5 -m " + std::string(32, 'k') + " --repeat 10000", false, true},
    {"1,000 requests of 1 MiB",
     REQUEST + " -f " + (FILES / "object1m").string() + " --repeat 1000 --repeat-delay 0.01"},
    {"1,000 requests with the largest correlation data (65,535 bytes)",
     REQUEST + R"( -m '{"key": 7, "msgtype": 11, "outputLevel": 300}' -D publish response-topic )" +
         "ostrel-node/x -D publish correlation-data " + std::string(65535, 'c') + " --repeat 1000"},
    {"10,000 replies the broker refuses",
     REQUEST + R"( -m '{"key": 1}' -D publish response-topic denied/x --repeat 10000)", true},
    {"100,000 inbound messages", " -t tx/flood -m x --repeat 100000"},
};

struct Rig {
  std::unique_ptr<AclBroker> acl;
  std::unique_ptr<Broker> open;
  hatsim::HatSim sim{[] {
    hatsim::Options o;
    o.version = 3, o.bootDelayMs = 0, o.promptIntervalMs = 200;
    o.nodes = {{1001, 7, 60, {0x01, 0x14}, 100}};  // a reading every 100 ms
    return o;
  }()};
  std::unique_ptr<GatewayProcess> gw;
  std::unique_ptr<Subscriber> watch;  // health reports and readings

  explicit Rig(const Row& row) {
    if (row.acl)
      acl = std::make_unique<AclBroker>(GW);
    else
      open = std::make_unique<Broker>();
    sim.start();
    GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = port(), .syncInterval = 2};
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
    watch = std::make_unique<Subscriber>(port(),
                                         std::vector<std::string>{"gw/" + GW + "/health", READING},
                                         0, acl ? acl->users().probe : Login{});
    // A host clock in sync: each synchronisation sends the hat "ST".
    const fs::path bin = fs::path(gw->dir()) / "bin", tdc = bin / "timedatectl";
    fs::create_directories(bin);
    std::ofstream(tdc) << "#!/bin/sh\nprintf 'NTP=yes\\nNTPSynchronized=yes\\n'\n";
    fs::permissions(bin, fs::perms::all), fs::permissions(tdc, fs::perms::all);
    gw->start({}, {{"PATH", bin.string() + ":" + std::getenv("PATH")}});
  }
  ~Rig() {
    gw->signal(SIGTERM);
    gw->waitExit(20s);
  }
  int port() const { return acl ? acl->port() : open->port(); }
  // The sender yields the CPU: the bound is on the daemon's loop, not on a busy machine.
  void run(const std::string& args, const char* tool = "pub") const {
    std::string cmd = "nice -n 19 mosquitto_" + std::string(tool) + " -h 127.0.0.1 -V 5 -q 0 -p " +
                      std::to_string(port()) + args;
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

struct FloodBounds : ::testing::TestWithParam<Row> {
  static void SetUpTestSuite() {
    fs::create_directories(FILES);
    std::ofstream(FILES / "key64k") << std::string(64 * 1024, 'k');
    std::string object = "{";  // many keys, all unknown: costly to build whole
    for (int i = 0; object.size() < (1 << 20) - 30; ++i)
      object += "\"k" + std::to_string(i) + "\":0,";
    std::ofstream(FILES / "object1m")
        << object << "\"pad\":\"" << std::string((1 << 20) - object.size() - 9, ' ') << "\"}";
  }
  static void TearDownTestSuite() { fs::remove_all(FILES); }
};

TEST_P(FloodBounds, MemoryLoopLogReadingAndClockStayWithinBounds) {
  Rig rig(GetParam());
  ASSERT_GE(rig.gw->waitForLine("Node operations: taking requests", 30s), 0);
  ASSERT_TRUE(waitUntil([&] { return rig.beacons().size() >= 2; }, 20s, "two clock beacons"));
  const pid_t pid = rig.gw->pid();
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";  // VmHWM from now on
  const long long rss0 = peakRssKb(pid);
  const std::size_t lines0 = rig.gw->lines().size(), seen0 = rig.watch->messages().size();
  const auto t0 = Clock::now();
  rig.run(GetParam().publish);
  // Two beacons due since the flood began; then two more seconds of readings and reports.
  auto since = [&](auto t) { return t > t0; };
  EXPECT_TRUE(waitUntil([&] { return std::ranges::count_if(rig.beacons(), since) >= 2; }, 90s,
                        "two beacons since the flood began"));
  const auto end = Clock::now();
  const std::size_t seen = rig.watch->messages().size();
  EXPECT_TRUE(rig.watch->waitFor([&](const auto& v) { return v.size() >= seen + 25; }, 10s));

  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const long long growthKb = peakRssKb(pid) - rss0;
  const double linesPerSecond = static_cast<double>(rig.gw->lines().size() - lines0) / seconds;
  long long loopMs = 0, gapMs = 0;
  bool reading = false;
  auto msgs = rig.watch->messages();
  for (std::size_t i = seen0; i < msgs.size(); ++i) {
    reading = reading || msgs[i].topic == READING;
    auto h = nlohmann::json::parse(msgs[i].payload, nullptr, false);
    if (msgs[i].topic != READING && h.is_object())
      loopMs = std::max(loopMs, h.value("loop_delay_max_ms", 0LL));
  }
  auto last = t0;  // the gaps from the last beacon before the flood; one never sent counts too
  for (auto t : rig.beacons()) {
    if (t > end) break;
    if (since(t)) gapMs = std::max<long long>(gapMs, (t - last) / 1ms);
    last = t;
  }
  gapMs = std::max<long long>(gapMs, (end - last) / 1ms);
  std::cerr << "flood '" << GetParam().name << "': " << seconds << " s, peak RSS +" << growthKb
            << " kB (VmHWM " << peakRssKb(pid) << " kB), loop delay max " << loopMs << " ms, "
            << linesPerSecond << " log lines/s, beacon gap max " << gapMs << " ms\n";
  // Instrumented or emulated code is several times slower and has a larger peak of its own.
  const bool native = nativeUninstrumented();
  EXPECT_LT(growthKb, (native ? 16 : 64) * 1024);
  EXPECT_LT(loopMs, native ? 100 : 300);
  EXPECT_LT(linesPerSecond, 100);
  EXPECT_TRUE(reading);
  EXPECT_LE(gapMs, 3000);  // each beacon is due 2 s after the one before
}

INSTANTIATE_TEST_SUITE_P(Floods, FloodBounds, ::testing::ValuesIn(ROWS),
                         [](const auto& info) { return "Row" + std::to_string(info.index); });

}  // namespace
}  // namespace ostrel::test::flood_bounds
