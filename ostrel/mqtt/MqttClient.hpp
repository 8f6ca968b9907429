#pragma once
// MQTT 5 client as the gateway sees it. Handlers always run on the event-loop thread; an
// exception thrown by a handler is logged and goes no further.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/Bytes.hpp"

namespace ostrel {

struct MqttSettings {
  std::string clientId;
  bool cleanStart = false;
  std::uint32_t sessionExpiry = 1209600;
  std::string username;
  std::string password;
  std::size_t bufferSize = 8 * 1024 * 1024;  // bytes of publications kept while the broker lags
  // Where readings wait on disk while the broker is away or behind (empty: in memory only), and
  // the bytes they may take there. Read when the client is made.
  std::string spoolDir;
  std::size_t spoolSize = 64 * 1024 * 1024;
  // The largest packet taken from the broker (it drops larger ones unsent): by default a
  // node-operation request of the largest size accepted, with room for its topic and properties.
  std::uint32_t maxPacketSize = 1024 * 1024 + 64 * 1024;
  // Subscriptions keep the retain flag of live publications (MQTT 5 "retain as published"), so
  // that a retained message is known as one whenever it arrives, not only at subscribe time.
  bool retainAsPublished = false;
  // Published by the broker when the connection ends without a DISCONNECT.
  struct Will {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = true;
  };
  std::optional<Will> will;
  // TLS: the broker's certificate is checked against caFile (the system's CAs when empty) and
  // its host name; certFile and keyFile (PEM) give a client certificate.
  bool tls = false;
  std::string caFile;
  std::string certFile;
  std::string keyFile;
};

// Counters of the publication buffer; they never go backwards within a process.
struct MqttStats {
  // Publications that are not retained (readings, answers): acknowledged by the broker (QoS 1)
  // or written (QoS 0), and pushed out of a full buffer, refused or set aside.
  std::uint64_t published = 0;
  std::uint64_t dropped = 0;
  std::size_t buffered = 0;  // owed right now: not yet sent, or sent and not acknowledged
  std::size_t bufferedBytes = 0;
  std::uint64_t clientsMade = 0;  // library clients made (a new one after each lost connection)
  std::size_t spooled = 0;        // publications on disk now, not yet acknowledged
  std::chrono::seconds oldestUnacked{0};  // how long the oldest publication in flight has waited
};

// What the broker said it takes, in its CONNACK.
struct BrokerLimits {
  std::uint32_t maxPacketSize = 0;  // 0: no limit said
  int maxQos = 2;
  bool retainAvailable = true;
  std::uint16_t receiveMaximum = 65535;
};

// The two MQTT 5 request/response properties of a publication (empty when absent), and
// whether it came as a retained message.
struct MqttReplyProps {
  std::string responseTopic;
  std::string correlationData;  // binary, held as bytes in a string
  bool retained = false;
};

class MqttClient {
 public:
  using Subscriptions = std::vector<std::pair<std::string, int>>;
  // flags, reason code and properties arrive as printable text: the gateway only logs them.
  std::function<void(MqttClient&, const std::string& flags, const std::string& rc,
                     const std::string& props)>
      on_connect;
  std::function<void(MqttClient&, const std::string& topic, const Bytes& payload, int qos,
                     const std::string& props)>
      on_message;
  std::function<void(MqttClient&, const std::string& reason)> on_disconnect;
  std::function<void(MqttClient&, int mid, const std::vector<int>& qos, const std::string& props)>
      on_subscribe;
  // When set, called after on_message for every message, with its request/response properties.
  std::function<void(MqttClient&, const std::string& topic, const Bytes& payload,
                     const MqttReplyProps& props)>
      on_request;

  // After each failed connect attempt (the client has logged it and tries again by itself).
  std::function<void(MqttClient&, const std::string& reason)> on_connect_failed;

  virtual ~MqttClient() = default;
  // Settings for the next open(): account, TLS, will, buffer size.
  virtual void configure(const MqttSettings& settings) { (void)settings; }
  // Opens the connection and keeps it open: every attempt that fails, and every connection that
  // is lost, is followed by another attempt after a back-off, until disconnect().
  virtual void open(const std::string& host, int port, int keepAliveSeconds) = 0;
  // Completes once the client is connected (at once when it is).
  virtual awaitable<void> waitConnected() = 0;
  // open(), then waitConnected().
  awaitable<void> connect(std::string host, int port, int keepAliveSeconds);
  // One SUBSCRIBE request carrying every (filter, QoS) pair.
  virtual void subscribe(const Subscriptions& subs) = 0;
  // Never blocks; while disconnected, publications are buffered (bounded). Event-loop thread.
  virtual void publish(const std::string& topic, std::string payload, int qos, bool retain) = 0;
  // A publication carrying correlation data (an answer to a request). Clients without MQTT 5
  // properties send it without them.
  virtual void publishReply(const std::string& topic, std::string payload, int qos,
                            const std::string& correlationData) {
    (void)correlationData;
    publish(topic, std::move(payload), qos, false);
  }
  // Awaited by a producer before it reads more input: completes at once unless the broker is
  // connected and the buffer is over its high-water mark; then as soon as there is room again,
  // or when no acknowledgement has come for a second (a stalled broker must not hold up the
  // producer; the buffer's bound then applies). A client without a buffer never holds back.
  virtual awaitable<void> waitForRoom();
  // A retained publication that the broker forgets `expirySeconds` after it was sent, unless
  // renewed (MQTT 5 message expiry). Clients without MQTT 5 properties send it without it.
  virtual void publishExpiring(const std::string& topic, std::string payload, int qos,
                               std::uint32_t expirySeconds) {
    (void)expirySeconds;
    publish(topic, std::move(payload), qos, true);
  }
  // Ends the connection and the attempts to make one; what is owed stays buffered for the next
  // open(). Never fails, also when the client never connected.
  virtual awaitable<void> disconnect() = 0;
  virtual bool isConnected() const = 0;
  // Takes effect at the next connect attempt.
  virtual void setWill(MqttSettings::Will will) { (void)will; }
  virtual MqttStats stats() const = 0;
};

// Runs a handler, logging whatever it throws.
void runHandler(const char* name, const std::function<void()>& fn);

}  // namespace ostrel
