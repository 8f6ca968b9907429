// The real daemon keeps bringing the hat up: a hello it cannot take, a gateway.uid it cannot
// write, a hat that resets itself, and clock commands that are slow, fail or hang never leave it
// running without readings; the watchdog stops when it is stuck.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/NotifySocket.hpp"
#include "tests/support/TcpProxy.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_recovery {
namespace {

using namespace std::chrono_literals;
using hatsim::HatSim;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

hatsim::Options simOptions(int version = 3) {
  hatsim::Options o;
  o.version = version;
  o.promptIntervalMs = 300;
  o.nodes.push_back({5000, 7, 71, {0x01, 0x14}, 0});
  o.nodes.push_back({5001, 8, 72, {0x01, 0x15}, 0});  // sent only while the broker is away
  return o;
}

std::size_t readingsOf(const std::vector<Received>& messages, const char* uid = "5000") {
  std::size_t n = 0;
  for (const auto& m : messages) n += m.topic.rfind(std::string("sensors/") + uid + "/", 0) == 0;
  return n;
}

// A reading sent now reaches the broker: one more than `before` within `limit`.
bool readingArrives(HatSim& sim, Subscriber& sub, std::chrono::milliseconds limit) {
  std::size_t before = readingsOf(sub.messages());
  auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    sim.sendSensor(0);
    if (sub.waitFor([&](const auto& v) { return readingsOf(v) > before; }, 1s)) return true;
  }
  return false;
}

// A faulty hello is refused, the hat is brought up again from its reset, and once the hat sends a
// good hello the readings flow, all in one process.
struct HelloFault {
  const char* name;
  std::function<void(hatsim::Options&)> breakIt;
  const char* cause;
};
// Test listings show the name, not the bytes of the function object.
void PrintTo(const HelloFault& f, std::ostream* os) {
  *os << f.name;
}

class BadHello : public ::testing::TestWithParam<HelloFault> {};

TEST_P(BadHello, IsBroughtUpAgainUntilReadingsFlow) {
  const auto& fault = GetParam();
  Broker broker;
  auto opt = simOptions();
  fault.breakIt(opt);
  HatSim sim(opt);
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();

  int failed = gw.waitForLine("Bring-up failed: ", 20s);
  ASSERT_GE(failed, 0) << gw.transcript();
  EXPECT_NE(gw.lines()[failed].find(fault.cause), std::string::npos) << gw.lines()[failed];
  EXPECT_NE(gw.lines()[failed].find("bringing the hat up again in 1 s (attempt 1)"),
            std::string::npos)
      << gw.lines()[failed];
  EXPECT_FALSE(sim.nextFrame("TC", 0ms));

  sim.configure([](hatsim::Options& o) { o = simOptions(); });
  ASSERT_TRUE(sim.nextFrame("TC", 30s)) << gw.transcript();
  EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  EXPECT_FALSE(gw.waitExit(0ms).has_value());
  // The fresh bring-up went through the bootloader again.
  EXPECT_GE(gw.countLines("Sent command 'r' (run app) to bootloader."), 2);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0) << gw.transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BadHello,
    ::testing::Values(HelloFault{"SerialByte", [](auto& o) { o.serial = "QGH00000000\xC3"; },
                                 "hat serial number is not ASCII"},
                      HelloFault{"ShortBlock", [](auto& o) { o.helloBytes = 3 + 12; },
                                 "hat information block of 12 bytes is too short"},
                      HelloFault{
                          "VersionByte", [](auto& o) { o.version = 7; },
                          "the hat has not said hello within 10 s (Unexpected protocol version "
                          "b'\\x07')"}),
    [](const auto& info) { return std::string(info.param.name); });

// A hat this process cannot reset (no reset on open, its reset line out of reach once root is
// given up) stays silent after a bad hello: after three silent start-up waits the process ends
// with status 3, and the service manager's restart resets the hat as root.
TEST(BadHelloWithoutReset, EndsTheProcessSoThatItsRestartResetsTheHat) {
  Broker broker;
  auto opt = simOptions();
  opt.resetOnOpen = false;
  opt.serial = "QGH00000000\xC3";
  HatSim sim(opt);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  gw.start();
  EXPECT_EQ(gw.waitExit(60s), 3) << gw.transcript();
  EXPECT_EQ(gw.countLines("Bring-up failed: "), 3) << gw.transcript();
  EXPECT_EQ(gw.countLines("Bring-up failed: the hat did not start up within 6000 ms"), 2);
  EXPECT_EQ(gw.countLines("Timed out waiting for Radio Hat to start up"), 1);
}

