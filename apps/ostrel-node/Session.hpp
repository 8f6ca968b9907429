#pragma once
// ostrel-node's connection to the broker: one MQTT 5 session with a response topic of its own,
// used from one thread, each call waiting for what it needs (the command line has nothing else
// to do meanwhile).
#include <chrono>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "ostrel/mqtt/PahoLink.hpp"

namespace ostrel::node {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string broker = "localhost:1883";
  std::string username, password;
  std::string passwordFile;
  bool tls = false;
  std::string caFile;
  std::string replyPrefix = "ostrel-node";
  std::string gateway;
  double timeout = 10;  // seconds for each answer
  std::string sensor;
};

// Host and port of a "HOST:PORT" broker address ("[v6]:PORT" too); 1883 or 8883 without a port.
std::pair<std::string, int> hostPort(const std::string& broker, bool tls);

struct Received {
  std::string topic;
  std::string payload;
};

class Session {
 public:
  // Connects and subscribes to the response topic; throws std::runtime_error saying why not.
  explicit Session(const Options& o);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void subscribe(const std::string& topic);
  std::string topic(const std::string& op) const;
  // Publishes a request and waits for its answer; nullopt when none came in time.
  std::optional<nlohmann::json> request(const std::string& op, const std::string& payload);
  // The next message on any subscribed topic before `end`.
  std::optional<Received> next(Clock::time_point end);

 private:
  // Runs the link's events until `done` holds or `end` passes; false on time-out.
  template <typename Done>
  bool runUntil(Done done, Clock::time_point end);

  const Options& o_;
  std::string id_, responseTopic_;
  asio::io_context ctx_;
  LinkConfig config_;
  std::unique_ptr<PahoLink> link_;
  std::deque<LinkEvent> events_;  // not yet looked at
  std::deque<Received> early_;    // messages that came while waiting for something else
  unsigned seq_ = 0;
};

}  // namespace ostrel::node
