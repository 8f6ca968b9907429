#pragma once
// Waiting for a condition instead of for time: a test names what it is after, gets it as soon as
// it holds, and on a time-out is told what was last seen.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace ostrel::test {

// Polls `pred` until it holds or `timeout` has passed. On a time-out the failure message names
// `what` and, when given, the state `describe` returns at that moment.
template <typename Pred>
::testing::AssertionResult waitUntil(Pred&& pred, std::chrono::milliseconds timeout,
                                     const std::string& what,
                                     const std::function<std::string()>& describe = {}) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (pred()) return ::testing::AssertionSuccess();
    if (Clock::now() >= deadline) break;
    // The poll interval: short against any deadline, long enough not to load a busy machine.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto fail = ::testing::AssertionFailure()
              << "waited " << timeout.count() << " ms for " << what << " in vain";
  if (describe) fail << "; last seen: " << describe();
  return fail;
}

}  // namespace ostrel::test
