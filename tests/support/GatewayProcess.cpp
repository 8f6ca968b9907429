#include "tests/support/GatewayProcess.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/Wait.hpp"

extern char** environ;

namespace ostrel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using Sections =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

void setKey(Sections& s, const std::string& section, const std::string& key,
            const std::string& value) {
  auto sec = std::find_if(s.begin(), s.end(), [&](auto& e) { return e.first == section; });
  if (sec == s.end()) {
    s.push_back({section, {}});
    sec = std::prev(s.end());
  }
  auto kv =
      std::find_if(sec->second.begin(), sec->second.end(), [&](auto& e) { return e.first == key; });
  if (kv == sec->second.end())
    sec->second.push_back({key, value});
  else
    kv->second = value;
}

}  // namespace

std::string abnormalEnd(const std::string& who, int waitStatus, const std::string& output,
                        const std::set<int>& sentSignals) {
  std::string problem;
  if (WIFSIGNALED(waitStatus) && !sentSignals.contains(WTERMSIG(waitStatus))) {
    int sig = WTERMSIG(waitStatus);
    problem = who + " ended by signal " + std::to_string(sig) + " (" + ::strsignal(sig) + ")";
  }
  for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
    if (output.find(marker) != std::string::npos) {
      if (!problem.empty()) problem += "; ";
      problem += who + " printed a sanitizer report (\"" + std::string(marker) + "\")";
      break;
    }
  if (problem.empty()) return problem;
  // The last lines are where a crash or a report shows; the whole of a long run would drown it.
  constexpr int kTail = 30;
  std::size_t start = output.size();
  for (int n = 0; n <= kTail && start > 0; ++n) {
    start = output.rfind('\n', start - 1);
    if (start == std::string::npos) {
      start = 0;
      break;
    }
  }
  if (start > 0) ++start;
  return problem + "; its last lines:\n" + output.substr(start);
}

std::string renderConfig(const GatewayConfig& c) {
  auto yesNo = [](bool b) { return std::string(b ? "yes" : "no"); };
  Sections s = {
      {"UART", {{"device", c.device}, {"speed", std::to_string(c.speed)}}},
      {"MQTT",
       {{"host", "127.0.0.1"},
        {"port", std::to_string(c.mqttPort)},
        {"keepalive", "60"},
        {"username", ""},
        {"password", ""}}},
      {"GATEWAY",
       {{"node-id", std::to_string(c.nodeId)}, {"network-id", std::to_string(c.networkId)}}},
      {"TIME",
       {{"sync-interval", std::to_string(c.syncInterval)},
        {"ntp-check-interval-min", std::to_string(c.ntpMin)},
        {"ntp-check-interval-max", std::to_string(c.ntpMax)}}},
      {"LOG",
       {{"sensor-rtc-offset", yesNo(c.logSensorRtcOffset)},
        {"failed-decrypt", yesNo(c.logFailedDecrypt)}}},
      {"RADIO", {{"rssi-threshold", std::to_string(c.rssiThreshold)}}},
  };
  for (auto& [section, keys] : c.extra)
    for (auto& [key, value] : keys) setKey(s, section, key, value);
  std::string out;
  for (auto& [section, keys] : s) {
    out += "[" + section + "]\n";
    for (auto& [key, value] : keys) {
      bool dropped = std::any_of(c.remove.begin(), c.remove.end(),
                                 [&](auto& r) { return r.first == section && r.second == key; });
      if (!dropped) out += key + " = " + value + "\n";
    }
    out += "\n";
  }
  return out;
}

GatewayProcess::GatewayProcess(GatewayConfig cfg) : cfg_(std::move(cfg)) {
  char tmpl[] = "/tmp/ostrel-gw-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  // The daemon drops root to "daemon": it must reach its state directory.
  ::chmod(dir_.c_str(), 0755);
  fs::create_directory(stateDir());
  ::chmod(stateDir().c_str(), 0777);
  writeConfig();
}

GatewayProcess::~GatewayProcess() {
  if (pid_ > 0 && !status_) {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped(st);
    } else {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &st, 0);
      sent_.insert(SIGKILL);
      reaped(st);
    }
  }
  stopReading_ = true;
  if (reader_.joinable()) reader_.join();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::string GatewayProcess::stateDir() const {
  return cfg_.stateDir.empty() ? dir_ + "/state" : cfg_.stateDir;
}
std::string GatewayProcess::configPath() const {
  return dir_ + "/ostrel.conf";
}
std::string GatewayProcess::dir() const {
  return dir_;
}

