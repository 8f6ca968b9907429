#include "ostrel/mqtt/SpoolDisk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ostrel/base/Log.hpp"

namespace ostrel::spool {
namespace {

using Clock = std::chrono::steady_clock;

// The error a file that is not one of our segments is reported with.
int unusable(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (S_ISLNK(st.st_mode)) return ELOOP;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  if (static_cast<std::uintmax_t>(st.st_size) > MAX_FILE) return EFBIG;
  return 0;
}

}  // namespace

Disk::Disk(int dirFd, std::string dir, std::size_t segmentBytes,
           std::chrono::milliseconds syncEvery, SyncFn sync, std::function<void(Result)> report)
    : dirFd_(dirFd),
      dir_(std::move(dir)),
      segmentBytes_(segmentBytes),
      syncEvery_(syncEvery),
      sync_(std::move(sync)),
      report_(std::move(report)),
      lastSync_(Clock::now()),
      thread_([this] { run(); }) {}

Disk::~Disk() {
  {
    std::lock_guard lk(m_);
    stopping_ = true;
  }
  cv_.notify_one();
  thread_.join();
}

void Disk::submit(Op op) {
  {
    std::lock_guard lk(m_);
    auto* w = std::get_if<WriteOp>(&op);
    auto* last = urgent_.empty() ? nullptr : std::get_if<WriteOp>(&urgent_.back());
    // Not started yet: what follows it in the same segment joins it.
    if (w && last && !w->create && last->seq == w->seq && last->gen == w->gen &&
        last->offset + last->data.size() == w->offset) {
      auto base = static_cast<std::uint32_t>(last->data.size());
      last->data += w->data;
      for (auto e : w->ends) last->ends.push_back(base + e);
      last->lastPush = w->lastPush;
      return;
    }
    bool first = w || std::holds_alternative<SyncOp>(op) || std::holds_alternative<ResumeOp>(op);
    (first ? urgent_ : queue_).push_back(std::move(op));
  }
  cv_.notify_one();
}

bool Disk::syncDue() const {
  bool dirty = dirDirty_ || std::any_of(files_.begin(), files_.end(),
                                        [](const auto& f) { return f.second.dirty; });
  return dirty && Clock::now() >= lastSync_ + syncEvery_;
}

void Disk::run() {
  std::unique_lock lk(m_);
  bool lastUrgent = false;
  for (;;) {
    if (!urgent_.empty() || !queue_.empty()) {
      // Writes go first, but the rest waits for one at most: on a disk that writes no faster
      // than readings come, writes never end, and nothing would be read back or deleted.
      bool otherNext = lastUrgent && !queue_.empty() && mayOvertake(queue_.front());
      auto& lane = urgent_.empty() || otherNext ? queue_ : urgent_;
      lastUrgent = &lane == &urgent_;
      Op op = std::move(lane.front());
      lane.pop_front();
      const bool ending = stopping_;
      lk.unlock();
      if (!ending || !skipAtEnd(op)) execute(op);
      if (syncDue()) syncAll();
      lk.lock();
    } else if (stopping_) {
      break;
    } else if (syncDue()) {
      lk.unlock();
      syncAll();
      lk.lock();
    } else {
      bool dirty = dirDirty_ || std::any_of(files_.begin(), files_.end(),
                                            [](const auto& f) { return f.second.dirty; });
      if (dirty)
        cv_.wait_until(lk, lastSync_ + syncEvery_);
      else
        cv_.wait(lk);
    }
  }
  lk.unlock();
  syncAll();
  for (auto& [seq, f] : files_) ::close(f.fd);
  files_.clear();
  if (markFd_ >= 0) ::close(markFd_);
}

// Reads, marks and deletions may go before a waiting write; a deletion never before a write
// into the same segment (the write would find no file), and the end never before anything.
bool Disk::mayOvertake(const Op& op) const {
  if (std::holds_alternative<LoadOp>(op) || std::holds_alternative<MarkOp>(op)) return true;
  auto* u = std::get_if<UnlinkOp>(&op);
  return u && std::none_of(urgent_.begin(), urgent_.end(), [&](const Op& o) {
           auto* w = std::get_if<WriteOp>(&o);
           return w && w->seq == u->seq;
         });
}

// Once the spool is going, reads are of no use, and a drop that must count a segment first is
// left to the next start (which finds the segment again, still past the bound). A mark queued
// after such a drop would call the segment done: it is not written either.
bool Disk::skipAtEnd(const Op& op) {
  if (std::holds_alternative<LoadOp>(op)) return true;
  if (auto* u = std::get_if<UnlinkOp>(&op); u && u->countFrom) return skippedDrop_ = true;
  return skippedDrop_ && std::holds_alternative<MarkOp>(op);
}

void Disk::execute(Op& op) {
  std::visit(
      [this](auto& o) {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, ScanOp>) {
          scan();
        } else if constexpr (std::is_same_v<T, WriteOp>) {
          write(o);
        } else if constexpr (std::is_same_v<T, LoadOp>) {
          report_(load(o));
        } else if constexpr (std::is_same_v<T, UnlinkOp>) {
          unlink(o);
        } else if constexpr (std::is_same_v<T, SyncOp>) {
          syncAll();
        } else if constexpr (std::is_same_v<T, MarkOp>) {
          mark(o);
        } else if constexpr (std::is_same_v<T, ResumeOp>) {
          refused_.clear();
          failed_ = failed_ && !o.write;
        } else {
          final(o);
        }
      },
      op);
}

