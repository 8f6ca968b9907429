// The parser of each start: a parser library, or the shipped parser with the decoder files of
// [PARSER] decoders-dir.
#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/parser/DefaultParser.hpp"

namespace ostrel {

void loadDecoders(const Config& config, bool atStart) {
  gw().decoders.reset();
  if (!config.has("PARSER", "decoders-dir")) return;
  std::string dir = config.getString("PARSER", "decoders-dir");
  auto report = decoders::loadDecoderDir(dir);
  std::size_t loaded = report.set->decoders().size();
  std::string why;
  if (!report.readable) {
    why = "decoder directory " + report.refusals.front();
  } else {
    for (const auto& line : report.refusals) logf("Decoder file refused: {}", line);
    if (loaded == 0 && report.files > 0)
      why = fmt::format("none of the {} decoder files in {} can be used", report.files, dir);
  }
  // At start this is a configuration to mend; later the gateway goes on and publishes raw.
  if (!why.empty() && atStart) throw ConfigError(why);
  if (!why.empty())
    logf("{}; readings are published raw only", why);
  else if (report.files == 0)
    logf("No decoder files in {}; readings are published raw only", dir);
  else
    logf("Decoders: {} loaded from {} ({} of {} files refused)", loaded, dir,
         report.refusals.size(), report.files);
  gw().decoders = report.set;
}

std::shared_ptr<SensorMsgParser> makeSensorMsgParser(const Config& config) {
  if (config.has("PARSER", "library"))
    return createSensorMsgParser(config.getString("PARSER", "library"));
  ParserOptions options;
  options.decoders = gw().decoders;
  options.publishRaw =
      !config.has("PARSER", "publish-raw") || config.getBool("PARSER", "publish-raw");
  return makeDefaultParser(std::move(options));
}

}  // namespace ostrel
