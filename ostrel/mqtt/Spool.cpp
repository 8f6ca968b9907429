#include "ostrel/mqtt/Spool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/file.h>

#include <boost/crc.hpp>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>
#include <vector>

#include "ostrel/base/Log.hpp"

namespace ostrel {

namespace {

// A record: magic, body length, CRC-32 of the body (little-endian), then the body: flags (QoS in
// bits 0-1, retain in bit 2), topic length (16 bits), topic, payload. The magic's first byte
// never occurs in UTF-8 text, so a search for the next record after damage rarely stops inside
// a payload, and a false stop fails its checksum.
constexpr unsigned char MAGIC[4] = {0xF5, 0x8A, 0x0F, 0xD9};
constexpr std::size_t HEADER = 12;
constexpr std::size_t MAX_BODY = Spool::MAX_RECORD;
constexpr const char* SUFFIX = ".spool";
// No segment this gateway writes is larger: a bigger file is not ours, and is not read.
constexpr std::size_t MAX_FILE = 4 * 1024 * 1024;

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
// Searching damage costs a checksum per candidate; `budget` (bytes checksummed in vain) keeps the
// whole file's search linear in its size, and once spent the rest of the file counts as damaged.
std::optional<std::pair<std::size_t, std::size_t>> findRecord(const std::string& buf,
                                                              std::size_t at, std::size_t& budget) {
  while (at < buf.size()) {
    if (auto len = recordAt(buf, at)) return std::make_pair(at, *len);
    if (buf.size() - at >= HEADER && std::memcmp(buf.data() + at, MAGIC, 4) == 0) {
      std::size_t tried = std::min<std::size_t>(getLe(buf, at + 4, 4), buf.size() - at);
      if (tried > budget) return std::nullopt;
      budget -= tried;
    }
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
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) > MAX_FILE) {
    int e = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? EFBIG : EINVAL;
    ::close(fd);
    errno = e;
    return false;
  }
  char chunk[65536];
  for (std::size_t at = from; out.size() <= MAX_FILE;) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    out.append(chunk, static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
  }
  ::close(fd);
  errno = EFBIG;  // grew past any segment of ours while being read
  return false;
}

std::size_t searchBudget(const std::string& buf) {
  return 4 * buf.size() + MAX_BODY;
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
  // Two processes on one spool would hand out and delete each other's records.
  dirFd_ = ::open(opt_.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd_ < 0)
    throw std::system_error(errno, std::generic_category(), "cannot open " + opt_.dir);
  if (::flock(dirFd_, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    ::close(dirFd_);
    throw std::system_error(e, std::generic_category(), opt_.dir + " is in use by another process");
  }
  DIR* d = ::opendir(opt_.dir.c_str());
  if (!d) {
    int e = errno;
    ::close(dirFd_);
    throw std::system_error(e, std::generic_category(), "cannot read " + opt_.dir);
  }
  std::vector<std::uint64_t> found;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.size() != 20 + std::strlen(SUFFIX) || !name.ends_with(SUFFIX)) continue;
    if (name.find_first_not_of("0123456789") != 20) continue;
    std::uint64_t seq = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + 20, seq);
    if (ec != std::errc() || seq == UINT64_MAX) continue;
    found.push_back(seq);
    // Past every name, readable or not: a new segment must never meet an old one's name.
    nextSeq_ = std::max(nextSeq_, seq + 1);
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
    std::size_t budget = searchBudget(buf);
    for (std::size_t at = 0; at < buf.size();) {
      auto rec = findRecord(buf, at, budget);
      skipped += (rec ? rec->first : buf.size()) - at;
      if (!rec) break;
      ++s.unread;
      at = rec->first + rec->second;
    }
    if (skipped > 0)
      logf("Spool: {} bytes of damaged or cut records skipped in {}", skipped, s.path);
    s.bytes = buf.size();
    s.searchLeft = searchBudget(buf);  // enough to find again what was found now
    s.records = s.unread;
    diskBytes_ += s.bytes;
    waiting_ += s.unread;
    records_ += s.records;
    segments_.emplace(seq, std::move(s));
  }
  for (auto it = segments_.begin(); it != segments_.end();) eraseIfFinished(it++);
  enforceBound();  // spool-size may have been lowered since
  if (waiting_ > 0)
    logf("Spool: {} publications from an earlier run wait in {}", waiting_, opt_.dir);
}

