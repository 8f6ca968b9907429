#include "ostrel/time/ClockBeacon.hpp"

#include <algorithm>
#include <ctime>
#include <exception>
#include <optional>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Observer.hpp"

namespace ostrel {

using namespace std::chrono_literals;

namespace {

// A task that outlived its ClockBeacon must not touch it after resuming.
template <typename LifePtr>
void checkAlive(const LifePtr& life) {
  if (!life->alive) throw boost::system::system_error(asio::error::operation_aborted);
}

bool isCancellation(const boost::system::system_error& e) {
  return e.code() == asio::error::operation_aborted;
}

std::string_view trim(std::string_view s) {
  auto ws = [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
  };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

// Calls `onKey(key, value)` for each "key=value" line of timedatectl show; throws on a line
// without "=".
template <typename F>
void parseTimeDateShow(std::string_view out, F onKey) {
  while (!out.empty()) {
    auto nl = out.find('\n');
    auto line = out.substr(0, nl);
    out = nl == std::string_view::npos ? std::string_view{} : out.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto eq = line.find('=');
    if (eq == std::string_view::npos)
      throw std::runtime_error(
          fmt::format("timedatectl show printed a line without '=': '{}'", line));
    onKey(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
  }
}

// The error text of a failed command, cancellation passed on.
std::string failureText(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const boost::system::system_error& se) {
    if (isCancellation(se)) throw;
    return se.what();
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown error";
  }
}

bool gNtpOwed = false;
bool gRestoring = false;

template <typename LifePtr>
awaitable<void> afterPrevious(LifePtr life, std::shared_ptr<Task> prev, awaitable<void> body) {
  if (prev && !prev->done()) co_await prev->join();
  checkAlive(life);
  co_await std::move(body);
}

// Host wall-clock time of a UTC instant, without zone.
std::chrono::local_time<std::chrono::microseconds> toLocal(UtcTime t) {
  using namespace std::chrono;
  auto secs = floor<seconds>(t);
  std::time_t tt = system_clock::to_time_t(secs);
  std::tm tm{};
  localtime_r(&tt, &tm);
  auto day = local_days{year{tm.tm_year + 1900} / (tm.tm_mon + 1) / tm.tm_mday};
  return day + hours{tm.tm_hour} + minutes{tm.tm_min} + seconds{tm.tm_sec} + (t - secs);
}

// "2024-03-01 14:05:09.250"
std::string formatMillis(std::chrono::local_time<std::chrono::microseconds> t) {
  using namespace std::chrono;
  auto dp = floor<days>(t);
  year_month_day ymd{dp};
  hh_mm_ss hms{t - dp};
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", int(ymd.year()),
                     unsigned(ymd.month()), unsigned(ymd.day()), hms.hours().count(),
                     hms.minutes().count(), hms.seconds().count(), hms.subseconds().count() / 1000);
}

}  // namespace

ClockBeacon::ClockBeacon(Executor ex, ClockTarget& hatProtocol, long long syncInterval_,
                         long long ntpCheckIntervalMin_, long long ntpCheckIntervalMax_)
    : ntpCheckIntervalMin(std::max(1LL, ntpCheckIntervalMin_)),
      ntpCheckIntervalMax(std::max(1LL, ntpCheckIntervalMax_)),
      syncInterval(std::max(0LL, syncInterval_)),
      ntpCheckInterval(ntpCheckIntervalMin),
      ex_(std::move(ex)),
      protocol_(hatProtocol) {}

ClockBeacon::~ClockBeacon() {
  life_->alive = false;
  // Only unfinished tasks: cancelling a finished one reaches into freed memory.
  for (auto& s : steps_)
    if (!s.task->done()) s.task->cancel();
  if (settingSystemTime()) systemTimeTask_->cancel();
}

void ClockBeacon::startStep(const char* name, bool isSync, awaitable<void> body) {
  steps_.remove_if([](const Step& s) { return s.task->done(); });
  auto prev = steps_.empty() ? nullptr : steps_.back().task;
  auto task =
      TaskRegistry::instance().spawn(ex_, name, afterPrevious(life_, prev, std::move(body)));
  steps_.push_back({task, isSync});
}

void ClockBeacon::sync(bool runAsync, bool checkNtpStatus) {
  if (syncInterval <= 0) return;
  startStep("sync", true, syncBody(runAsync, checkNtpStatus));
}

awaitable<void> ClockBeacon::syncNow(bool runAsync, bool checkNtpStatus) {
  if (syncInterval <= 0) co_return;
  sync(runAsync, checkNtpStatus);
  auto task = steps_.back().task;
  bool done = co_await task->waitFor(firstSyncWait);
  if (!done)
    logf("Time synchronization status not read within {} ms; going on without waiting for it",
         firstSyncWait.count());
}

awaitable<void> ClockBeacon::syncBody(bool runAsync, bool checkNtpStatus) {
  auto life = life_;
  if (syncTimer) {
    syncTimer->cancel();
    syncTimer.reset();
  }
  // A status read that fails counts as not synchronised: the next synchronisation is armed
  // whatever the commands do.
  if (!ntpCheckTimer) {
    co_await ntpCheckBody(false);
  } else if (checkNtpStatus) {
    co_await readSyncTimeStatus();
  }
  checkAlive(life);
  syncTimer = std::make_unique<Timer>(ex_, static_cast<double>(syncInterval), [this] { sync(); });
  if (synchronized) {
    ++numTxSyncs;
    if (runAsync)
      protocol_.scheduleTx([&p = protocol_] { p.txDate(); });
    else
      protocol_.txDate();
    observer().onClockSync(std::chrono::system_clock::now());
  } else {
    ++numRxSyncs;
    if (runAsync)
      protocol_.scheduleTx([&p = protocol_] { p.rxDate(); });
    else
      protocol_.rxDate();
  }
}

void ClockBeacon::ntpCheck(bool initiateSync) {
  startStep("ntpCheck", false, ntpCheckBody(initiateSync));
}

awaitable<void> ClockBeacon::ntpCheckBody(bool initiateSync) {
  auto life = life_;
  co_await readSyncTimeStatus();
  checkAlive(life);
  if (synchronized) {
    if (initiateSync) sync(true, false);
    co_return;
  }
  // Once the hat has been set from network time, polling is over.
  if (numTxSyncs != 0) co_return;
  ntpCheckTimer =
      std::make_unique<Timer>(ex_, static_cast<double>(ntpCheckInterval), [this] { ntpCheck(); });
  ntpCheckInterval = ntpCheckInterval > ntpCheckIntervalMax / 2
                         ? ntpCheckIntervalMax
                         : std::min(2 * ntpCheckInterval, ntpCheckIntervalMax);
}

awaitable<void> ClockBeacon::readSyncTimeStatus() {
  auto life = life_;
  std::exception_ptr failure;
  try {
    co_await readTimeDateCtl();
  } catch (...) {
    failure = std::current_exception();
  }
  checkAlive(life);
  if (!failure) {
    statusReadFailed_ = false;
    co_return;
  }
  std::string why = failureText(failure);
  statusReadFailed_ = true;
  synchronized = false;
  logf("Could not read the time synchronization status: {}; counted as not synchronized", why);
}

awaitable<void> ClockBeacon::readTimeDateCtl() {
  auto life = life_;
  auto result = co_await runCommand("timedatectl show", statusTimeout, true, false);
  checkAlive(life);
  int counter = 0;
  if (result.exitStatus == 0) {
    parseTimeDateShow(result.output, [&](std::string_view key, std::string_view value) {
      if (key == "NTP") {
        osNTPEnabled = value == "yes";
        if (osNTPEnabled) ++counter;
      } else if (key == "NTPSynchronized") {
        osNTPInSync = value == "yes";
        if (osNTPInSync) ++counter;
      }
    });
  }
  synchronized = counter == 2;
  logf("NTP synchronized: {}", synchronized ? "True" : "False");
}

void ClockBeacon::setSystemTime(UtcTime dt) {
  using namespace std::chrono;
  if (synchronized) {
    log("Not setting system time because it is synchronized to NTP");
    return;
  }
  if (year_month_day{floor<days>(dt)}.year() < year{2023}) {
    log("Not setting system time because given date is before 2023.");
    return;
  }
  if (settingSystemTime()) {
    log("Not setting system time because a change of it is already in progress.");
    return;
  }
  systemTimeTask_ = TaskRegistry::instance().spawn(ex_, "setSystemTime", setSystemTimeBody(dt));
}

namespace {

// NTP= of timedatectl show; none when it cannot be read.
awaitable<std::optional<bool>> readNtpEnabled(const ClockBeacon::CommandRunner& run,
                                              std::chrono::milliseconds timeout) {
  std::optional<bool> enabled;
  std::exception_ptr failure;
  try {
    auto r = co_await run("timedatectl show", timeout, true, false);
    if (r.exitStatus == 0)
      parseTimeDateShow(r.output, [&](std::string_view key, std::string_view value) {
        if (key == "NTP") enabled = value == "yes";
      });
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    enabled.reset();
    logf("Could not read the time synchronization status: {}", failureText(failure));
  }
  co_return enabled;
}

}  // namespace

bool ClockBeacon::ntpOwed() {
  return gNtpOwed;
}

void ClockBeacon::setNtpOwed(bool owed) {
  gNtpOwed = owed;
}

std::chrono::milliseconds& ClockBeacon::restoreRetryPause() {
  static std::chrono::milliseconds pause{5000};
  return pause;
}

awaitable<bool> ClockBeacon::restoreNtp(CommandRunner run, std::chrono::milliseconds switchTimeout,
                                        std::chrono::milliseconds statusTimeout, int attempts) {
  if (!gNtpOwed || gRestoring) co_return gNtpOwed;
  gRestoring = true;
  // Cleared however the coroutine ends, cancellation included.
  struct Guard {
    ~Guard() { gRestoring = false; }
  } guard;
  auto pause = restoreRetryPause();
  for (int attempt = 1;; ++attempt) {
    std::string why;
    try {
      auto r = co_await run("sudo timedatectl set-ntp true", switchTimeout, false, false);
      if (r.exitStatus == 0) {
        gNtpOwed = false;
        co_return false;
      }
      why = fmt::format("exit status {}", r.exitStatus);
    } catch (const CommandError& e) {
      why = e.what();
    }
    // The switch may have been made all the same (a slow timedated finishes what it was asked).
    auto enabled = co_await readNtpEnabled(run, statusTimeout);
    if (enabled && *enabled) {
      gNtpOwed = false;
      co_return false;
    }
    if (attempts > 0 && attempt >= attempts) {
      logf("Could not switch automatic time synchronization back on: {}", why);
      co_return true;
    }
    logf("Could not switch automatic time synchronization back on: {}; trying again in {} s", why,
         std::chrono::duration<double>(pause).count());
    co_await sleepFor(pause);
    pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::seconds(60));
  }
}