void GatewayProcess::writeConfig() {
  writeConfigText(renderConfig(cfg_));
}

void GatewayProcess::writeConfigText(const std::string& text) {
  std::ofstream out(configPath(), std::ios::trunc);
  out << text;
  out.close();
  ::chmod(configPath().c_str(), 0644);
}

void GatewayProcess::start(std::vector<std::string> extraArgs,
                           std::map<std::string, std::string> env) {
  std::vector<std::string> args;
  // A cross build's daemon runs under the emulator: there is no binfmt_misc to pick it.
  if (std::string emulator = OSTREL_EMULATOR; !emulator.empty()) args.push_back(emulator);
  for (std::string a : {std::string(OSTREL_BIN_DIR "/ostrel"), std::string("--config"),
                        configPath(), std::string("--state-dir"), stateDir()})
    args.push_back(a);
  if (::geteuid() == 0) {
    args.push_back("--user");
    args.push_back("daemon");
  }
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  startProgram(std::move(args), std::move(env));
}

void GatewayProcess::startProgram(std::vector<std::string> args,
                                  std::map<std::string, std::string> env) {
  if (pid_ > 0) throw std::logic_error("GatewayProcess started twice");
  // Everything the child needs is prepared before fork: the parent has threads.
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (auto& [k, v] : env) vars[k] = v;
  std::vector<std::string> envStrings;
  for (auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  pid_ = pid;
  reader_ = std::thread([this, fd = fds[0]] { readLoop(fd); });
}

void GatewayProcess::readLoop(int fd) {
  std::string buf;
  char chunk[4096];
  auto push = [&](std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard lk(m_);
    lines_.push_back(std::move(line));
    times_.push_back(Clock::now());
    cv_.notify_all();
  };
  // Polls so that a grandchild holding the pipe open cannot keep the destructor waiting.
  while (!stopReading_) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, 50);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    buf.append(chunk, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      push(buf.substr(0, nl));
      buf.erase(0, nl + 1);
    }
  }
  if (!buf.empty()) push(buf);
  ::close(fd);
  std::lock_guard lk(m_);
  readerDone_ = true;
  cv_.notify_all();
}

int GatewayProcess::waitForLine(const std::string& text, std::chrono::milliseconds timeout,
                                bool exact, int from) const {
  std::unique_lock lk(m_);
  int found = -1;
  auto match = [&] {
    for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < lines_.size(); ++i) {
      bool hit = exact ? lines_[i] == text : lines_[i].find(text) != std::string::npos;
      if (hit) {
        found = static_cast<int>(i);
        return true;
      }
    }
    return false;
  };
  cv_.wait_for(lk, timeout, match);
  return found;
}

std::vector<std::string> GatewayProcess::lines() const {
  std::lock_guard lk(m_);
  return lines_;
}

std::optional<GatewayProcess::Clock::time_point> GatewayProcess::lineTime(int index) const {
  std::lock_guard lk(m_);
  if (index < 0 || static_cast<std::size_t>(index) >= times_.size()) return std::nullopt;
  return times_[static_cast<std::size_t>(index)];
}

int GatewayProcess::countLines(const std::string& contains) const {
  std::lock_guard lk(m_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.find(contains) != std::string::npos;
  }));
}

int GatewayProcess::findLine(const std::string& text, int from) const {
  std::lock_guard lk(m_);
  for (std::size_t i = static_cast<std::size_t>(std::max(from, 0)); i < lines_.size(); ++i)
    if (lines_[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

std::string GatewayProcess::transcript() const {
  std::lock_guard lk(m_);
  std::string out;
  for (auto& l : lines_) out += l + "\n";
  return out;
}

void GatewayProcess::signal(int sig) {
  if (pid_ > 0 && !status_) {
    sent_.insert(sig);
    ::kill(pid_, sig);
  }
}

void GatewayProcess::reaped(int st) {
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  // The reader sees end of file once the daemon's output is all in (a grandchild still holding
  // the pipe would keep it open: give up after a second).
  {
    std::unique_lock lk(m_);
    cv_.wait_for(lk, 1s, [&] { return readerDone_; });
  }
  if (std::string problem = abnormalEnd("the daemon", st, transcript(), sent_); !problem.empty())
    ADD_FAILURE() << problem;
}

std::optional<int> GatewayProcess::waitExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  int st = 0;
  if (!waitUntil([&] { return ::waitpid(pid_, &st, WNOHANG) == pid_; }, timeout, "the exit"))
    return std::nullopt;
  reaped(st);
  return status_;
}

long long peakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
  return -1;
}

}  // namespace ostrel::test
