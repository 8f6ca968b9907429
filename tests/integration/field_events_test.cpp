// The commonest events in a house, against the real daemon. One rig: mosquitto, a TCP proxy that
// is the daemon's only way to it ("away" closes every connection), the hat simulator as a process
// (SIGSTOP freezes it, pty and all), a subscriber on the broker and a spool directory. A row is a
// set-up, a script of events and waits, and checks that judge what was recorded (lines with the
// moment each was read, messages): a failed step is reported and the rest still runs, so that
// every row gives its figures.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "tests/support/Broker.hpp"
#include "tests/support/Flood.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/TcpProxy.hpp"
#include "tests/support/Wait.hpp"

namespace ostrel::test::field_events {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Result = ::testing::AssertionResult;

struct Setup {
  std::vector<std::string> hat;  // the simulator's options besides the defaults below
  bool awayAtBoot = false;
  std::map<std::string, std::map<std::string, std::string>> config;
  std::string acl;         // the broker's ACL for anonymous clients (none: everything allowed)
  bool slowSpool = false;  // each write and sync in the spool directory takes 300 ms
};

// The broker's extra configuration: the ACL file, written next to nothing else.
std::string brokerExtra(const Setup& s) {
  if (s.acl.empty()) return {};
  char path[] = "/tmp/ostrel-acl-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::close(fd);
  std::ofstream(path) << s.acl;
  return std::string("acl_file ") + path + "\n";
}

struct Rig {
  explicit Rig(Setup s) : setup(std::move(s)) {
    proxy.setDown(setup.awayAtBoot);
    std::vector<std::string> argv = {OSTREL_BIN_DIR "/ostrel-hatsim", "--link", link,
                                     "--prompt-interval-ms", "300"};
    argv.insert(argv.end(), setup.hat.begin(), setup.hat.end());
    hat.startProgram(argv);
    hat.waitForLine("hatsim: hat on ", 10s);
  }
  // A daemon on the rig's state and spool: the first, or the next after a kill.
  void boot() {
    GatewayConfig cfg{.device = link, .mqttPort = proxy.port(), .extra = setup.config};
    cfg.extra["MQTT"]["spool-dir"] = hat.stateDir();
    if (!daemons.empty()) cfg.stateDir = daemons.front()->stateDir();
    daemons.push_back(std::make_unique<GatewayProcess>(cfg));
    std::map<std::string, std::string> env;
    if (setup.slowSpool)
      env = {{"LD_PRELOAD", OSTREL_LIB_DIR "/libslowdisk.so"}, {"OSTREL_SLOW_DIR", hat.stateDir()}};
    daemons.back()->start({}, env);
    at["boot"] = Clock::now();
  }
  GatewayProcess& daemon() { return *daemons.back(); }
  // Flood readings the current daemon took, each with the moment its line was read.
  std::vector<std::pair<unsigned long, Clock::time_point>> taken() {
    std::vector<std::pair<unsigned long, Clock::time_point>> out;
    auto lines = daemon().lines();
    for (int i = 0; i < static_cast<int>(lines.size()); ++i)
      if (lines[i].find("Sensor #987149 ") != std::string::npos)
        if (auto seq = seqAfter(lines[i], "]: ")) out.emplace_back(*seq, *daemon().lineTime(i));
    return out;
  }
  // Flood readings that reached the subscriber more than once.
  std::size_t duplicates() {
    std::map<unsigned long, int> seen;
    std::size_t twice = 0;
    for (const auto& m : sub.messages())
      if (auto seq = seqAfter(m.payload, "\"payload\": \""); seq && ++seen[*seq] == 2) ++twice;
    return twice;
  }
  std::size_t arrived() {
    std::set<unsigned long> got;
    for (const auto& m : sub.messages())
      if (auto seq = seqAfter(m.payload, "\"payload\": \"")) got.insert(*seq);
    return std::count_if(owed.begin(), owed.end(), [&](auto s) { return got.count(s); });
  }
  // The largest value of a health report's field (-1: no report).
  long long most(const char* field) {
    long long most = -1;
    for (const auto& m : sub.messages())
      if (m.topic.ends_with("/health"))
        most = std::max(most, nlohmann::json::parse(m.payload).value(field, -1LL));
    return most;
  }
  long long mostSilence() { return most("hat_silent_s"); }