awaitable<void> ClockBeacon::setSystemTimeBody(UtcTime dt) {
  auto life = life_;
  auto localTime = toLocal(dt);
  if (statusReadFailed_) {
    // The host may well be synchronised: find out before touching its clock.
    auto before = std::chrono::steady_clock::now();
    co_await readSyncTimeStatus();
    checkAlive(life);
    if (statusReadFailed_) {
      log("Not setting system time because its synchronization status is unknown.");
      co_return;
    }
    if (synchronized) {
      log("Not setting system time because it is synchronized to NTP");
      co_return;
    }
    localTime += std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - before);
  }
  bool ntpWasEnabled = osNTPEnabled;
  if (ntpWasEnabled) {
    log("Disabling OS: automatic time synchronization.");
    // Owed from the request on: a request that fails or is killed may still take effect.
    setNtpOwed(true);
    bool switchedOff = false;
    std::exception_ptr failure;
    try {
      auto r =
          co_await runCommand("sudo timedatectl set-ntp false", ntpSwitchTimeout, false, false);
      switchedOff = r.exitStatus == 0;
    } catch (const CommandError&) {
      failure = std::current_exception();
    }
    checkAlive(life);
    if (failure) {
      logf("Could not switch off automatic time synchronization: {}", failureText(failure));
      // Whether it is off decides the pause; switching it on again follows in any case.
      auto enabled = co_await readNtpEnabled(runCommand, statusTimeout);
      checkAlive(life);
      switchedOff = enabled && !*enabled;
    }
    if (switchedOff) {
      osNTPEnabled = false;
      co_await sleepFor(ntpPause);
      checkAlive(life);
      // The time to set is the hat's time after the pause.
      localTime += ntpPause;
    }
  }

  std::exception_ptr failure;
  try {
    auto r =
        co_await runCommand(fmt::format("sudo timedatectl set-time '{}'", formatMillis(localTime)),
                            setTimeTimeout, true, true);
    checkAlive(life);
    if (r.exitStatus == 0)
      log("System time has been set successfully.");
    else
      logf("Could not set system time: {}", r.output);
  } catch (const CommandError&) {
    failure = std::current_exception();
  }
  if (failure) logf("Could not set system time: {}", failureText(failure));

  // Even when set-time could not run, automatic synchronisation must not stay switched off.
  if (ntpWasEnabled) {
    log("Enabling OS: automatic time synchronization.");
    bool owed = co_await restoreNtp(runCommand, ntpSwitchTimeout, statusTimeout, 0);
    checkAlive(life);
    if (!owed) osNTPEnabled = true;
  }
}

void ClockBeacon::shutdown() {
  if (syncTimer) {
    syncTimer->cancel();
    syncTimer.reset();
  }
  // A synchronisation still reading the status would arm the next one after this.
  for (auto& s : steps_)
    if (s.isSync && !s.task->done()) s.task->cancel();
}

}  // namespace ostrel