// gateway.uid cannot be written (its temporary file is blocked, as on a full disk): the bring-up
// is tried again with growing pauses until the disk is freed.
TEST(UidFile, UnwritableUntilFreedThenReadingsFlow) {
  Broker broker;
  HatSim sim(simOptions());
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  fs::path blocker = fs::path(gw.stateDir()) / "gateway.uid.tmp";
  fs::create_directory(blocker);
  gw.start();

  int second = gw.waitForLine("(attempt 2)", 30s);
  ASSERT_GE(second, 0) << gw.transcript();
  EXPECT_NE(gw.lines()[second].find("cannot write " + gw.stateDir() + "/gateway.uid"),
            std::string::npos)
      << gw.lines()[second];
  EXPECT_NE(gw.lines()[second].find("again in 2 s"), std::string::npos) << gw.lines()[second];
  EXPECT_EQ(gw.countLines("Bring-up failed: "), 2);
  EXPECT_FALSE(fs::exists(fs::path(gw.stateDir()) / "gateway.uid"));

  fs::remove(blocker);
  ASSERT_TRUE(sim.nextFrame("TC", 30s)) << gw.transcript();
  EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  EXPECT_EQ(fs::file_size(fs::path(gw.stateDir()) / "gateway.uid"), 4u);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0) << gw.transcript();
}

// The hat resets itself mid-stream (its bootloader prompt or its start-up line appears): the
// gateway brings it up again in the same process, each time, and readings taken while the broker
// was away are delivered afterwards.
TEST(HatReset, EachResetIsFollowedByAFreshBringUpAndKeepsBufferedReadings) {
  Broker broker;
  TcpProxy proxy(broker.port(), [](int) { return TcpProxy::Mode::Forward; });
  HatSim sim(simOptions());
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = proxy.port()});
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 15s)) << gw.transcript();
  ASSERT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  pid_t pid = gw.pid();

  struct Trigger {
    const char* name;
    std::function<void()> fire;
  };
  std::vector<Trigger> triggers = {
      {"bootloader prompt", [&] { sim.reset(); }},
      {"start-up line", [&] { sim.sendLog("Gateway Module started up"); }},
      {"bootloader prompt again", [&] { sim.reset(); }},
  };
  int from = 0;
  for (const auto& t : triggers) {
    SCOPED_TRACE(t.name);
    t.fire();
    int at = gw.waitForLine("Gateway Hat has reset itself: ", 10s, false, from);
    ASSERT_GE(at, 0) << gw.transcript();
    // Right away: the bring-up before it was good.
    EXPECT_NE(gw.lines()[at].find("bringing the hat up again in 0 s"), std::string::npos)
        << gw.lines()[at];
    from = at + 1;
    ASSERT_TRUE(sim.nextFrame("TC", 15s)) << gw.transcript();
    EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  }
  EXPECT_EQ(gw.countLines("Gateway Hat has reset itself: "), 3);
  EXPECT_EQ(gw.countLines("Bring-up failed"), 0) << gw.transcript();
  EXPECT_EQ(gw.countLines("Putting Gateway Hat in standby mode"), 0);

  // Broker away, two readings taken, then the hat resets: both reach the broker once it is back.
  // Each bring-up above disconnected once too: only a line after this point tells.
  int down = static_cast<int>(gw.lines().size());
  proxy.setDown(true);
  ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 10s, false, down), 0)
      << gw.transcript();
  sim.sendSensor(1);
  sim.sendSensor(1);
  int first = gw.waitForLine("Sensor #5001 ", 5s);
  ASSERT_GE(first, 0) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Sensor #5001 ", 5s, false, first + 1), 0) << gw.transcript();
  sim.reset();
  ASSERT_GE(gw.waitForLine("Gateway Hat has reset itself: ", 10s, false, from), 0)
      << gw.transcript();
  ASSERT_GE(gw.waitForLine("not reachable; retrying", 15s, false, from), 0) << gw.transcript();
  EXPECT_EQ(readingsOf(sub.messages(), "5001"), 0u);
  proxy.setDown(false);
  EXPECT_TRUE(sub.waitFor([&](const auto& v) { return readingsOf(v, "5001") == 2; }, 20s))
      << gw.transcript();
  ASSERT_TRUE(sim.nextFrame("TC", 15s)) << gw.transcript();
  EXPECT_EQ(gw.pid(), pid);
  EXPECT_FALSE(gw.waitExit(0ms).has_value());
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0) << gw.transcript();
}

