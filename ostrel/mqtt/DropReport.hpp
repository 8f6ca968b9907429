#pragma once
// Readings dropped from memory or from the disk, summed up in at most one line a second: a full
// buffer drops many a second, and each would otherwise be a line of its own.
#include <cstdint>
#include <memory>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

class Outbox;
class Spool;

class DropReport {
 public:
  DropReport(Executor ex, Outbox& outbox, Spool* spool)
      : outbox_(outbox), spool_(spool), timer_(ex) {}
  // After anything that may have dropped: the summary follows within a second.
  void note();
  // The summary of what is not reported yet, now (the client is going).
  void flush();

 private:
  Outbox& outbox_;
  Spool* spool_;
  asio::steady_timer timer_;
  bool armed_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::uint64_t bufferSeen_ = 0, spoolSeen_ = 0;
};

}  // namespace ostrel
