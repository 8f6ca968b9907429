// The serial transmit loop: runs the protocol object's queued jobs on one worker thread.
#include <boost/asio/thread_pool.hpp>
#include <condition_variable>
#include <mutex>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"

namespace ostrel {

namespace {

struct WorkerStop {
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;

  // Sleeps for `d` unless stopped first; true when stopped.
  bool pause(std::chrono::milliseconds d) {
    std::unique_lock lk(m);
    return cv.wait_for(lk, d, [&] { return stop; });
  }
};

// The worker takes and runs jobs on its own, pacing them 50 ms apart; it never needs the event
// loop to go on. Closing the queue wakes it when it waits for a job.
void workerLoop(HatProtocolV1* proto, const std::shared_ptr<WorkerStop>& state) {
  for (;;) {
    std::chrono::milliseconds pause{50};
    try {
      proto->txQueuedMsgs();
    } catch (...) {
      log(describeException(std::current_exception(), "serial transmit loop"));
      pause = std::chrono::milliseconds(100);
    }
    if (state->pause(pause)) return;
  }
}

}  // namespace

awaitable<void> processTxMsgs(std::shared_ptr<MqttClient>, const Args&, Executor) {
  asio::thread_pool executor(1);
  auto state = std::make_shared<WorkerStop>();
  // The protocol object lives as long as the process once the hat has said hello.
  HatProtocolV1* proto = nullptr;
  try {
    while (!gw().myProtocol) co_await gw().changed.wait();
    proto = gw().myProtocol.get();
    proto->txQueue().open();
    gw().changed.notify();
    asio::post(executor, [proto, state] { workerLoop(proto, state); });
    auto ex = co_await asio::this_coro::executor;
    asio::steady_timer forever(ex, asio::steady_timer::time_point::max());
    co_await forever.async_wait(use_awaitable);
  } catch (...) {
    // Only cancellation ends the waits above.
  }
  log("TX: Serial connection cancelled.");
  {
    std::lock_guard lk(state->m);
    state->stop = true;
  }
  state->cv.notify_all();
  // Later jobs are refused with a clear error instead of piling up behind a worker that is gone;
  // closing also wakes a worker that waits for a job. What is queued stays for the next start.
  if (proto) proto->txQueue().close();
  executor.join();
}

}  // namespace ostrel