// Fake timedatectl and sudo first on PATH. timedatectl keeps NTP= in a file, records each call,
// and sleeps where a <what>.sleep file says (show.sleep once, ntpoff.sleep each time). set-ntp
// false takes effect before its sleep, as a timedated that is slow to answer.
class FakeClockCommands {
 public:
  FakeClockCommands() {
    dir_ = fs::temp_directory_path() /
           ("ostrel-fakeclock-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ::chmod(dir_.c_str(), 0777);  // the daemon writes here after dropping its privileges
    write("timedatectl", R"SH(#!/bin/sh
D="$(dirname "$0")"
echo "timedatectl $*" >> "$D/calls"
case "$1" in
  show)
    if [ -f "$D/show.sleep" ]; then s=$(cat "$D/show.sleep"); rm -f "$D/show.sleep"; sleep "$s"; fi
    echo "NTP=$(cat "$D/ntp")"
    echo "NTPSynchronized=$(cat "$D/synced")";;
  set-ntp)
    if [ "$2" = false ]; then
      echo no > "$D/ntp"
      if [ -f "$D/ntpoff.sleep" ]; then sleep "$(cat "$D/ntpoff.sleep")"; fi
    else
      echo yes > "$D/ntp"
    fi;;
esac
exit 0
)SH",
          0755);
    write("sudo", "#!/bin/sh\nexec \"$@\"\n", 0755);
    write("ntp", "yes\n", 0666);
    write("synced", "no\n", 0666);
    write("calls", "", 0666);
  }
  ~FakeClockCommands() { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& text, int mode = 0666) {
    std::ofstream(dir_ / name) << text;
    ::chmod((dir_ / name).c_str(), static_cast<mode_t>(mode));
  }
  std::string read(const std::string& name) const {
    std::ifstream in(dir_ / name);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::map<std::string, std::string> env() const {
    const char* path = std::getenv("PATH");
    return {{"PATH", dir_.string() + ":" + (path ? path : "/usr/bin:/bin")}};
  }
  bool waitForCall(const std::string& call, std::chrono::milliseconds limit) const {
    auto until = Clock::now() + limit;
    while (read("calls").find(call) == std::string::npos) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

 private:
  fs::path dir_;
  static inline int counter_ = 0;
};

GatewayConfig clockConfig(const HatSim& sim, const Broker& broker) {
  return {.device = sim.devicePath(),
          .mqttPort = broker.port(),
          .syncInterval = 900,
          .ntpMin = 2,
          .ntpMax = 4};
}

// A status read slower than the bring-up waits for: the radio is woken and readings flow first,
// the hat's clock job follows once the read is done.
TEST(ClockCommands, SlowStatusReadDoesNotHoldUpTheWakeUp) {
  FakeClockCommands fake;
  fake.write("show.sleep", "4");
  fake.write("synced", "yes\n");
  Broker broker;
  HatSim sim(simOptions(2));
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw(clockConfig(sim, broker));
  gw.start({}, fake.env());
  auto tc = sim.nextFrame("TC", 15s);
  ASSERT_TRUE(tc) << gw.transcript();
  EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  EXPECT_GE(gw.waitForLine("Time synchronization status not read within 2000 ms", 5s), 0)
      << gw.transcript();
  auto st = sim.nextFrame("ST", 10s);
  ASSERT_TRUE(st) << gw.transcript();
  EXPECT_GT(st->at, tc->at);
  EXPECT_GE(gw.waitForLine("NTP synchronized: True", 5s), 0);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0) << gw.transcript();
}

// A status read that hangs past its time-out is logged once, the gateway runs on, and the
// synchroniser's next poll reads the status and pushes the time to the hat.
TEST(ClockCommands, HangingStatusReadIsRetriedOnTheSchedule) {
  FakeClockCommands fake;
  fake.write("show.sleep", "30");
  fake.write("synced", "yes\n");
  Broker broker;
  HatSim sim(simOptions(2));
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  GatewayProcess gw(clockConfig(sim, broker));
  gw.start({}, fake.env());
  ASSERT_TRUE(sim.nextFrame("TC", 15s)) << gw.transcript();
  EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  int failed = gw.waitForLine(
      "Could not read the time synchronization status: command 'timedatectl show' timed out "
      "after 10 s",
      15s);
  ASSERT_GE(failed, 0) << gw.transcript();
  // Counted as unsynchronised: the hat is asked for its time; the poll then finds network time.
  ASSERT_TRUE(sim.nextFrame("ST", 10s)) << gw.transcript();
  EXPECT_GE(gw.waitForLine("NTP synchronized: True", 5s, false, failed), 0) << gw.transcript();
  EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0) << gw.transcript();
}

