// The parser ostrel ships: every non-empty payload is published raw, as hex inside a JSON object.
#include <fmt/format.h>

#include "ostrel/parser/SensorMsgParser.hpp"

namespace ostrel {
namespace {

class RawPublisher : public MsgPublisher {
 public:
  explicit RawPublisher(MqttClient& client) : client_(client) {}
  void publish(std::uint32_t senderUID, long long tsMillis, const ParsedMsg& parsedMsg,
               int rssi) override {
    const auto& payload = std::any_cast<const Bytes&>(parsedMsg);
    client_.publish(fmt::format("sensors/{}/raw", senderUID),
                    fmt::format(R"({{"uid": {}, "ts": {}, "rssi": {}, "payload": "{}"}})",
                                senderUID, tsMillis, rssi, hexString(payload)),
                    1, false);
  }
  MqttClient* client() const { return &client_; }

 private:
  MqttClient& client_;
};

class RawDecoder : public MsgDecoder {
 public:
  ParsedMsg parse(std::uint32_t, const Bytes& payload) override { return payload; }
  MsgPublisher& getPublisher(MqttClient& client) override {
    // The client changes only after a restart; keep one publisher per client.
    if (!publisher_ || publisher_->client() != &client)
      publisher_ = std::make_unique<RawPublisher>(client);
    return *publisher_;
  }

 private:
  std::unique_ptr<RawPublisher> publisher_;
};

class DefaultParser : public SensorMsgParser {
 public:
  MsgDecoder* getParser(const Bytes& payload) override {
    return payload.empty() ? nullptr : &decoder_;
  }
  std::string toString(const ParsedMsg& parsedMsg) override {
    return hexString(std::any_cast<const Bytes&>(parsedMsg));
  }

 private:
  RawDecoder decoder_;
};

}  // namespace

std::shared_ptr<SensorMsgParser> makeDefaultParser() {
  return std::make_shared<DefaultParser>();
}

}  // namespace ostrel
