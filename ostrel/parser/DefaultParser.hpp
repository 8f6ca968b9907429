#pragma once
// The shipped parser with its extension, the decoder files: a payload a decoder takes is also
// published decoded on "sensors/{uid}/state"; every other one raw, as always.
#include <memory>

#include "ostrel/parser/Decoders.hpp"
#include "ostrel/parser/SensorMsgParser.hpp"

namespace ostrel {

struct ParserOptions {
  std::shared_ptr<const decoders::DecoderSet> decoders;  // null or empty: every payload raw only
  // False: a reading that decodes whole goes out on "state" alone (one publication, not two).
  bool publishRaw = true;
};

std::shared_ptr<SensorMsgParser> makeDefaultParser(ParserOptions options);

}  // namespace ostrel
