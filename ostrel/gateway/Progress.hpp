#pragma once
// Where the gateway is on its way from start-up to running, and whether it still moves: what the
// watchdog pings and the status line are based on.
#include <chrono>
#include <string>

namespace ostrel {

enum class Stage {
  Starting,           // configuration, hat reset, privilege drop, opening the port
  WaitingForStartup,  // the hat's bootloader and start-up line
  WaitingForHello,    // the hat's hello message
  SettingUp,          // encryption setup with the hat
  Running,            // the receive loop serves the hat
  WindingDown,
  WaitingForDevice,  // the serial device is gone; opening it is tried once a second
  RetryPause,        // pause before bringing the hat up again
};

class Progress {
 public:
  using Clock = std::chrono::steady_clock;

  // Enters `s` (a new stage starts its clocks) or, when already there, marks progress in it.
  void mark(Stage s, Clock::time_point now = Clock::now());
  Stage stage() const { return stage_; }
  Clock::time_point since() const { return since_; }
  Clock::time_point last() const { return last_; }

  // How long a stage may go without a mark before the gateway counts as stuck in it: the
  // receive loop marks every turn while the hat talks or its silence is being looked into (see
  // HatLiveness), the device retries every attempt, the encryption setup every confirmation of
  // the hat; the other bring-up stages are bounded by time-outs of their own and not marked
  // meanwhile. The broker is no stage: nothing waits for it.
  static std::chrono::seconds stuckAfter(Stage s);
  bool stuck(Clock::time_point now = Clock::now()) const;
  // "waiting for the hat's hello" and the like.
  static const char* describe(Stage s);
  // Status line while not running, or when stuck.
  std::string statusText(Clock::time_point now = Clock::now()) const;

 private:
  Stage stage_ = Stage::Starting;
  Clock::time_point since_ = Clock::now();
  Clock::time_point last_ = since_;
};

}  // namespace ostrel
