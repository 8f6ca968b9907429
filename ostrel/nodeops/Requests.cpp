#include "ostrel/nodeops/Requests.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <initializer_list>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Topic.hpp"
#include "ostrel/nodeops/NodeOps.hpp"

namespace ostrel::ops {

using json = nlohmann::json;

namespace {

using Keys = std::initializer_list<std::string_view>;

// A JSON object of scalars with only `allowed` keys, of at most `limit` bytes. Judged before
// and while it is read: the size before the parser starts, nesting and each unknown key as the
// parser meets it, so that a hostile object costs at most its first few keys.
json parseFlatObject(const Bytes& payload, std::size_t limit, Keys allowed) {
  if (payload.size() > limit)
    throw BadRequest(fmt::format("request of {} bytes is larger than the limit of {} bytes",
                                 payload.size(), limit));
  std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  json j = json::parse(
      text,
      [allowed](int depth, json::parse_event_t event, json& parsed) {
        if (depth > 1) throw BadRequest("nested values are not accepted");
        if (event == json::parse_event_t::key) {
          const auto& k = parsed.get_ref<const std::string&>();
          if (std::find(allowed.begin(), allowed.end(), k) == allowed.end())
            throw BadRequest(fmt::format("unknown key {}", excerpt(k)));
        }
        return true;
      },
      false);
  if (!j.is_object()) throw BadRequest("the payload must be a JSON object");
  return j;
}

// An integer entry within [lo, hi]; only JSON integers (or decimal text) are taken.
long long ranged(const json& j, const char* key, long long lo, long long hi) {
  auto it = j.find(key);
  if (it == j.end()) throw BadRequest(fmt::format("missing key '{}'", key));
  if (it->is_boolean() || it->is_number_float())
    throw BadRequest(fmt::format("{} must be an integer", key));
  long long v;
  try {
    v = toInteger(*it, key);
  } catch (const std::invalid_argument& e) {
    throw BadRequest(e.what());
  }
  if (v < lo || v > hi) throw BadRequest(fmt::format("{} {} is not within {}..{}", key, v, lo, hi));
  return v;
}

template <typename F>
auto coreCheck(F f) {
  try {
    return f();
  } catch (const BadRequest&) {
    throw;
  } catch (const std::exception& e) {
    throw BadRequest(e.what());
  }
}

}  // namespace

std::size_t requestLimit(Op op) {
  return op == Op::Firmware ? MAX_FIRMWARE_REQUEST_BYTES : MAX_SMALL_REQUEST_BYTES;
}

std::optional<Target> matchTopic(std::string_view topic, std::string_view gatewayUid) {
  std::string_view l[6];
  std::size_t n = splitTopic(topic, l);
  if (n < 5 || l[0] != "gw" || l[1] != gatewayUid || l[2] != "node") return std::nullopt;
  auto uid = parseUid(l[3]);
  if (!uid) return std::nullopt;
  std::optional<Op> op;
  if (n == 5) {
    if (l[4] == "message") op = Op::Message;
    if (l[4] == "config") op = Op::Config;
    if (l[4] == "peer-mode") op = Op::PeerMode;
    if (l[4] == "firmware") op = Op::Firmware;
  } else if (l[4] == "firmware" && l[5] == "step") {
    op = Op::FirmwareStep;
  }
  if (!op) return std::nullopt;
  return Target{*op, *uid};
}

bool topicMatches(std::string_view filter, std::string_view topic) {
  // Level by level, left to right: linear in the lengths of both.
  for (;;) {
    auto fs = filter.find('/');
    auto ts = topic.find('/');
    std::string_view f = filter.substr(0, fs), t = topic.substr(0, ts);
    if (f == "#") return true;
    if (f != "+" && f != t) return false;
    if (fs == std::string_view::npos || ts == std::string_view::npos)
      // "a/#" also matches "a".
      return fs == ts || (ts == std::string_view::npos && filter.substr(fs + 1) == "#");
    filter.remove_prefix(fs + 1);
    topic.remove_prefix(ts + 1);
  }
}

namespace {

// Well-formed UTF-8 without control characters (MQTT forbids U+0000 in topics; the others are
// never meant).
bool plainUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) return false;
      ++i;
      continue;
    }
    std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (n == 0 || c > 0xF4 || i + n > s.size()) return false;
    auto c1 = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
        (c == 0xF4 && c1 > 0x8F) || (c == 0xC2 && c1 < 0xA0))
      return false;  // overlong, surrogate, beyond U+10FFFF, or a C1 control
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

}  // namespace

