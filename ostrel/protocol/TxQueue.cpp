#include "ostrel/protocol/TxQueue.hpp"

namespace ostrel {

void TxQueue::put(Job job) {
  std::unique_lock lk(m_);
  notFull_.wait(lk, [&] { return q_.size() < capacity_; });
  q_.push_back(std::move(job));
  notEmpty_.notify_one();
}

bool TxQueue::tryPut(Job job) {
  std::lock_guard lk(m_);
  if (q_.size() >= capacity_) return false;
  q_.push_back(std::move(job));
  notEmpty_.notify_one();
  return true;
}

TxQueue::Job TxQueue::take() {
  std::unique_lock lk(m_);
  notEmpty_.wait(lk, [&] { return !q_.empty(); });
  Job j = std::move(q_.front());
  q_.pop_front();
  notFull_.notify_one();
  return j;
}

std::size_t TxQueue::size() const {
  std::lock_guard lk(m_);
  return q_.size();
}

}  // namespace ostrel
