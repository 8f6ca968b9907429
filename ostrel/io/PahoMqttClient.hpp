#pragma once
// The real MQTT client, on Eclipse Paho C++.
//
// Texts handed to the handlers:
//   flags  "session present 0" or "session present 1"
//   rc     "Success" or the reason code's text (e.g. "Not authorized")
//   props  "[]" or "[receive maximum: 20, topic alias maximum: 10]" (CONNACK, SUBACK, PUBLISH)
// on_disconnect gets Paho's cause text, "connection lost" when it gives none, or
// "client disconnect" after disconnect().
#include <chrono>
#include <memory>

#include "ostrel/io/MqttClient.hpp"

namespace ostrel {

struct PahoOptions {
  std::size_t maxInflight = 10;  // handed to Paho and not yet completed (below the broker's
                                 // receive maximum, so Paho's sender never waits out its 1 s)
  std::size_t maxBuffered =
      10000;  // our own buffer: while the broker is away or the window is full
  std::chrono::seconds connectTimeout{10};
  std::chrono::seconds reconnectMin{1};  // back-off between reconnect attempts, doubling
  std::chrono::seconds reconnectMax{30};
};

std::unique_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options = {});

}  // namespace ostrel
