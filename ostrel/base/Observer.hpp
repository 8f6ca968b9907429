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

// A decoded field as Home Assistant is told of it.
struct DecodedField {
  std::string name;
  std::string unit, deviceClass, stateClass;  // empty: none
  // A text field (value map): its texts; `onText` set makes it an on/off sensor, on for that text.
  std::vector<std::string> texts;
  std::string onText;
  bool operator==(const DecodedField&) const = default;
};

// What a decoder gives: its name and its fields. Shared and never changed once made, so that an
// observer may keep it and compare it by address.
struct DecoderInfo {
  std::string name;
  std::vector<DecodedField> fields;
  bool operator==(const DecoderInfo&) const = default;
};

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
  // After a reading (not a duplicate) went through the shipped parser: the decoder that took it,
  // or null when none did.
  virtual void onDecoded(std::uint32_t sensorUid, const std::shared_ptr<const DecoderInfo>& info) {
    (void)sensorUid, (void)info;
  }
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
