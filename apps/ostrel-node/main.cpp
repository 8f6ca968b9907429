// ostrel-node: sends node operations to a gateway's companion over MQTT and prints the answers.
// Boost (through NodeOps.hpp) must come before SRecord's headers, which the image reader uses.
#include "ostrel/nodeops/NodeOps.hpp"

#include <termios.h>
#include <unistd.h>

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "apps/ostrel-node/Session.hpp"
#include "ostrel/base/Bytes.hpp"

using namespace ostrel;
using namespace ostrel::node;
using json = nlohmann::json;

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_ANSWER = 3;

// A usage error that ends the program with EXIT_USAGE.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The first line of `path`, without its line end.
std::string readPasswordFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (!f)
    throw UsageError(
        fmt::format("cannot read the password file {}: {}", path, std::strerror(errno)));
  std::string line;
  for (int c; (c = std::fgetc(f)) != EOF && c != '\n';) line.push_back(static_cast<char>(c));
  std::fclose(f);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The terminal's settings while the prompt has echo off, for a signal that ends the program then.
termios promptSaved{};

extern "C" void restoreTerminalAndDie(int sig) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &promptSaved);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Asks on the terminal, without echo. Echo goes off before the prompt appears, so that nothing
// typed ahead is shown, and comes back when reading ends, fails or is interrupted (Ctrl-C).
std::string promptPassword(const Options& o) {
  bool quiet = ::tcgetattr(STDIN_FILENO, &promptSaved) == 0;
  if (quiet) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(sig, restoreTerminalAndDie);
    termios silent = promptSaved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    quiet = ::tcsetattr(STDIN_FILENO, TCSANOW, &silent) == 0;
  }
  std::fprintf(stderr, "MQTT password for %s at %s: ", o.username.c_str(), o.broker.c_str());
  std::fflush(stderr);
  std::string line;
  bool ended = false;
  for (char c; !ended;) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    ended = n <= 0 || c == '\n';
    if (!ended) line.push_back(c);
  }
  if (quiet) ::tcsetattr(STDIN_FILENO, TCSANOW, &promptSaved);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(sig, SIG_DFL);
  return line;
}

// The password for --username, in this order: --password-file (given for this run), the
// environment's OSTREL_MQTT_PASSWORD (inherited), a prompt when standard input is a terminal.
// Without any of them the user name goes alone, which brokers without passwords accept.
void resolvePassword(Options& o) {
  const char* env = std::getenv("OSTREL_MQTT_PASSWORD");
  if (o.username.empty()) {
    if (!o.passwordFile.empty()) throw UsageError("--password-file needs --username");
    return;
  }
  if (!o.passwordFile.empty())
    o.password = readPasswordFile(o.passwordFile);
  else if (env)
    o.password = env;
  else if (::isatty(STDIN_FILENO))
    o.password = promptPassword(o);
}

int report(const std::optional<json>& answer) {
  if (!answer) {
    std::fprintf(stderr, "ostrel-node: no answer from the gateway (is [OPS] enabled?)\n");
    return EXIT_NO_ANSWER;
  }
  std::printf("%s\n", answer->dump().c_str());
  return answer->is_object() && answer->value("ok", false) ? 0 : EXIT_FAILED;
}

// A value given on the command line: a number when it reads as one, else text.
json cliValue(const std::string& text) {
  json v = json::parse(text, nullptr, false);
  return v.is_number() ? v : json(text);
}

struct FirmwareOptions {
  std::string file, authToken, ackTopic, ackPrefix;
  long long key = -1, msgtype = 0, startAddr = 0;
  double ackTimeout = 5;
  int retries = 3;
};

std::string readFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot read " + path);
  std::string out;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  std::fclose(f);
  return out;
}

// Does a sensor reading say "chunk acknowledged"? The raw payload, or the "payload" text of a
// JSON reading (the default parser's form), starts with the prefix.
bool isAck(const std::string& payload, const std::string& prefix) {
  if (payload.rfind(prefix, 0) == 0) return true;
  json j = json::parse(payload, nullptr, false);
  if (!j.is_object()) return false;
  auto p = j.find("payload");
  return p != j.end() && p->is_string() && p->get<std::string>().rfind(prefix, 0) == 0;
}

