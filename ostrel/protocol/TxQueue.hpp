#pragma once
// Bounded FIFO of transmit jobs between the event loop (producers) and the transmit worker.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace ostrel {

class TxQueue {
 public:
  using Job = std::function<void()>;
  explicit TxQueue(std::size_t capacity = 10) : capacity_(capacity) {}
  // Blocks while the queue is full.
  void put(Job job);
  // Never blocks: false when the queue is full.
  bool tryPut(Job job);
  // Blocks while the queue is empty.
  Job take();
  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }

 private:
  std::size_t capacity_;
  mutable std::mutex m_;
  std::condition_variable notEmpty_, notFull_;
  std::deque<Job> q_;
};

}  // namespace ostrel
