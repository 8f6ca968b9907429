#pragma once
// The node-operations companion: its own MQTT connection, on which it takes requests for the
// gateway core's node operations (messages, sensor configuration, keep-in-receive mode, firmware
// transfer) and answers each one on the request's response topic.
//
// Requests are carried out one at a time, in arrival order, on the event loop; the serial
// writes of messages and configurations go through the transmit queue like all other traffic.
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/mqtt/MqttClient.hpp"
#include "ostrel/nodeops/Requests.hpp"
#include "ostrel/sys/Config.hpp"

namespace ostrel::ops {

struct CompanionSettings {
  std::string host;
  int port = 1883;
  int keepalive = 60;
  MqttSettings mqtt;
  std::string stateDir;                       // where the firmware image of a transfer is kept
  std::size_t maxPending = 32;                // requests waiting beyond these are refused at once
  std::size_t maxPendingBytes = 1024 * 1024;  // and beyond these bytes (one always may wait)
  std::chrono::milliseconds jobLimit{30000};  // a queued job that has not run by then fails
  std::string replyPrefix;                    // [OPS] reply-prefix: replies only under it
  std::string discoveryPrefix;                // no reply enters the discovery tree
};

// The companion's settings when [OPS] enabled is true; nullopt when the section or key is absent
// or false. Broker settings are the gateway's.
std::optional<CompanionSettings> companionSettings(const Config& config, std::string stateDir,
                                                   const std::string& hostName);

class Companion : public std::enable_shared_from_this<Companion> {
 public:
  // Hands a job to the transmit worker; completes once it is queued.
  using Enqueue = std::function<awaitable<void>(std::function<void()>)>;
  using MakeClient = std::function<std::shared_ptr<MqttClient>(Executor, const MqttSettings&)>;

  Companion(Executor ex, CompanionSettings settings, Enqueue enqueue, MakeClient makeClient = {});

  // Spawns the companion on the loop: waits for the hat's UID, connects and serves requests.
  void start();
  // Ends it: stops serving and disconnects (at most about a second).
  awaitable<void> stop();

  // Takes one MQTT message (event loop). Public for tests.
  void onRequest(const std::string& topic, const Bytes& payload, const MqttReplyProps& props);
  const std::shared_ptr<MqttClient>& client() const { return client_; }
  const std::string& gatewayUid() const { return gatewayUid_; }

 private:
  struct Request {
    Target target;
    std::string topic;
    Bytes payload;
    MqttReplyProps reply;
  };

  awaitable<void> run();
  awaitable<void> serve();
  // The answer to one request.
  awaitable<std::string> carryOut(const Request& r);
  // Runs `job` on the transmit worker; the error text, or nullopt when it succeeded.
  awaitable<std::optional<std::string>> onWorker(std::function<void()> job);
  awaitable<std::string> startFirmware(const Request& r);
  awaitable<std::string> stepFirmware(const Request& r);
  void publishStatus();
  void answer(const Request& r, const std::string& text);
  // Why no reply to `r` may go to its response topic (logged), or nullopt when one may.
  std::optional<std::string> replyRefusal(const Request& r);

  Executor ex_;
  CompanionSettings settings_;
  Enqueue enqueue_;
  MakeClient makeClient_;
  std::shared_ptr<MqttClient> client_;
  std::string gatewayUid_;
  std::deque<Request> pending_;
  std::size_t pendingBytes_ = 0;
  asio::steady_timer wake_;
  asio::cancellation_signal cancel_;
  bool running_ = false;
  bool stopping_ = false;
  std::shared_ptr<asio::steady_timer> ended_;
  // Requests arrive as fast as anyone may publish them: their log lines are flood-limited.
  LogThrottle log_;
};

}  // namespace ostrel::ops
