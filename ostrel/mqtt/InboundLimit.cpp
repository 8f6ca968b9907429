#include "ostrel/mqtt/InboundLimit.hpp"

#include "ostrel/base/Log.hpp"

namespace ostrel {

InboundLimit::Pass::~Pass() {
  if (limit_) limit_->release(bytes_);
}

std::shared_ptr<InboundLimit> InboundLimit::make(Executor loop, std::string who, Bounds bounds) {
  return std::shared_ptr<InboundLimit>(new InboundLimit(loop, std::move(who), bounds));
}

InboundLimit::InboundLimit(Executor loop, std::string who, Bounds bounds)
    : loop_(loop), who_(std::move(who)), bounds_(bounds) {}

std::optional<InboundLimit::Pass> InboundLimit::admit(std::size_t bytes) {
  // One library thread admits; the loop only releases, which can only make room.
  std::size_t n = messages_.load();
  if (n == 0 || (n < bounds_.messages && bytes_.load() + bytes <= bounds_.bytes)) {
    messages_.fetch_add(1);
    bytes_.fetch_add(bytes);
    return Pass(shared_from_this(), bytes);
  }
  ++refused_;
  ++recent_;
  if (!summaryDue_.exchange(true))
    asio::post(loop_, [self = shared_from_this()] {
      if (!self->timer_) self->timer_ = std::make_unique<asio::steady_timer>(self->loop_);
      self->timer_->expires_after(std::chrono::seconds(1));
      self->timer_->async_wait([self](boost::system::error_code) { self->summarise(); });
    });
  return std::nullopt;
}

void InboundLimit::release(std::size_t bytes) {
  bytes_.fetch_sub(bytes);
  messages_.fetch_sub(1);
}

void InboundLimit::summarise() {
  auto n = recent_.exchange(0);
  logf(
      "MQTT {}: {} incoming messages refused in the last second: {} messages or {} bytes were "
      "waiting for the event loop already",
      who_, n, bounds_.messages, bounds_.bytes);
  summaryDue_ = false;
  // Refused while the line was written: their own summary follows.
  if (recent_.load() > 0 && !summaryDue_.exchange(true)) {
    timer_->expires_after(std::chrono::seconds(1));
    timer_->async_wait(
        [self = shared_from_this()](boost::system::error_code) { self->summarise(); });
  }
}

}  // namespace ostrel
