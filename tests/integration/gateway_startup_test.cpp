// Start-up, supervision and wind-down of the real daemon against the hat simulator and mosquitto.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_startup {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using Clock = std::chrono::steady_clock;

hatsim::Options simOptions() {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.nodes.push_back({5000, 7, 71, {0x01, 0x14}, 200});
  return o;
}

std::size_t countFrames(const HatSim& sim, const std::string& code) {
  auto f = sim.framesSoFar();
  return static_cast<std::size_t>(
      std::count_if(f.begin(), f.end(), [&](const hatsim::Frame& x) { return x.code == code; }));
}

// Whether the daemon has put the line into raw mode. The simulator's master end lives in this
// process; a master reports its slave's settings.
bool lineIsRaw(const HatSim& sim) {
  namespace fs = std::filesystem;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(e.path(), ec).filename() != "ptmx") continue;
    int fd = std::stoi(e.path().filename().string());
    unsigned n = 0;
    if (::ioctl(fd, TIOCGPTN, &n) != 0 || "/dev/pts/" + std::to_string(n) != sim.slavePath())
      continue;
    termios tio{};
    return ::tcgetattr(fd, &tio) == 0 && !(tio.c_lflag & (ICANON | ECHO));
  }
  return false;
}

// Bytes "r" the gateway wrote before anything else.
std::size_t leadingRunCommands(const HatSim& sim) {
  Bytes raw = sim.rawReceived();
  std::size_t n = 0;
  while (n < raw.size() && raw[n] == 'r') ++n;
  return n;
}

TEST(GatewayStartup, AnswersEachBootloaderPromptOnceAndStartsTheLoops) {
  Broker broker;
  auto opt = simOptions();
  opt.bootDelayMs = 60000;  // the simulator stays quiet: the test writes the bootloader's text
  HatSim sim(opt);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  // Text sent before the line is raw would be echoed and its line ends translated.
  ASSERT_TRUE(waitUntil([&] { return sim.slaveOpen() && lineIsRaw(sim); }, 20s,
                        "the daemon to open the line in raw mode"))
      << gw.transcript();
  sim.sendRaw(toBytes("Quorind bootloader v1.3\r\nPress r to run app\r\nPress r to run app\r\n"));

  int rx = gw.waitForLine("Starting serial interface RX...", 20s, true);
  ASSERT_GE(rx, 0) << gw.transcript();
  int tx = gw.waitForLine("Starting serial interface TX...", 20s, true, rx);
  EXPECT_EQ(tx, rx + 1);
  // The bootloader's lines keep their line ends in the log: leave out the empty lines.
  std::vector<std::string> lines;
  for (auto& l : gw.lines())
    if (!l.empty()) lines.push_back(l);
  auto at = [&](const std::string& text) {
    return static_cast<int>(std::find(lines.begin(), lines.end(), text) - lines.begin());
  };
  int banner = at("[Bootloader] Quorind bootloader v1.3");
  ASSERT_LT(banner + 4, static_cast<int>(lines.size())) << gw.transcript();
  EXPECT_EQ(lines[banner + 1], "[Bootloader] Press r to run app");
  EXPECT_EQ(lines[banner + 2], "Sent command 'r' (run app) to bootloader.");
  EXPECT_EQ(lines[banner + 3], "[Bootloader] Press r to run app");
  EXPECT_EQ(lines[banner + 4], "Sent command 'r' (run app) to bootloader.");
  EXPECT_EQ(gw.countLines("Sent command 'r'"), 2);
  // The start-up line ends the wait: it is not taken for bootloader text.
  EXPECT_EQ(gw.countLines("[Bootloader] Gateway Module started up"), 0);
  int started = at("[GW Log] Gateway Module started up");
  EXPECT_GT(started, banner + 4);
  EXPECT_LT(started, at("Starting serial interface RX..."));
  EXPECT_EQ(leadingRunCommands(sim), 2u);
  EXPECT_EQ(countFrames(sim, "r"), 1u);  // the second one reaches the running firmware

  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

TEST(GatewayStartup, SilentHatEndsWithStatusThreeAfterSixSeconds) {
  HatSim sim(simOptions());
  sim.start();
  sim.setSilent(true);
  GatewayProcess gw({.device = sim.devicePath()});
  auto t0 = Clock::now();
  gw.start();
  auto rc = gw.waitExit(20s);
  auto took = Clock::now() - t0;
  ASSERT_TRUE(rc.has_value()) << gw.transcript();
  EXPECT_EQ(*rc, 3) << gw.transcript();
  EXPECT_GE(took, 5800ms);
  EXPECT_LE(took, 12s);  // not a hang: room for a loaded machine
  EXPECT_EQ(gw.countLines(
                "Timed out waiting for Radio Hat to start up. Is Radio Hat connected? Exiting."),
            1)
      << gw.transcript();
  EXPECT_EQ(gw.countLines("Starting serial interface"), 0);
  EXPECT_EQ(countFrames(sim, "r"), 0u);
}

TEST(GatewayStartup, StopPutsTheHatInStandbyBeforeTheLoopsStop) {
  Broker broker;
  HatSim sim(simOptions());
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  EXPECT_EQ(countFrames(sim, "r"), 1u);
  EXPECT_EQ(gw.countLines("Sent command 'r' (run app) to bootloader."), 1);

  gw.signal(SIGTERM);
  auto t0 = Clock::now();
  auto rc = gw.waitExit(20s);
  ASSERT_TRUE(rc.has_value()) << gw.transcript();
  EXPECT_LE(Clock::now() - t0, 3s);
  EXPECT_EQ(*rc, 0) << gw.transcript();

  int standby = gw.findLine("Putting Gateway Hat in standby mode");
  int stopRx = gw.findLine("Stopping serial interface RX...");
  int stopTx = gw.findLine("Stopping serial interface TX...");
  int disconnect = gw.findLine("Disconnecting MQTT client...");
  ASSERT_GE(standby, 0) << gw.transcript();
  EXPECT_GT(stopRx, standby);
  EXPECT_GT(stopTx, stopRx);
  EXPECT_GT(disconnect, stopTx);
  EXPECT_EQ(gw.countLines("Received restart signal..."), 0);

  // The standby command is written before the line above is logged. When the simulator and the
  // reader noted each is no measure of the order: on a loaded machine the simulator's note came
  // half a second late.
  EXPECT_TRUE(sim.nextFrame("SC", 10s)) << "no standby command reached the hat";
  EXPECT_FALSE(sim.radioOn());
}

TEST(GatewayStartup, RestartKeepsTheHatRunningAndReadingsFlowing) {
  Broker broker;
  HatSim sim(simOptions());
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sub.waitForCount(2, 20s)) << gw.transcript();
  auto resetsBefore = sim.stats().resets;

  sim.configure([](hatsim::Options& o) { o.resetOnOpen = false; });
  gw.signal(SIGHUP);
  int restart = gw.waitForLine("Received restart signal...", 20s, true);
  ASSERT_GE(restart, 0) << gw.transcript();
  int again = gw.waitForLine("Starting serial interface TX...", 20s, true, restart);
  ASSERT_GT(again, restart) << gw.transcript();
  std::size_t before = sub.messages().size();
  EXPECT_TRUE(sub.waitForCount(before + 3, 20s)) << gw.transcript();

  EXPECT_EQ(gw.countLines("Putting Gateway Hat in standby mode"), 0);
  EXPECT_EQ(countFrames(sim, "SC"), 0u);
  EXPECT_EQ(countFrames(sim, "r"), 1u);
  EXPECT_EQ(gw.countLines("Sent command 'r'"), 1);
  EXPECT_EQ(sim.stats().resets, resetsBefore);
  EXPECT_TRUE(sim.radioOn());
  for (const char* line : {"Stopping serial interface RX...", "Stopping serial interface TX...",
                           "Disconnecting MQTT client..."})
    EXPECT_GT(gw.waitForLine(line, 0ms, true, restart), restart) << line;

  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
  EXPECT_TRUE(sim.nextFrame("SC", 10s));
}

