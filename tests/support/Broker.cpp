#include "tests/support/Broker.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "tests/support/Wait.hpp"

namespace ostrel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";

bool accepts(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

// fork + exec with stdin and stderr on /dev/null and stdout on `out` (or /dev/null).
pid_t spawn(const std::vector<std::string>& args, int out) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(out >= 0 ? out : null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for the child to end; false (and the child killed) after `limit`.
bool waitExit(pid_t pid, std::chrono::milliseconds limit, int& status) {
  if (waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, limit, "the exit"))
    return true;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return false;
}

}  // namespace

namespace {

bool canBind(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);  // as mosquitto binds
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

// Below the kernel's ephemeral range (32768 and up here): a port the kernel hands out to the
// outgoing connections of other tests, running in parallel, could be taken between our check
// and the broker's bind, or while a broker is stopped for an outage.
int freeLoopbackPort() {
  static std::minstd_rand pick(static_cast<unsigned>(::getpid()) * 7919u ^
                               static_cast<unsigned>(std::time(nullptr)));
  for (int i = 0; i < 1000; ++i) {
    int port = 20000 + static_cast<int>(pick() % 12000);
    if (canBind(port)) return port;
  }
  throw std::runtime_error("no free loopback port between 20000 and 32000");
}

Broker::Broker() : Broker(std::nullopt) {}

Broker::Broker(std::optional<BrokerTls> tls, std::string extraConfig)
    : extra_(std::move(extraConfig)) {
  char tmpl[] = "/tmp/ostrel-broker-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  // Another test may take the port between our check and mosquitto's bind: try another.
  for (int attempt = 1;; ++attempt) {
    port_ = freeLoopbackPort();
    writeConfig(tls);
    try {
      start();
      return;
    } catch (const std::runtime_error&) {
      if (attempt == 5 || logText().find("Address already in use") == std::string::npos) throw;
    }
  }
}

void Broker::writeConfig(const std::optional<BrokerTls>& tls) {
  std::error_code ec;
  fs::remove(dir_ + "/mosquitto.log", ec);  // what a failed attempt logged is no news
  std::ofstream conf(dir_ + "/mosquitto.conf");
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "persistence false\n"
       // Tests judge the gateway's delivery, not a slow test subscriber: the default of 1000
       // queued messages per client would let the broker drop for a subscriber that lags.
       << "max_queued_messages 0\n"
       << "log_dest file " << dir_ << "/mosquitto.log\n"
       << "log_type all\n";
  if (tls) {
    conf << "cafile " << tls->caFile << "\n"
         << "certfile " << tls->certFile << "\n"
         << "keyfile " << tls->keyFile << "\n"
         << "require_certificate " << (tls->requireClientCert ? "true" : "false") << "\n";
  }
  conf << extra_;
  if (::geteuid() == 0) conf << "user root\n";  // else mosquitto cannot write the log here
}

Broker::~Broker() {
  stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void Broker::start() {
  if (pid_ > 0) return;
  pid_ = spawn({kMosquitto, "-c", dir_ + "/mosquitto.conf"}, -1);
  bool exited = false;
  auto up = [&] {
    int status = 0;
    exited = ::waitpid(pid_, &status, WNOHANG) == pid_;
    return exited || accepts(port_);
  };
  if (waitUntil(up, 20s, "mosquitto to accept connections")) {
    if (!exited) return;
    pid_ = -1;
    throw std::runtime_error("mosquitto exited at start-up: " + logText());
  }
  // Say what the child was doing: a child that never reached exec (a fork under emulation that
  // hangs) differs from a broker that is running but does not listen.
  std::error_code ec;
  auto exe = fs::read_symlink("/proc/" + std::to_string(pid_) + "/exe", ec).string();
  std::string state;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("State:")) state = line;
  stop();
  throw std::runtime_error("mosquitto did not accept connections on port " +
                           std::to_string(port_) + " within 20 s; the child ran " + exe + " (" +
                           state + "); its log: " + logText().substr(0, 2000));
}

void Broker::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  waitExit(pid_, 3s, status);
  pid_ = -1;
}

