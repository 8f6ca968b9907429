// Conversions, frame layouts and the node operations' view of the gateway's UID-to-node-ID map.
#include "ostrel/nodeops/NodeOps.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/nodeops/NodeOpsDetail.hpp"

namespace ostrel {

namespace nodeops {

bool isEmptyMap(const json& m) {
  return m.is_null() || ((m.is_object() || m.is_array()) && m.empty());
}

const json& need(const json& m, const char* key) {
  if (!m.is_object())
    throw std::invalid_argument(fmt::format("expected a map, got {}", m.type_name()));
  auto it = m.find(key);
  if (it == m.end()) throw std::invalid_argument(fmt::format("missing key '{}'", key));
  return *it;
}

double toDouble(const json& v, std::string_view what) {
  if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    try {
      return parseDouble(v.get_ref<const std::string&>());
    } catch (const std::invalid_argument&) {
    }
  }
  throw std::invalid_argument(fmt::format("{} is not a number: {}", what, v.dump()));
}

// A value as the log lines show it: text as it is, numbers in decimal.
std::string plain(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

std::shared_ptr<SerialPort> requirePort() {
  auto port = gw().ser;
  if (!port || !port->isOpen()) throw SerialError("serial port to the hat is not open");
  return port;
}

void sendFrame(const Bytes& frame) {
  auto port = requirePort();
  port->write(frame);
  port->flush();
}

// One component of a packed byte. A component outside 0..255 cannot give a byte in 0..255 once

bool isReadableRegularFile(const std::string& path, bool& exists) {
  struct stat st {};
  exists = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  return exists && ::access(path.c_str(), R_OK) == 0;
}

}  // namespace nodeops

using json = nlohmann::json;

long long toInteger(const json& v, std::string_view what) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<long long>::max()))
      throw std::invalid_argument(fmt::format("{} {} is too large", what, u));
    return static_cast<long long>(u);
  }
  if (v.is_number_integer()) return v.get<long long>();
  if (v.is_number_float()) {
    double d = std::trunc(v.get<double>());
    if (!std::isfinite(d) || std::fabs(d) > 9.0e18)
      throw std::invalid_argument(fmt::format("{} {} is not a usable integer", what, v.dump()));
    return static_cast<long long>(d);
  }
  if (v.is_string()) {
    try {
      return parseInteger(v.get_ref<const std::string&>());
    } catch (const std::invalid_argument&) {
    }
  }
  throw std::invalid_argument(fmt::format("{} is not an integer: {}", what, v.dump()));
}

long long keyNumber(std::string_view redisKeyName) {
  auto colon = redisKeyName.rfind(':');
  auto text = colon == std::string_view::npos ? redisKeyName : redisKeyName.substr(colon + 1);
  try {
    return parseInteger(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(fmt::format("key number of '{}' is not decimal", redisKeyName));
  }
}

std::uint8_t crcsum(ByteView data) {
  unsigned sum = 0;
  for (auto b : data) sum += b;
  return static_cast<std::uint8_t>((~sum + 1) & 0xFF);
}

Bytes makeTxFrame(long long keyNum, long long toid, ByteView payload) {
  Bytes f;
  append(f, std::string_view("TX"));
  putU8(f, static_cast<long long>(payload.size()) + 6, "TX length");
  putBe16(f, keyNum, "key number");
  putBe32(f, toid, "toid");
  append(f, payload);
  return f;
}

Bytes makePpFrame(long long keyNum, ByteView record) {
  Bytes f;
  append(f, std::string_view("PP"));
  putU8(f, static_cast<long long>(record.size()) + 4, "PP length");
  putBe32(f, keyNum, "key number");
  append(f, record);
  return f;
}

Bytes makeTbFrame(long long msgId, long long ackTimeout, long long toNodeId, ByteView dataChunk) {
  Bytes f;
  append(f, std::string_view("TB"));
  putU8(f, static_cast<long long>(dataChunk.size()) + 4, "TB length");
  putU8(f, msgId, "msgId");
  putU8(f, ackTimeout / 10, "ackTimeout / 10");
  putU8(f, toNodeId, "toNodeId");
  append(f, dataChunk);
  f.push_back(crcsum(ByteView(f).subspan(2)));
  return f;
}

Bytes makePmFrame(long long nodeId, long long keepPeerInRx) {
  Bytes f;
  append(f, std::string_view("PM"));
  putU8(f, nodeId, "node ID");
  putU8(f, keepPeerInRx, "keepPeerInRx");
  return f;
}

// ---- UID to radio node ID ----

const Uid2Id& uid2id() {
  return gw().nodeIds->entries();
}

void setNodeId(long long uid, int nodeId) {
  gw().nodeIds->set(uid, nodeId);
}

void removeNodeId(long long uid) {
  gw().nodeIds->remove(uid);
}

void clearNodeIds() {
  gw().nodeIds->clear();
}

std::string uid2idRepr() {
  return gw().nodeIds->repr();
}

int getNodeIdFromUID(const json& uid) {
  return gw().nodeIds->find(toInteger(uid, "UID")).value_or(UNREGISTERED_NODE_ID);
}

}  // namespace ostrel
