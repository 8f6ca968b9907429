#pragma once
// A simulated Quorind Gateway Hat on a pseudo-terminal.
//
// The simulator owns the master side of a pty pair; the gateway opens the slave side (or a
// symbolic link to it) as its serial device. One thread runs everything: it reads and parses what
// the gateway sends, answers, emits sensor traffic and keeps the hat's clock. The public methods
// may be called from any thread.
//
// Behaviour in short:
//  - After a reset the hat sits in its bootloader: a banner, then a "Press ..." prompt about once a
//    second until the byte "r" arrives; then the start-up log line and the hello message.
//  - A real board behind a USB serial adapter resets when its port is opened: the simulator resets
//    whenever the slave goes from closed to open (unless `resetOnOpen` is false). Output made while
//    no one has the slave open is lost, as on a real line. A gateway that reopens the port and
//    expects the hat to keep running (its restart) needs `resetOnOpen` false.
//  - "LS"/"PS" are confirmed with log lines, "TC"/"SC" switch the radio (sensor messages of the
//    virtual nodes), "RT" is answered with the hat's clock, "ST"/"SR"/"RF"/"PK"/"TX"/"PP"/"TB"/"PM"
//    are recorded (and "PM" answered). Every received frame is kept for nextFrame()/framesSoFar().
//  - Bytes that do not start a known code are reported and skipped one at a time; an incomplete
//    frame is dropped after `frameTimeoutMs` without further bytes.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrel/base/Bytes.hpp"

namespace ostrel::hatsim {

struct VirtualNode {
  std::uint32_t uid = 0;
  std::uint8_t nodeId = 0;
  std::uint8_t rssi = 70;  // magnitude, as the hat sends it
  Bytes payload;
  int periodMs = 1000;  // one message per period while the radio is on (0: only on demand)
};

// How the hat confirms a set-up command ("LS" or "PS").
struct Confirm {
  int delayMs = 0;
  bool withhold = false;  // never confirm
  bool split = false;     // send "L", pause `Options::splitPauseMs`, then the rest of the line
};

struct Options {
  // Hello message. `version` is sent as is, so values outside 1..3 can test the gateway's refusal;
  // sensor blocks carry a time stamp for versions 2 and later.
  int version = 1;
  std::uint32_t fwRevision = 42;
  std::uint32_t uniqueId = 0x01020304;
  std::uint8_t boardType = 3;
  std::uint8_t hwMajor = 1, hwMinor = 2, hwPatch = 0;
  std::uint8_t buildDay = 7, buildMonth = 12;
  std::uint16_t buildYear = 2026;
  std::uint8_t radioSettings = 3;
  std::string serial = "QGH000000001";  // padded with blanks or cut to 12 characters
  int helloBytes = 0;                   // send only the first N bytes of the hello (0: all 33)

  std::string link;  // symbolic link to the slave device; empty: none
  bool resetOnOpen = true;
  bool clockSet = true;   // the clock starts at host UTC; false: unset until "ST"
  int bootDelayMs = 100;  // from reset to the bootloader banner
  int promptIntervalMs = 1000;
  int frameTimeoutMs = 1000;

  std::vector<VirtualNode> nodes;
  Confirm localConfirm, peerConfirm;
  int splitPauseMs = 1500;

  // "PM" answers "PMS" for the node IDs of `nodes` and of `pmKnownIds`; otherwise `pmFailure`,
  // or nothing when `pmSilentOnFailure`.
  std::vector<std::uint8_t> pmKnownIds;
  Bytes pmFailure = toBytes("PMF");
  bool pmSilentOnFailure = false;

  // Firmware chunks: with `tbAck`, each "TB" frame with a good checksum addressed to a virtual
  // node is acknowledged by a sensor message of that node (radio on or off), its payload
  // `tbAckPayload` followed by the chunk's kind byte (201 data, 202 closing) and, for data, its
  // two address bytes. The first `tbAckMissFirst` such frames go unacknowledged.
  bool tbAck = false;
  Bytes tbAckPayload = {0xAC};
  int tbAckMissFirst = 0;
  // Extra traffic, counted in sensor messages sent by the radio (0: never). A duplicate repeats the
  // message as "SI"; the others follow it.
  int duplicateEvery = 0;
  int failedDecryptEvery = 0;
  int linkStateEvery = 0;
  int statisticsEvery = 0;
  // Faults, counted the same way: garbage bytes before a message, a block shorter than its length
  // byte, a time stamp with a non-BCD hour.
  int garbageEvery = 0;
  int shortBlockEvery = 0;
  int badStampEvery = 0;

  // Flood messages go out as node `floodNode` (its payload is replaced by the sequence number and
  // the send time).
  VirtualNode floodNode{0xF100D, 99, 50, {}, 0};
  // Above 1, flood message n comes from sensor UID floodNode.uid + n % floodUids (many sensors).
  std::uint32_t floodUids = 1;

