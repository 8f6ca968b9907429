#pragma once
// Keeps the host clock and the hat clock in step, driven by the host's network-time status.
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/Tasks.hpp"
#include "ostrel/sys/Process.hpp"
#include "ostrel/time/Timer.hpp"

namespace ostrel {

// What the synchroniser needs from the protocol object.
class ClockTarget {
 public:
  virtual ~ClockTarget() = default;
  virtual void scheduleTx(std::function<void()> job) = 0;
  virtual void txDate() = 0;
  virtual void rxDate() = 0;
};

using UtcTime = std::chrono::sys_time<std::chrono::microseconds>;

// The host clock commands never block the event loop: every status read and every change of the
// system time runs as a task of its own. Synchronisations and network-time polls run one after
// the other, in the order they were asked for, as they would if each ran to its end at once.
// A command that fails or times out costs one log line and that one step: the schedule goes on,
// and automatic time synchronisation switched off here is always switched on again.
class ClockBeacon {
 public:
  ClockBeacon(Executor ex, ClockTarget& hatProtocol, long long syncInterval = 900,
              long long ntpCheckIntervalMin = 5, long long ntpCheckIntervalMax = 300);
  ~ClockBeacon();
  ClockBeacon(const ClockBeacon&) = delete;
  ClockBeacon& operator=(const ClockBeacon&) = delete;

  // One synchronisation (started as a task), which arms the next one.
  void sync(bool runAsync = true, bool checkNtpStatus = true);
  // The same synchronisation, awaited by the caller for at most `firstSyncWait`: when the status
  // read is quick, its clock command is queued before the call returns, so that what the caller
  // queues next follows it; a slow one finishes on its own and its command comes later.
  awaitable<void> syncNow(bool runAsync = true, bool checkNtpStatus = true);
  // One network-time poll (started as a task).
  void ntpCheck(bool initiateSync = true);

  // Never fails: a status that cannot be read is logged and counts as not synchronised.
  awaitable<void> readSyncTimeStatus();
  // Runs "timedatectl show" and sets osNTPEnabled, osNTPInSync and synchronized. Throws when the
  // command cannot run, times out or prints a line without "=".
  awaitable<void> readTimeDateCtl();

  // Sets the host clock from the hat's time. Starts the work as a task of its own and returns at
  // once. While one such change is in progress, a new request is ignored with one log line. When
  // the last status read failed, the status is read again first and the clock is left alone
  // unless it is known not to be synchronised.
  void setSystemTime(UtcTime dt);
  // Cancels the pending synchronisation (and one still reading the status); polls go on.
  void shutdown();

  // State, readable by tests.
  long long ntpCheckIntervalMin = 1;
  long long ntpCheckIntervalMax = 1;
  long long syncInterval = 0;
  long long ntpCheckInterval = 1;
  bool synchronized = false;
  bool osNTPEnabled = false;
  bool osNTPInSync = false;
  long long numRxSyncs = 0;
  long long numTxSyncs = 0;
  std::unique_ptr<Timer> syncTimer;
  std::unique_ptr<Timer> ntpCheckTimer;

  // Length of the pause after switching automatic synchronisation off, and with it the amount
  // added to the time to be set (tests shorten it).
  std::chrono::milliseconds ntpPause{3000};

  // Time-outs of the commands. timedated is started on demand: measured 0.9-1.4 s to come up in
  // virtual machines, several times that on a small single-core board, and a switch of
  // automatic synchronisation also starts or stops timesyncd. Nothing waits for them on the
  // event loop, so they can be generous.
  static constexpr std::chrono::milliseconds STATUS_TIMEOUT{10000};
  static constexpr std::chrono::milliseconds NTP_SWITCH_TIMEOUT{15000};
  static constexpr std::chrono::milliseconds SET_TIME_TIMEOUT{10000};
  std::chrono::milliseconds statusTimeout = STATUS_TIMEOUT;
  std::chrono::milliseconds ntpSwitchTimeout = NTP_SWITCH_TIMEOUT;
  std::chrono::milliseconds setTimeTimeout = SET_TIME_TIMEOUT;
  // How long syncNow holds its caller (the radio wake-up) for the first status read.
  std::chrono::milliseconds firstSyncWait{2000};

  // How commands are run; tests may substitute it.
  using CommandRunner =
      std::function<awaitable<CommandResult>(std::string, std::chrono::milliseconds, bool, bool)>;
  CommandRunner runCommand = &ostrel::runCommand;

  // Process-wide: automatic time synchronisation was switched off (or a request to switch it off
  // may still take effect) and has not been switched on again since.
  static bool ntpOwed();
  static void setNtpOwed(bool owed);
  // Switches automatic synchronisation back on while it is owed: "sudo timedatectl set-ntp
  // true", and after a failure a status read (NTP=yes settles it as well). Up to `attempts`
  // tries (0: until it succeeds), pausing 5 s, doubling to 60 s, between them. Returns whether
  // it is still owed. Only one runs at a time; a second call returns at once.
  static awaitable<bool> restoreNtp(CommandRunner run, std::chrono::milliseconds switchTimeout,
                                    std::chrono::milliseconds statusTimeout, int attempts);
  // Pause before the first retry of restoreNtp (tests shorten it).
  static std::chrono::milliseconds& restoreRetryPause();

  bool settingSystemTime() const { return systemTimeTask_ && !systemTimeTask_->done(); }
  // The last status read failed (the status is unknown).
  bool statusUnknown() const { return statusReadFailed_; }

 private:
  struct Life {
    bool alive = true;
  };
  struct Step {
    std::shared_ptr<Task> task;
    bool isSync;
  };

  void startStep(const char* name, bool isSync, awaitable<void> body);
  awaitable<void> syncBody(bool runAsync, bool checkNtpStatus);
  awaitable<void> ntpCheckBody(bool initiateSync);
  awaitable<void> setSystemTimeBody(UtcTime dt);

  Executor ex_;
  ClockTarget& protocol_;
  std::shared_ptr<Life> life_ = std::make_shared<Life>();
  std::list<Step> steps_;
  std::shared_ptr<Task> systemTimeTask_;
  bool statusReadFailed_ = false;
};

}  // namespace ostrel
