#pragma once
// Readings on disk while the broker is away: an append-only queue of segment files in one
// directory. Each record carries its length and a checksum, so that a record cut short by a power
// cut, or damaged, costs only itself. Segments are written only by the process that made them and
// never changed afterwards; one is deleted once every record in it is done with.
// Used on the event-loop thread only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ostrel/mqtt/MqttBuffer.hpp"

namespace ostrel {

class Spool {
 public:
  struct Options {
    std::string dir;
    std::size_t maxBytes = 64 * 1024 * 1024;  // on disk; past it the oldest segment goes
    std::size_t segmentBytes = 1024 * 1024;   // a segment is closed once it holds this much
  };
  // A record handed out by next(): the caller says done(id) once it needs it no more.
  struct Item {
    std::uint64_t segment;
    Publication pub;
  };

  // The largest record kept; a bigger publication stays in memory.
  static constexpr std::size_t MAX_RECORD = 256 * 1024;
  static bool fits(const Publication& p) {
    return 3 + p.topic.size() + p.payload.size() <= MAX_RECORD;
  }

  // Opens and locks the directory and counts what earlier runs left in it (a damaged or cut
  // record is skipped with one log line). Throws std::system_error when the directory cannot be
  // read or another process holds it.
  explicit Spool(Options options);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Writes `p` to the tail segment (not yet synced). False, with nothing written, once the spool
  // has stopped after a write failure (logged once), or for a publication that does not fit:
  // the caller keeps the publication itself.
  bool append(const Publication& p);
  // fdatasync()s what append() wrote since the last call, full segments included, and the
  // directory when a segment was created. False when the spool has stopped.
  bool sync();

  // The same in three steps, so that the waiting for the disk happens on another thread: take
  // the job on the loop, run it anywhere (it owns its descriptors and touches nothing else),
  // report a failure back on the loop.
  struct SyncJob {
    std::vector<std::pair<int, bool>> fds;  // descriptor, and whether it is the directory
  };
  std::optional<SyncJob> takeSyncJob();  // nullopt: nothing to sync, or stopped
  static int runSyncJob(SyncJob& job);   // 0, or the first errno; closes the descriptors
  void syncFailed(int err);              // stops the spool with one line
  bool syncDue() const { return !stopped_ && (unsynced_ || dirUnsynced_ || !closing_.empty()); }
  // The oldest record not yet handed out, written or not; nullopt when there is none.
  std::optional<Item> next();
  // The record from `segment` is no longer needed (delivered, or dropped and counted).
  void done(std::uint64_t segment);

  // Records appended or found at start and not yet handed out.
  std::size_t waiting() const { return waiting_; }
  // Records on disk or about to be, handed out or not, until their segment is deleted.
  std::size_t records() const { return records_; }
  std::size_t bytesOnDisk() const { return diskBytes_; }
  bool stopped() const { return stopped_; }
  // Records that were never handed out because their segment went to keep the bound.
  std::uint64_t droppedCount() const { return dropped_; }
  std::uint64_t takeRecentDrops();

 private:
  struct Segment {
    std::string path;
    std::size_t bytes = 0;       // written to the file (or, for a found one, its size)
    std::size_t readAt = 0;      // next byte to parse
    std::size_t unread = 0;      // records not yet handed out
    std::size_t records = 0;     // records not yet done with
    std::size_t searchLeft = 0;  // checksum bytes a search past damage may still spend
  };
  using Iter = std::map<std::uint64_t, Segment>::iterator;
  bool openTail();
  void closeTail();
  void fail(const std::string& what);
  void eraseIfFinished(Iter it);
  void erase(Iter it);
  void enforceBound();
  // Loads segment `seq` into readBuf_ up to its written size.
  bool load(std::uint64_t seq, const Segment& s);

  Options opt_;
  std::map<std::uint64_t, Segment> segments_;  // by sequence number: oldest first
  std::uint64_t nextSeq_ = 1;
  std::uint64_t tailSeq_ = 0;  // 0: no tail segment open
  int tailFd_ = -1;
  bool unsynced_ = false;
  int dirFd_ = -1;             // held open and locked while the spool is in use
  bool dirUnsynced_ = false;   // a segment was created since the last sync
  std::vector<int> closing_;   // full segments still to be synced, then closed
  std::uint64_t readSeq_ = 0;  // the segment in readBuf_
  std::string readBuf_;
  std::size_t waiting_ = 0;
  std::size_t records_ = 0;
  std::size_t diskBytes_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t recentDrops_ = 0;
  bool stopped_ = false;
};

// One record as it is stored: for tests that damage a segment on purpose.
std::string encodeSpoolRecord(const Publication& p);

}  // namespace ostrel
