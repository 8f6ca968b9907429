// The spool's loop side, writing: records in memory, placed and handed to the worker, confirmed
// written; the bounds; a disk that refuses writes, and trying it again.
#include "ostrel/mqtt/SpoolIndex.hpp"

#include <algorithm>
#include <cstring>

#include "ostrel/base/Log.hpp"

namespace ostrel::spool {

Index::Index(Executor l, Spool::Options o, Spool* s)
    : loop(l),
      opt(std::move(o)),
      owner(s),
      // Bytes handed to the worker at once: what it writes in one go while it catches up.
      queueCap(std::clamp<std::size_t>(opt.memoryBytes / 2, 64 * 1024, 1024 * 1024)),
      retryTimer(l),
      markTimer(l) {}

Spool::Id Index::add(const Publication& p, bool copy) {
  MemRecord r;
  r.id = nextId++;
  r.push = ++pushes;
  r.bytes = encodeSpoolRecord(p);
  r.len = static_cast<std::uint32_t>(r.bytes.size());
  r.copy = copy;
  memBytes += r.len;
  pendingBytes += r.len;
  ++pendingKept;
  if (copy)
    out.emplace(r.id, std::nullopt);
  else
    ++memUnhanded;
  mem.push_back(std::move(r));
  Spool::Id id = mem.back().id;
  submit();
  enforceMemory();
  enforceBound();
  return id;
}

void Index::submit() {
  // Placing needs the sequence numbers already on disk: not before the directory is listed.
  if (!scanned || !disk || (stopped && !retrying)) return;
  while (placed < mem.size() && inflight < queueCap) {
    MemRecord& r = mem[placed++];
    if (!r.done) place(r);
  }
}

void Index::place(MemRecord& r) {
  if (!tail || segs[*tail].bytes >= opt.segmentBytes) {
    tail = nextSeq++;
    segs[*tail];
    createTail = true;
  }
  Segment& s = segs[*tail];
  Loc at{*tail, s.bytes};
  r.at = at;
  s.bytes += r.len;
  diskBytes += r.len;
  ++s.records;
  ++segRecords;
  --pendingKept;
  pendingBytes -= r.len;
  if (r.handed || r.copy) {
    busy.insert(at);
    out[r.id] = at;
    if (s.readAt == at.off)
      s.readAt += r.len;
    else
      s.skip.insert(at.off);
  }
  inflight += r.len;
  disk->submit(
      WriteOp{at.seq, at.off, std::exchange(createTail, false), r.bytes, {r.len}, r.push, gen});
}

// Records the worker has written leave memory; those not handed out are on disk now.
void Index::popWritten() {
  while (!mem.empty()) {
    MemRecord& f = mem.front();
    if (f.at) {
      auto s = segs.find(f.at->seq);
      if (s != segs.end() && f.at->off + f.len > s->second.written) break;
      if (s != segs.end() && !f.done && !f.handed && !f.copy) {
        ++s->second.onDisk;
        ++onDisk;
        --memUnhanded;
      }
    } else if (!f.done) {
      break;
    }
    memBytes -= f.bytes.size();
    mem.pop_front();
    placed -= placed > 0 ? 1 : 0;
    memNext -= memNext > 0 ? 1 : 0;
  }
}

void Index::onWrite(WriteResult& r) {
  inflight -= std::min<std::size_t>(inflight, r.bytes);
  if (r.gen == gen) {
    if (auto s = segs.find(r.seq); s != segs.end())
      s->second.written = std::max(s->second.written, r.writtenTo);
    popWritten();
    if (r.err != 0) {
      fail(r.what, r.err);
    } else {
      writtenPush = std::max(writtenPush, r.lastPush);
      if (std::exchange(retrying, false)) {
        stopped = false;
        logf("Spool: writing to {} again", opt.dir);
      }
    }
  }
  submit();
  wakeFlush();
}

void Index::onSync(SyncResult& r) {
  syncAsked = false;
  if (r.err != 0 && (!stopped || retrying))
    fail(r.what, r.err);
  else if (r.err == 0)
    syncedPush = std::max(syncedPush, r.syncedPush);
  wakeFlush();
}

void Index::fail(const std::string& what, int err) {
  if (!stopped)
    logf("Spool: {}: {}; spooling stops, publications stay in memory", what, std::strerror(err));
  stopped = true;
  retrying = false;
  ++gen;
  // What the worker was given and did not write is the loop's again, in its place; the worker
  // forgets it. The next write goes to a new segment.
  for (std::size_t i = 0; i < placed; ++i) unplace(mem[i]);
  placed = 0;
  tail.reset();
  disk->submit(ResumeOp{false});
  for (auto it = segs.begin(); it != segs.end();) eraseIfFinished(it++);
  retryTimer.expires_after(opt.retryEvery);
  retryTimer.async_wait([w = self](boost::system::error_code ec) {
    if (auto i = w.lock(); i && !ec) i->retry();
  });
  wakeFlush();
}

void Index::unplace(MemRecord& r) {
  if (!r.at) return;
  auto s = segs.find(r.at->seq);
  if (s != segs.end()) {
    Segment& g = s->second;
    g.bytes -= r.len;
    diskBytes -= r.len;
    g.readAt = std::min(g.readAt, g.bytes);
    g.skip.erase(r.at->off);
    if (!r.done) {
      --g.records;
      --segRecords;
    }
  }
  if (!r.done) {
    ++pendingKept;
    pendingBytes += r.len;
    if (r.handed || r.copy) {
      busy.erase(*r.at);
      out[r.id] = std::nullopt;
    }
  }
  r.at.reset();
}

void Index::retry() {
  if (!stopped || !disk) return;
  bool pending = std::any_of(mem.begin() + static_cast<std::ptrdiff_t>(placed), mem.end(),
                             [](const MemRecord& r) { return !r.done; });
  if (!pending) {
    // Nothing to try the disk with: look again later.
    retryTimer.expires_after(opt.retryEvery);
    retryTimer.async_wait([w = self](boost::system::error_code ec) {
      if (auto i = w.lock(); i && !ec) i->retry();
    });
    return;
  }
  retrying = true;
  disk->submit(ResumeOp{true});
  submit();
}

// Past maxBytes (counting what waits in memory to be placed) the oldest segment goes; the
// records in it that were never handed out are counted.
void Index::enforceBound() {
  while (diskBytes + pendingBytes > opt.maxBytes && segs.size() > 1) {
    auto it = segs.begin();
    if (tail == it->first) break;
    const std::uint64_t seq = it->first;
    Segment& s = it->second;
    std::size_t lost = s.onDisk;
    onDisk -= s.onDisk;
    while (!ready.empty() && ready.front().at.seq == seq) {
      ready.pop_front();
      ++lost;
    }
    for (std::size_t i = 0; i < placed; ++i) {
      MemRecord& r = mem[i];
      if (!r.at || r.at->seq != seq || r.done) continue;
      if (!r.handed && !r.copy) {
        ++lost;
        --memUnhanded;
      }
      r.done = true;
      memBytes -= r.bytes.size();
      r.bytes = std::string();
    }
    busy.erase(busy.lower_bound({seq, 0}), busy.lower_bound({seq + 1, 0}));
    if (!s.counted) --uncounted;
    // One not yet counted is counted by the worker before it goes (see onResult).
    disk->submit(UnlinkOp{seq, s.counted ? std::nullopt : std::optional(s.readAt)});
    drop(lost, false);
    segRecords -= s.records;
    diskBytes -= s.bytes;
    segs.erase(it);
  }
}

void Index::drop(std::uint64_t n, bool fromMemory) {
  dropped += n;
  (fromMemory ? recentMemDrops : recentDrops) += n;
}

// Past memoryBytes the oldest records not yet handed to the worker go, counted where nobody
// else holds them (a copy, or one handed out, is still the caller's).
void Index::enforceMemory() {
  while (memBytes > opt.memoryBytes && placed < mem.size()) {
    MemRecord& r = mem[placed++];
    if (r.done) continue;
    r.done = true;
    memBytes -= r.bytes.size();
    r.bytes = std::string();
    --pendingKept;
    pendingBytes -= r.len;
    if (!r.handed && !r.copy) {
      --memUnhanded;
      drop(1, true);
    }
  }
}

bool Index::flushed(std::uint64_t target) const {
  for (const auto& r : mem) {
    if (r.push > target) break;
    if (!r.done) return false;
  }
  return syncedPush >= std::min(target, writtenPush);
}

void Index::wakeFlush() {
  for (auto& t : flushWaiters) t->cancel();
}

// The last word to the worker before it ends: how far everything is done, and every record
// not yet placed (the worker writes those after the rest).
void Index::finish() {
  writeMark();
  FinalOp f;
  for (auto& r : mem)
    if (!r.at && !r.done) f.records.push_back(std::move(r.bytes));
  disk->submit(std::move(f));
}

void Index::onResult(Result& r) {
  if (!disk) return;
  if (auto* s = std::get_if<ScanResult>(&r)) return onScan(*s);
  if (auto* w = std::get_if<WriteResult>(&r)) return onWrite(*w);
  if (auto* l = std::get_if<LoadResult>(&r)) return onLoad(*l);
  if (auto* s = std::get_if<SyncResult>(&r)) return onSync(*s);
  drop(std::get<DropResult>(r).count, false);
}

}  // namespace ostrel::spool
