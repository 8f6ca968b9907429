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

#include "ostrel/io/MqttBuffer.hpp"
#include "ostrel/io/MqttClient.hpp"

namespace ostrel {

struct PahoOptions {
  std::size_t maxInflight = 10;  // handed to Paho and not yet completed (below the broker's
                                 // receive maximum, so Paho's sender never waits out its 1 s)
  // Publications owed (sent or not) above which waitForRoom() holds the producer back while the
  // broker acknowledges; a second without progress lets it go on.
  std::size_t highWater = 1000;
  std::chrono::milliseconds ackStall{1000};
  std::chrono::seconds connectTimeout{10};
  // An attempt Paho has not reported on by then is given up (0: connectTimeout + 2 s).
  std::chrono::milliseconds connectWatchdog{0};
  // Back-off between reconnect attempts, doubling, with up to a fifth taken off at random.
  std::chrono::milliseconds reconnectMin{500};
  std::chrono::milliseconds reconnectMax{5000};
  // The publication buffer; handing the previous client's buffer to its successor keeps what it
  // owed. Empty: the client makes its own, of MqttSettings::bufferSize bytes.
  std::shared_ptr<MqttBuffer> buffer;
};

std::unique_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options = {});

// Call once before the process exits, after every client is gone: waits until the clients'
// disconnects have gone out and their Paho clients are freed. Returning from main while that
// still runs on its own thread tears the TLS library down under it (a crash at exit). False
// when it did not end within `limit`: then leave with _exit rather than run the exit handlers.
bool finishMqttClients(std::chrono::milliseconds limit);

}  // namespace ostrel
