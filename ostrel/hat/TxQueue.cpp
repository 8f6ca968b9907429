#include "ostrel/hat/TxQueue.hpp"

#include <fmt/format.h>

namespace ostrel {

void TxQueue::put(Job job) {
  {
    std::lock_guard lk(m_);
    if (closed_) throw TxQueueClosed("the transmit loop has stopped; job refused");
    if (q_.size() >= capacity_ + backlog_)
      throw TxQueueFull(fmt::format("{} transmit jobs waiting; job refused", q_.size()));
    q_.push_back(std::move(job));
  }
  notEmpty_.notify_one();
}

TxQueue::Job TxQueue::take() {
  std::unique_lock lk(m_);
  notEmpty_.wait(lk, [&] { return !q_.empty() || closed_; });
  if (closed_) return {};
  Job j = std::move(q_.front());
  q_.pop_front();
  return j;
}

void TxQueue::close() {
  {
    std::lock_guard lk(m_);
    closed_ = true;
  }
  notEmpty_.notify_all();
}

void TxQueue::open() {
  std::lock_guard lk(m_);
  closed_ = false;
}

bool TxQueue::isClosed() const {
  std::lock_guard lk(m_);
  return closed_;
}

std::size_t TxQueue::size() const {
  std::lock_guard lk(m_);
  return q_.size();
}

}  // namespace ostrel