  // Receives one line per event ("rx TC", "tx HL ...", "unknown code 0x.. 0x.."). Called with the
  // simulator's lock held: it must not call back into the simulator. Empty: quiet.
  std::function<void(std::string_view)> log;
};

struct Frame {
  std::string code;        // "LS", "PK", ...; "r" for the bootloader's run command
  Bytes bytes;             // the whole frame, code included
  bool checksumOk = true;  // "TB": the checksum matched
  std::chrono::steady_clock::time_point at;
};

enum class SensorKind { Valid, Duplicate, ShortBlock, BadStamp };

class HatSim {
 public:
  struct Stats {
    std::uint64_t sensorsSent = 0;  // "SD"/"SI" messages, flood included
    std::uint64_t floodSent = 0;
    std::uint64_t unknownBytes = 0;
    std::uint64_t droppedFrames = 0;  // incomplete frames dropped after the time-out
    std::uint64_t checksumErrors = 0;
    std::uint64_t resets = 0;
    std::uint64_t opens = 0;  // times the slave side was opened
  };

  explicit HatSim(Options options = {});
  ~HatSim();  // stops the thread and removes the link
  HatSim(const HatSim&) = delete;
  HatSim& operator=(const HatSim&) = delete;

  // Creates the pty (and the link) and starts the thread. Throws std::system_error on failure.
  // After stop() it starts again on a new pty, the link pointing to it: the board plugged in
  // again after a hang-up.
  void start();
  // Closes the pty and removes the link: the gateway's side sees a hang-up, as when a USB serial
  // adapter is unplugged.
  void stop();
  const std::string& slavePath() const { return slavePath_; }
  // The link if one was asked for, else the slave device.
  const std::string& devicePath() const;

  // Changes options under the lock; takes effect at the next use of each option.
  void configure(const std::function<void(Options&)>& change);
  // Back to the bootloader: pending input, output and timers are dropped, the radio stops.
  void reset();
  // Silence sends nothing at all (answers, prompts, traffic) until lifted.
  void setSilent(bool silent);

  // Waits for the oldest received frame with `code` that no earlier call has returned.
  std::optional<Frame> nextFrame(const std::string& code, std::chrono::milliseconds timeout);
  std::vector<Frame> framesSoFar() const;
  Bytes rawReceived() const;

  void sendRaw(const Bytes& bytes);
  void sendSensor(std::size_t nodeIndex, SensorKind kind = SensorKind::Valid);
  void sendFailedDecrypt(std::size_t nodeIndex, const Bytes& rest);
  void sendLinkState(std::size_t nodeIndex);
  void sendStatistics(std::uint32_t received, std::uint32_t missed);
  // "LG" + text + "\r\n"; a cut line ends before the line feed.
  void sendLog(std::string_view text, bool cutBeforeLineFeed = false);
  // `count` bytes that cannot form a message-start code.
  void sendGarbage(std::size_t count);
  // `count` random bytes of any value (a broken line): codes may appear in them by chance.
  void sendNoise(std::size_t count, std::uint32_t seed = 1);
  // Flood: `count` messages (0: no limit), at `ratePerSec` (0: as fast as the line takes them),
  // while the radio is on. Payload: sequence number u32 BE, send time u64 BE (µs since the epoch).
  void startFlood(std::uint64_t count, double ratePerSec);
  void stopFlood();
  bool floodDone() const;

  bool radioOn() const;
  bool inBootloader() const;
  bool slaveOpen() const;
  // The hat's clock as its time stamp (8 zero bytes while unset).
  Bytes hatStamp() const;
  std::optional<std::int16_t> rtcTrim() const;        // last "SR"
  std::optional<std::uint8_t> rssiThreshold() const;  // last "RF" (magnitude)
  std::map<std::uint32_t, Bytes> peerKeys() const;    // installed by "PK"
  Stats stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string slavePath_;
};

// Helpers, exposed for tests and the program.

// The hat's 8-byte time stamp of a UTC time: year as tens and units nibbles of years since 1900
// (tens above 9 allowed), month, day, seconds, minutes, hours in BCD, milliseconds u16 BE.
Bytes encodeStamp(std::chrono::sys_time<std::chrono::microseconds> t);
// "HL", version byte, 30-byte information block.
Bytes helloMessage(const Options& o);
// Sum check of "TB": two's complement of the byte sum.
std::uint8_t checksum(ByteView covered);

// Scans the head of `buf` for one gateway-to-hat frame.
enum class Scan { Complete, NeedMore, Unknown };
Scan scanFrame(ByteView buf, std::size_t& length);
// One readable line for a frame: "TC", "PK uid=5000 key=...", "PM node=7 mode=1".
std::string describeFrame(const Frame& f);

}  // namespace ostrel::hatsim
