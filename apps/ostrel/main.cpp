// The ostrel launcher: options, configuration, signals, restart in the same process.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Tasks.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/gateway/Settings.hpp"
#include "ostrel/mqtt/PahoMqttClient.hpp"
#include "ostrel/nodeops/Companion.hpp"
#include "ostrel/observe/Monitor.hpp"
#include "ostrel/sys/Files.hpp"
#include "ostrel/sys/SystemdNotify.hpp"
#include "ostrel/time/ClockBeacon.hpp"

using namespace ostrel;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_HAT = 3;

// Every key the gateway reads, with its type and range, checked before anything starts.
void validateConfig(const Config& c) {
  for (const auto& line : configWarnings(c)) log(line);
  checkSettings(c);
  observe::monitorSettings(c);
}

long long radioId(const Config& c, std::optional<long long> option, const char* key,
                  const char* optionName) {
  long long v;
  if (option)
    v = *option;
  else if (c.has("GATEWAY", key))
    v = c.getInt("GATEWAY", key);
  else
    throw ConfigError(fmt::format("{} is required (or key '{}' in section [GATEWAY] of {})",
                                  optionName, key, c.path()));
  if (v < 0 || v > 255)
    throw ConfigError(fmt::format("{} must lie between 0 and 255, got {}", optionName, v));
  return v;
}

// What `systemctl status` shows: the hat's protocol version, the broker connection and the
// readings handed to the broker so far; before that, or when stuck, where the gateway is.
std::string statusLine() {
  auto& g = gw();
  if (g.progress.stage() != Stage::Running || g.progress.stuck() || !g.myProtocol)
    return g.progress.statusText();
  bool connected = g.client && g.client->isConnected();
  auto published = g.client ? g.client->stats().published : 0;
  std::string line =
      fmt::format("Hat protocol v{}, MQTT {}, {} publications", g.myProtocol->getVersion(),
                  connected ? "connected" : "not connected", published);
  auto silent = std::chrono::duration_cast<std::chrono::seconds>(
      g.liveness.silentFor(std::chrono::steady_clock::now()));
  if (silent >= g.liveness.period()) line += fmt::format(", hat silent for {} s", silent.count());
  return line;
}

const char* headline(BringupFailed::Cause cause) {
  switch (cause) {
    case BringupFailed::Cause::HatReset:
      return "Gateway Hat has reset itself";
    case BringupFailed::Cause::HatSilent:
      return "Gateway Hat has fallen silent";
    case BringupFailed::Cause::Failed:
      break;
  }
  return "Bring-up failed";
}

// Under systemd: pings the watchdog (at half its interval) and refreshes the status line from a
// timer on the event loop. A ping goes out only while the gateway makes progress (see Progress:
// the receive loop turns, or a bounded stage has not lasted too long), so a gateway that hangs
// anywhere, event loop or not, is restarted by systemd. Not armed outside systemd.
class Heartbeat {
 public:
  explicit Heartbeat(asio::io_context& ioc) : timer_(ioc) {
    if (!sdnotify::active()) return;
    period_ = std::chrono::seconds(5);
    if (auto wd = sdnotify::watchdogInterval()) {
      watchdog_ = true;
      period_ = std::min<std::chrono::microseconds>(period_, *wd / 2);
    }
    tick();
  }
  void cancel() { timer_.cancel(); }

 private:
  void tick() {
    if (watchdog_ && !gw().progress.stuck()) sdnotify::watchdog();
    sdnotify::status(statusLine());
    timer_.expires_after(period_);
    timer_.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) tick();
    });
  }
  asio::steady_timer timer_;
  std::chrono::microseconds period_{};
  bool watchdog_ = false;
};

struct Launcher {
  Args args;
  std::optional<long long> nodeIdOpt, networkIdOpt;
  Config config;
  Event* stop = nullptr;
  Event* restart = nullptr;
  bool stopRequested = false;
  int exitCode = 0;
  int failuresInRow = 0;
  std::uint64_t bringupAttempts = 0;

  void loadConfig() {
    config = Config::load(args.configPath);
    validateConfig(config);
    args.nodeId = radioId(config, nodeIdOpt, "node-id", "--node-id");
    args.networkId = radioId(config, networkIdOpt, "network-id", "--network-id");
  }

