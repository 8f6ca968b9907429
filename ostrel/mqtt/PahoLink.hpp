#pragma once
// One Eclipse Paho client, its options, TLS and will: the only code that speaks to Paho. Paho
// calls back on threads of its own; each callback becomes one LinkEvent, posted to the loop,
// where the sink sees it. A link is used on the loop only, and is destroyed there only once it is
// quiet(): no callback of Paho's is running inside it.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/Bytes.hpp"
#include "ostrel/mqtt/InboundLimit.hpp"
#include "ostrel/mqtt/LinkProps.hpp"
#include "ostrel/mqtt/MqttBuffer.hpp"
#include "ostrel/mqtt/MqttClient.hpp"

namespace ostrel {

struct LinkConfig {
  std::string host;
  int port = 1883;
  std::string clientId;
  bool cleanStart = false;
  std::uint32_t sessionExpiry = 0;
  // The largest packet taken from the broker (0: no limit said).
  std::uint32_t maxPacketSize = 0;
  // QoS 1 and 2 messages the broker may have in flight towards us (0: the protocol's default).
  std::uint16_t receiveMaximum = 0;
  int keepAlive = 60;
  std::chrono::seconds connectTimeout{10};
  std::string username;
  std::string password;
  std::optional<MqttSettings::Will> will;
  bool tls = false;
  std::string caFile;  // empty: the system's CAs
  std::string certFile;
  std::string keyFile;
  // Publications Paho may hold unsent at once.
  int maxBuffered = 110;
  // Subscriptions keep the retain flag of live publications (MQTT 5 "retain as published").
  bool retainAsPublished = false;
  // Messages taken from the broker that may wait for the loop; none when null.
  std::shared_ptr<InboundLimit> inbound;
  // "tcp://host:port" or "ssl://host:port": never a fall-back to plain TCP when TLS is asked for.
  std::string uri() const;
};

struct LinkEvent {
  enum Kind {
    Connected,      // sessionPresent, reason, props, limits
    ConnectFailed,  // text; reason: the broker's refusal, 0 when it never answered
    Lost,           // text; reason: the DISCONNECT's code, or -1 when the connection just ended
    Closed,         // our disconnect() completed (or failed: then the connection is gone anyway)
    Published,      // token, ok; reason: the PUBACK's code; rc: Paho's return code on failure
    Subscribed,     // mid, granted, props
    Message,        // topic, payload, qos, props, reply
  } kind;
  std::string text;
  int reason = 0;
  int rc = 0;
  bool ok = false;
  bool sessionPresent = false;
  std::string props;
  BrokerLimits limits;
  std::uint64_t token = 0;
  int mid = 0;
  std::vector<int> granted;
  std::string topic;
  Bytes payload;
  int qos = 0;
  MqttReplyProps reply;
  // A Message's share of the inbound bound, released when the event is gone.
  std::optional<InboundLimit::Pass> pass;
};

// A call Paho refused. `later`: not connected or its queue is full, so the same call may work
// once the link has room or is connected again; otherwise the call itself is at fault.
class LinkError : public std::runtime_error {
 public:
  LinkError(const std::string& what, int rc, bool later)
      : std::runtime_error(what), rc(rc), later(later) {}
  int rc;
  bool later;
};

class PahoLink {
 public:
  using Sink = std::function<void(LinkEvent&)>;
  // Makes the Paho client; throws LinkError when Paho refuses the configuration.
  PahoLink(Executor ex, LinkConfig config, Sink sink);
  ~PahoLink();
  PahoLink(const PahoLink&) = delete;
  PahoLink& operator=(const PahoLink&) = delete;

  // What the Paho client was made for: its URI, client identifier and queue.
  const LinkConfig& config() const { return config_; }
  // A link serves another connection only when these agree with what it was made for.
  bool madeFor(const LinkConfig& c) const {
    return c.uri() == config_.uri() && c.clientId == config_.clientId &&
           c.maxBuffered == config_.maxBuffered;
  }
  // An attempt with the options of `c` (account, TLS, will, limits, keep-alive).
  void connect(const LinkConfig& c);
  // One SUBSCRIBE request carrying every (filter, QoS) pair; one per filter when the link
  // keeps the retain flag (the options vector of subscribeMany crashes Paho 1.2.0).
  void subscribe(const MqttClient::Subscriptions& subs);
  // Hands `p` to Paho; its Published event carries the token returned here.
  std::uint64_t publish(const Publication& p);
  void disconnect();
  // Disconnects and waits up to `limit` for it to complete (blocking: at exit only). True when
  // it completed or there was no connection.
  bool disconnectNow(std::chrono::milliseconds limit);
  // No Paho callback is running inside this client right now.
  bool quiet() const;
  // Messages posted to the loop and not yet seen by the sink.
  std::size_t messagesWaiting() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  LinkConfig config_;
};

}  // namespace ostrel
