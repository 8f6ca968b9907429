#pragma once
// Operations on sensor nodes that the gateway core offers to the component driving them: node
// messages ("TX"), sensor configuration records ("PP"), keep-in-receive mode ("PM") and
// over-the-air firmware transfer ("TB").
//
// Message and configuration maps are JSON objects. Wherever a value ends up as an integer,
// a number (fraction dropped), decimal text or a boolean is accepted. All of these run on the
// event-loop thread; the module maps below have no locks.
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/Bytes.hpp"
#include "ostrel/hat/NodeIds.hpp"

namespace srecord {
class memory;
}

namespace ostrel {

// A firmware image that cannot be used: unreadable, not Intel HEX, empty, or out of reach of
// the 16-bit chunk address.
class FirmwareError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Conversions shared by the operations ----

// Integer value of a map entry: integers as they are, floating point truncated toward zero,
// decimal text, booleans as 0/1. Anything else throws std::invalid_argument naming `what`.
long long toInteger(const nlohmann::json& v, std::string_view what);
// The key number of a key string: the decimal text after its last colon (the whole text when
// there is none).
long long keyNumber(std::string_view redisKeyName);

// ---- Frames and checksum ----

// Two's complement of the byte sum: covered bytes plus checksum add up to 0 modulo 256.
std::uint8_t crcsum(ByteView data);

// Each builder returns the complete frame or throws EncodeError when a field does not fit.
Bytes makeTxFrame(long long keyNum, long long toid, ByteView payload);
Bytes makePpFrame(long long keyNum, ByteView record);
Bytes makeTbFrame(long long msgId, long long ackTimeout, long long toNodeId, ByteView dataChunk);
Bytes makePmFrame(long long nodeId, long long keepPeerInRx);

// ---- Node messages ----

// Payload of a node message, selected by `msgtype` (11, 10, 204); empty for other types and
// for an empty or null map.
Bytes txMsg2Bytes(const nlohmann::json& msg);
// Writes one "TX" frame, or nothing when the map is empty or its type has no payload.
void txMessage(std::string_view redisKeyName, const nlohmann::json& valueMap);

// ---- Sensor configuration ----

// The configuration record for sensor types 3, 1 and 5; empty for other types and for an empty
// or null map.
Bytes getSensorConfig(const nlohmann::json& config);
// Writes one "PP" frame. A sensor type without a record layout sends nothing (logged).
void txSensorConfig(std::string_view redisKeyName, const nlohmann::json& config);

// ---- UID to radio node ID ----

// Node ID reported for a UID that is not registered.
inline constexpr int UNREGISTERED_NODE_ID = 255;

// The gateway's UID-to-node-ID map (gw().nodeIds), in insertion order: filled from the readings by
// the protocol objects and by the component that drives the nodes.
using Uid2Id = NodeIds::Entries;
const Uid2Id& uid2id();
// Adds an entry, or replaces the node ID in place (keeping the entry's position).
void setNodeId(long long uid, int nodeId);
void removeNodeId(long long uid);
void clearNodeIds();
// The map as one log line: {1001: 7, 1002: 9}, {} when empty.
std::string uid2idRepr();

int getNodeIdFromUID(const nlohmann::json& uid);

// Writes "PM" and waits up to the port's read time-out for the answer, which the receive loop
// hands over (gw().pendingReply); logs the outcome. A missing or wrong answer is logged, not
// raised. Fails when another answer is already awaited.
awaitable<void> setPeerMode(nlohmann::json nodeUID, nlohmann::json keepPeerInRx);
// The same, returning the bytes the hat answered (fewer than three when it fell silent).
awaitable<Bytes> setPeerModeAnswer(nlohmann::json nodeUID, nlohmann::json keepPeerInRx);

// ---- Firmware transfer ----

// A parsed Intel HEX image. Copies share the parsed data.
class IhexImage {
 public:
  // Throws FirmwareError for a file that cannot be read, is not Intel HEX or holds no data.
  static IhexImage load(const std::string& path);
  long long minAddr() const { return minAddr_; }
  // Highest address that holds data.
  long long maxAddr() const { return maxAddr_; }
  // `size` bytes from `start`; addresses without data read as 0xFF.
  Bytes read(long long start, std::size_t size) const;

 private:
  std::shared_ptr<const srecord::memory> mem_;
  long long minAddr_ = 0;
  long long maxAddr_ = -1;
};

// Parsed images by file path.
std::map<std::string, IhexImage>& ihexCache();
// State of the one transfer that can run at a time; keys in the order they were set.
// `authToken` is held as a JSON binary value.
nlohmann::ordered_json& flashUpdateStatus();

inline constexpr std::size_t FIRST_CHUNK_SIZE = 42;  // chunk starting at address 0
inline constexpr std::size_t CHUNK_SIZE = 50;
inline constexpr long long FIRST_ACK_TIMEOUT = 500;
inline constexpr long long ACK_TIMEOUT = 40;
inline constexpr std::uint8_t CHUNK_DATA = 201;
inline constexpr std::uint8_t CHUNK_CLOSE = 202;

// Starts a transfer: switches the previous target's keep-in-receive mode off, resets
// flashUpdateStatus and sends the first chunk. `valueMap` carries startAddr, filePath,
// msgtype, toNodeUID and authToken (hex text).
awaitable<void> txBigMessage(std::string redisKeyName, nlohmann::json valueMap);
// Sends the chunk starting at `startAddr`, or the closing command once `startAddr` lies beyond
// the image and the transfer is "SENDING". A path that names no regular file sends nothing.
void txBigMessageStep(const nlohmann::json& startAddr, const std::string& filePath,
                      const nlohmann::json& msgId, const nlohmann::json& msgtype,
                      const nlohmann::json& toNodeUID, ByteView authTokenBytes);
// Writes one "TB" frame and marks the transfer as waiting for an acknowledgement.
void txBigMessageChunk(long long toNodeId, long long msgId, ByteView dataChunk,
                       long long ackTimeout);

}  // namespace ostrel
