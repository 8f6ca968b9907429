#include "ostrel/mqtt/MqttBuffer.hpp"

namespace ostrel {

void MqttBuffer::setLimit(std::size_t byteLimit) {
  limit_ = byteLimit;
  shed(false);
}

MqttBuffer::Kind MqttBuffer::kind(const Publication& p) {
  return !p.retain ? READING : p.qos == 0 ? REPORT : STATE;
}

void MqttBuffer::wait(Iter it) {
  Entry& e = it->second;
  if (!e.pub.retain) {
    waiting_[READING].insert(it->first);
    if (untagged(e)) ++untaggedWaiting_;
    return;
  }
  auto [slot, fresh] = retainedByTopic_.try_emplace(e.pub.topic, it->first);
  if (!fresh && slot->second > it->first) {
    // A newer state of this topic already waits: this one is stale.
    erase(it);
    return;
  }
  if (!fresh) erase(entries_.find(std::exchange(slot->second, it->first)));
  waiting_[kind(e.pub)].insert(it->first);
}

void MqttBuffer::erase(Iter it) {
  Entry& e = it->second;
  if (e.inflight) {
    --inflight_;
    if (e.alone()) --aloneInflight_;
  } else {
    waiting_[kind(e.pub)].erase(it->first);
    if (untagged(e)) --untaggedWaiting_;
    auto f = e.pub.retain ? retainedByTopic_.find(e.pub.topic) : retainedByTopic_.end();
    if (f != retainedByTopic_.end() && f->second == it->first) retainedByTopic_.erase(f);
  }
  bytes_ -= cost(e.pub);
  auto tag = e.tag;
  entries_.erase(it);
  if (tag && onRelease) onRelease(tag);
}

std::size_t MqttBuffer::dropFrom(std::set<std::uint64_t>& from) {
  std::size_t n = 0;
  while (bytes_ > limit_ && !from.empty()) {
    erase(entries_.find(*from.begin()));
    ++n;
  }
  return n;
}

std::size_t MqttBuffer::shed(bool byStatus) {
  if (bytes_ <= limit_) return 0;
  // Reports go first: each is sent again when it changes, and they do not count as dropped
  // readings. A retained publication never pushes a reading out.
  std::size_t states = dropFrom(waiting_[REPORT]);
  std::size_t n = byStatus ? 0 : dropFrom(waiting_[READING]);
  dropped_ += n;
  recentDrops_ += n;
  return n + states;
}

std::size_t MqttBuffer::push(Publication p, std::uint64_t tag) {
  bool retained = p.retain;
  bytes_ += cost(p);
  auto it = entries_.emplace_hint(entries_.end(), nextSeq_++, Entry{std::move(p), false, 0, tag});
  wait(it);
  return shed(retained);
}

std::optional<std::pair<std::uint64_t, const Publication*>> MqttBuffer::takeNext(
    std::size_t window, Clock::time_point now) {
  if (inflight_ >= window || aloneInflight_ > 0) return std::nullopt;
  std::uint64_t next = UINT64_MAX;
  for (auto& w : waiting_)
    if (!w.empty()) next = std::min(next, *w.begin());
  if (next == UINT64_MAX) return std::nullopt;
  auto it = entries_.find(next);
  Entry& e = it->second;
  if (e.alone() && inflight_ > 0) return std::nullopt;
  waiting_[kind(e.pub)].erase(next);
  if (untagged(e)) --untaggedWaiting_;
  if (e.pub.retain) retainedByTopic_.erase(e.pub.topic);
  e.inflight = true;
  e.sentAt = now;
  ++inflight_;
  if (e.alone()) ++aloneInflight_;
  return std::pair{next, &e.pub};
}

void MqttBuffer::untake(std::uint64_t seq) {
  auto it = entries_.find(seq);
  if (it == entries_.end() || !it->second.inflight) return;
  it->second.inflight = false;
  --inflight_;
  if (it->second.alone()) --aloneInflight_;
  wait(it);
}

void MqttBuffer::delivered(std::uint64_t seq) {
  auto it = entries_.find(seq);
  if (it == entries_.end()) return;  // sent twice (after a reconnect) and already counted
  if (!it->second.pub.retain) ++delivered_;
  erase(it);
}

void MqttBuffer::refused(std::uint64_t seq) {
  auto it = entries_.find(seq);
  if (it == entries_.end()) return;
  erase(it);
  ++dropped_;
}

std::vector<Publication> MqttBuffer::takeUntaggedWaiting() {
  std::vector<Publication> out;
  if (untaggedWaiting_ == 0) return out;
  out.reserve(untaggedWaiting_);
  auto& readings = waiting_[READING];
  for (auto w = readings.begin(); w != readings.end();) {
    auto it = entries_.find(*w);
    // One under suspicion keeps its marks, and so its place in memory.
    if (!untagged(it->second) || it->second.alone()) {
      ++w;
      continue;
    }
    w = readings.erase(w);
    --untaggedWaiting_;
    bytes_ -= cost(it->second.pub);
    out.push_back(std::move(it->second.pub));
    entries_.erase(it);
  }
  return out;
}

std::vector<Publication> MqttBuffer::requeue(Blame blame, Clock::time_point now) {
  std::vector<Publication> poison;
  std::vector<std::uint64_t> flying;
  for (auto& [seq, e] : entries_) {
    if (flying.size() == inflight_) break;  // in-flight entries sit near the front
    if (e.inflight) flying.push_back(seq);
  }
  const bool alone = flying.size() == 1;
  for (auto seq : flying) {
    auto it = entries_.find(seq);
    Entry& e = it->second;
    bool strike = blame == Blame::Refusal ||
                  (blame == Blame::Silent && alone && e.suspect && now - e.sentAt < SUSPECT_WINDOW &&
                   ++e.silentCloses % SILENT_CLOSES_PER_STRIKE == 0);
    // Marked while still in flight, so that the count of lone entries in flight stays right.
    if (e.alone()) --aloneInflight_;
    if (blame == Blame::Silent) e.suspect = true;
    if (strike) ++e.strikes;
    if (e.alone()) ++aloneInflight_;
    untake(seq);
    it = entries_.find(seq);  // a stale retained entry is gone now
    if (it == entries_.end() || it->second.strikes < 2) continue;
    poison.push_back(it->second.pub);
    erase(it);
    ++dropped_;
  }
  return poison;
}

std::optional<MqttBuffer::Clock::time_point> MqttBuffer::oldestInflight() const {
  std::optional<Clock::time_point> oldest;
  std::size_t seen = 0;
  for (auto& [seq, e] : entries_) {
    if (seen == inflight_) break;
    if (!e.inflight) continue;
    ++seen;
    if (!oldest || e.sentAt < *oldest) oldest = e.sentAt;
  }
  return oldest;
}

void MqttBuffer::tagUntaggedWaiting(
    const std::function<std::optional<std::uint64_t>(const Publication&)>& copy) {
  if (untaggedWaiting_ == 0) return;
  for (auto seq : waiting_[READING]) {
    auto it = entries_.find(seq);
    if (!untagged(it->second)) continue;
    auto tag = copy(it->second.pub);
    if (!tag) continue;
    it->second.tag = *tag;
    --untaggedWaiting_;
  }
}

}  // namespace ostrel
