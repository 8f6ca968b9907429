#pragma once
// The real ostrel binary as a child process, with its configuration and state directory in a
// temporary directory and every line it prints collected by a reader thread. A daemon that ends by
// a signal the test did not send it, or prints a sanitizer report, fails the running test.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ostrel::test {

// Rendered to the INI file the daemon reads.
struct GatewayConfig {
  std::string device;  // the hat simulator's devicePath()
  int mqttPort = 1883;
  long long speed = 115200;
  int syncInterval = 0;  // [TIME] sync-interval
  int ntpMin = 5, ntpMax = 300;
  bool logSensorRtcOffset = false, logFailedDecrypt = true;
  int rssiThreshold = -98;
  int nodeId = 1, networkId = 100;
  // Extra or overriding keys: section -> key -> value.
  std::map<std::string, std::map<std::string, std::string>> extra = {};
  // (section, key) pairs to leave out.
  std::vector<std::pair<std::string, std::string>> remove = {};
  // Another daemon's state directory to run on (empty: a new one of its own).
  std::string stateDir = {};
};

// The INI text of `cfg` (sections and keys in a fixed order).
std::string renderConfig(const GatewayConfig& cfg);

// What went wrong when child `who` ended with wait status `waitStatus` after printing `output`:
// a signal not in `sentSignals`, or a sanitizer report. Empty when neither; otherwise the message
// names the signal and carries the output's last lines.
std::string abnormalEnd(const std::string& who, int waitStatus, const std::string& output,
                        const std::set<int>& sentSignals = {});

// Peak resident memory (VmHWM) of process `pid` in kB; -1 when unreadable.
long long peakRssKb(pid_t pid);

// Whether the code under test runs natively and uninstrumented: absolute bounds on time and
// memory hold only there (ASan and the emulator have large peaks and slow paths of their own).
inline bool nativeUninstrumented() {
#ifdef __SANITIZE_ADDRESS__
  return false;
#else
  return std::string(OSTREL_EMULATOR).empty();
#endif
}

class GatewayProcess {
 public:
  using Clock = std::chrono::steady_clock;

  // Creates a temporary directory (0755) holding ostrel.conf and state/ (0777).
  explicit GatewayProcess(GatewayConfig cfg);
  // SIGKILL when still running; removes the temporary directory. A daemon found already ended
  // by a signal, or that printed a sanitizer report, adds a failure.
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;

  std::string stateDir() const;
  std::string configPath() const;
  std::string dir() const;
  // Replaces the configuration file with `text` (malformed configurations).
  void writeConfigText(const std::string& text);

  // Runs the binary with --config, --state-dir and, as root, `--user daemon`; `extraArgs` are
  // appended and `env` entries added to (or replacing in) the environment.
  void start(std::vector<std::string> extraArgs = {}, std::map<std::string, std::string> env = {});
  // Runs `argv` in the daemon's place, watched the same way (for tests of this watch itself).
  void startProgram(std::vector<std::string> argv, std::map<std::string, std::string> env = {});

  // Index of the first line at or after `from` equal to (`exact`) or containing `text`, waiting
  // up to `timeout`; -1 when none came.
  int waitForLine(const std::string& text, std::chrono::milliseconds timeout, bool exact = false,
                  int from = 0) const;
  std::vector<std::string> lines() const;
  // When line `index` was read (steady clock); nullopt for an index not (yet) seen.
  std::optional<Clock::time_point> lineTime(int index) const;
  int countLines(const std::string& contains) const;
  // Index of the first line at or after `from` containing `text`, without waiting; -1 if none.
  int findLine(const std::string& text, int from = 0) const;
  // All lines joined with line feeds, for failure messages.
  std::string transcript() const;

  // Sends `sig`; the daemon ending by it is then expected.
  void signal(int sig);
  // Exit status, or 128 + signal number; nullopt when still running after `timeout`. An end by a
  // signal not sent through signal(), or a sanitizer report in the output, adds a failure.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  pid_t pid() const { return pid_; }

 private:
  void readLoop(int fd);
  void writeConfig();
  // Records the wait status, lets the reader take the last output and checks how it ended.
  void reaped(int waitStatus);

  GatewayConfig cfg_;
  std::string dir_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::set<int> sent_;
  std::thread reader_;
  std::atomic<bool> stopReading_{false};
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::vector<Clock::time_point> times_;
  bool readerDone_ = false;
};

}  // namespace ostrel::test
