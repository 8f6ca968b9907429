#pragma once
// An in-memory MqttClient for unit tests: records what the code under test asks of it and lets
// the test fire the four handlers, which run through runHandler as with the real client.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ostrel/mqtt/MqttClient.hpp"

namespace ostrel::test {

class FakeMqttClient : public MqttClient {
 public:
  struct Connect {
    std::string host;
    int port;
    int keepAlive;
  };
  struct Publication {
    std::string topic;
    std::string payload;
    int qos;
    bool retain;
    std::string correlation = {};  // publishReply only
    std::uint32_t expiry = 0;      // publishExpiring only
  };

  // What open() does: when `connectCallsHandler`, become connected and call on_connect (as the
  // real client does once the broker accepts); otherwise stay unconnected until fireConnect().
  bool connectCallsHandler = true;

  std::vector<Connect> connects;
  std::vector<Subscriptions> subscriptions;  // one entry per SUBSCRIBE request
  std::vector<Publication> publications;
  int disconnects = 0;
  bool connected = false;
  MqttStats counters;

  void open(const std::string& host, int port, int keepAliveSeconds) override {
    connects.push_back({host, port, keepAliveSeconds});
    if (connectCallsHandler) fireConnect();
  }
  awaitable<void> waitConnected() override {
    while (!connected) {
      asio::steady_timer t(co_await asio::this_coro::executor, std::chrono::milliseconds(5));
      co_await t.async_wait(use_awaitable);  // a fake: the tests that wait here are short
    }
  }
  void subscribe(const Subscriptions& subs) override { subscriptions.push_back(subs); }
  void publish(const std::string& topic, std::string payload, int qos, bool retain) override {
    publications.push_back({topic, std::move(payload), qos, retain});
    ++counters.published;
  }
  void publishReply(const std::string& topic, std::string payload, int qos,
                    const std::string& correlationData) override {
    publications.push_back({topic, std::move(payload), qos, false, correlationData});
    ++counters.published;
  }
  void publishExpiring(const std::string& topic, std::string payload, int qos,
                       std::uint32_t expirySeconds) override {
    publications.push_back({topic, std::move(payload), qos, true, {}, expirySeconds});
  }
  awaitable<void> disconnect() override {
    ++disconnects;
    connected = false;
    co_return;
  }
  bool isConnected() const override { return connected; }
  MqttStats stats() const override { return counters; }
  std::optional<MqttSettings::Will> will;
  void setWill(MqttSettings::Will w) override { will = std::move(w); }

  // Handler triggers, with the texts the real client would give.
  void fireConnect(const std::string& flags = "session present 0",
                   const std::string& rc = "Success", const std::string& props = "[]") {
    connected = true;
    runHandler("on_connect", [&] {
      if (on_connect) on_connect(*this, flags, rc, props);
    });
  }
  void fireMessage(const std::string& topic, const Bytes& payload, int qos = 0,
                   const std::string& props = "[]") {
    runHandler("on_message", [&] {
      if (on_message) on_message(*this, topic, payload, qos, props);
    });
  }
  void fireMessage(const std::string& topic, std::string_view payload, int qos = 0) {
    fireMessage(topic, Bytes(payload.begin(), payload.end()), qos);
  }
  void fireRequest(const std::string& topic, std::string_view payload,
                   const MqttReplyProps& props = {}) {
    runHandler("on_request", [&] {
      if (on_request) on_request(*this, topic, Bytes(payload.begin(), payload.end()), props);
    });
  }
  void fireDisconnect(const std::string& reason = "connection lost") {
    connected = false;
    runHandler("on_disconnect", [&] {
      if (on_disconnect) on_disconnect(*this, reason);
    });
  }
  void fireSubscribe(int mid, const std::vector<int>& qos, const std::string& props = "[]") {
    runHandler("on_subscribe", [&] {
      if (on_subscribe) on_subscribe(*this, mid, qos, props);
    });
  }
};

}  // namespace ostrel::test
