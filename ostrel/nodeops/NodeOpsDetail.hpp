#pragma once
// Helpers shared by the node operations' source files; not part of the core's interface.
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/sys/SerialPort.hpp"

namespace ostrel::nodeops {

using json = nlohmann::json;

// True for null and for an empty object or array.
bool isEmptyMap(const json& m);
// The entry `key` of a map; throws std::invalid_argument when it is missing or `m` is no map.
const json& need(const json& m, const char* key);
double toDouble(const json& v, std::string_view what);
// A value as the log lines show it: text as it is, numbers in decimal.
std::string plain(const json& v);
// The open port to the hat; throws SerialError when it is closed.
std::shared_ptr<SerialPort> requirePort();
// Writes one complete frame to the hat and flushes; throws SerialError when the port is closed.
void sendFrame(const Bytes& frame);
// True for a readable regular file; `exists` tells whether it is a regular file at all.
bool isReadableRegularFile(const std::string& path, bool& exists);

}  // namespace ostrel::nodeops
