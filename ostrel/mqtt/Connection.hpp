#pragma once
// Keeps one MQTT connection open: attempts with one back-off, a slow attempt counted as the broker
// being away, take-over detection, the TLS probe after a failed TLS attempt, and the Paho links it
// has made, each destroyed on the loop once it is done and quiet. What passes over the connection
// is the owner's: it hears every event of the current link through the handlers.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ostrel/base/Asio.hpp"
#include "ostrel/mqtt/MqttBuffer.hpp"
#include "ostrel/mqtt/PahoLink.hpp"

namespace ostrel {

// The link's settings that come from the daemon's [MQTT] settings (not the server's address).
LinkConfig linkConfigOf(const MqttSettings& s);

struct ConnectionOptions {
  std::chrono::seconds connectTimeout{10};
  // Back-off between connect attempts: doubling from min to max, up to a fifth taken off at
  // random; back to min only once a connection has held for `holdToReset`.
  std::chrono::milliseconds reconnectMin{500};
  std::chrono::milliseconds reconnectMax{5000};
  std::chrono::milliseconds holdToReset{10000};
  // An attempt unanswered this long counts as the broker being away.
  std::chrono::milliseconds slowAttempt{1000};
  int maxBuffered = 110;
};

class Connection {
 public:
  enum class Phase { Idle, Connecting, Connected, Closing };
  struct Handlers {
    std::function<void(const LinkEvent&)> connected;
    // The connection ended by itself; `blame` says what in flight may be at fault.
    std::function<void(const std::string& why, MqttBuffer::Blame blame)> lost;
    // Our close() (or a reconnect()) is done: what was in flight is not acknowledged.
    std::function<void()> closed;
    std::function<void(const std::string& why)> attemptFailed;
    // The broker counts as away from now (a slow attempt).
    std::function<void()> away;
    // Published, Subscribed and Message events of the current connection.
    std::function<void(LinkEvent&)> event;
  };

  Connection(Executor ex, ConnectionOptions options, Handlers handlers);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Settings for the next attempt: account, TLS, will, limits (host, port and keep-alive come
  // with open()).
  void configure(LinkConfig base);
  LinkConfig& settings() { return base_; }
  // Opens the connection and keeps it open until close().
  void open(const std::string& host, int port, int keepAlive);
  // Ends the connection and the attempts; `closed` follows once it is done.
  void close();
  // Closes the connection and opens it again at once (what is in flight is blamed on nothing).
  void reconnect();
  // Abandons the link whose close did not complete in time (see finishMqttClients).
  void abandon();

  Phase phase() const { return phase_; }
  bool wanted() const { return want_.has_value(); }
  // Not connected, and not within the first moments of an attempt after a working connection.
  bool away() const {
    return phase_ != Phase::Connected && (brokerAway_ || phase_ != Phase::Connecting);
  }
  // The link of the current connection; only while Connected.
  PahoLink* link() { return phase_ == Phase::Connected ? link_.get() : nullptr; }
  std::uint64_t linksMade() const { return linksMade_; }
  std::string where() const;
  int keepAlive() const { return attempt_.keepAlive; }
  // A publication was refused now: a connection that ends without a reason moments later ended
  // for that refusal (mosquitto 2.0 closes after some refusals), not for a take-over.
  void noteRefusal() { lastRefusal_ = std::chrono::steady_clock::now(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Target {
    std::string host;
    int port = 0;
    int keepAlive = 60;
    std::uint64_t settingsVersion = 0;
    bool operator==(const Target&) const = default;
  };
  void onEvent(std::uint64_t from, LinkEvent& ev);
  void onConnectResult(LinkEvent& ev);
  void onLost(LinkEvent& ev);
  void onClosed();
  void startAttempt();
  std::chrono::milliseconds scheduleAttempt();
  void attemptFailed(const std::string& why);
  void closeLink();
  void retire();  // the current link goes to the graveyard
  void bury();    // destroys the retired links that are quiet
  void noteTakeOver(std::size_t silentCloses = 0);

  Executor ex_;
  ConnectionOptions options_;
  Handlers on_;
  LinkConfig base_;
  std::uint64_t settingsVersion_ = 0;
  std::optional<Target> want_;  // what open() asked for, until close()
  Target attempt_;              // what the current attempt or connection is for
  Phase phase_ = Phase::Idle;
  bool brokerAway_ = false;  // since the last connect: an attempt failed or hung, or a loss
  bool renew_ = false;       // the link must not be used for another connection
  bool reopen_ = false;      // reconnect(): open again once closed
  std::unique_ptr<PahoLink> link_;
  std::uint64_t linkId_ = 0;
  std::vector<std::unique_ptr<PahoLink>> retired_;
  std::uint64_t linksMade_ = 0;
  asio::steady_timer retry_, slow_, burial_;
  std::chrono::milliseconds backoff_;
  std::minstd_rand jitter_;
  Clock::time_point connectedAt_;
  std::optional<Clock::time_point> lastRefusal_;
  std::vector<Clock::time_point> silentCloses_;  // within the last minute
  bool failedSinceClose_ = false;
  std::optional<Clock::time_point> takeOverTold_;
  std::uint64_t probeSeq_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// Call once before the process exits, after every client is gone. False when a client was left
// with a disconnect that never completed: Paho may still be at work in it, so leave with _exit
// rather than run the exit handlers (they tear the TLS library down under it).
bool finishMqttClients();

}  // namespace ostrel
