#include "ostrel/time/ClockBeacon.hpp"

#include <algorithm>
#include <ctime>
#include <exception>

#include "ostrel/io/Log.hpp"
#include "ostrel/io/Observer.hpp"

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
  co_await syncBody(runAsync, checkNtpStatus);
}

awaitable<void> ClockBeacon::syncBody(bool runAsync, bool checkNtpStatus) {
  auto life = life_;
  if (syncTimer) {
    syncTimer->cancel();
    syncTimer.reset();
  }
  // A failing status read ends the task here, before the next synchronisation is armed.
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
  co_await readTimeDateCtl();
}

awaitable<void> ClockBeacon::readTimeDateCtl() {
  auto life = life_;
  auto result = co_await runCommand("timedatectl show", 1000ms, true, false);
  checkAlive(life);
  int counter = 0;
  if (result.exitStatus == 0) {
    std::string_view out = result.output;
    while (!out.empty()) {
      auto nl = out.find('\n');
      auto line = out.substr(0, nl);
      out = nl == std::string_view::npos ? std::string_view{} : out.substr(nl + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      auto eq = line.find('=');
      if (eq == std::string_view::npos)
        throw std::runtime_error(
            fmt::format("timedatectl show printed a line without '=': '{}'", line));
      auto key = trim(line.substr(0, eq));
      auto value = trim(line.substr(eq + 1));
      if (key == "NTP") {
        osNTPEnabled = value == "yes";
        if (osNTPEnabled) ++counter;
      } else if (key == "NTPSynchronized") {
        osNTPInSync = value == "yes";
        if (osNTPInSync) ++counter;
      }
    }
  }
  synchronized = counter == 2;
  logf("NTP synchronized: {}", synchronized ? "True" : "False");
}

awaitable<void> ClockBeacon::readNTPStat() {
  auto life = life_;
  auto result = co_await runCommand("ntpstat", 1000ms, true, false);
  checkAlive(life);
  synchronized = result.exitStatus == 0;
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

awaitable<void> ClockBeacon::setSystemTimeBody(UtcTime dt) {
  auto life = life_;
  auto localTime = toLocal(dt);
  bool ntpWasEnabled = osNTPEnabled;
  if (ntpWasEnabled) {
    log("Disabling OS: automatic time synchronization.");
    auto r = co_await runCommand("sudo timedatectl set-ntp false", 3000ms, false, false);
    checkAlive(life);
    if (r.exitStatus == 0) {
      osNTPEnabled = false;
      co_await sleepFor(ntpPause);
      checkAlive(life);
      // The time to set is the hat's time after the pause.
      localTime += ntpPause;
    }
  }

  std::exception_ptr failure;
  try {
    auto r = co_await runCommand(
        fmt::format("sudo timedatectl set-time '{}'", formatMillis(localTime)), 2000ms, true, true);
    checkAlive(life);
    if (r.exitStatus == 0)
      log("System time has been set successfully.");
    else
      logf("Could not set system time: {}", r.output);
  } catch (const boost::system::system_error& e) {
    if (isCancellation(e)) throw;
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }

  // Even when set-time could not run, automatic synchronisation must not stay switched off.
  if (ntpWasEnabled) {
    log("Enabling OS: automatic time synchronization.");
    auto r = co_await runCommand("sudo timedatectl set-ntp true", 3000ms, false, false);
    checkAlive(life);
    if (r.exitStatus == 0) osNTPEnabled = true;
  }
  if (failure) std::rethrow_exception(failure);
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
