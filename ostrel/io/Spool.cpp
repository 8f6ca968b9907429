#include "ostrel/io/Spool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/crc.hpp>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "ostrel/io/Log.hpp"

namespace ostrel {

namespace {

// A record: magic, body length, CRC-32 of the body (little-endian), then the body: flags (QoS in
// bits 0-1, retain in bit 2), topic length (16 bits), topic, payload. The magic's first byte
// never occurs in UTF-8 text, so a search for the next record after damage rarely stops inside
// a payload, and a false stop fails its checksum.
constexpr unsigned char MAGIC[4] = {0xF5, 0x8A, 0x0F, 0xD9};
constexpr std::size_t HEADER = 12;
constexpr std::size_t MAX_BODY = 4 * 1024 * 1024;
constexpr const char* SUFFIX = ".spool";

void putLe(std::string& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t getLe(const std::string& in, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

std::uint32_t crc32(const char* data, std::size_t n) {
  boost::crc_32_type crc;
  crc.process_bytes(data, n);
  return crc.checksum();
}

// The record at `at` when one is whole and intact there: its total length.
std::optional<std::size_t> recordAt(const std::string& buf, std::size_t at) {
  if (buf.size() - at < HEADER || std::memcmp(buf.data() + at, MAGIC, 4) != 0) return std::nullopt;
  std::size_t len = getLe(buf, at + 4, 4);
  if (len < 3 || len > MAX_BODY || buf.size() - at - HEADER < len) return std::nullopt;
  if (crc32(buf.data() + at + HEADER, len) != getLe(buf, at + 8, 4)) return std::nullopt;
  if (getLe(buf, at + HEADER + 1, 2) > len - 3) return std::nullopt;
  return HEADER + len;
}

// The next intact record at or after `at`: its start and length; nullopt when none follows.
std::optional<std::pair<std::size_t, std::size_t>> findRecord(const std::string& buf,
                                                              std::size_t at) {
  while (at < buf.size()) {
    if (auto len = recordAt(buf, at)) return std::make_pair(at, *len);
    auto next = buf.find(static_cast<char>(MAGIC[0]), at + 1);
    if (next == std::string::npos) return std::nullopt;
    at = next;
  }
  return std::nullopt;
}

Publication decode(const std::string& buf, std::size_t at, std::size_t len) {
  Publication p;
  const std::size_t body = at + HEADER;
  auto flags = static_cast<unsigned char>(buf[body]);
  p.qos = flags & 3;
  p.retain = (flags & 4) != 0;
  std::size_t topicLen = getLe(buf, body + 1, 2);
  p.topic.assign(buf, body + 3, topicLen);
  p.payload.assign(buf, body + 3 + topicLen, len - HEADER - 3 - topicLen);
  return p;
}

bool readFile(const std::string& path, std::size_t from, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[65536];
  for (std::size_t at = from;;) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    out.append(chunk, static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
  }
}

}  // namespace

std::string encodeSpoolRecord(const Publication& p) {
  std::string body;
  body.reserve(3 + p.topic.size() + p.payload.size());
  body.push_back(static_cast<char>((p.qos & 3) | (p.retain ? 4 : 0)));
  putLe(body, static_cast<std::uint32_t>(p.topic.size()), 2);
  body += p.topic;
  body += p.payload;
  std::string out(reinterpret_cast<const char*>(MAGIC), 4);
  putLe(out, static_cast<std::uint32_t>(body.size()), 4);
  putLe(out, crc32(body.data(), body.size()), 4);
  return out + body;
}

Spool::Spool(Options options) : opt_(std::move(options)) {
  DIR* d = ::opendir(opt_.dir.c_str());
  if (!d) throw std::system_error(errno, std::generic_category(), "cannot read " + opt_.dir);
  std::vector<std::uint64_t> found;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() != 20 + std::strlen(SUFFIX) || !name.ends_with(SUFFIX)) continue;
    if (name.find_first_not_of("0123456789") != 20) continue;
    found.push_back(std::stoull(name.substr(0, 20)));
  }
  ::closedir(d);
  for (std::uint64_t seq : found) {
    Segment s;
    s.path = fmt::format("{}/{:020}{}", opt_.dir, seq, SUFFIX);
    std::string buf;
    if (!readFile(s.path, 0, buf)) {
      logf("Spool: cannot read {}: {}; it is left alone", s.path, std::strerror(errno));
      continue;
    }
    // Counted now, so that the health report and the bound know what waits.
    std::size_t skipped = 0;
    for (std::size_t at = 0; at < buf.size();) {
      auto rec = findRecord(buf, at);
      skipped += (rec ? rec->first : buf.size()) - at;
      if (!rec) break;
      ++s.unread;
      at = rec->first + rec->second;
    }
    if (skipped > 0)
      logf("Spool: {} bytes of damaged or cut records skipped in {}", skipped, s.path);
    s.bytes = buf.size();
    s.records = s.unread;
    diskBytes_ += s.bytes;
    waiting_ += s.unread;
    records_ += s.records;
    nextSeq_ = std::max(nextSeq_, seq + 1);
    segments_.emplace(seq, std::move(s));
  }
  for (auto it = segments_.begin(); it != segments_.end();) eraseIfFinished(it++);
  if (waiting_ > 0)
    logf("Spool: {} publications from an earlier run wait in {}", waiting_, opt_.dir);
}

Spool::~Spool() {
  closeTail();
}

void Spool::fail(const std::string& what) {
  logf("Spool: {}: {}; spooling stops, publications stay in memory", what, std::strerror(errno));
  stopped_ = true;
  closeTail();
}

bool Spool::openTail() {
  std::uint64_t seq = nextSeq_++;
  Segment s;
  s.path = fmt::format("{}/{:020}{}", opt_.dir, seq, SUFFIX);
  int fd = ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    fail("cannot create " + s.path);
    return false;
  }
  tailFd_ = fd;
  tailSeq_ = seq;
  segments_.emplace(seq, std::move(s));
  // The new name must survive a power cut as well as what is written into it.
  int dfd = ::open(opt_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

void Spool::closeTail() {
  if (tailFd_ < 0) return;
  if (unsynced_) ::fdatasync(tailFd_);
  unsynced_ = false;
  ::close(tailFd_);
  tailFd_ = -1;
  auto it = segments_.find(tailSeq_);
  tailSeq_ = 0;
  if (it != segments_.end()) eraseIfFinished(it);
}

bool Spool::append(const Publication& p) {
  if (stopped_) return false;
  if (tailFd_ >= 0 && segments_[tailSeq_].bytes >= opt_.segmentBytes) closeTail();
  if (tailFd_ < 0 && !openTail()) return false;
  std::string rec = encodeSpoolRecord(p);
  Segment& s = segments_[tailSeq_];
  std::size_t done = 0;
  while (done < rec.size()) {
    ssize_t n = ::write(tailFd_, rec.data() + done, rec.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = n < 0 ? errno : ENOSPC;
      // Nothing torn stays behind: the segment ends where its last whole record does.
      (void)!::ftruncate(tailFd_, static_cast<off_t>(s.bytes));
      errno = e;
      fail("cannot write " + s.path);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  s.bytes += rec.size();
  ++s.unread;
  ++s.records;
  ++waiting_;
  ++records_;
  diskBytes_ += rec.size();
  unsynced_ = true;
  enforceBound();
  return true;
}

bool Spool::sync() {
  if (stopped_) return false;
  if (tailFd_ >= 0 && unsynced_ && ::fdatasync(tailFd_) != 0) {
    fail("cannot sync " + segments_[tailSeq_].path);
    return false;
  }
  unsynced_ = false;
  return true;
}

bool Spool::load(std::uint64_t seq, const Segment& s) {
  if (readSeq_ != seq) {
    readBuf_.clear();
    readSeq_ = seq;
  }
  if (readBuf_.size() >= s.bytes) return true;
  if (!readFile(s.path, readBuf_.size(), readBuf_)) {
    logf("Spool: cannot read {}: {}", s.path, std::strerror(errno));
    return false;
  }
  // Only what this process counted: bytes beyond belong to a record still being written.
  if (readBuf_.size() > s.bytes) readBuf_.resize(s.bytes);
  return true;
}

std::optional<Spool::Item> Spool::next() {
  for (auto it = segments_.begin(); it != segments_.end(); ++it) {
    Segment& s = it->second;
    if (s.unread == 0) continue;
    if (!load(it->first, s)) {
      // Unreadable now: its records are lost to this run.
      dropped_ += s.unread;
      recentDrops_ += s.unread;
      waiting_ -= s.unread;
      records_ -= s.unread;
      s.records -= s.unread;
      s.unread = 0;
      eraseIfFinished(it);
      return next();
    }
    auto rec = findRecord(readBuf_, s.readAt);
    if (!rec) {
      // Counted at start, unreadable now: the file changed under us.
      dropped_ += s.unread;
      recentDrops_ += s.unread;
      waiting_ -= s.unread;
      records_ -= s.unread;
      s.records -= s.unread;
      s.unread = 0;
      eraseIfFinished(it);
      return next();
    }
    s.readAt = rec->first + rec->second;
    --s.unread;
    --waiting_;
    Item item{it->first, decode(readBuf_, rec->first, rec->second)};
    if (s.unread == 0 && it->first != tailSeq_) {
      readBuf_.clear();
      readBuf_.shrink_to_fit();
      readSeq_ = 0;
    }
    return item;
  }
  return std::nullopt;
}

void Spool::done(std::uint64_t segment) {
  auto it = segments_.find(segment);
  if (it == segments_.end() || it->second.records == it->second.unread) return;
  --it->second.records;
  --records_;
  if (it->first == tailSeq_ && it->second.records == 0) {
    // Nothing written is needed any more: the file goes now rather than when it is full, and
    // the next append starts a new one.
    unsynced_ = false;
    closeTail();
    return;
  }
  eraseIfFinished(it);
}

void Spool::eraseIfFinished(Iter it) {
  if (it->second.records == 0 && it->first != tailSeq_) erase(it);
}

void Spool::erase(Iter it) {
  if (::unlink(it->second.path.c_str()) != 0 && errno != ENOENT)
    logf("Spool: cannot delete {}: {}", it->second.path, std::strerror(errno));
  diskBytes_ -= it->second.bytes;
  records_ -= it->second.records;
  waiting_ -= it->second.unread;
  if (readSeq_ == it->first) {
    readBuf_.clear();
    readSeq_ = 0;
  }
  segments_.erase(it);
}

void Spool::enforceBound() {
  while (diskBytes_ > opt_.maxBytes && segments_.size() > 1) {
    auto it = segments_.begin();
    if (it->first == tailSeq_) break;
    dropped_ += it->second.unread;
    recentDrops_ += it->second.unread;
    erase(it);
  }
}

std::uint64_t Spool::takeRecentDrops() {
  return std::exchange(recentDrops_, 0);
}

}  // namespace ostrel
