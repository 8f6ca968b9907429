#include "ostrel/hat/CipherLink.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <set>
#include <system_error>

#include "ostrel/base/Log.hpp"
#include "ostrel/sys/Files.hpp"

namespace ostrel {

namespace {

constexpr const char* kNotSetUp =
    "You have to call setupEncryptionForNode before calling incrementStartupCounter";

std::system_error osError(const std::string& what, const std::string& path) {
  return std::system_error(errno, std::generic_category(), what + " " + path);
}

enum class Entry { Regular, Link, Other };

// What is at `path` itself: a link is not followed.
Entry entryAt(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Entry::Other;
  if (S_ISLNK(st.st_mode)) return Entry::Link;
  return S_ISREG(st.st_mode) ? Entry::Regular : Entry::Other;
}

// A link in the state directory may point anywhere (another node's file, a system file): it is
// never read or written through. Said once per path, since every link-state report of that node
// meets it again.
void refuseLink(const std::string& path) {
  static std::mutex m;
  static std::set<std::string> told;
  {
    std::lock_guard lk(m);
    if (told.count(path) || told.size() >= 1024) return;
    told.insert(path);
  }
  logf(
      "{} is a symbolic link; it is not followed, and its node is left out until it is replaced "
      "by a regular file",
      path);
}

// Entry::Regular when the caller may go on; otherwise the refusal has been logged.
Entry checkStatusFile(const std::string& path) {
  Entry e = entryAt(path);
  if (e == Entry::Link)
    refuseLink(path);
  else if (e == Entry::Other)
    logf("{} is not a file", path);
  return e;
}

// Opens a status file without following a link; -1 with the refusal logged when it has become
// one since it was checked.
int openStatusFile(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) {
    refuseLink(path);
    return -1;
  }
  if (fd < 0) throw osError("cannot open", path);
  return fd;
}

struct FileCloser {
  int fd;
  ~FileCloser() {
    if (fd >= 0) ::close(fd);
  }
};

void readAllAt(int fd, std::uint8_t* p, std::size_t n, off_t off, const std::string& path) {
  while (n > 0) {
    ssize_t r = ::pread(fd, p, n, off);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw osError("cannot read", path);
    }
    if (r == 0) throw CipherLinkError(fmt::format("status file {} ended early", path));
    p += r;
    n -= static_cast<std::size_t>(r);
    off += r;
  }
}

void writeAllAt(int fd, const std::uint8_t* p, std::size_t n, off_t off, const std::string& path) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, off);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw osError("cannot write", path);
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    off += w;
  }
}

std::string pathFor(const std::string& dir, const std::string& uidText) {
  return dir + "/" + uidText + ".status";
}

}  // namespace

CipherLink::CipherLink(int senderId_, int /*targetRSSI*/, std::string storageDir_)
    : senderId(senderId_), storageDir(std::move(storageDir_)) {}

bool CipherLink::setupEncryptionForNode(const std::string& nodeUID) {
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  bool allDigits = !nodeUID.empty() && std::all_of(nodeUID.begin(), nodeUID.end(), isDigit);
  long long value;
  try {
    value = parseInteger(nodeUID);  // throws on a text that is no number
  } catch (const std::invalid_argument&) {
    // A number too large for any integer here is still a number, and surely no 32-bit UID.
    auto t = nodeUID.find_first_not_of(" \t\n\r\v\f");
    auto e = nodeUID.find_last_not_of(" \t\n\r\v\f");
    if (t == std::string::npos) throw;
    if (nodeUID[t] == '+' || nodeUID[t] == '-') ++t;
    if (t > e || !std::all_of(nodeUID.begin() + t, nodeUID.begin() + e + 1, isDigit)) throw;
    value = -1;
  }
  if (value > 0 && value == peer.uid) return true;
  if (!allDigits) {
    logf("{} must be a number", nodeUID);
    return false;
  }
  if (value < 0 || value > 0xFFFFFFFFLL) {
    logf("{} is not a valid node UID", nodeUID);
    return false;
  }
  std::string path = pathFor(storageDir, nodeUID);
  if (checkStatusFile(path) != Entry::Regular) return false;

  int fd = openStatusFile(path, O_RDONLY);
  if (fd < 0) return false;
  FileCloser closer{fd};
  std::uint8_t buf[STATUS_FILE_SIZE];
  std::size_t have = 0;
  while (have < sizeof buf) {
    ssize_t r = ::read(fd, buf + have, sizeof buf - have);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw osError("cannot read", path);
    }
    if (r == 0) break;
    have += static_cast<std::size_t>(r);
  }
  if (have < STATUS_FILE_SIZE)
    throw CipherLinkError(
        fmt::format("status file {} has {} bytes, expected {}", path, have, STATUS_FILE_SIZE));

  ByteView data(buf, sizeof buf);
  nodeFilePath = path;
  local.startupCounter = getBe32(data, 0);
  encryptionKey.assign(buf + 4, buf + 4 + KEY_SIZE);
  peer.startupCounter = getBe32(data, 36);
  peer.messageCounter = getBe32(data, 40);
  peer.uid = static_cast<std::uint32_t>(value);
  logf(
      "Read local startup counter {}, encryption key with {} bytes, peer startup counter {}, "
      "peer msg counter {} for node {} from storage",
      local.startupCounter, encryptionKey.size(), peer.startupCounter, peer.messageCounter,
      nodeUID);
  return true;
}