  // Waits until the serial device opens again, trying once a second; false when a stop signal
  // came first. Only the first failure and the success are logged.
  awaitable<bool> waitForDevice(Executor ex) {
    std::string device = config.getString("UART", "device");
    Event stopSignal(ex);
    stop = &stopSignal;
    if (stopRequested) stopSignal.set();
    bool reported = false;
    bool back = false;
    while (!stopSignal.isSet()) {
      gw().progress.mark(Stage::WaitingForDevice);
      int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        ::close(fd);
        back = true;
        break;
      }
      if (!reported) {
        logf("Cannot open serial device {}: {}; trying again every second", device,
             std::strerror(errno));
        reported = true;
      }
      asio::steady_timer pause(ex, std::chrono::seconds(1));
      co_await (stopSignal.wait() || pause.async_wait(asio::as_tuple(use_awaitable)));
    }
    stop = nullptr;
    if (back) logf("Serial device {} is back; starting the gateway again", device);
    co_return back;
  }

  // Sleeps `pause` unless a stop signal comes first; false then.
  awaitable<bool> pauseUnlessStopped(Executor ex, std::chrono::seconds pause) {
    gw().progress.mark(Stage::RetryPause);
    Event stopSignal(ex);
    stop = &stopSignal;
    if (stopRequested) stopSignal.set();
    if (!stopSignal.isSet()) {
      asio::steady_timer t(ex, pause);
      co_await (stopSignal.wait() || t.async_wait(asio::as_tuple(use_awaitable)));
    }
    stop = nullptr;
    co_return !stopSignal.isSet();
  }

  // Automatic time synchronisation that a wound-down gateway switched off goes back on, in the
  // background while the gateway starts again.
  std::shared_ptr<Task> ntpTask;
  void restoreNtpLater(Executor ex) {
    if (!ClockBeacon::ntpOwed() || (ntpTask && !ntpTask->done())) return;
    ntpTask = TaskRegistry::instance().spawn(ex, "restore NTP", []() -> awaitable<void> {
      co_await ClockBeacon::restoreNtp(&ostrel::runCommand, ClockBeacon::NTP_SWITCH_TIMEOUT,
                                       ClockBeacon::STATUS_TIMEOUT, 0);
    }());
  }

  // Node operations over MQTT ([OPS] enabled): alongside the gateway, across its restarts.
  std::shared_ptr<ops::Companion> nodeOps;
  void startNodeOps(Executor ex) {
    auto settings = ops::companionSettings(config, args.stateDir, hostName());
    if (!settings) return;
    // Jobs join the transmit queue, which never blocks the loop; until the hat has said hello,
    // or while the transmit loop is stopped for a restart, they wait here.
    auto enqueue = [](std::function<void()> job) -> awaitable<void> {
      for (;;) {
        auto proto = gw().myProtocol;
        if (proto && !proto->txQueue().isClosed()) {
          proto->scheduleTx(TxSource::NodeOps, std::move(job));
          co_return;
        }
        co_await gw().changed.wait();
      }
    };
    nodeOps = std::make_shared<ops::Companion>(ex, std::move(*settings), enqueue);
    nodeOps->start();
  }

  // Availability, health and sensor status: one monitor for the whole run, so that its counters
  // carry on across restarts.
  std::shared_ptr<observe::Monitor> monitor;
  void startMonitor(Executor ex) {
    observe::Sources sources;
    sources.client = [] { return gw().client; };
    sources.serialRecoveries = [] { return gw().serialRecoveries; };
    sources.txQueueJobs = []() -> std::size_t {
      auto p = gw().myProtocol;
      return p ? p->txQueue().size() : 0;
    };
    sources.rssKb = [] { return observe::readRssKb(); };
    sources.hatSilentS = [] {
      auto& g = gw();
      if (g.ser) g.liveness.heard(g.ser->lastByteAt());
      auto silent = g.liveness.silentFor(std::chrono::steady_clock::now());
      return static_cast<long long>(
          std::chrono::duration_cast<std::chrono::seconds>(silent).count());
    };
    auto settings = observe::monitorSettings(config);
    settings.origin.version = OSTREL_VERSION;
    settings.origin.supportUrl = OSTREL_SUPPORT_URL;
    monitor = std::make_shared<observe::Monitor>(ex, std::move(settings), sources);
    installObserver(monitor);
    monitor->start();
  }

  awaitable<void> run() {
    auto ex = co_await asio::this_coro::executor;
    startMonitor(ex);
    startNodeOps(ex);
    bool restarting = false;
    for (;;) {
      Event stopSignal(ex), restartSignal(ex);
      stop = &stopSignal;
      restart = &restartSignal;
      if (stopRequested) stopSignal.set();
      bool lost = false;
      std::optional<BringupFailed> again;
      try {
        co_await startRadioBridge(args, config, ex, stopSignal, restartSignal, restarting);
      } catch (const SerialLost&) {
        lost = true;
      } catch (const BringupFailed& e) {
        again = e;
      } catch (const HatStartupTimeout&) {
        exitCode = EXIT_HAT;
      } catch (const ConfigError& e) {
        logf("Configuration error: {}", e.what());
        exitCode = EXIT_USAGE;
      } catch (const std::exception& e) {
        logf("Start-up failed: {}", e.what());
        exitCode = 1;
      }
      stop = restart = nullptr;
      if (exitCode != 0 || stopRequested) break;
      restoreNtpLater(ex);
      if (again) {
        // A hat that reset itself or fell silent after a good bring-up comes back at once;
        // failures in a row pause 1, 2, 4, ... s, at most a minute.
        if (gw().broughtUp) failuresInRow = 0;
        gw().broughtUp = false;
        std::chrono::seconds pause{0};
        if (again->cause == BringupFailed::Cause::Failed || failuresInRow > 0)
          pause = std::chrono::seconds(1LL << std::min(failuresInRow, 6));
        pause = std::min<std::chrono::seconds>(pause, std::chrono::seconds(60));
        ++failuresInRow;
        ++bringupAttempts;
        // One line: a cause that spans lines is folded.
        std::string why = again->what();
        std::replace_if(
            why.begin(), why.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        logf("{}: {}; bringing the hat up again in {} s (attempt {})", headline(again->cause), why,
             pause.count(), bringupAttempts);
        bool go = co_await pauseUnlessStopped(ex, pause);
        if (!go) break;
        gw().recovering = true;
        restarting = false;
        continue;
      }
      if (lost) {
        // Same process, fresh start: hat reset where possible, bootloader, start-up wait, hello.
        bool back = co_await waitForDevice(ex);
        if (!back) break;
        ++gw().serialRecoveries;
        gw().recovering = true;
        restarting = false;
        continue;
      }
      if (!restartSignal.isSet()) break;
      try {
        loadConfig();
        monitor->setAnnounceRule(observe::monitorSettings(config).announce);
      } catch (const std::exception& e) {
        logf("Keeping the previous configuration: {}", e.what());
      }
      // The decoder files are read again either way: editing them is what a reload is often for.
      loadDecoders(config, false);
      monitor->onDecodersLoaded();
      restarting = true;
    }
    if (ntpTask && !ntpTask->done()) {
      // Its retries would outlive the process: one last try follows here.
      ntpTask->cancel();
      co_await ntpTask->waitFor(std::chrono::seconds(1));
    }
    if (ClockBeacon::ntpOwed()) {
      // Stopped while the host clock was being set: automatic synchronisation goes back on.
      log("Enabling OS: automatic time synchronization.");
      co_await ClockBeacon::restoreNtp(&ostrel::runCommand, ClockBeacon::NTP_SWITCH_TIMEOUT,
                                       ClockBeacon::STATUS_TIMEOUT, 1);
    }
    if (nodeOps) co_await nodeOps->stop();
    if (monitor) monitor->stop();
  }
};

}  // namespace