  Setup setup;
  Broker broker{std::nullopt, brokerExtra(setup)};
  TcpProxy proxy{broker.port(), [](int) { return TcpProxy::Mode::Forward; }};
  Subscriber sub{broker.port(), {"sensors/#", "gw/+/health"}};
  GatewayProcess hat{GatewayConfig{}};  // its directories hold the link and the spool
  std::string link = hat.dir() + "/hat";
  std::vector<std::unique_ptr<GatewayProcess>> daemons;
  std::map<std::string, Clock::time_point> at;  // named moments of the script
  std::set<unsigned long> owed;                 // taken while the broker was away
  std::vector<std::string> figures;
};

using Step = std::function<Result(Rig&)>;
struct Row {
  const char* name;
  Setup setup;
  std::vector<Step> script, checks;
};
void PrintTo(const Row& r, std::ostream* os) {
  *os << r.name;
}

Step event(std::string moment, std::function<void(Rig&)> fire) {
  return [=](Rig& r) {
    fire(r);
    r.at[moment] = Clock::now();
    return ::testing::AssertionSuccess();
  };
}
// The moment is taken before the signal: what the simulator does once it runs again comes after.
Step signalHat(std::string moment, int sig) {
  return [=](Rig& r) {
    r.at[moment] = Clock::now();
    r.hat.signal(sig);
    return ::testing::AssertionSuccess();
  };
}
Step until(std::string what, std::function<bool(Rig&)> holds, std::chrono::seconds limit = 20s) {
  return [=](Rig& r) { return waitUntil([&] { return holds(r); }, limit, what); };
}
Step says(bool ofHat, std::string text, int n = 1) {
  return until(fmt::format("{} x \"{}\"", n, text),
               [=](Rig& r) { return (ofHat ? r.hat : r.daemon()).countLines(text) >= n; });
}
Step taken(std::size_t n) {
  return until(fmt::format("{} readings", n), [=](Rig& r) { return r.taken().size() >= n; });
}
Step takenAfter(std::string moment) {
  return until("a reading after " + moment, [=](Rig& r) {
    auto t = r.taken();
    return !t.empty() && t.back().second > r.at[moment];
  });
}
Step away() {
  return [](Rig& r) {
    int from = static_cast<int>(r.daemon().lines().size());
    r.proxy.setDown(true);
    r.at["away"] = Clock::now();
    return Result(r.daemon().waitForLine("Disconnected from MQTT broker", 20s, false, from) >= 0);
  };
}
// The broker comes back: the readings taken since `since` (by default since it went, or since
// the boot) are owed.
Step back(std::string since = "") {
  return event("back", [since](Rig& r) {
    auto from = !since.empty() ? r.at[since] : r.at.count("away") ? r.at["away"] : r.at["boot"];
    for (auto& [seq, t] : r.taken())
      if (t >= from) r.owed.insert(seq);
    r.proxy.setDown(false);
  });
}
Step swallow(std::string moment, bool on) {
  return event(moment, [on](Rig& r) { r.proxy.swallowPublishes(on); });
}
Step swallowed(int n) {
  return until(fmt::format("{} publications swallowed", n),
               [n](Rig& r) { return r.proxy.swallowed() >= n; });
}
Step owedArrive() {
  return until(
      "the outage's readings", [](Rig& r) { return r.arrived() == r.owed.size(); }, 60s);
}

// A check: a figure for the report, and whether it is good.
Step check(std::string name, std::function<std::pair<std::string, bool>(Rig&)> judge) {
  return [=](Rig& r) {
    auto [figure, good] = judge(r);
    r.figures.push_back(name + " = " + figure);
    return good ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << name;
  };
}
std::string secs(Clock::duration d) {
  return fmt::format("{:.1f} s", std::chrono::duration<double>(d).count());
}
// "TC" follows every hello within `limit`.
// With `lastOnly`, a hello without its TC may come before the last one (a bring-up tried again).
Step wakeUpWithin(Clock::duration limit, bool lastOnly = false) {
  return check("hello -> TC, worst", [=](Rig& r) -> std::pair<std::string, bool> {
    Clock::duration worst{};
    int n = 0;
    for (int hl = r.hat.findLine("tx HL"); hl >= 0; hl = r.hat.findLine("tx HL", hl + 1), ++n) {
      int tc = r.hat.findLine("rx TC", hl), next = r.hat.findLine("tx HL", hl + 1);
      if (lastOnly && next >= 0) continue;
      if (tc < 0 || (next >= 0 && tc > next))
        return {fmt::format("none after hello {}", n + 1), false};
      worst = std::max(worst, *r.hat.lineTime(tc) - *r.hat.lineTime(hl));
    }
    return {secs(worst) + fmt::format(" over {} hellos", n), n > 0 && worst <= limit};
  });
}
Step resumedWithin(std::string moment, Clock::duration limit) {
  return check(moment + " -> next reading", [=](Rig& r) -> std::pair<std::string, bool> {
    for (auto& [seq, t] : r.taken())
      if (r.at.count(moment) && t > r.at[moment])
        return {secs(t - r.at[moment]), t - r.at[moment] <= limit};
    return {"none", false};
  });
}
Step nothingLost() {
  return check("outage readings delivered", [](Rig& r) {
    return std::pair{fmt::format("{} of {}", r.arrived(), r.owed.size()),
                     !r.owed.empty() && r.arrived() == r.owed.size()};
  });
}
// Lines that name the flood's sensor and say that a publication of it was given up.
Step noneOfTheSensorGivenUp() {
  return check("publications of sensor 987149 given up", [](Rig& r) {
    int n = 0;
    for (const auto& d : r.daemons)
      for (const auto& line : d->lines())
        if (line.find("sensors/987149/") != std::string::npos &&
            (line.find("set aside") != std::string::npos ||
             line.find("refused") != std::string::npos ||
             line.find("dropped") != std::string::npos))
          ++n;
    return std::pair{std::to_string(n), n == 0};
  });
}
Step linesOf(std::string text, int count) {
  return check("lines \"" + text + "\"", [=](Rig& r) {
    int n = 0;
    for (const auto& d : r.daemons) n += d->countLines(text);
    return std::pair{std::to_string(n), n == count};
  });
}
// The clock reads that waited in the frozen hat: read after the thaw, before its reset.
Step askedWhileFrozen(int count) {
  return check("questions to the frozen hat", [=](Rig& r) {
    auto lines = r.hat.lines();
    int n = 0;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
      if (*r.hat.lineTime(i) < r.at["thaw"]) continue;
      if (lines[i] == "hatsim: reset") break;
      n += lines[i] == "hatsim: rx RT";
    }
    return std::pair{std::to_string(n), n == count};
  });
}

