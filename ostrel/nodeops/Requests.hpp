#pragma once
// Node-operation requests as they arrive over MQTT: topic matching and payload checks. Nothing
// here touches the hat or the gateway's state; a request that passes these checks is one the
// core can carry out.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "ostrel/base/Bytes.hpp"

namespace ostrel::ops {

// A request that is refused: its text goes into the error answer.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Op { Message, Config, PeerMode, Firmware, FirmwareStep };

struct Target {
  Op op;
  std::uint32_t sensorUid;
};

// "gw/{gatewayUid}/node/{sensor}/{message|config|peer-mode|firmware|firmware/step}", the sensor a
// decimal UID; nullopt for anything else.
std::optional<Target> matchTopic(std::string_view topic, std::string_view gatewayUid);

// The filters that cover every request topic of one gateway.
std::vector<std::string> requestFilters(std::string_view gatewayUid);

inline constexpr std::size_t MAX_IMAGE_BYTES = 256 * 1024;
// Larger requests are refused unread: the largest valid one (a firmware image as JSON text)
// stays well below.
inline constexpr std::size_t MAX_REQUEST_BYTES = 1024 * 1024;
// Each operation's own limit, checked before its JSON is read. A firmware request carries the
// image as JSON text, whose line ends are escaped (up to an eighth more); the others are a few
// numbers, and a few KiB leave ample room.
inline constexpr std::size_t MAX_FIRMWARE_REQUEST_BYTES = MAX_IMAGE_BYTES * 9 / 8 + 4096;
inline constexpr std::size_t MAX_SMALL_REQUEST_BYTES = 4096;
std::size_t requestLimit(Op op);
// Correlation data longer than this is refused: each answer carries a copy of it.
inline constexpr std::size_t MAX_CORRELATION_BYTES = 256;

// Whether `topic` matches the MQTT filter `filter` ('+' one level, '#' the rest).
bool topicMatches(std::string_view filter, std::string_view topic);

// Where a reply may go. A reply is published with the gateway's own rights, so a requester must
// not be able to direct it onto a topic that others act on (the gateway's commands, its
// requests, readings, discovery) or that the broker would refuse and close the connection for.
struct ReplyRules {
  std::vector<std::string> filters;         // every filter this process subscribes to
  std::vector<std::string> closedPrefixes;  // trees no reply may enter, e.g. "tx/"
  std::string prefix;                       // when set, every reply topic starts with it
};
inline constexpr std::size_t MAX_REPLY_TOPIC_BYTES = 256;

// Why a reply may not go to `responseTopic`, or nullopt when it may. The request topic's own
// "/response" is always allowed.
std::optional<std::string> refuseReplyTopic(std::string_view responseTopic,
                                            std::string_view requestTopic, const ReplyRules& rules);

// A checked "TX" request: the key string and the value map for txMessage.
struct MessageRequest {
  std::string keyName;
  nlohmann::json valueMap;
};
MessageRequest parseMessage(const Bytes& payload, std::uint32_t sensorUid);

// A checked "PP" request for txSensorConfig.
struct ConfigRequest {
  std::string keyName;
  nlohmann::json config;
};
ConfigRequest parseConfig(const Bytes& payload);

// "0" or "1".
int parsePeerMode(const Bytes& payload);

struct FirmwareRequest {
  long long key = 0;  // the transfer's message number
  long long msgtype = 0;
  std::string authToken;  // hex text, checked
  long long startAddr = 0;
  std::string image;  // Intel HEX text, not yet parsed
};
FirmwareRequest parseFirmware(const Bytes& payload);

// The start address of a step: 0 to 0x10000 (one past the highest chunk address closes).
long long parseStep(const Bytes& payload);

// The transfer state as published: keys in their order, the token as hex text.
std::string statusJson(const nlohmann::ordered_json& status);

std::string okAnswer();
std::string errorAnswer(std::string_view error);

}  // namespace ostrel::ops
