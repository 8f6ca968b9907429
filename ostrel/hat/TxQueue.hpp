#pragma once
// Transmit jobs between the event loop (producers) and the transmit worker.
//
// Producers never block: the event loop also runs the serial receive loop, and a UART's buffer
// overflows within a few hundred milliseconds. Each source of jobs has a lane of its own, first in
// first out, with its own bound; a job beyond it is refused with an error the caller logs. The
// worker takes the gateway's own jobs (set-up steps and clock beacons) first, then MQTT commands
// and node operations in turn: however many jobs one source queues, the others wait for at most
// one of its jobs, and a clock beacon for none.
#include <array>
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

enum class TxSource { Gateway, Commands, NodeOps };

class TxQueue {
 public:
  using Job = std::function<void()>;
  // MQTT commands come in floods when a provisioner enrols many sensors: a few hundred wait
  // (a few seconds of the hat's time at 50 ms each). Node operations run one at a time.
  static constexpr std::size_t COMMAND_JOBS = 256;
  static constexpr std::size_t NODE_OPS_JOBS = 32;

  // `capacity` and `backlog` bound the gateway's own lane.
  explicit TxQueue(std::size_t capacity = 10, std::size_t backlog = 1000)
      : capacity_(capacity), backlog_(backlog) {}
  // Never blocks. Throws TxQueueClosed while closed, TxQueueFull when the source's lane is full
  // (the gateway's: capacity and backlog both used up).
  void put(Job job) { put(TxSource::Gateway, std::move(job)); }
  void put(TxSource source, Job job);
  // Blocks while the queue is empty and open; an empty Job once the queue is closed.
  Job take();
  // Refuses new jobs and wakes the worker; jobs already queued stay for the next open().
  void close();
  void open();
  bool isClosed() const;
  std::size_t size() const;
  std::size_t size(TxSource source) const;
  std::size_t capacity() const { return capacity_; }
  std::size_t backlog() const { return backlog_; }

 private:
  std::size_t bound(TxSource source) const;
  std::size_t total() const;  // lock held

  std::size_t capacity_;
  std::size_t backlog_;
  mutable std::mutex m_;
  std::condition_variable notEmpty_;
  std::array<std::deque<Job>, 3> lanes_;
  bool commandsNext_ = true;  // whose turn it is between commands and node operations
  bool closed_ = false;
};

}  // namespace ostrel
