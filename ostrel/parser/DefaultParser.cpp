// The parser ostrel ships: every non-empty payload is published raw, as hex inside a JSON object;
// one that a decoder file takes is also published decoded.
#include "ostrel/parser/DefaultParser.hpp"

#include <fmt/format.h>

#include <chrono>

#include "ostrel/base/Log.hpp"

namespace ostrel {
namespace {

using decoders::Decoder;

struct Reading {
  Bytes payload;
  const Decoder* decoder = nullptr;  // lives as long as the parser's decoder set
};

class RawPublisher : public MsgPublisher {
 public:
  RawPublisher(MqttClient& client, const ParserOptions& options)
      : client_(client), options_(options) {}
  void publish(std::uint32_t senderUID, long long tsMillis, const ParsedMsg& parsedMsg,
               int rssi) override {
    const auto& r = std::any_cast<const Reading&>(parsedMsg);
    std::string state;
    decoders::Missing missing;
    if (r.decoder) {
      state = fmt::format(R"({{"ts": {}, "rssi": {}, "decoder": "{}")", tsMillis, rssi,
                          r.decoder->name);
      missing = decoders::appendFields(state, *r.decoder, r.payload);
      state += '}';
      if (missing.count > 0) noteMissing(senderUID, *r.decoder, missing, r.payload.size());
    }
    // A reading that did not decode whole keeps its raw form: nothing is lost to a decoder.
    if (!r.decoder || options_.publishRaw || missing.count > 0)
      client_.publish(fmt::format("sensors/{}/raw", senderUID),
                      fmt::format(R"({{"uid": {}, "ts": {}, "rssi": {}, "payload": "{}"}})",
                                  senderUID, tsMillis, rssi, hexString(r.payload)),
                      1, false);
    if (r.decoder)
      client_.publish(fmt::format("sensors/{}/state", senderUID), std::move(state), 1, false);
    observer().onDecoded(senderUID, r.decoder ? r.decoder->info : nullptr);
  }
  MqttClient* client() const { return &client_; }

 private:
  // A payload too short for its decoder's fields, or a value outside a map, can come with every
  // reading of a sensor: one line a minute at most, counting the rest.
  void noteMissing(std::uint32_t uid, const Decoder& d, const decoders::Missing& m,
                   std::size_t size) {
    auto now = std::chrono::steady_clock::now();
    if (logged_ && now - lastLine_ < std::chrono::minutes(1)) {
      ++unlogged_;
      return;
    }
    const auto& f = *m.first;
    std::string why =
        m.firstValue.kind == decoders::Value::PastEnd
            ? fmt::format("{} past the end of the {}-byte payload", decoders::byteRange(f), size)
            : fmt::format("{} is not in its map", m.firstValue.number);
    logf("Decoder {}: {} field(s) without a value in a reading of sensor {} ({}: {}){}", d.name,
         m.count, uid, f.name, why,
         unlogged_ ? fmt::format("; {} more such readings in the last minute", unlogged_) : "");
    logged_ = true;
    lastLine_ = now;
    unlogged_ = 0;
  }

  MqttClient& client_;
  const ParserOptions& options_;
  bool logged_ = false;
  std::chrono::steady_clock::time_point lastLine_;
  std::uint64_t unlogged_ = 0;
};

class RawDecoder : public MsgDecoder {
 public:
  explicit RawDecoder(const ParserOptions& options) : options_(options) {}
  ParsedMsg parse(std::uint32_t senderUID, const Bytes& payload) override {
    const Decoder* d = options_.decoders ? options_.decoders->find(senderUID, payload) : nullptr;
    return Reading{payload, d};
  }
  MsgPublisher& getPublisher(MqttClient& client) override {
    // The client changes only after a restart; keep one publisher per client.
    if (!publisher_ || publisher_->client() != &client)
      publisher_ = std::make_unique<RawPublisher>(client, options_);
    return *publisher_;
  }

 private:
  const ParserOptions& options_;
  std::unique_ptr<RawPublisher> publisher_;
};

class DefaultParser : public SensorMsgParser {
 public:
  explicit DefaultParser(ParserOptions options) : options_(std::move(options)) {}
  MsgDecoder* getParser(const Bytes& payload) override {
    return payload.empty() ? nullptr : &decoder_;
  }
  std::string toString(const ParsedMsg& parsedMsg) override {
    return hexString(std::any_cast<const Reading&>(parsedMsg).payload);
  }

 private:
  ParserOptions options_;
  RawDecoder decoder_{options_};
};

}  // namespace

std::shared_ptr<SensorMsgParser> makeDefaultParser(ParserOptions options) {
  return std::make_shared<DefaultParser>(std::move(options));
}

std::shared_ptr<SensorMsgParser> makeDefaultParser() {
  return makeDefaultParser(ParserOptions{});
}

}  // namespace ostrel
