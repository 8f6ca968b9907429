#include "ostrel/mqtt/DropReport.hpp"

#include "ostrel/base/Log.hpp"
#include "ostrel/mqtt/Outbox.hpp"
#include "ostrel/mqtt/Spool.hpp"

namespace ostrel {

void DropReport::note() {
  if (armed_) return;
  bool any =
      outbox_.droppedCount() != bufferSeen_ || (spool_ && spool_->droppedCount() != spoolSeen_);
  if (!any) return;
  armed_ = true;
  timer_.expires_after(std::chrono::seconds(1));
  // A wait that expired just before its client went still runs, with no error: the token says
  // whether the report is still there.
  timer_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec) {
    if (ec == asio::error::operation_aborted || !alive.lock()) return;
    armed_ = false;
    flush();
  });
}

void DropReport::flush() {
  bufferSeen_ = outbox_.droppedCount();
  auto memory = outbox_.takeRecentDrops() + (spool_ ? spool_->takeRecentMemoryDrops() : 0);
  if (memory) logf("MQTT buffer full: {} readings dropped in the last second", memory);
  if (!spool_) return;
  spoolSeen_ = spool_->droppedCount();
  if (auto n = spool_->takeRecentDrops())
    logf("Spool: {} readings dropped in the last second to keep spool-size", n);
}

}  // namespace ostrel