const std::string kSilent = "Gateway Hat has fallen silent";
const Row kRows[] = {
    {"BrokerUnreachableAtBoot",
     {{"--flood", "300", "--rate", "100"}, true},
     {event("boot", &Rig::boot), taken(300), back(), says(true, "rx TC"), owedArrive()},
     {wakeUpWithin(10s), nothingLost()}},
    {"RestartAfterKillDuringOutage",
     {{"--rate", "20"}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(20), away(), taken(40),
      event("kill", [](Rig& r) { r.daemon().signal(SIGKILL); }),
      until("the kill", [](Rig& r) { return r.daemon().waitExit(0ms).has_value(); }),
      event("boot", &Rig::boot), takenAfter("boot"), taken(60), back(), says(true, "rx TC", 2),
      owedArrive()},
     {wakeUpWithin(10s), resumedWithin("boot", 5s), nothingLost()}},
    {"HatResetDuringOutage",
     {{"--rate", "20"}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(20), away(),
      signalHat("reset", SIGUSR2), takenAfter("reset"), taken(60), back(), says(true, "rx TC", 2),
      owedArrive()},
     {wakeUpWithin(10s), resumedWithin("reset", 5s), nothingLost()}},
    // Idle, the hat is asked and answers, which sets no clock; frozen, it is brought up again.
    {"SilentHatVersion2",
     {{"--version", "2", "--node", "5000:7:70:0"}, false, {{"HAT", {{"silence-check-s", "2"}}}}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), says(true, "rx RT", 2),
      signalHat("frozen", SIGSTOP), says(false, kSilent), signalHat("thaw", SIGCONT),
      says(true, "rx TC", 2)},
     {linesOf(kSilent, 1), askedWhileFrozen(2), wakeUpWithin(10s, true), linesOf("HAT Time", 0)}},
    {"SilentHatVersion1",
     {{"--version", "1", "--rate", "20"},
      false,
      {{"HAT", {{"silence-check-s", "2"}}}, {"MQTT", {{"health-interval", "1"}}}}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(20),
      signalHat("frozen", SIGSTOP), until("silence", [](Rig& r) { return r.mostSilence() >= 6; }),
      signalHat("thaw", SIGCONT), takenAfter("thaw")},
     {check("hat_silent_s, most",
            [](Rig& r) {
              return std::pair{std::to_string(r.mostSilence()), r.mostSilence() >= 6};
            }),
      linesOf(kSilent, 0), linesOf("Gateway Hat has reset itself", 0)}},
};

