#pragma once
// Tasks on the event loop that can be cancelled as a group at wind-down, and a one-shot event.
#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

// A one-shot event: set once, awaited by any number of coroutines. Event-loop thread only.
class Event {
 public:
  explicit Event(Executor ex) : timer_(ex, asio::steady_timer::time_point::max()) {}
  void set() {
    set_ = true;
    timer_.cancel();
  }
  bool isSet() const { return set_; }
  awaitable<void> wait();

 private:
  asio::steady_timer timer_;
  bool set_ = false;
};

// Wakes every coroutine waiting in wait() at each notify(); each checks its own condition
// again, so that nothing has to poll for a change. Event-loop thread only.
class Notifier {
 public:
  void notify();
  // Until the next notify(); throws operation_aborted when cancelled.
  awaitable<void> wait();

 private:
  std::vector<std::shared_ptr<asio::steady_timer>> waiters_;
};

class Task {
 public:
  Task(Executor ex, std::string name) : name_(std::move(name)), done_(ex) {}
  const std::string& name() const { return name_; }
  bool done() const { return done_.isSet(); }
  void cancel() {
    if (!done()) signal_.emit(asio::cancellation_type::terminal);
  }
  // Waits until the task has ended or `limit` has passed; true when it ended.
  awaitable<bool> waitFor(std::chrono::milliseconds limit);
  // Waits until the task has ended.
  awaitable<void> join() { co_await done_.wait(); }

 private:
  friend class TaskRegistry;
  std::string name_;
  asio::cancellation_signal signal_;
  Event done_;
};

// Every long-running coroutine of the daemon is spawned here so that wind-down can reach it.
class TaskRegistry {
 public:
  static TaskRegistry& instance();
  std::shared_ptr<Task> spawn(Executor ex, std::string name, awaitable<void> body);
  // Cancels every unfinished task except `keep`, giving each `grace` to end.
  awaitable<void> cancelAll(std::chrono::milliseconds grace, const Task* keep = nullptr);
  std::size_t running() const;
  // Lets go of every task, ended or not. Called once the loop has stopped and before it is
  // destroyed: a task's timers belong to the loop and may not outlive it.
  void release() { tasks_.clear(); }

 private:
  std::list<std::shared_ptr<Task>> tasks_;
};

// Sleep on the event loop (cancellable).
awaitable<void> sleepFor(std::chrono::steady_clock::duration d);

}  // namespace ostrel
