#pragma once
// One-shot timer on the event loop: calls its callback once after the delay unless cancelled.
#include <functional>
#include <memory>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

class Timer {
 public:
  // Schedules at once and returns; a delay of 0 fires on a later turn of the loop, never here.
  Timer(Executor ex, double timeoutSeconds, std::function<void()> callback);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  void cancel();
  bool fired() const;
  bool cancelled() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace ostrel