// "set-ntp false" that outlasts its time-out (timedated switched it off all the same): the real
// state is read, the clock is set from the hat, NTP is switched on again, and readings flow
// throughout. Stopping the daemon while "set-ntp false" still runs switches NTP on at exit.
TEST(ClockCommands, NtpEndsOnWhenSwitchingItOffTimesOutOrTheDaemonStops) {
  for (bool stopMeanwhile : {false, true}) {
    SCOPED_TRACE(stopMeanwhile ? "stopped meanwhile" : "timed out");
    FakeClockCommands fake;
    fake.write("ntpoff.sleep", "17");
    Broker broker;
    HatSim sim(simOptions(2));
    sim.start();
    Subscriber sub(broker.port(), {"sensors/#"});
    GatewayProcess gw(clockConfig(sim, broker));
    gw.start({}, fake.env());
    ASSERT_TRUE(sim.nextFrame("TC", 15s)) << gw.transcript();
    ASSERT_TRUE(fake.waitForCall("timedatectl set-ntp false", 15s)) << gw.transcript();
    EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
    if (stopMeanwhile) {
      gw.signal(SIGTERM);
      EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
    } else {
      ASSERT_GE(gw.waitForLine("Could not switch off automatic time synchronization: command "
                               "'sudo timedatectl set-ntp false' timed out after 15 s",
                               20s),
                0)
          << gw.transcript();
      ASSERT_TRUE(fake.waitForCall("timedatectl set-ntp true", 10s)) << gw.transcript();
      EXPECT_NE(fake.read("calls").find("timedatectl set-time"), std::string::npos);
      EXPECT_TRUE(readingArrives(sim, sub, 10s)) << gw.transcript();
      gw.signal(SIGTERM);
      EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
    }
    EXPECT_EQ(fake.read("ntp"), "yes\n") << fake.read("calls") << gw.transcript();
    auto calls = fake.read("calls");
    EXPECT_EQ(calls.rfind("timedatectl set-ntp true"), calls.rfind("timedatectl set-ntp"));
  }
}

// Under a stand-in for systemd: pings while the gateway runs; a bring-up stuck in the encryption
// setup (the hat never confirms) stops them after a minute and the status line says where.
TEST(Watchdog, StuckBringUpStopsThePingsAndSaysWhere) {
  Broker broker;
  auto opt = simOptions();
  opt.localConfirm.withhold = true;
  HatSim sim(opt);
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  NotifySocket sock(gw.dir() + "/notify");
  gw.start({}, {{"NOTIFY_SOCKET", sock.path()}, {"WATCHDOG_USEC", "2000000"}});

  std::vector<std::pair<Clock::time_point, std::string>> got;
  auto collectUntil = [&](const std::function<bool()>& done, std::chrono::seconds limit) {
    auto until = Clock::now() + limit;
    while (!done() && Clock::now() < until)
      if (auto m = sock.receive(100ms)) got.emplace_back(Clock::now(), *m);
    return done();
  };
  auto has = [&](const std::string& prefix) {
    for (auto& [t, m] : got)
      if (m.rfind(prefix, 0) == 0) return true;
    return false;
  };
  ASSERT_TRUE(
      collectUntil([&] { return has("STATUS=Setting up encryption with the hat for "); }, 20s))
      << gw.transcript();
  auto settingUpSince = Clock::now();
  ASSERT_TRUE(
      collectUntil([&] { return has("STATUS=Stuck setting up encryption with the hat"); }, 75s))
      << gw.transcript();
  auto stuckAt = Clock::now();
  EXPECT_GE(stuckAt - settingUpSince, 55s);
  // Pings came while the stage was young, and none after it was declared stuck.
  std::size_t early = 0, late = 0;
  collectUntil([] { return false; }, 3s);
  for (auto& [t, m] : got) {
    if (m != "WATCHDOG=1") continue;
    if (t < settingUpSince + 50s) ++early;
    if (t > stuckAt) ++late;
  }
  EXPECT_GE(early, 10u);
  EXPECT_EQ(late, 0u);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(5s), 0) << gw.transcript();
}

}  // namespace
}  // namespace ostrel::test::gateway_recovery
