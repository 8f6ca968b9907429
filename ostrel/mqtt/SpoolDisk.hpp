#pragma once
// The spool's worker thread: every file operation of the spool runs here, in the order asked.
// The loop hands over operations (owned data only) and hears back through `report`, called on
// this thread; nothing else is shared. Files are reached through the directory descriptor only
// (openat, unlinkat, never a symbolic link), so a directory renamed while in use keeps working.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "ostrel/mqtt/SpoolRecord.hpp"

namespace ostrel::spool {

// Makes a file durable: fdatasync for a segment, fsync for the directory. 0 or an errno.
using SyncFn = std::function<int(int fd, bool isDir)>;

// Lists the directory, drops what the mark says is done, reads the mark.
struct ScanOp {};
// Appends whole records at `offset` of segment `seq` (made first when `create`). Writes queued
// one after another for one segment are merged: one write() for all.
struct WriteOp {
  std::uint64_t seq = 0, offset = 0;
  bool create = false;
  std::string data;
  std::vector<std::uint32_t> ends;  // where each record ends, from `offset`
  std::uint64_t lastPush = 0;       // the newest record's push number
  std::uint64_t gen = 0;            // the loop's count of failures when it was asked
};
// Reads [from, to) of a segment: the records in it, or only how many there are.
struct LoadOp {
  std::uint64_t seq = 0, from = 0, to = 0;
  bool records = true;
};
struct UnlinkOp {
  std::uint64_t seq = 0;
  std::optional<std::uint64_t> countFrom;  // count the records from there first (a drop)
};
struct SyncOp {};  // syncs now, whatever the period
struct MarkOp {
  std::optional<Mark> mark;  // nullopt: remove the file
};
// After a failure: what was refused is the loop's again (it writes it anew); with `write`,
// writes are tried again.
struct ResumeOp {
  bool write = false;
};
// At the end: records the loop could not place, written into new segments after all others.
struct FinalOp {
  std::vector<std::string> records;
};
using Op = std::variant<ScanOp, WriteOp, LoadOp, UnlinkOp, SyncOp, MarkOp, ResumeOp, FinalOp>;

struct Found {
  std::uint64_t seq = 0, size = 0, start = 0;  // start: where the records not yet done begin
};
struct ScanResult {
  std::vector<Found> segments;  // oldest first
  std::uint64_t nextSeq = 1;    // past every name seen, readable or not, and past the mark
  bool markFile = false;
  std::vector<std::string> lines;  // to log
};
struct WriteResult {
  std::uint64_t seq = 0, bytes = 0, writtenTo = 0, lastPush = 0, gen = 0;
  int err = 0;
  std::string what;
};
struct LoadedRecord {
  std::uint64_t offset = 0;
  Publication pub;
};
struct LoadResult {
  std::uint64_t seq = 0, from = 0, to = 0;
  bool records = true;
  std::size_t count = 0, skipped = 0;
  std::vector<LoadedRecord> loaded;
  int err = 0;
};
struct DropResult {
  std::size_t count = 0;
};
struct SyncResult {
  std::uint64_t syncedPush = 0;  // every record up to this push number is durable
  int err = 0;
  std::string what;
};
using Result = std::variant<ScanResult, WriteResult, LoadResult, DropResult, SyncResult>;

class Disk {
 public:
  Disk(int dirFd, std::string dir, std::size_t segmentBytes, std::chrono::milliseconds syncEvery,
       SyncFn sync, std::function<void(Result)> report);
  // Finishes what is queued, syncs, and ends the thread.
  ~Disk();
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

  void submit(Op op);

 private:
  void run();
  void execute(Op& op);
  bool skipAtEnd(const Op& op);
  void scan();
  void write(WriteOp& w);
  LoadResult load(const LoadOp& l);
  bool mayOvertake(const Op& op) const;  // m_ held
  void unlink(const UnlinkOp& u);
  void mark(const MarkOp& m);
  void final(FinalOp& f);
  void syncAll();
  bool syncDue() const;
  std::string path(std::uint64_t seq) const { return dir_ + "/" + segmentName(seq); }

  const int dirFd_;
  const std::string dir_;
  const std::size_t segmentBytes_;
  const std::chrono::milliseconds syncEvery_;
  SyncFn sync_;
  std::function<void(Result)> report_;

  std::mutex m_;
  std::condition_variable cv_;
  // Writes, syncs and resumes go first: new readings never wait behind the counting or the
  // deleting of a big backlog. Nothing in the other lane depends on a write queued after it.
  std::deque<Op> urgent_, queue_;
  bool stopping_ = false;

  // The worker's own, never touched elsewhere.
  struct File {
    int fd = -1;
    bool dirty = false;
  };
  std::map<std::uint64_t, File> files_;
  std::uint64_t tail_ = 0, maxSeq_ = 0;
  bool dirDirty_ = false;
  bool failed_ = false;  // a write or sync failed: writes are refused until ResumeOp
  int failErr_ = 0;
  std::vector<WriteOp> refused_;  // what was refused since, oldest first
  std::uint64_t writtenPush_ = 0;
  std::chrono::steady_clock::time_point lastSync_{};
  int markFd_ = -1;
  bool markFailedTold_ = false;
  bool skippedDrop_ = false;  // at the end, a drop left to the next start
  std::thread thread_;
};

}  // namespace ostrel::spool
