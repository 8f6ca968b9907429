#include "ostrel/io/MqttBuffer.hpp"

#include <utility>

namespace ostrel {

void MqttBuffer::setLimit(std::size_t byteLimit) {
  std::lock_guard lk(m_);
  limit_ = byteLimit;
  dropOldest();
}

void MqttBuffer::erase(std::map<std::uint64_t, Entry>::iterator it) {
  if (it->second.gen) {
    auto f = inflight_.find(it->second.gen);
    if (f != inflight_.end() && --f->second == 0) inflight_.erase(f);
  }
  bytes_ -= cost(it->second.pub);
  entries_.erase(it);
}

std::size_t MqttBuffer::dropOldest() {
  std::size_t n = 0;
  for (auto it = entries_.begin(); bytes_ > limit_ && it != entries_.end();) {
    if (it->second.gen || it->second.pub.retain) {
      ++it;
      continue;
    }
    auto next = std::next(it);
    erase(it);
    it = next;
    ++n;
  }
  dropped_ += n;
  recentDrops_ += n;
  return n;
}

std::size_t MqttBuffer::push(Publication p) {
  std::lock_guard lk(m_);
  bytes_ += cost(p);
  entries_.emplace_hint(entries_.end(), nextSeq_++, Entry{std::move(p), 0});
  return dropOldest();
}

std::optional<MqttBuffer::Out> MqttBuffer::takeNext(std::uint64_t gen) {
  std::lock_guard lk(m_);
  // Entries in flight sit at the front (they were taken in order), so this scan is short.
  for (auto& [seq, e] : entries_) {
    if (e.gen) continue;
    e.gen = gen;
    ++inflight_[gen];
    return Out{seq, e.pub};
  }
  return std::nullopt;
}

void MqttBuffer::untake(std::uint64_t seq, std::uint64_t gen) {
  std::lock_guard lk(m_);
  auto it = entries_.find(seq);
  if (it == entries_.end() || it->second.gen != gen) return;
  auto f = inflight_.find(it->second.gen);
  if (f != inflight_.end() && --f->second == 0) inflight_.erase(f);
  it->second.gen = 0;
}

void MqttBuffer::delivered(std::uint64_t seq) {
  std::lock_guard lk(m_);
  auto it = entries_.find(seq);
  if (it == entries_.end()) return;  // sent twice (after a reconnect) and already counted
  erase(it);
  ++delivered_;
}

void MqttBuffer::refused(std::uint64_t seq) {
  std::lock_guard lk(m_);
  auto it = entries_.find(seq);
  if (it == entries_.end()) return;
  erase(it);
  ++dropped_;
}

std::size_t MqttBuffer::requeue(std::uint64_t gen) {
  std::lock_guard lk(m_);
  if (!inflight_.erase(gen)) return 0;
  for (auto& [seq, e] : entries_)
    if (e.gen == gen) e.gen = 0;
  return dropOldest();
}

std::uint64_t MqttBuffer::newGeneration() {
  std::lock_guard lk(m_);
  return nextGen_++;
}

std::size_t MqttBuffer::inflight(std::uint64_t gen) const {
  std::lock_guard lk(m_);
  auto f = inflight_.find(gen);
  return f == inflight_.end() ? 0 : f->second;
}

std::size_t MqttBuffer::size() const {
  std::lock_guard lk(m_);
  return entries_.size();
}

std::size_t MqttBuffer::bytes() const {
  std::lock_guard lk(m_);
  return bytes_;
}

std::uint64_t MqttBuffer::deliveredCount() const {
  std::lock_guard lk(m_);
  return delivered_;
}

std::uint64_t MqttBuffer::droppedCount() const {
  std::lock_guard lk(m_);
  return dropped_;
}

std::uint64_t MqttBuffer::takeRecentDrops() {
  std::lock_guard lk(m_);
  return std::exchange(recentDrops_, 0);
}

}  // namespace ostrel
