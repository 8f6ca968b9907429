// Faults a gateway left alone for months meets: hostile topics, a hat that goes away, noise on the
// line, bad status files, a lost state directory, commands during wind-down. The real daemon with
// the hat simulator and mosquitto.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_hardening {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kGatewayUid = 4242;

hatsim::Options simOptions(int version = 3) {
  hatsim::Options o;
  o.version = version;
  o.promptIntervalMs = 300;
  o.uniqueId = kGatewayUid;
  o.nodes.push_back({5000, 7, 71, {0x01, 0x14}, 0});
  return o;
}

std::size_t readingsOf(const Subscriber& sub, std::uint32_t uid) {
  std::size_t n = 0;
  for (const auto& m : sub.messages())
    if (m.topic == "sensors/" + std::to_string(uid) + "/raw") ++n;
  return n;
}

// Sends a reading of node 0 every 300 ms until the subscriber has more than `have` of them.
bool readingArrives(HatSim& sim, Subscriber& sub, std::size_t have,
                    std::chrono::milliseconds limit) {
  auto more = [&](const std::vector<Received>& v) {
    return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [](const Received& m) {
             return m.topic == "sensors/5000/raw";
           })) > have;
  };
  for (auto until = Clock::now() + limit; Clock::now() < until;) {
    sim.sendSensor(0);
    if (sub.waitFor(more, 300ms)) return true;
  }
  return false;
}

// CPU time (user + system) of a process in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  auto close = text.rfind(')');
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) {
      stime = std::stol(field);
      break;
    }
  }
  return utime + stime;
}

std::string tempLink() {
  char tmpl[] = "/tmp/ostrel-link.XXXXXX";
  std::string dir = ::mkdtemp(tmpl);
  ::chmod(dir.c_str(), 0755);
  return dir + "/hat";
}

// A daemon that has said hello, set up the hat and switched its radio on.
struct Running {
  Broker broker;
  std::unique_ptr<HatSim> sim;
  std::unique_ptr<Subscriber> sub;
  std::unique_ptr<GatewayProcess> gw;

  explicit Running(hatsim::Options o = simOptions(),
                   const std::function<void(GatewayProcess&)>& prepare = {}) {
    sim = std::make_unique<HatSim>(std::move(o));
    sim->start();
    sub = std::make_unique<Subscriber>(broker.port(), std::vector<std::string>{"sensors/#"});
    gw = std::make_unique<GatewayProcess>(
        GatewayConfig{.device = sim->devicePath(), .mqttPort = broker.port()});
    if (prepare) prepare(*gw);
    gw->start();
  }
  // The radio is woken and the commands are subscribed to (the wake-up does not wait for that).
  bool ready() {
    return sim->nextFrame("TC", 20s).has_value() && gw->waitForLine("Subscribed mid", 20s) >= 0;
  }
};

TEST(HostileTopics, HugeSensorUidsAreRefusedAndReadingsGoOn) {
  // The longest topic MQTT can carry is 65,535 bytes: the UID takes nearly all of it.
  std::string digits(65000, '7');
  std::string base = fmt::format("gw/{}/", kGatewayUid);
  Running r;
  // Retained before the daemon has subscribed: delivered right at its subscription.
  publishTo(r.broker.port(), base + "setSensorRadioKey/" + digits, "0011223344556677", 1, true);
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  ASSERT_TRUE(readingArrives(*r.sim, *r.sub, 0, 20s)) << r.gw->transcript();

  publishTo(r.broker.port(), base + "removeSensorRadioKey/" + digits, "");
  publishTo(r.broker.port(), base + "setSensorRadioKey/" + digits + "1", "00112233");
  EXPECT_TRUE(
      waitUntil([&] { return r.gw->countLines("is out of range") >= 3; }, 20s, "three refusals"));
  EXPECT_EQ(
      r.gw->countLines("sensor UID " + std::string(24, '7') + "... (65000 digits) is out of range"),
      2)
      << r.gw->transcript().substr(0, 4000);
  EXPECT_EQ(r.gw->countLines("(65001 digits) is out of range"), 1);
  EXPECT_FALSE(r.gw->waitExit(0ms).has_value());
  EXPECT_TRUE(readingArrives(*r.sim, *r.sub, readingsOf(*r.sub, 5000), 20s));
  // The hat got no key for the refused UIDs: the next key it sees is this one.
  publishTo(r.broker.port(), base + "setSensorRadioKey/5000", std::string(32, 'k'));
  auto pk = r.sim->nextFrame("PK", 20s);
  ASSERT_TRUE(pk) << r.gw->transcript().substr(0, 4000);
  EXPECT_EQ(getBe32(pk->bytes, 2), 5000u);
  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0);
}

