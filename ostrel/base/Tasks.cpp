#include "ostrel/base/Tasks.hpp"

#include "ostrel/base/Log.hpp"

namespace ostrel {

using namespace asio::experimental::awaitable_operators;

awaitable<void> Event::wait() {
  auto cs = co_await asio::this_coro::cancellation_state;
  while (!set_) {
    co_await timer_.async_wait(asio::as_tuple(use_awaitable));
    if (!set_ && cs.cancelled() != asio::cancellation_type::none)
      throw boost::system::system_error(asio::error::operation_aborted);
  }
}

void Notifier::notify() {
  for (auto& t : std::exchange(waiters_, {})) t->cancel();
}

awaitable<void> Notifier::wait() {
  auto t = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor,
                                                asio::steady_timer::time_point::max());
  waiters_.push_back(t);
  co_await t->async_wait(asio::as_tuple(use_awaitable));
  std::erase(waiters_, t);
  auto cs = co_await asio::this_coro::cancellation_state;
  if (cs.cancelled() != asio::cancellation_type::none)
    throw boost::system::system_error(asio::error::operation_aborted);
}

awaitable<bool> Task::waitFor(std::chrono::milliseconds limit) {
  if (done()) co_return true;
  asio::steady_timer t(co_await asio::this_coro::executor, limit);
  co_await (done_.wait() || t.async_wait(asio::as_tuple(use_awaitable)));
  co_return done();
}

TaskRegistry& TaskRegistry::instance() {
  static TaskRegistry r;
  return r;
}

std::shared_ptr<Task> TaskRegistry::spawn(Executor ex, std::string name, awaitable<void> body) {
  // Forget tasks that have ended.
  tasks_.remove_if([](const auto& t) { return t->done(); });
  auto task = std::make_shared<Task>(ex, std::move(name));
  tasks_.push_back(task);
  asio::co_spawn(
      ex, std::move(body),
      asio::bind_cancellation_slot(task->signal_.slot(), [this, task](std::exception_ptr e) {
        if (e) {
          try {
            std::rethrow_exception(e);
          } catch (const boost::system::system_error& se) {
            if (se.code() != asio::error::operation_aborted)
              log(describeException(e, "task " + task->name()));
          } catch (...) {
            log(describeException(e, "task " + task->name()));
          }
        }
        task->done_.set();
        // A task that has ended leaves the registry at once: it may not outlive its loop.
        tasks_.remove(task);
      }));
  return task;
}

awaitable<void> TaskRegistry::cancelAll(std::chrono::milliseconds grace, const Task* keep) {
  auto snapshot = tasks_;
  for (auto& t : snapshot) {
    if (t.get() == keep || t->done()) continue;
    t->cancel();
    try {
      co_await t->waitFor(grace);
    } catch (...) {
    }
  }
  tasks_.remove_if([](const auto& t) { return t->done(); });
}

std::size_t TaskRegistry::running() const {
  std::size_t n = 0;
  for (auto& t : tasks_) n += !t->done();
  return n;
}

awaitable<void> sleepFor(std::chrono::steady_clock::duration d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(use_awaitable);
}

}  // namespace ostrel
