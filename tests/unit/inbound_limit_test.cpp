// The bound on messages waiting for the event loop: refused past it, room again as passes go,
// one summary line for a burst of refusals.
#include "ostrel/mqtt/InboundLimit.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/LogCapture.hpp"
#include "tests/support/Wait.hpp"

namespace ostrel {
namespace {

using namespace std::chrono_literals;

TEST(InboundLimit, BoundsMessagesAndBytesAndSummarisesRefusalsOnce) {
  test::LogCapture cap;
  asio::io_context ctx;
  auto limit = InboundLimit::make(ctx.get_executor(), "ostrel-test", {.messages = 3, .bytes = 100});
  std::vector<InboundLimit::Pass> held;
  // Alone, a message larger than the byte bound still passes; others wait for it to go.
  held.push_back(*limit->admit(500));
  EXPECT_FALSE(limit->admit(1));
  held.clear();
  for (int i = 0; i < 3; ++i) held.push_back(*limit->admit(30));
  EXPECT_EQ(limit->waiting(), 3u);
  EXPECT_FALSE(limit->admit(1));  // the message bound
  held.pop_back();
  EXPECT_FALSE(limit->admit(41));  // the byte bound
  // Refused from the library's thread, as the client does it.
  std::thread([&] {
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(limit->admit(41));
  }).join();
  std::optional<InboundLimit::Pass> last = limit->admit(40);
  ASSERT_TRUE(last);
  EXPECT_EQ(limit->refused(), 1003u);
  EXPECT_TRUE(cap.snapshot().empty());  // the summary waits for the second to end
  ASSERT_TRUE(test::waitUntil(
      [&] {
        ctx.run_for(10ms);
        return !cap.snapshot().empty();
      },
      5s, "the summary"));
  ctx.run_for(50ms);
  ASSERT_EQ(cap.snapshot().size(), 1u);
  EXPECT_EQ(cap.snapshot()[0],
            "MQTT ostrel-test: 1003 incoming messages refused in the last second: 3 messages or "
            "100 bytes were waiting for the event loop already");
  // Every pass gives its share back, also one dropped unhandled.
  held.clear();
  last.reset();
  EXPECT_EQ(limit->waiting(), 0u);
  EXPECT_TRUE(limit->admit(100));
}

}  // namespace
}  // namespace ostrel
