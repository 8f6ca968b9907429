#pragma once
// The real MQTT client, on Eclipse Paho C++. One object per connection role, kept for the whole
// run: a connection keeper (Connection.hpp), the outbox (Outbox.hpp) and the disk spool
// (Spool.hpp) behind the MqttClient interface.
//
// Texts handed to the handlers:
//   flags  "session present 0" or "session present 1"
//   rc     "Success" or the reason code's text (e.g. "Not authorized")
//   props  "[]" or "[receive maximum: 20, topic alias maximum: 10]" (CONNACK, SUBACK, PUBLISH)
// on_disconnect gets Paho's cause text, "connection lost" when it gives none, or
// "client disconnect" after disconnect().
#include <chrono>
#include <memory>

#include "ostrel/mqtt/Connection.hpp"
#include "ostrel/mqtt/MqttClient.hpp"

namespace ostrel {

struct PahoOptions {
  std::size_t maxInflight = 10;  // handed to Paho and not yet completed (below the broker's
                                 // receive maximum, so Paho's sender never waits out its 1 s)
  // Publications owed (sent or not) above which waitForRoom() holds the producer back while the
  // broker acknowledges; a second without progress lets it go on.
  std::size_t highWater = 1000;
  std::chrono::milliseconds ackStall{1000};
  std::chrono::seconds connectTimeout{10};
  // Back-off between connect attempts: doubling from min to max, up to a fifth taken off at
  // random; back to min only once a connection has held for `holdToReset`.
  std::chrono::milliseconds reconnectMin{500};
  std::chrono::milliseconds reconnectMax{5000};
  std::chrono::milliseconds holdToReset{10000};
  // A publication unacknowledged this long makes the client connect again; 0: the larger of
  // twice the keep-alive and 30 s.
  std::chrono::milliseconds ackTimeout{0};
};

std::shared_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options = {});

// finishMqttClients(), to call before the process exits: see Connection.hpp.

}  // namespace ostrel
