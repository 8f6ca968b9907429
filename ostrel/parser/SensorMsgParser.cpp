#include "ostrel/parser/SensorMsgParser.hpp"

#include <dlfcn.h>
#include <fmt/format.h>

#include <stdexcept>

namespace ostrel {

std::shared_ptr<SensorMsgParser> createSensorMsgParser(const std::string& pluginPath) {
  if (pluginPath.empty()) return makeDefaultParser();
  // The library stays loaded for the life of the process: its code backs the parser's vtable.
  void* handle = ::dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    throw std::runtime_error(
        fmt::format("cannot load parser library {}: {}", pluginPath, ::dlerror()));
  auto factory = reinterpret_cast<OstrelCreateParserFn>(::dlsym(handle, OSTREL_PARSER_FACTORY));
  if (!factory)
    throw std::runtime_error(
        fmt::format("parser library {} has no function {}", pluginPath, OSTREL_PARSER_FACTORY));
  SensorMsgParser* parser = factory();
  if (!parser)
    throw std::runtime_error(fmt::format("parser library {} returned no parser", pluginPath));
  return std::shared_ptr<SensorMsgParser>(parser);
}

}  // namespace ostrel