class Progress {
 public:
  Progress(std::size_t chunks, long long bytes)
      : chunks_(chunks), bytes_(bytes), tty_(::isatty(STDOUT_FILENO)), start_(Clock::now()) {}
  void update(std::size_t chunksDone, long long bytesDone) {
    double secs = std::chrono::duration<double>(Clock::now() - start_).count();
    double rate = secs > 0 ? static_cast<double>(bytesDone) / secs : 0;
    double left = rate > 0 ? static_cast<double>(bytes_ - bytesDone) / rate : 0;
    std::string text = fmt::format("{}/{} chunks, {}/{} bytes, {:.0f} B/s, {:.0f} s left",
                                   chunksDone, chunks_, bytesDone, bytes_, rate, left);
    if (tty_) {
      constexpr int WIDTH = 30;
      int filled = chunks_ ? static_cast<int>(WIDTH * chunksDone / chunks_) : WIDTH;
      std::printf("\r[%s%s] %s", std::string(filled, '#').c_str(),
                  std::string(WIDTH - filled, '-').c_str(), text.c_str());
    } else {
      std::printf("progress: %s\n", text.c_str());
    }
    std::fflush(stdout);
  }
  void done() {
    if (tty_) std::printf("\n");
  }

 private:
  std::size_t chunks_;
  long long bytes_;
  bool tty_;
  Clock::time_point start_;
};

