#pragma once
// FIFO of transmit jobs between the event loop (producers) and the transmit worker.
//
// Producers never block: the event loop also runs the serial receive loop, and a UART's buffer
// overflows within a few hundred milliseconds. Jobs beyond the first `capacity` wait in a bounded
// backlog, in order; when that is full too, the job is refused with an error the caller logs.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>

namespace ostrel {

// The transmit loop has stopped (wind-down): no job can be taken any more.
class TxQueueClosed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The backlog is full: the job was refused.
class TxQueueFull : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TxQueue {
 public:
  using Job = std::function<void()>;
  explicit TxQueue(std::size_t capacity = 10, std::size_t backlog = 1000)
      : capacity_(capacity), backlog_(backlog) {}
  // Never blocks. Throws TxQueueClosed while closed, TxQueueFull when capacity and backlog are
  // both used up.
  void put(Job job);
  // Blocks while the queue is empty and open; an empty Job once the queue is closed.
  Job take();
  // Refuses new jobs and wakes the worker; jobs already queued stay for the next open().
  void close();
  void open();
  bool isClosed() const;
  std::size_t size() const;
  std::size_t capacity() const { return capacity_; }
  std::size_t backlog() const { return backlog_; }

 private:
  std::size_t capacity_;
  std::size_t backlog_;
  mutable std::mutex m_;
  std::condition_variable notEmpty_;
  std::deque<Job> q_;
  bool closed_ = false;
};

}  // namespace ostrel
