#pragma once
// One encrypted link's key and counters, and its 44-byte status file.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "ostrel/base/Bytes.hpp"

namespace ostrel {

// A status file that cannot be used (too short, unreadable) or a link that is not set up.
class CipherLinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CipherLink {
 public:
  static constexpr int RFM69_CTL_STARTUP = 2;
  static constexpr int RFM69_CTL_BIG_MSG_COUNTER = 1;
  static constexpr int AUTH_LENGTH = 4;
  static constexpr std::size_t STATUS_FILE_SIZE = 44;
  static constexpr std::size_t KEY_SIZE = 32;

  struct Local {
    std::uint32_t uid = 0;
    std::uint32_t startupCounter = 0;
    std::uint32_t messageCounter = 0;
    bool startupMode = false;
    bool bigMsgCounterMode = false;
    bool ackTxError = true;
  };
  struct Peer {
    std::uint32_t uid = 0;
    std::uint32_t startupCounter = 0;
    std::uint32_t messageCounter = 0;
    int lastMsgDuplicates = -1;
  };
  // A radio driver's last packet, for setupEncryptionFromMsg.
  struct RadioPacket {
    Bytes DATA;
    int LAST_RECEIVED_CTLBYTE = 0;
  };

  CipherLink(int senderId, int targetRSSI, std::string storageDir);

  // Loads the node's status file. False (after a log line) when the UID text is not all digits,
  // is no 32-bit UID, or there is no such file. Throws std::invalid_argument on a text that is no
  // number, CipherLinkError on a file shorter than 44 bytes, std::system_error when it cannot be
  // read; the object is left unchanged then.
  bool setupEncryptionForNode(const std::string& nodeUID);
  bool setupEncryptionForNode(long long nodeUID) {
    return setupEncryptionForNode(std::to_string(nodeUID));
  }

  // Updates the counters of an existing status file in place; false when there is none. Throws
  // CipherLinkError for data of the wrong length or a file shorter than 44 bytes (left untouched).
  static bool storeState(const std::string& storageDir, ByteView localData, ByteView peerData);

  // Replaces the status file as a whole (through "<path>.tmp" and a rename).
  void savePeerState();
  std::uint32_t incrementStartupCounter();
  void incrementMessageCounter();
  void switchLocalModesOff(int sendAttempts);
  bool setupEncryptionFromMsg(const RadioPacket& rfm);

  int senderId;
  Local local;
  Peer peer;
  Bytes encryptionKey;
  std::string storageDir;
  std::string nodeFilePath;
  bool rxValidMsg = false;
};

}  // namespace ostrel