TEST(HostileTopics, ForgedLinesAndTopicFloodsStayBounded) {
  Running r;
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  const std::string rtc = fmt::format("gw/{}/setRTCOffset", kGatewayUid);
  // A payload that would write a line of its own and clear the operator's terminal.
  publishTo(r.broker.port(), rtc, "1.5\n[GW Log] forged line\x1b[2J");
  ASSERT_GE(r.gw->waitForLine("invalid number", 20s), 0) << r.gw->transcript();

  std::size_t before = 0;
  for (const auto& l : r.gw->lines()) before += l.size() + 1;
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "m\n";
  publishLines(r.broker.port(), "tx/" + std::string(65000, 'x'), lines);
  // Delivered in order: once a later command is refused, the flood has been read. Its line shares
  // the flood limit, so it is sent until one gets through.
  ASSERT_TRUE(waitUntil(
      [&] {
        publishTo(r.broker.port(), rtc, "after");
        return r.gw->waitForLine("invalid number: 'after'", 300ms) >= 0;
      },
      30s, "a refusal after the flood"));
  ASSERT_GE(r.gw->waitForLine("Log flood: ", 20s), 0);
  std::size_t after = 0;
  for (const auto& l : r.gw->lines()) {
    after += l.size() + 1;
    EXPECT_EQ(l.find('\x1b'), std::string::npos);
    EXPECT_NE(l.rfind("[GW Log] forged", 0), 0u) << l;
  }
  EXPECT_LT(after - before, 1u << 20) << "bytes of log for 1,000 messages on a 65,000-byte topic";
  EXPECT_GE(r.gw->countLines("1.5\\n[GW Log] forged line\\x1b[2J"), 1);
  EXPECT_TRUE(readingArrives(*r.sim, *r.sub, readingsOf(*r.sub, 5000), 20s));
  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0);
}