std::string Broker::logText() const {
  std::ifstream in(dir_ + "/mosquitto.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

namespace {

void addLogin(std::vector<std::string>& args, const Login& login) {
  if (!login.user.empty()) args.insert(args.end(), {"-u", login.user, "-P", login.password});
}

}  // namespace

Subscriber::Subscriber(int port, std::vector<std::string> filters, int qos, const Login& login) {
  // stdbuf: mosquitto_sub's stdout is a pipe and would otherwise hold back the SUBACK line.
  std::vector<std::string> args = {"stdbuf",    "-oL",        "mosquitto_sub",      "-h",
                                   "127.0.0.1", "-p",         std::to_string(port), "-V",
                                   "5",         "-q",         std::to_string(qos),  "-d",
                                   "-F",        "%r %q %t %p"};
  addLogin(args, login);
  for (auto& f : filters) {
    args.push_back("-t");
    args.push_back(f);
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_ = spawn(args, fds[1]);
  ::close(fds[1]);
  out_ = fds[0];
  reader_ = std::thread([this] { readLoop(); });
  std::unique_lock lk(m_);
  if (!cv_.wait_for(lk, 20s, [&] { return subscribed_; })) {
    lk.unlock();
    shutdown();
    throw std::runtime_error("mosquitto_sub got no SUBACK within 20 s");
  }
}

Subscriber::~Subscriber() {
  shutdown();
}

void Subscriber::shutdown() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

void Subscriber::readLoop() {
  std::string buf;
  char chunk[4096];
  for (;;) {
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    buf.append(chunk, static_cast<std::size_t>(n));
    // Parse every complete line first, then take the lock once: a waiter's predicate runs under
    // it, and a reader held up by it lets the pipe, and then the broker's queue, fill.
    std::vector<Received> parsed;
    bool suback = false;
    std::size_t from = 0, nl;
    while ((nl = buf.find('\n', from)) != std::string::npos) {
      std::string_view line(buf.data() + from, nl - from);
      from = nl + 1;
      if (line.starts_with("Client ")) {  // debug line
        if (line.find("received SUBACK") != std::string_view::npos) suback = true;
        continue;
      }
      // "<retain> <qos> <topic> <payload>"
      std::istringstream in{std::string(line)};
      Received r;
      int retain = 0;
      in >> retain >> r.qos >> r.topic;
      if (!in) continue;
      r.retain = retain != 0;
      std::string rest;
      std::getline(in, rest);
      r.payload = rest.empty() ? rest : rest.substr(1);
      parsed.push_back(std::move(r));
    }
    buf.erase(0, from);
    if (parsed.empty() && !suback) continue;
    {
      std::lock_guard lk(m_);
      subscribed_ = subscribed_ || suback;
      std::move(parsed.begin(), parsed.end(), std::back_inserter(got_));
    }
    cv_.notify_all();
  }
}

bool Subscriber::waitFor(const Predicate& pred, std::chrono::milliseconds timeout) {
  std::unique_lock lk(m_);
  return cv_.wait_for(lk, timeout, [&] { return pred(got_); });
}

bool Subscriber::waitForCount(std::size_t n, std::chrono::milliseconds timeout) {
  return waitFor([n](const std::vector<Received>& v) { return v.size() >= n; }, timeout);
}

std::vector<Received> Subscriber::messages() const {
  std::lock_guard lk(m_);
  return got_;
}

void publishTo(int port, const std::string& topic, const std::string& payload, int qos, bool retain,
               const std::string& clientId, const std::vector<std::string>& extraArgs,
               const Login& login) {
  std::vector<std::string> args = {"mosquitto_pub",
                                   "-h",
                                   "127.0.0.1",
                                   "-p",
                                   std::to_string(port),
                                   "-V",
                                   "5",
                                   "-q",
                                   std::to_string(qos),
                                   "-t",
                                   topic,
                                   "-m",
                                   payload};
  if (retain) args.push_back("-r");
  if (!clientId.empty()) args.insert(args.end(), {"-i", clientId});
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  addLogin(args, login);
  pid_t pid = spawn(args, -1);
  int status = 0;
  if (!waitExit(pid, 20s, status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("mosquitto_pub failed for topic " + topic);
}

}  // namespace ostrel::test

namespace ostrel::test {

void publishLines(int port, const std::string& topic, const std::string& lines) {
  char path[] = "/tmp/ostrel-lines.XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  bool written = ::write(fd, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size());
  ::close(fd);
  if (!written) throw std::runtime_error("cannot write the lines to publish");
  // -l: one message per line of standard input, all in one connection.
  std::string cmd = "exec mosquitto_pub -h 127.0.0.1 -p " + std::to_string(port) +
                    " -V 5 -q 1 -t '" + topic + "' -l < " + path;
  pid_t pid = spawn({"sh", "-c", cmd}, -1);
  int status = 0;
  bool ok = waitExit(pid, std::chrono::seconds(30), status) && WIFEXITED(status) &&
            WEXITSTATUS(status) == 0;
  ::unlink(path);
  if (!ok) throw std::runtime_error("mosquitto_pub -l failed for topic " + topic);
}

}  // namespace ostrel::test