Spool::~Spool() {
  sync();
  closeTail();
  for (int fd : closing_) ::close(fd);
  ::close(dirFd_);
}

void Spool::fail(const std::string& what) {
  logf("Spool: {}: {}; spooling stops, publications stay in memory", what, std::strerror(errno));
  stopped_ = true;
  unsynced_ = false;
  closeTail();
  for (int fd : std::exchange(closing_, {})) ::close(fd);
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
  s.searchLeft = 4 * (opt_.segmentBytes + MAX_BODY);
  segments_.emplace(seq, std::move(s));
  // The new name must survive a power cut as well as what is written into it: synced with it.
  dirUnsynced_ = true;
  return true;
}

void Spool::closeTail() {
  if (tailFd_ < 0) return;
  // Unsynced data is synced at the next sync(), not now: at most one sync a second.
  if (unsynced_)
    closing_.push_back(tailFd_);
  else
    ::close(tailFd_);
  unsynced_ = false;
  tailFd_ = -1;
  auto it = segments_.find(tailSeq_);
  tailSeq_ = 0;
  if (it != segments_.end()) eraseIfFinished(it);
}

bool Spool::append(const Publication& p) {
  if (stopped_ || !fits(p)) return false;
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

std::optional<Spool::SyncJob> Spool::takeSyncJob() {
  if (!syncDue()) return std::nullopt;
  SyncJob job;
  for (int fd : std::exchange(closing_, {})) job.fds.emplace_back(fd, false);
  if (tailFd_ >= 0 && unsynced_) {
    int fd = ::fcntl(tailFd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
      runSyncJob(job);  // closes what it took
      fail("cannot sync " + segments_[tailSeq_].path);
      return std::nullopt;
    }
    job.fds.emplace_back(fd, false);
  }
  unsynced_ = false;
  if (dirUnsynced_) {
    int fd = ::fcntl(dirFd_, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) job.fds.emplace_back(fd, true);
  }
  dirUnsynced_ = false;
  return job;
}

int Spool::runSyncJob(SyncJob& job) {
  int err = 0;
  for (auto [fd, dir] : std::exchange(job.fds, {})) {
    if ((dir ? ::fsync(fd) : ::fdatasync(fd)) != 0 && err == 0) err = errno;
    ::close(fd);
  }
  return err;
}

void Spool::syncFailed(int err) {
  if (stopped_) return;
  errno = err;
  fail("cannot sync what was written to " + opt_.dir);
}

bool Spool::sync() {
  auto job = takeSyncJob();
  if (!job) return !stopped_;
  if (int err = runSyncJob(*job)) syncFailed(err);
  return !stopped_;
}

bool Spool::load(std::uint64_t seq, const Segment& s) {
  if (readSeq_ != seq) {
    readBuf_.clear();
    readSeq_ = seq;
  }
  if (readBuf_.size() >= s.bytes) return true;
  if (!readFile(s.path, readBuf_.size(), readBuf_)) {
    logf("Spool: cannot read {}: {}", s.path, std::strerror(errno));
    readBuf_.clear();
    readSeq_ = 0;
    return false;
  }
  // Only what this process counted: bytes beyond belong to a record still being written.
  if (readBuf_.size() > s.bytes) readBuf_.resize(s.bytes);
  return true;
}

std::optional<Spool::Item> Spool::next() {
  for (auto it = segments_.begin(); it != segments_.end();) {
    Segment& s = it->second;
    if (s.unread == 0) {
      ++it;
      continue;
    }
    auto rec = load(it->first, s) ? findRecord(readBuf_, s.readAt, s.searchLeft) : std::nullopt;
    if (!rec) {
      // Counted before, unreadable now: the file changed or the disk failed under us.
      logf("Spool: {} publications in {} cannot be read again; they are lost", s.unread, s.path);
      dropped_ += s.unread;
      waiting_ -= s.unread;
      records_ -= s.unread;
      s.records -= s.unread;
      s.unread = 0;
      eraseIfFinished(it++);
      continue;
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
