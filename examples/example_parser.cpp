// Example of a sensor message parser built outside ostrel and loaded at run time.
//
// Payload format understood here: a type byte 0x01 followed by a temperature in hundredths of a
// degree Celsius (signed 16-bit, big-endian). Published to "sensors/{uid}/temperature" as
// {"uid": .., "ts": .., "rssi": .., "celsius": 21.5}. Other payloads are not recognised.
//
// Build it as a shared library and name it in the configuration:
//   [PARSER]
//   library = /usr/local/lib/ostrel/libexample_parser.so
#include <fmt/format.h>

#include "ostrel/parser/SensorMsgParser.hpp"

namespace {

using namespace ostrel;

struct Temperature {
  double celsius;
};

class TemperaturePublisher : public MsgPublisher {
 public:
  explicit TemperaturePublisher(MqttClient& c) : client(c) {}
  void publish(std::uint32_t uid, long long ts, const ParsedMsg& msg, int rssi) override {
    auto t = std::any_cast<const Temperature&>(msg);
    client.publish(fmt::format("sensors/{}/temperature", uid),
                   fmt::format(R"({{"uid": {}, "ts": {}, "rssi": {}, "celsius": {}}})", uid, ts,
                               rssi, t.celsius),
                   1, false);
  }
  MqttClient& client;
};

class TemperatureDecoder : public MsgDecoder {
 public:
  ParsedMsg parse(std::uint32_t, const Bytes& p) override {
    auto raw = static_cast<std::int16_t>((p[1] << 8) | p[2]);
    return Temperature{raw / 100.0};
  }
  MsgPublisher& getPublisher(MqttClient& client) override {
    if (!publisher || &publisher->client != &client)
      publisher = std::make_unique<TemperaturePublisher>(client);
    return *publisher;
  }
  std::unique_ptr<TemperaturePublisher> publisher;
};

class TemperatureParser : public SensorMsgParser {
 public:
  MsgDecoder* getParser(const Bytes& p) override {
    return (p.size() == 3 && p[0] == 0x01) ? &decoder : nullptr;
  }
  std::string toString(const ParsedMsg& msg) override {
    return fmt::format("{} C", std::any_cast<const Temperature&>(msg).celsius);
  }
  TemperatureDecoder decoder;
};

}  // namespace

extern "C" ostrel::SensorMsgParser* ostrel_create_parser() {
  return new TemperatureParser();
}
