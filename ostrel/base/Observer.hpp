#pragma once
// What the gateway reports about itself as it runs. The core and the protocol classes call the
// installed observer at a few points; the module that publishes availability, health and
// per-sensor status implements it. Every call comes on the event-loop thread and must not block.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/base/Bytes.hpp"

namespace ostrel {

class MqttClient;

class Observer {
 public:
  virtual ~Observer() = default;
  // The hat's hello, before the first connect of the client.
  virtual void onHello(int version, std::uint32_t fwRevision, const std::string& hatSerial,
                       std::uint32_t gatewayUid) {
    (void)version, (void)fwRevision, (void)hatSerial, (void)gatewayUid;
  }
  // The client is about to connect after the hello or a restart (its will is set here).
  virtual void beforeConnect(MqttClient& client, std::uint32_t gatewayUid) {
    (void)client, (void)gatewayUid;
  }
  // After every connect, the gateway's own connect handling done.
  virtual void onConnected(MqttClient& client) { (void)client; }
  // The client is about to disconnect; `stopping` is false for a restart in the same process.
  virtual void beforeDisconnect(MqttClient& client, bool stopping) { (void)client, (void)stopping; }
  // A valid sensor message from the hat, duplicates included.
  virtual void onReading(std::uint32_t sensorUid, int node, int rssi, bool duplicate) {
    (void)sensorUid, (void)node, (void)rssi, (void)duplicate;
  }
  virtual void onDecryptFailure() {}
  // Topic filters (with QoS) the gateway's connection subscribes to as well, and the messages
  // that arrive on them.
  virtual void addSubscriptions(std::vector<std::pair<std::string, int>>& subs) { (void)subs; }
  virtual void onMessage(const std::string& topic, const Bytes& payload) {
    (void)topic, (void)payload;
  }
  // The hat's clock was set from the gateway's.
  virtual void onClockSync(std::chrono::system_clock::time_point when) { (void)when; }
};

// The installed observer, or one that ignores everything.
Observer& observer();
void installObserver(std::shared_ptr<Observer> o);

}  // namespace ostrel
