// The serial transmit loop: runs the protocol object's queued jobs on one worker thread.
#include <boost/asio/thread_pool.hpp>

#include "ostrel/core/Gateway.hpp"
#include "ostrel/io/Log.hpp"

namespace ostrel {

namespace {

// Completion of one call on the worker, signalled to the event loop through a timer.
struct WorkerCall {
  explicit WorkerCall(Executor ex) : done(ex, asio::steady_timer::time_point::max()) {}
  asio::steady_timer done;
  bool finished = false;
  std::exception_ptr error;
};

// Runs one txQueuedMsgs call on the pool and waits for it on the loop. Cancelling the wait does
// not stop the call. Takes a plain pointer: GCC 12 destroys non-trivial temporaries of a
// co_await expression twice. The protocol object lives as long as the process.
awaitable<void> runOnWorker(asio::thread_pool& pool, HatProtocolV1* proto) {
  auto ex = co_await asio::this_coro::executor;
  auto call = std::make_shared<WorkerCall>(ex);
  asio::post(pool, [call, ex, proto] {
    std::exception_ptr e;
    try {
      proto->txQueuedMsgs();
    } catch (...) {
      e = std::current_exception();
    }
    asio::post(ex, [call, e] {
      call->finished = true;
      call->error = e;
      call->done.cancel();
    });
  });
  co_await call->done.async_wait(asio::as_tuple(use_awaitable));
  if (!call->finished) throw boost::system::system_error(asio::error::operation_aborted);
  if (call->error) std::rethrow_exception(call->error);
}

}  // namespace

awaitable<void> processTxMsgs(std::shared_ptr<MqttClient>, const Args&, Executor) {
  asio::thread_pool executor(1);
  auto cs = co_await asio::this_coro::cancellation_state;
  for (;;) {
    bool failed = false;
    try {
      // No declarations in conditions here: GCC 12 destroys them twice around a co_await.
      std::shared_ptr<HatProtocolV1> proto = gw().myProtocol;
      if (proto) {
        co_await runOnWorker(executor, proto.get());
        co_await sleepFor(std::chrono::milliseconds(50));
      } else {
        co_await sleepFor(std::chrono::milliseconds(500));
      }
    } catch (...) {
      if (cs.cancelled() != asio::cancellation_type::none) break;
      log(describeException(std::current_exception(), "serial transmit loop"));
      failed = true;
    }
    if (failed) {
      try {
        co_await sleepFor(std::chrono::milliseconds(100));
      } catch (...) {
        break;
      }
    }
  }
  log("TX: Serial connection cancelled.");
  // A worker waiting on an empty queue needs a job to return. Only an empty queue can hold a
  // waiting worker, so never block here: a full queue with no worker taking would hang for good.
  std::shared_ptr<HatProtocolV1> proto = gw().myProtocol;
  if (proto) proto->txQueue().tryPut(emptyFunc);
  executor.join();
}

}  // namespace ostrel