TEST(LostHat, HatUnpluggedAndBackOnTheSameLinkIsRecoveredInProcess) {
  Broker broker;
  auto opt = simOptions(3);
  opt.link = tempLink();
  auto sim = std::make_unique<HatSim>(opt);
  sim->start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw({.device = opt.link, .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim->nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_TRUE(readingArrives(*sim, sub, 0, 20s)) << gw.transcript();

  sim->stop();  // the pty closes: the gateway's side reads a hang-up
  int lost = gw.waitForLine("Serial device " + opt.link + " lost", 20s);
  ASSERT_GE(lost, 0) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Cannot open serial device " + opt.link, 20s, false, lost), 0)
      << gw.transcript();
  // Checks that several more attempts go by without another line.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(gw.countLines("Cannot open serial device"), 1) << gw.transcript();

  opt.version = 2;  // the board that comes back may run other firmware
  sim = std::make_unique<HatSim>(opt);
  sim->start();
  ASSERT_GE(gw.waitForLine("is back; starting the gateway again", 20s), 0) << gw.transcript();
  ASSERT_TRUE(sim->nextFrame("TC", 20s)) << gw.transcript();
  std::size_t before = readingsOf(sub, 5000);
  EXPECT_TRUE(readingArrives(*sim, sub, before, 20s)) << gw.transcript();
  EXPECT_FALSE(gw.waitExit(0ms).has_value());
  EXPECT_EQ(gw.countLines(" lost: "), 1) << gw.transcript();
  EXPECT_GE(gw.countLines("Sent command 'r' (run app) to bootloader."), 2);
  // Connected again after the loss (the line may still be on its way to the reader).
  EXPECT_GE(gw.waitForLine("Connected to MQTT broker", 20s, false, lost), 0) << gw.transcript();
  // No standby command to a hat that is gone.
  EXPECT_EQ(gw.countLines("Putting Gateway Hat in standby mode"), 0);

  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
}

TEST(LostHat, HatThatNeverComesBackLeavesAnIdleDaemonThatStillStops) {
  Broker broker;
  auto opt = simOptions(1);
  opt.link = tempLink();
  HatSim sim(opt);
  sim.start();
  GatewayProcess gw({.device = opt.link, .mqttPort = broker.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  sim.stop();
  ASSERT_GE(gw.waitForLine("Cannot open serial device", 20s), 0) << gw.transcript();

  long before = cpuTicks(gw.pid());
  // Checks that the waiting daemon does NOT use the CPU over this time.
  std::this_thread::sleep_for(3s);
  long used = cpuTicks(gw.pid()) - before;
  EXPECT_LE(used, 10) << "CPU ticks while waiting for the device";  // 0.1 s in 3 s at most
  EXPECT_FALSE(gw.waitExit(0ms).has_value());

  gw.signal(SIGTERM);
  auto t0 = Clock::now();
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
  EXPECT_LE(Clock::now() - t0, 2s);
}

TEST(LineNoise, OneMegabyteOfNoiseGivesBoundedLogAndReadingsGoOn) {
  Running r(simOptions(1));
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  ASSERT_TRUE(readingArrives(*r.sim, *r.sub, 0, 20s)) << r.gw->transcript();
  std::size_t logBefore = 0;
  for (const auto& l : r.gw->lines()) logBefore += l.size() + 1;

  r.sim->sendNoise(1 << 20, 12345);
  std::size_t have = readingsOf(*r.sub, 5000);
  EXPECT_TRUE(readingArrives(*r.sim, *r.sub, have, 90s)) << r.gw->transcript().substr(0, 3000);

  // The summary of what was left out comes when its second is over.
  EXPECT_GE(r.gw->waitForLine("Log flood: ", 20s), 0) << r.gw->transcript().substr(0, 3000);
  // Everything the noise made the daemon log is in once a line sent after it is.
  r.sim->sendLog("after the noise");
  EXPECT_GE(r.gw->waitForLine("[GW Log] after the noise", 20s, true), 0);
  std::size_t logAfter = 0;
  for (const auto& l : r.gw->lines()) logAfter += l.size() + 1;
  EXPECT_LT(logAfter - logBefore, 200u * 1024) << "bytes of log for 1 MB of noise";
  EXPECT_GE(r.gw->countLines("Garbage Msg Start: "), 1);
  EXPECT_FALSE(r.gw->waitExit(0ms).has_value());
  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0);
}

Bytes statusRecord(std::uint8_t seed) {
  Bytes b(44);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(seed + i);
  return b;
}

void writeFile(const std::string& path, const Bytes& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  out.close();
  ::chmod(path.c_str(), 0666);  // the daemon runs as another user
}

TEST(LineNoise, AHatThatLogsWithoutEndGetsTheFloodLimit) {
  Running r;
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  auto start = Clock::now();
  for (int i = 0; i < 5000; ++i) r.sim->sendLog(fmt::format("flood {}\x1b[2J", i));
  // The same limit holds the line after the flood back until a second has passed.
  ASSERT_TRUE(waitUntil(
      [&] {
        r.sim->sendLog("after the flood");
        return r.gw->waitForLine("[GW Log] after the flood", 300ms, true) >= 0;
      },
      60s, "a hat log line after the flood"));
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
  int shown = r.gw->countLines("[GW Log] flood ");
  // Twenty a second, plus the second that was running.
  EXPECT_LE(shown, 20 * (seconds + 2)) << seconds << " s";
  EXPECT_GE(shown, 1);
  EXPECT_GE(r.gw->countLines("[GW Log] flood 0\\x1b[2J"), 1);
  EXPECT_GE(r.gw->countLines("Log flood: "), 1);
  EXPECT_TRUE(readingArrives(*r.sim, *r.sub, readingsOf(*r.sub, 5000), 20s));
  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0);
}

TEST(StatusFiles, OneShortFileCostsOnlyItsNode) {
  Running r(simOptions(1), [](GatewayProcess& gw) {
    writeFile(gw.stateDir() + "/6001.status", statusRecord(1));
    Bytes shortOne = statusRecord(2);
    shortOne.resize(20);
    writeFile(gw.stateDir() + "/6002.status", shortOne);
    writeFile(gw.stateDir() + "/6003.status", statusRecord(3));
  });
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  auto frames = r.sim->framesSoFar();
  std::vector<std::uint32_t> peers;
  for (const auto& f : frames)
    if (f.code == "PS") peers.push_back(getBe32(f.bytes, 7));
  std::sort(peers.begin(), peers.end());
  EXPECT_EQ(peers, (std::vector<std::uint32_t>{6001, 6003}));
  EXPECT_EQ(r.gw->countLines("Skipping node 6002: status file " + r.gw->stateDir() +
                             "/6002.status has 20 bytes"),
            1)
      << r.gw->transcript();
  EXPECT_TRUE(readingArrives(*r.sim, *r.sub, 0, 20s)) << r.gw->transcript();
  r.gw->signal(SIGTERM);
  EXPECT_EQ(r.gw->waitExit(20s), 0);
}

TEST(StateDirectory, MissingOrUnwritableStopsTheStartBeforeAnyReset) {
  HatSim sim(simOptions(1));
  sim.start();
  {
    GatewayProcess gw({.device = sim.devicePath()});
    std::filesystem::remove_all(gw.stateDir());
    gw.start();
    ASSERT_EQ(gw.waitExit(20s), 1) << gw.transcript();
    EXPECT_EQ(gw.countLines("Start-up failed: state directory " + gw.stateDir() +
                            " is not usable: No such file or directory"),
              1)
        << gw.transcript();
  }
  {
    GatewayProcess gw({.device = sim.devicePath()});
    ::chmod(gw.stateDir().c_str(), 0755);  // root's; the daemon drops to another account
    gw.start();
    ASSERT_EQ(gw.waitExit(20s), 1) << gw.transcript();
    if (::getuid() == 0)
      EXPECT_EQ(gw.countLines("Start-up failed: state directory " + gw.stateDir() +
                              " is not writable by the account 'daemon'"),
                1)
          << gw.transcript();
    else
      EXPECT_EQ(gw.countLines("Start-up failed: state directory " + gw.stateDir()), 1)
          << gw.transcript();
  }
  EXPECT_EQ(sim.stats().opens, 0u);  // the hat was never touched
}

TEST(WindDown, CommandBurstDuringStopDoesNotHangIt) {
  Running r(simOptions(3));
  ASSERT_TRUE(r.ready()) << r.gw->transcript();
  ASSERT_GE(r.gw->waitForLine("Subscribed mid", 20s), 0) << r.gw->transcript();
  std::string topic = fmt::format("gw/{}/setRTCOffset", kGatewayUid);
  std::thread burst([&] {
    for (int i = 0; i < 30; ++i) publishTo(r.broker.port(), topic, "1.5");
  });
  // The stop comes while the burst is under way.
  EXPECT_GE(r.gw->waitForLine("RECV MSG on topic " + topic, 20s), 0) << r.gw->transcript();
  r.gw->signal(SIGTERM);
  auto t0 = Clock::now();
  auto rc = r.gw->waitExit(20s);
  burst.join();
  ASSERT_TRUE(rc.has_value()) << r.gw->transcript();
  EXPECT_EQ(*rc, 0) << r.gw->transcript();
  EXPECT_LE(Clock::now() - t0, 3s);
}

}  // namespace
}  // namespace ostrel::test::gateway_hardening