// Exit status and the one line that names the problem.
struct FailedStart {
  int status = -1;
  std::vector<std::string> lines;
};

FailedStart runBroken(GatewayProcess& gw) {
  gw.start();
  auto rc = gw.waitExit(20s);
  return {rc.value_or(-1), gw.lines()};
}

TEST(GatewayStartup, ConfigurationProblemsEndWithStatusTwoAndOneLine) {
  {
    GatewayConfig cfg{.device = "/dev/null"};
    cfg.remove.push_back({"MQTT", "keepalive"});
    GatewayProcess gw(cfg);
    auto r = runBroken(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find("keepalive"), std::string::npos) << r.lines[0];
  }
  {
    GatewayConfig cfg{.device = "/dev/null"};
    cfg.extra["UART"]["speed"] = "fast";
    GatewayProcess gw(cfg);
    auto r = runBroken(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find("speed"), std::string::npos) << r.lines[0];
    EXPECT_NE(r.lines[0].find("fast"), std::string::npos) << r.lines[0];
  }
  {
    GatewayProcess gw({.device = "/dev/null"});
    std::filesystem::remove(gw.configPath());
    std::filesystem::create_directory(gw.configPath());  // exists, but cannot be read as a file
    auto r = runBroken(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find(gw.configPath()), std::string::npos) << r.lines[0];
  }
  {
    GatewayProcess gw({.device = "/dev/null"});
    std::filesystem::remove(gw.configPath());
    auto r = runBroken(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find(gw.configPath()), std::string::npos) << r.lines[0];
  }
}

TEST(GatewayStartup, MissingSerialDeviceEndsWithStatusOneNamingIt) {
  const std::string device = "/tmp/ostrel-no-such-hat-device";
  std::filesystem::remove(device);
  GatewayProcess gw({.device = device});
  auto r = runBroken(gw);
  EXPECT_EQ(r.status, 1);
  ASSERT_FALSE(r.lines.empty());
  // Ordinary start-up lines may come first; the problem is named once, last.
  EXPECT_NE(r.lines.back().find(device), std::string::npos) << gw.transcript();
  EXPECT_EQ(gw.countLines(device), 1) << gw.transcript();
  EXPECT_EQ(gw.countLines("Starting serial interface"), 0);
}

}  // namespace
}  // namespace ostrel::test::gateway_startup
