#pragma once
// A real mosquitto on a free loopback port, and small synchronous MQTT helpers for tests.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::test {

// A TLS listener instead of plain TCP: PEM files of the CA, the broker's certificate and key.
struct BrokerTls {
  std::string caFile;
  std::string certFile;
  std::string keyFile;
  bool requireClientCert = false;
};

class Broker {
 public:
  // Starts mosquitto at once; throws when it does not accept connections within 20 s.
  Broker();
  // `extraConfig`: further mosquitto.conf lines.
  explicit Broker(std::optional<BrokerTls> tls, std::string extraConfig = {});
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  int port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  bool running() const { return pid_ > 0; }
  // SIGTERM and wait (SIGKILL after 3 s).
  void stop();
  // Starts it again on the same port.
  void start();
  std::string logText() const;

 private:
  void writeConfig(const std::optional<BrokerTls>& tls);
  std::string dir_;
  std::string extra_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// A broker user's name and password; an empty name connects anonymously.
struct Login {
  std::string user;
  std::string password;
};

struct Received {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
};

// A mosquitto_sub child process (independent of our own client); a reader thread collects
// what it prints. Topics and payloads must not contain line feeds.
class Subscriber {
 public:
  // Starts it and waits for the SUBACK (blocking), all filters at `qos`.
  Subscriber(int port, std::vector<std::string> filters, int qos = 1, const Login& login = {});
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  using Predicate = std::function<bool(const std::vector<Received>&)>;
  // True when `pred` held within `timeout`.
  bool waitFor(const Predicate& pred, std::chrono::milliseconds timeout);
  bool waitForCount(std::size_t n, std::chrono::milliseconds timeout);
  std::vector<Received> messages() const;

 private:
  void readLoop();
  void shutdown();

  pid_t pid_ = -1;
  int out_ = -1;
  std::thread reader_;
  bool subscribed_ = false;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::vector<Received> got_;
};

// Runs mosquitto_pub for one message and waits for it to finish (throws when it fails). A
// `clientId` that another client is connected with takes that client's session over;
// `extraArgs` go to mosquitto_pub as they are (e.g. "-D publish response-topic T").
void publishTo(int port, const std::string& topic, const std::string& payload, int qos = 1,
               bool retain = false, const std::string& clientId = {},
               const std::vector<std::string>& extraArgs = {}, const Login& login = {});

// Runs one mosquitto_pub that sends each line of `lines` as a message to `topic` (QoS 1), in one
// connection; waits for it to finish (throws when it fails).
void publishLines(int port, const std::string& topic, const std::string& lines);

// A TCP port on 127.0.0.1 where nothing listens right now.
int freeLoopbackPort();

}  // namespace ostrel::test