int firmware(Session& s, const Options& o, const FirmwareOptions& f) {
  std::string image = readFile(f.file);
  json req = {{"key", f.key},
              {"msgtype", f.msgtype},
              {"authToken", f.authToken},
              {"startAddr", f.startAddr},
              {"image", image}};
  if (f.ackTopic.empty()) return report(s.request("firmware", req.dump()));

  // The chunk plan mirrors the gateway's: 42 bytes from address 0, 50 otherwise.
  long long maxAddr = IhexImage::load(f.file).maxAddr();
  auto chunkSize = [&](long long a) {
    return std::min<long long>(a == 0 ? 42 : 50, maxAddr - a + 1);
  };
  std::size_t chunks = 1;  // the closing command
  for (long long a = f.startAddr; a <= maxAddr; a += chunkSize(a)) ++chunks;
  const long long total = maxAddr - f.startAddr + 1;
  s.subscribe(f.ackTopic);
  Progress progress(chunks, total);

  long long addr = f.startAddr, sent = 0;
  std::size_t done = 0;
  int misses = 0;
  auto answer = s.request("firmware", req.dump());
  for (;;) {
    if (!answer || !answer->is_object() || !answer->value("ok", false)) {
      progress.done();
      return report(answer);
    }
    // Wait for the acknowledgement of what was just sent.
    auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(f.ackTimeout * 1000));
    bool acked = false;
    while (!acked) {
      auto m = s.next(end);
      if (!m) break;
      acked = m->topic == f.ackTopic && isAck(m->payload, f.ackPrefix);
    }
    if (!acked) {
      if (++misses > f.retries) {
        progress.done();
        std::fprintf(stderr,
                     "ostrel-node: no acknowledgement for the %s at 0x%04llX after %d retries; "
                     "transfer stopped\n",
                     addr > maxAddr ? "closing command" : "chunk", addr, f.retries);
        return EXIT_FAILED;
      }
    } else {
      misses = 0;
      ++done;
      if (addr > maxAddr) {
        progress.update(done, sent);
        progress.done();
        std::printf("firmware transfer to sensor %s complete\n", o.sensor.c_str());
        return 0;
      }
      sent += chunkSize(addr);
      addr += chunkSize(addr);
      progress.update(done, sent);
    }
    answer = s.request("firmware/step", json{{"startAddr", addr}}.dump());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "Sends node operations (messages, sensor configuration, keep-in-receive mode, "
      "firmware) to an ostrel gateway over MQTT and prints its answers."};
  app.require_subcommand(1);
  app.add_option("--broker", o.broker, "MQTT broker as HOST:PORT")->capture_default_str();
  app.add_option("--username", o.username, "MQTT user name");
  std::optional<std::string> cliPassword;
  app.add_option("--password", cliPassword, "not accepted; see --password-file");
  app.add_option("--password-file", o.passwordFile,
                 "file whose first line is the MQTT password (else $OSTREL_MQTT_PASSWORD, else "
                 "a prompt on a terminal)");
  app.add_flag("--tls", o.tls, "connect with TLS");
  app.add_option("--cafile", o.caFile, "CA certificate file for --tls (default: the system's CAs)");
  app.add_option("--reply-prefix", o.replyPrefix, "topic under which the gateway's answers come")
      ->capture_default_str();
  app.add_option("--gateway", o.gateway, "gateway UID (decimal)")->required();
  app.add_option("--timeout", o.timeout, "seconds to wait for each answer")->capture_default_str();

  long long key = -1, msgtype = -1;
  std::optional<long long> outputLevel, waterTemp;
  auto* msg = app.add_subcommand("message", "send a message to a sensor");
  msg->add_option("SENSOR", o.sensor, "sensor UID")->required();
  msg->add_option("--key", key, "key number, 0-65535")->required();
  msg->add_option("--msgtype", msgtype, "message type: 11, 10 or 204")->required();
  msg->add_option("--output-level", outputLevel, "output level (message type 11)");
  msg->add_option("--water-temp", waterTemp, "water temperature (message type 10)");

  std::vector<std::string> sets;
  auto* cfg = app.add_subcommand("config", "send a sensor configuration");
  cfg->add_option("SENSOR", o.sensor, "sensor UID")->required();
  cfg->add_option("--key", key, "key number")->required();
  cfg->add_option("--set", sets, "configuration entry name=value (repeatable)")->required();

  std::string mode;
  auto* pm = app.add_subcommand("peer-mode", "switch a sensor's keep-in-receive mode");
  pm->add_option("SENSOR", o.sensor, "sensor UID")->required();
  pm->add_option("MODE", mode, "on or off")->required()->check(CLI::IsMember({"on", "off"}));

  FirmwareOptions f;
  auto* fw = app.add_subcommand("firmware", "flash a sensor over the air from an Intel HEX file");
  fw->add_option("SENSOR", o.sensor, "sensor UID")->required();
  fw->add_option("FILE", f.file, "Intel HEX image")->required()->check(CLI::ExistingFile);
  fw->add_option("--key", f.key, "message number of the transfer, 0-255")->required();
  fw->add_option("--auth-token", f.authToken, "token of the closing command, hex")->required();
  fw->add_option("--msgtype", f.msgtype, "message type of the transfer")->capture_default_str();
  fw->add_option("--start-addr", f.startAddr, "first address to send")->capture_default_str();
  fw->add_option("--step-on-topic", f.ackTopic,
                 "drive the transfer: a reading on this topic acknowledges the last chunk");
  fw->add_option("--ack-prefix", f.ackPrefix,
                 "payload prefix (or prefix of a JSON reading's \"payload\") of an acknowledgement")
      ->capture_default_str();
  fw->add_option("--ack-timeout", f.ackTimeout, "seconds to wait for each acknowledgement")
      ->capture_default_str();
  fw->add_option("--retries", f.retries, "unacknowledged chunks sent again before giving up")
      ->capture_default_str();

  auto* st = app.add_subcommand("status", "show the retained firmware transfer status");
  st->add_option("SENSOR", o.sensor, "sensor UID")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : EXIT_USAGE;
  }
  if (cliPassword) {
    std::fprintf(stderr,
                 "ostrel-node: --password is not accepted: every user of this machine can read a "
                 "command line (ps, /proc). Give the password with --password-file FILE, in the "
                 "environment variable OSTREL_MQTT_PASSWORD, or type it at the prompt.\n");
    return EXIT_USAGE;
  }
  if (o.replyPrefix.empty() || o.replyPrefix.find_first_of("+#") != std::string::npos ||
      o.replyPrefix.front() == '$') {
    std::fprintf(stderr, "ostrel-node: --reply-prefix must be a topic without wildcards\n");
    return EXIT_USAGE;
  }
  try {
    resolvePassword(o);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "ostrel-node: %s\n", e.what());
    return EXIT_USAGE;
  }
  try {
    Session s(o);
    if (*msg) {
      json r = {{"key", key}, {"msgtype", msgtype}};
      if (outputLevel) r["outputLevel"] = *outputLevel;
      if (waterTemp) r["waterTemp"] = *waterTemp;
      return report(s.request("message", r.dump()));
    }
    if (*cfg) {
      json r = {{"key", key}};
      for (const auto& kv : sets) {
        auto eq = kv.find('=');
        if (eq == std::string::npos) {
          std::fprintf(stderr, "ostrel-node: --set wants name=value, got %s\n", kv.c_str());
          return EXIT_USAGE;
        }
        r[kv.substr(0, eq)] = cliValue(kv.substr(eq + 1));
      }
      return report(s.request("config", r.dump()));
    }
    if (*pm) return report(s.request("peer-mode", mode == "on" ? "1" : "0"));
    if (*fw) return firmware(s, o, f);
    // status
    std::string topic = s.topic("firmware/status");
    s.subscribe(topic);
    auto m = s.next(Clock::now() + std::chrono::milliseconds(static_cast<long>(o.timeout * 1000)));
    if (!m) {
      std::fprintf(stderr, "ostrel-node: no firmware status for sensor %s\n", o.sensor.c_str());
      return EXIT_NO_ANSWER;
    }
    std::printf("%s\n", m->payload.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrel-node: %s\n", e.what());
    return EXIT_FAILED;
  }
}
