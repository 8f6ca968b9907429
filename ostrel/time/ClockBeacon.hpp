#pragma once
// Keeps the host clock and the hat clock in step, driven by the host's network-time status.
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "ostrel/io/Asio.hpp"
#include "ostrel/io/Process.hpp"
#include "ostrel/io/Tasks.hpp"
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
class ClockBeacon {
 public:
  ClockBeacon(Executor ex, ClockTarget& hatProtocol, long long syncInterval = 900,
              long long ntpCheckIntervalMin = 5, long long ntpCheckIntervalMax = 300);
  ~ClockBeacon();
  ClockBeacon(const ClockBeacon&) = delete;
  ClockBeacon& operator=(const ClockBeacon&) = delete;

  // One synchronisation (started as a task), which arms the next one.
  void sync(bool runAsync = true, bool checkNtpStatus = true);
  // The same synchronisation, awaited by the caller: its clock command is queued before the
  // call returns, so that what the caller queues next follows it.
  awaitable<void> syncNow(bool runAsync = true, bool checkNtpStatus = true);
  // One network-time poll (started as a task).
  void ntpCheck(bool initiateSync = true);

  awaitable<void> readSyncTimeStatus();
  // Runs "timedatectl show" and sets osNTPEnabled, osNTPInSync and synchronized.
  awaitable<void> readTimeDateCtl();
  // Alternative status reader through ntpstat; not used by the synchroniser itself.
  awaitable<void> readNTPStat();

  // Sets the host clock from the hat's time. Starts the work as a task of its own and returns at
  // once. While one such change is in progress, a new request is ignored with one log line.
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

  // How commands are run; tests may substitute it.
  using CommandRunner =
      std::function<awaitable<CommandResult>(std::string, std::chrono::milliseconds, bool, bool)>;
  CommandRunner runCommand = &ostrel::runCommand;

  bool settingSystemTime() const { return systemTimeTask_ && !systemTimeTask_->done(); }

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
};

}  // namespace ostrel