bool CipherLink::storeState(const std::string& storageDir, ByteView localData, ByteView peerData) {
  if (localData.size() != 4 || peerData.size() != 12)
    throw CipherLinkError(fmt::format("link state of {} and {} bytes, expected 4 and 12",
                                      localData.size(), peerData.size()));
  std::string path = pathFor(storageDir, std::to_string(getBe32(peerData, 0)));
  if (checkStatusFile(path) != Entry::Regular) return false;
  // No O_CREAT: a status file is only ever updated here, never created.
  int fd = openStatusFile(path, O_RDWR);
  if (fd < 0) return false;
  FileCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw osError("cannot stat", path);
  // Writing into a short file would leave a hole of zeros where the key belongs.
  if (st.st_size < static_cast<off_t>(STATUS_FILE_SIZE))
    throw CipherLinkError(fmt::format("status file {} has {} bytes, expected {}; not updated", path,
                                      st.st_size, STATUS_FILE_SIZE));
  // The whole record goes out in one write, then to the disk: a power cut leaves the old record
  // or the new one, never half an update.
  std::uint8_t record[STATUS_FILE_SIZE];
  readAllAt(fd, record, sizeof record, 0, path);
  std::copy_n(localData.data(), 4, record);
  std::copy_n(peerData.data() + 4, 8, record + 36);
  writeAllAt(fd, record, sizeof record, 0, path);
  if (::fdatasync(fd) != 0) throw osError("cannot sync", path);
  return true;
}

void CipherLink::savePeerState() {
  if (nodeFilePath.empty()) throw CipherLinkError(kNotSetUp);
  if (encryptionKey.size() != KEY_SIZE)
    throw CipherLinkError(fmt::format("link key of {} bytes, expected {}; {} not written",
                                      encryptionKey.size(), KEY_SIZE, nodeFilePath));
  Bytes data;
  putBe32(data, local.startupCounter);
  append(data, encryptionKey);
  putBe32(data, peer.startupCounter);
  putBe32(data, peer.messageCounter);

  // Read-only for the owner: nothing but this replacement may change it.
  writeWholeFile(nodeFilePath, data, {.mode = 0400, .sync = true});
}

std::uint32_t CipherLink::incrementStartupCounter() {
  if (nodeFilePath.empty()) throw CipherLinkError(kNotSetUp);
  if (local.startupCounter == 0xFFFFFFFFu)
    throw CipherLinkError(fmt::format("startup counter of {} exhausted", nodeFilePath));
  ++local.startupCounter;
  local.startupMode = true;
  savePeerState();
  return local.startupCounter;
}

void CipherLink::incrementMessageCounter() {
  if (local.messageCounter == 0xFFFFFFFFu) throw CipherLinkError("message counter exhausted");
  std::uint32_t before = local.messageCounter++;
  // Upper 16 bits changed: the short counter form no longer suffices.
  if ((before >> 16) != (local.messageCounter >> 16)) local.bigMsgCounterMode = true;
}

void CipherLink::switchLocalModesOff(int /*sendAttempts*/) {
  if (local.ackTxError) {
    local.ackTxError = false;
    return;
  }
  local.startupMode = false;
  local.bigMsgCounterMode = false;
}

bool CipherLink::setupEncryptionFromMsg(const RadioPacket& rfm) {
  if (!(rfm.LAST_RECEIVED_CTLBYTE & RFM69_CTL_STARTUP)) return false;
  return setupEncryptionForNode(static_cast<long long>(getBe32(rfm.DATA, 0)));
}

}  // namespace ostrel