// The gateway's connection, as the broker sees it through the proxy.
const Row kMqttRows[] = {
    // Wi-Fi drops twice within seconds with the same readings in flight. After a close without
    // a reason, what was in flight goes out again one at a time: the second drop comes while
    // the first of them is on its way.
    {"NetworkDropsTwice",
     {{"--rate", "20"}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(20),
      swallow("lossFrom", true), swallowed(3), away(),
      event("reconnect", [](Rig& r) { r.proxy.setDown(false); }),
      says(false, "Connected to MQTT broker", 2), swallowed(4), away(), swallow("heal", false),
      back("lossFrom"), owedArrive()},
     {nothingLost(), noneOfTheSensorGivenUp()}},
    // Pings pass, publications are taken and never acknowledged for 25 s, then the broker heals;
    // the acknowledgement time-out is 30 s at this keep-alive.
    {"BrokerStopsAcknowledging",
     {{"--rate", "20"}, false, {{"MQTT", {{"keepalive", "15"}}}}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(20),
      swallow("lossFrom", true),
      until(
          "25 s", [](Rig& r) { return Clock::now() - r.at["lossFrom"] >= 25s; }, 30s),
      swallow("heal", false), back("lossFrom"), owedArrive()},
     {nothingLost(), noneOfTheSensorGivenUp(),
      check("acknowledgements back -> all delivered",
            [](Rig& r) -> std::pair<std::string, bool> {
              auto d = Clock::now() - r.at["heal"];
              return {secs(d), d <= 60s};
            })}},
    // The broker refuses another sensor's topic and closes the connection for it each time.
    {"BrokerDeniesAnotherSensor",
     {{"--rate", "20", "--flood-uids", "2"},
      false,
      {},
      "topic deny sensors/987150/#\ntopic readwrite #\n"},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(200), back("boot"),
      owedArrive()},
     {nothingLost(), noneOfTheSensorGivenUp(), linesOf("same client identifier", 0)}},
};

// The spool remembers how far the broker has acknowledged at most once a second: a kill right
// after 10,000 spooled readings were delivered sends about a second's worth again, not them all.
const Row kSpoolRows[] = {
    {"KillRightAfterTheSpoolWasDelivered",
     {{"--rate", "1000"}},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(1000), away(), taken(11000),
      back(), event("back1", [](Rig&) {}), owedArrive(), event("delivered", [](Rig&) {}), away(),
      until("100 readings on disk",
            [](Rig& r) {
              auto t = r.taken();
              return std::count_if(t.begin(), t.end(),
                                   [&](auto& p) { return p.second > r.at["away"]; }) >= 100;
            }),
      event("kill",
            [](Rig& r) {
              r.daemon().signal(SIGKILL);
              for (auto& [seq, t] : r.taken())
                if (t > r.at["away"]) r.owed.insert(seq);
            }),
      until("the kill", [](Rig& r) { return r.daemon().waitExit(0ms).has_value(); }),
      event("boot", &Rig::boot), takenAfter("boot"), back("boot"), owedArrive()},
     {check("sent again after the kill, at most a second of the spool's delivery",
            [](Rig& r) -> std::pair<std::string, bool> {
              auto again = r.duplicates();
              double secs =
                  std::chrono::duration<double>(r.at["delivered"] - r.at["back1"]).count();
              double perSecond = 10000 / std::max(secs, 0.001);
              return {fmt::format("{} again; 10,000 were delivered in {:.1f} s", again, secs),
                      again <= perSecond * 1.5};
            })}},
};

// A disk where each write and sync of the spool takes 300 ms, through a minute's outage at
// 200 readings a second: the loop never waits for it.
const Row kSlowDiskRows[] = {
    {"MinuteOutageOnASlowDisk",
     {{"--rate", "200"}, false, {{"MQTT", {{"health-interval", "1"}}}}, "", true},
     {event("boot", &Rig::boot), says(false, "Subscribed mid"), taken(200), away(),
      until(
          "a minute", [](Rig& r) { return Clock::now() - r.at["away"] >= 60s; }, 70s),
      back(), owedArrive()},
     {nothingLost(), check("loop_delay_max_ms, most",
                           [](Rig& r) {
                             auto ms = r.most("loop_delay_max_ms");
                             return std::pair{std::to_string(ms), ms >= 0 && ms < 50};
                           })}},
};

class FieldEvents : public ::testing::TestWithParam<Row> {};

TEST_P(FieldEvents, Row) {
  const Row& row = GetParam();
  Rig rig(row.setup);
  for (std::size_t i = 0; i < row.script.size(); ++i)
    if (Result ok = row.script[i](rig); !ok)
      ADD_FAILURE() << "step " << i + 1 << ": " << ok.message();
  for (const auto& check : row.checks) EXPECT_TRUE(check(rig));
  for (const auto& f : rig.figures) std::cout << "[ figure   ] " << row.name << ": " << f << "\n";
  if (HasFailure()) std::cout << rig.daemon().transcript() << rig.hat.transcript();
}

INSTANTIATE_TEST_SUITE_P(Rows, FieldEvents, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });
// Not in the sanitizer lane (the shim cannot be preloaded before its runtime): labelled stress.
INSTANTIATE_TEST_SUITE_P(SlowDisk, FieldEvents, ::testing::ValuesIn(kSlowDiskRows),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Spool, FieldEvents, ::testing::ValuesIn(kSpoolRows),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Mqtt, FieldEvents, ::testing::ValuesIn(kMqttRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel::test::field_events
