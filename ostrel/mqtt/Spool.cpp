#include "ostrel/mqtt/Spool.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <sys/file.h>

#include <system_error>

#include "ostrel/mqtt/SpoolIndex.hpp"

namespace ostrel {

using spool::Index;

struct Spool::Impl {
  int dirFd = -1;
  std::shared_ptr<Index> idx;
  std::unique_ptr<spool::Disk> disk;
  ~Impl() {
    if (disk) {
      idx->finish();
      disk.reset();  // writes and syncs what it was given, then ends
    }
    if (idx) {
      idx->disk = nullptr;
      idx->wakeFlush();
    }
    if (dirFd >= 0) ::close(dirFd);
  }
};

Spool::Spool(Executor loop, Options options) : impl_(std::make_unique<Impl>()) {
  // The one file operation on the loop: two processes on one spool would hand out and delete
  // each other's records.
  int fd = ::open(options.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + options.dir);
  impl_->dirFd = fd;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    throw std::system_error(errno, std::generic_category(),
                            options.dir + " is in use by another process");
  spool::SyncFn sync = options.sync;
  if (!sync)
    sync = [](int f, bool isDir) { return (isDir ? ::fsync(f) : ::fdatasync(f)) == 0 ? 0 : errno; };
  auto idx = std::make_shared<Index>(loop, options, this);
  idx->self = idx;
  auto report = [w = std::weak_ptr<Index>(idx), loop](spool::Result r) {
    asio::post(loop, [w, r = std::move(r)]() mutable {
      if (auto i = w.lock()) i->onResult(r);
    });
  };
  impl_->idx = idx;
  impl_->disk = std::make_unique<spool::Disk>(fd, options.dir, options.segmentBytes,
                                              options.syncEvery, std::move(sync), report);
  idx->disk = impl_->disk.get();
  impl_->disk->submit(spool::ScanOp{});
}

Spool::~Spool() = default;

void Spool::push(Publication p) {
  Index& i = *impl_->idx;
  if (!fits(p)) {
    i.drop(1, true);  // never taken: said so in the count
    return;
  }
  i.add(p, false);
}

std::optional<Spool::Id> Spool::pushCopy(const Publication& p) {
  Index& i = *impl_->idx;
  if (i.stopped || !fits(p)) return std::nullopt;
  return i.add(p, true);
}

std::optional<Spool::Item> Spool::next() {
  return impl_->idx->next();
}

void Spool::done(Id id) {
  impl_->idx->done(id);
}

bool Spool::empty() const {
  const Index& i = *impl_->idx;
  return i.scanned && i.uncounted == 0 && i.waiting() == 0;
}

std::size_t Spool::waiting() const {
  return impl_->idx->waiting();
}

std::size_t Spool::records() const {
  return impl_->idx->segRecords + impl_->idx->pendingKept;
}

std::size_t Spool::bytesOnDisk() const {
  return impl_->idx->diskBytes;
}

bool Spool::stopped() const {
  return impl_->idx->stopped;
}

std::uint64_t Spool::droppedCount() const {
  return impl_->idx->dropped;
}

std::uint64_t Spool::takeRecentDrops() {
  return std::exchange(impl_->idx->recentDrops, 0);
}

std::uint64_t Spool::takeRecentMemoryDrops() {
  return std::exchange(impl_->idx->recentMemDrops, 0);
}

awaitable<void> Spool::flush(std::chrono::milliseconds limit) {
  std::shared_ptr<Index> i = impl_->idx;  // this coroutine may outlive the spool
  const std::uint64_t target = i->pushes;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (i->disk && !(i->stopped && !i->retrying) && !i->flushed(target) &&
         std::chrono::steady_clock::now() < deadline) {
    if (!std::exchange(i->syncAsked, true)) i->disk->submit(spool::SyncOp{});
    auto t = std::make_shared<asio::steady_timer>(i->loop, deadline);
    i->flushWaiters.push_back(t);
    co_await t->async_wait(asio::as_tuple(use_awaitable));
    std::erase(i->flushWaiters, t);
  }
}

}  // namespace ostrel