void Disk::scan() {
  ScanResult r;
  struct Candidate {
    std::uint64_t seq, size, inode;
  };
  std::vector<Candidate> found;
  int fd = ::openat(dirFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (!d) {
    r.lines.push_back(fmt::format("Spool: cannot read {}: {}", dir_, std::strerror(errno)));
    if (fd >= 0) ::close(fd);
  }
  while (dirent* e = d ? ::readdir(d) : nullptr) {
    auto seq = parseSegmentName(e->d_name);
    if (!seq) continue;
    // Past every name, readable or not: a new segment must never meet an old one's name.
    r.nextSeq = std::max(r.nextSeq, *seq + 1);
    struct stat st {};
    int err = ::fstatat(dirFd_, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ? errno : unusable(st);
    if (err != 0) {
      r.lines.push_back(fmt::format("Spool: cannot read {}: {}; it is left alone", path(*seq),
                                    std::strerror(err)));
      continue;
    }
    found.push_back({*seq, static_cast<std::uint64_t>(st.st_size), st.st_ino});
  }
  if (d) ::closedir(d);
  std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.seq < b.seq; });

  std::optional<Mark> mark;
  int mfd = ::openat(dirFd_, MARK_NAME, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (mfd >= 0) {
    r.markFile = true;
    char b[MARK_SIZE + 1];
    ssize_t n = ::pread(mfd, b, sizeof b, 0);
    ::close(mfd);
    mark = decodeMark(std::string_view(b, n > 0 ? static_cast<std::size_t>(n) : 0));
    if (!mark)
      r.lines.push_back(
          fmt::format("Spool: {}/{} is damaged; publications already delivered may be sent again",
                      dir_, MARK_NAME));
  }
  std::uint64_t start = 0;
  if (mark) {
    r.nextSeq = std::max(r.nextSeq, mark->seq + 1);
    auto at = std::find_if(found.begin(), found.end(), [&](auto& c) { return c.seq == mark->seq; });
    // Only a mark whose segment is still the file it was written for counts.
    if (at != found.end() && at->inode == mark->inode) {
      for (auto it = found.begin(); it != at; ++it)
        if (::unlinkat(dirFd_, segmentName(it->seq).c_str(), 0) != 0 && errno != ENOENT)
          r.lines.push_back(
              fmt::format("Spool: cannot delete {}: {}", path(it->seq), std::strerror(errno)));
      start = std::min(mark->offset, at->size);
      found.erase(found.begin(), at);
    }
  }
  for (auto& c : found)
    r.segments.push_back({c.seq, c.size, r.segments.empty() && mark ? start : 0});
  maxSeq_ = std::max(maxSeq_, r.nextSeq - 1);
  report_(std::move(r));
}

void Disk::write(WriteOp& w) {
  const std::size_t n = w.data.size();
  WriteResult r{w.seq, n, w.offset, w.lastPush, w.gen, failErr_, {}};
  if (failed_) {
    refused_.push_back(std::move(w));
    report_(std::move(r));
    return;
  }
  int fd = -1;
  if (auto f = files_.find(w.seq); f != files_.end()) fd = f->second.fd;
  if (fd < 0) {
    int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (w.create ? O_CREAT | O_EXCL : 0);
    fd = ::openat(dirFd_, segmentName(w.seq).c_str(), flags, 0600);
    if (fd >= 0) {
      files_[w.seq] = File{fd, false};
      // The new name must survive a power cut as well as what is written into it.
      dirDirty_ = dirDirty_ || w.create;
      maxSeq_ = std::max(maxSeq_, w.seq);
    }
  }
  std::size_t done = 0;
  int err = fd < 0 ? errno : 0;
  while (fd >= 0 && done < n) {
    ssize_t k = ::pwrite(fd, w.data.data() + done, n - done, static_cast<off_t>(w.offset + done));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      err = k < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(k);
  }
  if (fd >= 0) {
    tail_ = w.seq;
    files_[w.seq].dirty = files_[w.seq].dirty || done > 0;
  }
  if (err == 0) {
    writtenPush_ = w.lastPush;
    r.writtenTo = w.offset + n;
    r.err = 0;
    report_(std::move(r));
    return;
  }
  // Nothing torn stays behind: the segment ends where its last whole record does.
  std::uint32_t keep = 0;
  for (auto e : w.ends)
    if (e <= done) keep = e;
  if (fd >= 0) (void)!::ftruncate(fd, static_cast<off_t>(w.offset + keep));
  failed_ = true;
  failErr_ = err;
  r.writtenTo = w.offset + keep;
  r.err = err;
  r.what = fmt::format("cannot {} {}", fd < 0 && w.create ? "create" : "write", path(w.seq));
  WriteOp rest{w.seq, w.offset + keep, false, w.data.substr(keep), {}, w.lastPush, w.gen};
  for (auto e : w.ends)
    if (e > keep) rest.ends.push_back(e - keep);
  refused_.push_back(std::move(rest));
  report_(std::move(r));
}

LoadResult Disk::load(const LoadOp& l) {
  LoadResult r{l.seq, l.from, l.to, l.records, 0, 0, {}, 0};
  int fd = ::openat(dirFd_, segmentName(l.seq).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  int err = fd < 0 || ::fstat(fd, &st) != 0 ? errno : unusable(st);
  if (err != 0) {
    if (fd >= 0) ::close(fd);
    r.err = err;
    return r;
  }
  std::uint64_t end = std::min<std::uint64_t>(l.to, static_cast<std::uint64_t>(st.st_size));
  std::string buf(end > l.from ? end - l.from : 0, '\0');
  for (std::size_t at = 0; at < buf.size();) {
    ssize_t k = ::pread(fd, buf.data() + at, buf.size() - at, static_cast<off_t>(l.from + at));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      r.err = k < 0 ? errno : 0;
      buf.resize(at);  // cut short under us: what is there is read
      break;
    }
    at += static_cast<std::size_t>(k);
  }
  ::close(fd);
  std::string_view v(buf);
  std::size_t budget = searchBudget(v.size());
  for (std::size_t at = 0; at < v.size();) {
    auto rec = findRecord(v, at, budget);
    r.skipped += (rec ? rec->first : v.size()) - at;
    if (!rec) break;
    ++r.count;
    if (l.records) r.loaded.push_back({l.from + rec->first, decode(v, rec->first, rec->second)});
    at = rec->first + rec->second;
  }
  return r;
}

void Disk::unlink(const UnlinkOp& u) {
  if (auto f = files_.find(u.seq); f != files_.end()) {
    ::close(f->second.fd);  // deleted: nothing in it needs to be durable
    files_.erase(f);
  }
  std::erase_if(refused_, [&](const WriteOp& w) { return w.seq == u.seq; });
  std::size_t count = u.countFrom ? load({u.seq, *u.countFrom, MAX_FILE, false}).count : 0;
  if (::unlinkat(dirFd_, segmentName(u.seq).c_str(), 0) != 0 && errno != ENOENT)
    logf("Spool: cannot delete {}: {}", path(u.seq), std::strerror(errno));
  if (u.countFrom) report_(DropResult{count});
}

void Disk::mark(const MarkOp& m) {
  if (!m.mark) {
    if (markFd_ >= 0) ::close(markFd_);
    markFd_ = -1;
    ::unlinkat(dirFd_, MARK_NAME, 0);
    return;
  }
  Mark mk = *m.mark;
  struct stat st {};
  if (::fstatat(dirFd_, segmentName(mk.seq).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  mk.inode = st.st_ino;
  // Not synced: a mark lost or torn by a power cut only means more is sent again.
  if (markFd_ < 0)
    markFd_ = ::openat(dirFd_, MARK_NAME, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  std::string bytes = encodeMark(mk);
  if (markFd_ >= 0 && ::pwrite(markFd_, bytes.data(), bytes.size(), 0) == MARK_SIZE) return;
  if (!std::exchange(markFailedTold_, true))
    logf("Spool: cannot write {}/{}: {}; publications already delivered may be sent again", dir_,
         MARK_NAME, std::strerror(errno));
}

void Disk::final(FinalOp& f) {
  // What was refused is older than what the loop could not place.
  std::vector<std::string> records;
  for (auto& w : refused_) {
    std::uint32_t from = 0;
    for (auto e : w.ends) {
      records.push_back(w.data.substr(from, e - from));
      from = e;
    }
  }
  refused_.clear();
  for (auto& r : f.records) records.push_back(std::move(r));
  failed_ = false;
  std::size_t lost = 0;
  for (std::size_t i = 0; i < records.size();) {
    WriteOp w{maxSeq_ + 1, 0, true, {}, {}, 0, 0};
    while (i < records.size() && (w.data.empty() || w.data.size() < segmentBytes_)) {
      w.data += records[i++];
      w.ends.push_back(static_cast<std::uint32_t>(w.data.size()));
    }
    write(w);
    if (failed_) {
      for (auto& r : refused_) lost += r.ends.size();
      lost += records.size() - i;
      break;
    }
  }
  if (lost > 0)
    logf("Spool: {} publications could not be written to {}; they are lost", lost, dir_);
}

void Disk::syncAll() {
  lastSync_ = Clock::now();
  SyncResult r{writtenPush_, 0, {}};
  for (auto it = files_.begin(); it != files_.end();) {
    if (it->second.dirty) {
      int e = sync_(it->second.fd, false);
      if (e != 0 && r.err == 0) r = {writtenPush_, e, "cannot sync " + path(it->first)};
      it->second.dirty = false;
    }
    // Full segments are closed once synced; the tail stays open for the next write.
    if (it->first != tail_) {
      ::close(it->second.fd);
      it = files_.erase(it);
    } else {
      ++it;
    }
  }
  if (std::exchange(dirDirty_, false)) {
    int e = sync_(dirFd_, true);
    if (e != 0 && r.err == 0) r = {writtenPush_, e, "cannot sync " + dir_};
  }
  if (r.err != 0) {
    failed_ = true;
    failErr_ = r.err;
  }
  report_(std::move(r));
}

}  // namespace ostrel::spool
