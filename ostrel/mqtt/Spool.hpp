#pragma once
// Readings on disk while the broker is away or behind: an ordered queue of records, kept in
// append-only segment files in one directory. Each record carries its length and a checksum, so
// that a record cut short by a power cut, or damaged, costs only itself. Segments are written only
// by the process that made them and never changed afterwards; one is deleted once every record in
// it is done with.
//
// Threads: the object is used on the event loop only, and never waits for the disk there. Every
// file operation (listing, counting, reading, writing, syncing, deleting) runs on the spool's own
// worker thread, fed through a queue bounded in bytes; results come back to the loop. Records not
// yet on disk (queued for the worker, or kept while the disk refuses writes) stay in memory, in
// their place in the order, up to Options::memoryBytes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ostrel/base/Asio.hpp"
#include "ostrel/mqtt/MqttBuffer.hpp"

namespace ostrel {

class Spool {
 public:
  struct Options {
    std::string dir;
    std::size_t maxBytes = 64 * 1024 * 1024;  // on disk; past it the oldest segment goes
    std::size_t segmentBytes = 1024 * 1024;   // a segment is closed once it holds this much
    // Records not on disk yet; past it the oldest of them is dropped and counted.
    std::size_t memoryBytes = 8 * 1024 * 1024;
    // New data reaches the disk within this, with at most one round of syncs per period.
    std::chrono::milliseconds syncEvery{1000};
    // A spool stopped by a failed write or sync tries again this often.
    std::chrono::milliseconds retryEvery{30000};
    // Makes a file durable: fdatasync for a segment, fsync for the directory; 0 or an errno.
    // Empty: those calls. Runs on the worker thread; tests put one here that counts or fails.
    std::function<int(int fd, bool isDir)> sync;
  };
  using Id = std::uint64_t;
  struct Item {
    Id id;
    Publication pub;
  };

  // The largest record kept; a bigger publication is never taken.
  static constexpr std::size_t MAX_RECORD = 256 * 1024;
  static bool fits(const Publication& p) {
    return 3 + p.topic.size() + p.payload.size() <= MAX_RECORD;
  }

  // Opens and locks the directory at once (throws std::system_error naming it when it cannot be
  // opened or another process holds it); what earlier runs left there is found on the worker.
  Spool(Executor loop, Options options);
  // Hands what is queued to the worker and lets it finish writing and syncing it before the
  // thread ends: call flush() first where waiting matters.
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Appends `p` (it must fit()): newest last. Never fails: a spool that cannot write keeps the
  // record in memory (bounded, see memoryBytes) and writes it once the disk takes writes again.
  void push(Publication p);
  // A durable copy of a publication the caller goes on sending from its own memory: written like
  // push(), but never handed out by next() in this process (only after a restart, when the
  // caller's copy is gone). Its id goes to done() once the caller's copy has left. nullopt when
  // no copy can be kept (stopped, or it does not fit).
  std::optional<Id> pushCopy(const Publication& p);

  // The oldest record not yet handed out, when it can be had now; nullopt otherwise. After a
  // nullopt with records still waiting (a read from disk under way), onAvailable is called on
  // the loop once more can be had.
  std::optional<Item> next();
  std::function<void()> onAvailable;
  // A record handed out (or a copy) is no longer needed: delivered, or dropped and counted.
  void done(Id id);

  // Nothing waits to be handed out: nothing in memory, nothing on disk, nothing not yet counted.
  bool empty() const;
  // Records waiting to be handed out, as far as counted (segments of earlier runs are counted on
  // the worker after the start).
  std::size_t waiting() const;
  // Records kept (on disk or on their way), handed out or not, until done.
  std::size_t records() const;
  std::size_t bytesOnDisk() const;
  // Writing has failed and not yet worked again.
  bool stopped() const;
  // Records lost: pushed out to keep maxBytes or memoryBytes, or unreadable.
  std::uint64_t droppedCount() const;
  // Of those, since the last call: pushed out of the disk (maxBytes) or unreadable, and pushed
  // out of memory while the disk refused writes (memoryBytes). For the once-a-second summaries.
  std::uint64_t takeRecentDrops();
  std::uint64_t takeRecentMemoryDrops();

  // Completes once everything pushed so far is written and synced (or could not be), or after
  // `limit`.
  awaitable<void> flush(std::chrono::milliseconds limit);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One record as it is stored: for tests that damage a segment on purpose.
std::string encodeSpoolRecord(const Publication& p);

}  // namespace ostrel
