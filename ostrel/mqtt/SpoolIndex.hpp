#pragma once
// The spool's loop side: where every record is (in memory, with the worker, on disk, read back),
// what is handed out and what is done. It never touches a file: it asks the worker (Disk) and
// hears back through on*() on the loop.
//
// The order is that of the files: segments by sequence number, records by offset, and after
// them the records in memory not yet written (the newest). Records are placed (given a segment
// and an offset) only when handed to the worker, so that a record dropped from memory leaves no
// hole in a file.
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "ostrel/mqtt/Spool.hpp"
#include "ostrel/mqtt/SpoolDisk.hpp"

namespace ostrel::spool {

struct Loc {
  std::uint64_t seq = 0, off = 0;
  auto operator<=>(const Loc&) const = default;
};

struct Segment {
  std::uint64_t bytes = 0;    // its length once what the worker was given is written
  std::uint64_t written = 0;  // on disk
  std::uint64_t readAt = 0;   // where the next read starts; before it all is handed out or done
  std::size_t records = 0;    // not yet done
  std::size_t onDisk = 0;     // only on disk: neither handed out nor read back yet
  std::size_t onDiskAtLoad = 0;
  // At or past readAt, never to be handed out from disk: copies, and records handed out from
  // memory before they were written.
  std::set<std::uint64_t> skip;
  bool counted = true;  // false: from an earlier run, not yet counted
  bool busy = false;    // a read or count of it is under way
};

struct MemRecord {
  Spool::Id id = 0;
  std::uint64_t push = 0;  // push number, for flush()
  std::string bytes;       // as stored; freed once done
  std::uint32_t len = 0;
  bool copy = false, handed = false, done = false;
  std::optional<Loc> at;  // once placed
};

struct Ready {
  Loc at;
  Publication pub;
};

struct Index {
  Index(Executor loop, Spool::Options opt, Spool* owner);

  // Writing.
  Spool::Id add(const Publication& p, bool copy);
  void submit();
  void place(MemRecord& r);
  void popWritten();
  void fail(const std::string& what, int err);
  void unplace(MemRecord& r);
  void retry();
  void enforceBound();
  void enforceMemory();
  bool flushed(std::uint64_t target) const;
  void finish();

  // Reading.
  std::optional<Spool::Item> next();
  void done(Spool::Id id);
  bool available() const;
  void notifyAvailable();
  void requestLoad();
  void countNext();
  void take(Segment& s, LoadResult& r);
  void eraseIfFinished(std::map<std::uint64_t, Segment>::iterator it);
  void drop(std::uint64_t n, bool fromMemory);
  void armMark();
  void writeMark();

  // The worker's reports.
  void onResult(Result& r);
  void onScan(ScanResult& r);
  void onWrite(WriteResult& r);
  void onLoad(LoadResult& r);
  void onSync(SyncResult& r);

  std::size_t waiting() const { return memUnhanded + onDisk + ready.size(); }
  std::string path(std::uint64_t seq) const { return opt.dir + "/" + segmentName(seq); }
  MemRecord* findMem(Spool::Id id);
  void wakeFlush();

  Executor loop;
  Spool::Options opt;
  Spool* owner;
  Disk* disk = nullptr;
  std::size_t queueCap;

  std::map<std::uint64_t, Segment> segs;
  std::optional<std::uint64_t> tail;
  bool createTail = false;
  std::uint64_t nextSeq = 1;
  std::uint64_t diskBytes = 0;  // sum of the segments' bytes
  std::size_t segRecords = 0;   // sum of the segments' records
  std::size_t onDisk = 0;       // sum of the segments' onDisk

  std::deque<MemRecord> mem;  // not yet written, oldest first
  std::size_t placed = 0;     // mem[0, placed) are placed, or done and never will be
  std::size_t memNext = 0;    // before it, all is handed out, a copy or done
  std::size_t memBytes = 0, memUnhanded = 0, pendingKept = 0, pendingBytes = 0;
  std::size_t inflight = 0;  // bytes with the worker

  std::deque<Ready> ready;                                // read back, not yet handed out
  std::unordered_map<Spool::Id, std::optional<Loc>> out;  // handed out or copies, not done
  std::set<Loc> busy;                                     // where those are, once placed

  bool scanned = false, loading = false, counting = false, told = false;
  std::size_t uncounted = 0, found = 0;
  bool wantAvailable = false;

  std::uint64_t dropped = 0, recentDrops = 0, recentMemDrops = 0;
  bool stopped = false, retrying = false;
  std::uint64_t gen = 0;  // failures so far: the worker's reports of an older one are stale
  asio::steady_timer retryTimer, markTimer;
  bool markArmed = false, markFile = false, anyDone = false;
  std::optional<Loc> lastMark;

  Spool::Id nextId = 1;
  std::uint64_t pushes = 0, writtenPush = 0, syncedPush = 0;
  bool syncAsked = false;
  std::vector<std::shared_ptr<asio::steady_timer>> flushWaiters;
  std::weak_ptr<Index> self;
};

}  // namespace ostrel::spool
