#include "ostrel/mqtt/Outbox.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/base/Log.hpp"

namespace ostrel {

namespace {

constexpr int NOT_AUTHORIZED = 0x87;

std::size_t varIntSize(std::size_t v) {
  std::size_t n = 1;
  while (v >= 128) v /= 128, ++n;
  return n;
}

}  // namespace

std::size_t publishPacketSize(const Publication& p) {
  std::size_t props = 0;
  if (!p.correlation.empty()) props += 1 + 2 + p.correlation.size();
  if (!p.responseTopic.empty()) props += 1 + 2 + p.responseTopic.size();
  if (p.expiry) props += 1 + 4;
  std::size_t rest =
      2 + p.topic.size() + (p.qos > 0 ? 2 : 0) + varIntSize(props) + props + p.payload.size();
  return 1 + varIntSize(rest) + rest;
}

Outbox::Outbox(OutboxOptions options, Backlog* disk)
    : opt_(options), disk_(disk), buf_(options.bufferBytes) {
  opt_.window = std::max<std::size_t>(opt_.window, 1);
  if (disk_) buf_.onRelease = [d = disk_](std::uint64_t id) { d->done(id); };
}

bool Outbox::toDisk(const Publication& p) const {
  if (!disk_ || !MqttBuffer::spoolable(p) || !disk_->fits(p)) return false;
  // Readings go to disk while the broker is away, while it lags behind, and while earlier ones
  // still wait there (they go first).
  return away_ || overHighWater() || !disk_->empty();
}

void Outbox::push(Publication p) {
  if (toDisk(p)) {
    secureWaiting();
    disk_->push(std::move(p));
  } else {
    buf_.push(std::move(p));
  }
}

void Outbox::setAway(bool away) {
  away_ = away;
  if (away_) secureWaiting();
}

void Outbox::secureWaiting() {
  if (!disk_ || buf_.untaggedWaiting() == 0) return;
  if (disk_->empty()) {
    for (auto& p : buf_.takeUntaggedWaiting()) {
      if (disk_->fits(p))
        disk_->push(std::move(p));
      else
        buf_.push(std::move(p));
    }
  }
  // What stays in memory (it is older than what waits on disk, or under suspicion) keeps its
  // place; a copy on disk outlives a kill.
  buf_.tagUntaggedWaiting([&](const Publication& p) -> std::optional<std::uint64_t> {
    if (!disk_->fits(p)) return std::nullopt;
    return disk_->pushCopy(p);
  });
}

void Outbox::refill() {
  if (!disk_) return;
  const std::size_t room = std::max(opt_.highWater / 2, opt_.window);
  while (buf_.size() < room) {
    auto item = disk_->next();
    if (!item) break;
    buf_.push(std::move(item->pub), item->id);
  }
}

std::string Outbox::breaksLimits(const Publication& p, Clock::time_point now) const {
  if (auto f = refusedTopics_.find(p.topic); f != refusedTopics_.end() && now < f->second)
    return "the broker refused this topic as not authorized moments ago";
  if (!limits_) return {};
  if (limits_->maxPacketSize && publishPacketSize(p) > limits_->maxPacketSize)
    return fmt::format("larger than the broker's maximum packet size of {} bytes",
                       limits_->maxPacketSize);
  if (p.qos > limits_->maxQos)
    return fmt::format("the broker takes QoS {} at most", limits_->maxQos);
  if (p.retain && !limits_->retainAvailable) return "the broker takes no retained publications";
  return {};
}

void Outbox::setAside(Seq seq, const Publication& p, const std::string& why) {
  if (note)
    note(fmt::format("MQTT publication to {} ({} bytes) set aside: {}", shortened(escapeControl(p.topic)),
                     p.payload.size(), why));
  buf_.refused(seq);
}

std::optional<std::pair<Outbox::Seq, const Publication*>> Outbox::next(Clock::time_point now) {
  if (!limits_) return std::nullopt;
  refill();
  for (;;) {
    auto n = buf_.takeNext(opt_.window, now);
    if (!n) return std::nullopt;
    auto why = breaksLimits(*n->second, now);
    if (why.empty()) return n;
    setAside(n->first, *n->second, why);
    refill();
  }
}

void Outbox::refused(Seq seq, int reason, Clock::time_point now) {
  if (reason == NOT_AUTHORIZED) {
    std::erase_if(refusedTopics_, [&](auto& t) { return t.second <= now; });
    // Bounded: a topic enters only once the broker has refused a publication to it.
    if (const auto* p = buf_.find(seq); p && refusedTopics_.size() < 1000)
      refusedTopics_[p->topic] = now + opt_.refusedTopicPause;
  }
  if (const auto* p = buf_.find(seq); p && note)
    note(fmt::format("MQTT publication to {} refused: {}", shortened(escapeControl(p->topic)),
                     reasonText(reason)));
  buf_.refused(seq);
}

void Outbox::connectionEnded(MqttBuffer::Blame blame, Clock::time_point now) {
  for (auto& p : buf_.requeue(blame, now)) {
    if (!note) continue;
    note(blame == MqttBuffer::Blame::Refusal
             ? fmt::format(
                   "MQTT publication to {} ({} bytes) set aside: the broker closed the connection "
                   "twice while it was in flight",
                   shortened(escapeControl(p.topic)), p.payload.size())
             : fmt::format(
                   "MQTT publication to {} ({} bytes) set aside: the broker closed the connection "
                   "right after it, without a reason, each of the last six times it went alone",
                   shortened(escapeControl(p.topic)), p.payload.size()));
  }
  if (away_) secureWaiting();
}

}  // namespace ostrel