int main(int argc, char** argv) {
  Launcher l;
  CLI::App app{"ostrel: gateway between the Quorind Gateway Hat and an MQTT broker"};
  app.add_option("--config", l.args.configPath, "configuration file")->capture_default_str();
  app.add_option("--node-id", l.nodeIdOpt,
                 "the gateway's radio node ID, 0-255 (default: [GATEWAY] node-id)");
  app.add_option("--network-id", l.networkIdOpt,
                 "the radio network ID, 0-255 (default: [GATEWAY] network-id)");
  app.add_option("--state-dir", l.args.stateDir,
                 "directory of the node status files and gateway.uid")
      ->capture_default_str();
  app.add_option("--user", l.args.account,
                 "account (user and group of the same name) to run as after resetting the hat, "
                 "when started as root")
      ->capture_default_str();
  std::optional<std::string> checkPath;
  app.add_option("--check-decoders", checkPath,
                 "check the decoder files of a directory (or one file) with their examples: one "
                 "line per failure, exit status 1 when one fails");
  app.set_version_flag("--version", std::string("ostrel ") + OSTREL_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : EXIT_USAGE;
  }
  if (checkPath) {
    std::vector<std::string> lines;
    int rc = decoders::checkDecoders(*checkPath, lines);
    for (const auto& line : lines) fmt::print("{}\n", escapeControl(line));
    return rc;
  }
  try {
    l.loadConfig();
    loadDecoders(l.config, true);
  } catch (const std::exception& e) {
    logf("Configuration error: {}", e.what());
    return EXIT_USAGE;
  }

  asio::io_context ioc;
  asio::signal_set signals(ioc, SIGTERM, SIGINT, SIGHUP);
  std::function<void()> waitSignal = [&] {
    signals.async_wait([&](const boost::system::error_code& ec, int sig) {
      if (ec) return;
      if (sig == SIGHUP) {
        if (l.restart) l.restart->set();
      } else {
        sdnotify::stopping();
        l.stopRequested = true;
        if (l.stop) l.stop->set();
      }
      waitSignal();
    });
  };
  waitSignal();
  Heartbeat heartbeat(ioc);
  asio::co_spawn(ioc, l.run(), [&](std::exception_ptr e) {
    if (e) {
      log(describeException(e, "launcher"));
      l.exitCode = 1;
    }
    heartbeat.cancel();
    signals.cancel();
    ioc.stop();
  });
  ioc.run();
  // Everything bound to the event loop goes before it does, including tasks a slow command kept
  // from ending in their grace.
  l.ntpTask.reset();
  TaskRegistry::instance().release();
  gw().changed.notify();  // drops the timers of coroutines still waiting on it
  l.nodeOps.reset();
  installObserver(nullptr);
  l.monitor.reset();
  gw().myProtocol.reset();
  gw().client.reset();
  gw().ser.reset();
  if (!finishMqttClients()) {
    log("An MQTT disconnect did not complete; leaving without cleaning up");
    std::_Exit(l.exitCode);
  }
  return l.exitCode;
}
