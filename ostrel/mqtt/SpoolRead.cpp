// The spool's loop side, reading: what earlier runs left (listed and counted by the worker),
// handing records out in order from disk and from memory, done records, and the mark that
// remembers how far everything is done.
#include <algorithm>
#include <cstring>

#include "ostrel/base/Log.hpp"
#include "ostrel/mqtt/SpoolIndex.hpp"

namespace ostrel::spool {
namespace {
// Records read ahead of next(): the next read starts when fewer are left.
constexpr std::size_t READ_AHEAD = 256;
// The mark is written at most this often.
constexpr std::chrono::seconds MARK_EVERY{1};
}  // namespace

void Index::onScan(ScanResult& r) {
  for (auto& line : r.lines) log(line);
  nextSeq = std::max(nextSeq, r.nextSeq);
  markFile = r.markFile;
  for (auto& f : r.segments) {
    Segment s;
    s.bytes = s.written = f.size;
    s.readAt = f.start;
    s.counted = false;
    diskBytes += f.size;
    segs.emplace(f.seq, std::move(s));
  }
  uncounted = r.segments.size();
  if (!r.segments.empty() && r.segments.front().start > 0)
    lastMark = Loc{r.segments.front().seq, r.segments.front().start};
  scanned = true;
  if (segs.empty() && markFile) {
    disk->submit(MarkOp{});  // a mark with nothing left to mark
    markFile = false;
  }
  submit();
  enforceBound();  // spool-size may have been lowered since
  countNext();
  notifyAvailable();
}

// Segments of earlier runs are counted one at a time, oldest first, so that a read for next()
// never waits behind more than one count.
void Index::countNext() {
  if (counting) return;
  for (auto& [seq, s] : segs) {
    if (s.counted || s.busy) continue;
    s.busy = counting = true;
    disk->submit(LoadOp{seq, s.readAt, s.written, false});
    return;
  }
}

void Index::onLoad(LoadResult& r) {
  (r.records ? loading : counting) = false;
  auto it = segs.find(r.seq);
  if (it != segs.end()) {
    Segment& s = it->second;
    s.busy = false;
    if (!s.counted && r.err != 0) {
      // Listed, then unreadable: not ours to count or delete.
      logf("Spool: cannot read {}: {}; it is left alone", path(r.seq), std::strerror(r.err));
      --uncounted;
      diskBytes -= s.bytes;
      segs.erase(it);
      it = segs.end();
    } else if (!s.counted) {
      s.counted = true;
      --uncounted;
      s.records += r.count;
      segRecords += r.count;
      s.onDisk += r.count;
      onDisk += r.count;
      s.onDiskAtLoad = r.count;
      found += r.count;
      if (r.skipped > 0)
        logf("Spool: {} bytes of damaged or cut records skipped in {}", r.skipped, path(r.seq));
    }
    if (it != segs.end() && r.records) take(s, r);
    if (it != segs.end()) eraseIfFinished(it);
  }
  countNext();
  if (scanned && uncounted == 0 && !std::exchange(told, true) && found > 0)
    logf("Spool: {} publications from an earlier run wait in {}", found, opt.dir);
  if (wantAvailable && !available()) requestLoad();
  notifyAvailable();
}

// Records read back from [r.from, r.to): those expected there are ready to be handed out; any
// expected and not found are lost, and said so.
void Index::take(Segment& s, LoadResult& r) {
  std::size_t got = 0;
  for (auto& l : r.loaded) {
    if (l.offset < s.readAt || s.skip.erase(l.offset) > 0) continue;
    if (got == s.onDiskAtLoad) break;  // more than was written: not ours
    ready.push_back({Loc{r.seq, l.offset}, std::move(l.pub)});
    ++got;
  }
  s.readAt = std::max(s.readAt, r.to);
  s.skip.erase(s.skip.begin(), s.skip.lower_bound(s.readAt));
  std::size_t lost = s.onDiskAtLoad - got;
  s.onDisk -= s.onDiskAtLoad;
  onDisk -= s.onDiskAtLoad;
  s.onDiskAtLoad = 0;
  if (lost == 0) return;
  // Counted before, unreadable now: the file changed or the disk failed under us.
  if (r.err != 0) logf("Spool: cannot read {}: {}", path(r.seq), std::strerror(r.err));
  logf("Spool: {} publications in {} cannot be read again; they are lost", lost, path(r.seq));
  drop(lost, false);
  s.records -= lost;
  segRecords -= lost;
}

void Index::requestLoad() {
  if (loading || !scanned || !disk) return;
  for (auto& [seq, s] : segs) {
    if (s.counted && s.onDisk == 0) continue;
    if (s.busy) return;  // its count comes first, then this again
    s.busy = loading = true;
    if (s.counted) s.onDiskAtLoad = s.onDisk;
    disk->submit(LoadOp{seq, s.readAt, s.written, true});
    return;
  }
}

bool Index::available() const {
  if (!ready.empty()) return true;
  return scanned && uncounted == 0 && onDisk == 0 && memUnhanded > 0;
}

void Index::notifyAvailable() {
  if (!wantAvailable || !available()) return;
  wantAvailable = false;
  if (owner->onAvailable) owner->onAvailable();
}

std::optional<Spool::Item> Index::next() {
  if (!ready.empty()) {
    Ready r = std::move(ready.front());
    ready.pop_front();
    Spool::Id id = nextId++;
    out.emplace(id, r.at);
    busy.insert(r.at);
    if (ready.size() < READ_AHEAD) requestLoad();
    return Spool::Item{id, std::move(r.pub)};
  }
  // Whatever is on disk, or not yet counted, is older than everything in memory.
  if (!scanned || uncounted > 0 || onDisk > 0) {
    wantAvailable = true;
    requestLoad();
    return std::nullopt;
  }
  while (memNext < mem.size() && (mem[memNext].handed || mem[memNext].copy || mem[memNext].done))
    ++memNext;
  if (memNext == mem.size()) return std::nullopt;
  MemRecord& r = mem[memNext++];
  r.handed = true;
  --memUnhanded;
  out.emplace(r.id, r.at);
  if (r.at) {
    busy.insert(*r.at);
    if (auto s = segs.find(r.at->seq); s != segs.end() && s->second.readAt == r.at->off)
      s->second.readAt += r.len;
    else if (s != segs.end())
      s->second.skip.insert(r.at->off);
  }
  return Spool::Item{r.id, decode(r.bytes, 0, r.len)};
}

MemRecord* Index::findMem(Spool::Id id) {
  auto it = std::lower_bound(mem.begin(), mem.end(), id,
                             [](const MemRecord& r, Spool::Id i) { return r.id < i; });
  return it != mem.end() && it->id == id ? &*it : nullptr;
}

void Index::done(Spool::Id id) {
  auto o = out.find(id);
  if (o == out.end()) return;
  std::optional<Loc> at = o->second;
  out.erase(o);
  if (MemRecord* r = findMem(id)) {
    if (r->done) return;  // dropped meanwhile
    r->done = true;
    memBytes -= r->bytes.size();
    r->bytes = std::string();
    if (!r->at) {
      // Never written, and now never will be.
      --pendingKept;
      pendingBytes -= r->len;
      return;
    }
    at = r->at;
  }
  if (!at) return;
  busy.erase(*at);
  anyDone = true;
  auto s = segs.find(at->seq);
  if (s == segs.end()) return;
  --s->second.records;
  --segRecords;
  eraseIfFinished(s);
  armMark();
}

void Index::eraseIfFinished(std::map<std::uint64_t, Segment>::iterator it) {
  const Segment& s = it->second;
  if (!s.counted || s.busy || s.records > 0) return;
  // A tail whose records are all done goes now rather than once full: the next record starts
  // a new one.
  if (tail == it->first) tail.reset();
  diskBytes -= s.bytes;
  disk->submit(UnlinkOp{it->first, std::nullopt});
  segs.erase(it);
  if (segs.empty() && markFile) {
    disk->submit(MarkOp{});
    markFile = false;
    lastMark.reset();
  }
}

void Index::armMark() {
  if (markArmed) return;
  markArmed = true;
  markTimer.expires_after(MARK_EVERY);
  markTimer.async_wait([w = self](boost::system::error_code) {
    if (auto i = w.lock(); i && i->disk) i->writeMark();
  });
}

// The oldest record not yet done, handed out or not, wherever it is; everything before it is
// done. A record in memory not yet placed is newer than all on disk.
void Index::writeMark() {
  markArmed = false;
  std::optional<Loc> m;
  auto consider = [&](Loc l) {
    if (!m || l < *m) m = l;
  };
  if (!busy.empty()) consider(*busy.begin());
  if (!ready.empty()) consider(ready.front().at);
  for (auto& [seq, s] : segs)
    if (s.onDisk > 0 || !s.counted) {
      consider({seq, s.readAt});
      break;
    }
  for (std::size_t i = memNext; i < placed; ++i) {
    const MemRecord& r = mem[i];
    if (r.at && !r.done && !r.handed && !r.copy) {
      consider(*r.at);
      break;
    }
  }
  if (!m && !segs.empty()) consider({segs.rbegin()->first, segs.rbegin()->second.bytes});
  // Nothing done yet: the start of the oldest segment says it without a file.
  if (!m || m == lastMark || (!anyDone && !markFile)) return;
  lastMark = m;
  markFile = true;
  disk->submit(MarkOp{Mark{m->seq, m->off, 0}});
}

}  // namespace ostrel::spool