std::optional<std::string> refuseReplyTopic(std::string_view responseTopic,
                                            std::string_view requestTopic,
                                            const ReplyRules& rules) {
  if (responseTopic.size() > MAX_REPLY_TOPIC_BYTES)
    return fmt::format("it is longer than {} bytes", MAX_REPLY_TOPIC_BYTES);
  if (!plainUtf8(responseTopic)) return "it is not plain UTF-8 text";
  if (responseTopic.size() == requestTopic.size() + 9 &&
      responseTopic.substr(0, requestTopic.size()) == requestTopic &&
      responseTopic.substr(requestTopic.size()) == "/response")
    return std::nullopt;
  if (responseTopic.empty()) return "it is empty";
  if (responseTopic.find_first_of("+#") != std::string_view::npos) return "it has a wildcard";
  if (responseTopic.front() == '$') return "topics starting with $ belong to the broker";
  if (!rules.prefix.empty() && responseTopic.substr(0, rules.prefix.size()) != rules.prefix)
    return fmt::format("replies go only to topics under {}", rules.prefix);
  for (const auto& p : rules.closedPrefixes)
    if (responseTopic.substr(0, p.size()) == p)
      return fmt::format("no reply goes to topics under {}", p);
  for (const auto& f : rules.filters)
    if (topicMatches(f, responseTopic))
      return fmt::format("this gateway takes input on it ({})", f);
  return std::nullopt;
}

std::vector<std::string> requestFilters(std::string_view gatewayUid) {
  std::vector<std::string> out;
  for (const char* op : {"message", "config", "peer-mode", "firmware", "firmware/step"})
    out.push_back(fmt::format("gw/{}/node/+/{}", gatewayUid, op));
  return out;
}

MessageRequest parseMessage(const Bytes& payload, std::uint32_t sensorUid) {
  json j = parseFlatObject(payload, requestLimit(Op::Message),
                           {"key", "msgtype", "outputLevel", "waterTemp"});
  long long key = ranged(j, "key", 0, 0xFFFF);
  long long type = ranged(j, "msgtype", 0, 0xFF);
  if (type == 11) ranged(j, "outputLevel", 0, 0xFFFF);
  if (type == 10) ranged(j, "waterTemp", 0, 0xFF);
  if (type != 10 && type != 11 && type != 204)
    throw BadRequest(fmt::format("msgtype {} is not one of 10, 11, 204", type));
  j.erase("key");
  j["toid"] = sensorUid;
  coreCheck([&] { return txMsg2Bytes(j); });
  return {std::to_string(key), std::move(j)};
}

ConfigRequest parseConfig(const Bytes& payload) {
  json j = parseFlatObject(payload, requestLimit(Op::Config),
                           {"key", "sensorType", "sleepCycles", "useLed", "txPower",
                            "vcselPeriodPreRange", "vcselPeriodFinalRange", "signalRateLimit",
                            "measurementTimingBudget", "preBatteryMeasurementDelayMin"});
  long long key = ranged(j, "key", 0, 0xFFFFFFFFLL);
  // The three fields share one byte: keep each within its bits.
  ranged(j, "sleepCycles", 0, 15);
  ranged(j, "txPower", 0, 7);
  ranged(j, "useLed", 0, 1);
  j.erase("key");
  Bytes record = coreCheck([&] { return getSensorConfig(j); });
  if (record.empty())
    throw BadRequest(
        fmt::format("sensor type {} has no configuration layout", j["sensorType"].dump()));
  return {std::to_string(key), std::move(j)};
}

int parsePeerMode(const Bytes& payload) {
  if (payload == toBytes("0")) return 0;
  if (payload == toBytes("1")) return 1;
  throw BadRequest("the payload must be 0 or 1");
}

FirmwareRequest parseFirmware(const Bytes& payload) {
  json j = parseFlatObject(payload, requestLimit(Op::Firmware),
                           {"key", "msgtype", "authToken", "startAddr", "image"});
  FirmwareRequest r;
  r.key = ranged(j, "key", 0, 0xFF);
  r.msgtype = ranged(j, "msgtype", 0, 0xFF);
  r.startAddr = ranged(j, "startAddr", 0, 0xFFFF);
  auto tok = j.find("authToken");
  if (tok == j.end() || !tok->is_string()) throw BadRequest("authToken must be hex text");
  Bytes token = coreCheck([&] { return fromHex(tok->get<std::string>()); });
  // The closing chunk (202 + token) must fit one "TB" frame.
  if (token.size() > 250) throw BadRequest("authToken is longer than 250 bytes");
  r.authToken = tok->get<std::string>();
  auto img = j.find("image");
  if (img == j.end() || !img->is_string()) throw BadRequest("image must be Intel HEX text");
  if (img->get_ref<const std::string&>().size() > MAX_IMAGE_BYTES)
    throw BadRequest(fmt::format("image is larger than {} bytes", MAX_IMAGE_BYTES));
  r.image = img->get<std::string>();
  return r;
}

long long parseStep(const Bytes& payload) {
  json j = parseFlatObject(payload, requestLimit(Op::FirmwareStep), {"startAddr"});
  return ranged(j, "startAddr", 0, 0x10000);
}

std::string statusJson(const nlohmann::ordered_json& status) {
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  for (const auto& [k, v] : status.items()) {
    if (v.is_binary())
      out[k] = hexString(Bytes(v.get_binary().begin(), v.get_binary().end()));
    else
      out[k] = v;
  }
  return out.dump();
}

std::string okAnswer() {
  return R"({"ok": true})";
}

std::string errorAnswer(std::string_view error) {
  return fmt::format(R"({{"ok": false, "error": {}}})", json(std::string(error)).dump());
}

}  // namespace ostrel::ops
