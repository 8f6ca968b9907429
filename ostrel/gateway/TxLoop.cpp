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
void workerLoop(HatProtocolV1& proto, WorkerStop& state) {
  for (;;) {
    std::chrono::milliseconds pause{50};
    try {
      proto.txQueuedMsgs();
    } catch (...) {
      log(describeException(std::current_exception(), "serial transmit loop"));
      pause = std::chrono::milliseconds(100);
    }
    if (state.pause(pause)) return;
  }
}

}  // namespace

awaitable<void> processTxMsgs() {
  auto ex = co_await asio::this_coro::executor;
  asio::thread_pool executor(1);
  auto state = std::make_shared<WorkerStop>();
  // Held until the worker has ended: a bring-up again replaces the gateway's protocol object.
  std::shared_ptr<HatProtocolV1> proto;
  auto ended = std::make_shared<Event>(ex);
  try {
    while (!gw().myProtocol) co_await gw().changed.wait();
    proto = gw().myProtocol;
    proto->txQueue().open();
    gw().changed.notify();
    asio::post(executor, [proto, state, ended, ex] {
      workerLoop(*proto, *state);
      asio::post(ex, [ended] { ended->set(); });
    });
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
  if (!proto) co_return;
  // Later jobs are refused with a clear error instead of piling up behind a worker that is gone;
  // closing also wakes a worker that waits for a job. What is queued stays for the next start.
  proto->txQueue().close();
  // A job in a stalled serial write holds the worker up to 5 s: its end is awaited, whatever is
  // cancelled meanwhile, and the loop goes on.
  auto uncancellable = [](asio::cancellation_type) { return asio::cancellation_type::none; };
  co_await asio::this_coro::reset_cancellation_state(uncancellable);
  co_await ended->wait();
  executor.join();
}

}  // namespace ostrel
