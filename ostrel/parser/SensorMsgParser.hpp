#pragma once
// The sensor message parser: finds a decoder for a payload, decodes it, and publishes the result.
// The default parser publishes every non-empty payload as JSON on "sensors/{uid}/raw"; another
// parser can be loaded from a shared library exporting `ostrel_create_parser`.
#include <any>
#include <cstdint>
#include <memory>
#include <string>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/mqtt/MqttClient.hpp"

namespace ostrel {

// A decoded message; the gateway never looks inside.
using ParsedMsg = std::any;

class MsgPublisher {
 public:
  virtual ~MsgPublisher() = default;
  virtual void publish(std::uint32_t senderUID, long long tsMillis, const ParsedMsg& parsedMsg,
                       int rssi) = 0;
};

class MsgDecoder {
 public:
  virtual ~MsgDecoder() = default;
  virtual ParsedMsg parse(std::uint32_t senderUID, const Bytes& payload) = 0;
  // The publisher stays valid while the decoder does.
  virtual MsgPublisher& getPublisher(MqttClient& client) = 0;
};

class SensorMsgParser {
 public:
  virtual ~SensorMsgParser() = default;
  // A decoder for this payload, or nullptr when it is not recognised. Never throws for unknown
  // payloads. The decoder stays valid while the parser does.
  virtual MsgDecoder* getParser(const Bytes& payload) = 0;
  virtual std::string toString(const ParsedMsg& parsedMsg) = 0;
};

// The parser the gateway uses: the default one, or the one from `pluginPath` when not empty.
std::shared_ptr<SensorMsgParser> createSensorMsgParser(const std::string& pluginPath = "");
std::shared_ptr<SensorMsgParser> makeDefaultParser();

}  // namespace ostrel

// A parser library exports this function (C linkage); it returns a new parser owned by the caller.
extern "C" {
using OstrelCreateParserFn = ostrel::SensorMsgParser* (*)();
}
#define OSTREL_PARSER_FACTORY "ostrel_create_parser"
