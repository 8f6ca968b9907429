#pragma once
// The real MQTT client, on Eclipse Paho C++. One object per connection role, kept for the whole
// run; see the top of PahoMqttClient.cpp for its threads.
//
// Texts handed to the handlers:
//   flags  "session present 0" or "session present 1"
//   rc     "Success" or the reason code's text (e.g. "Not authorized")
//   props  "[]" or "[receive maximum: 20, topic alias maximum: 10]" (CONNACK, SUBACK, PUBLISH)
// on_disconnect gets Paho's cause text, "connection lost" when it gives none, or
// "client disconnect" after disconnect().
#include <chrono>
#include <memory>

#include "ostrel/mqtt/MqttBuffer.hpp"
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
};

std::shared_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options = {});

// Call once before the process exits, after every client is gone. False when a client was left
// with a disconnect that never completed: Paho may still be at work in it, so leave with _exit
// rather than run the exit handlers (they tear the TLS library down under it).
bool finishMqttClients();

}  // namespace ostrel
