// The bound on messages waiting for the event loop.
#include "ostrel/mqtt/InboundLimit.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/support/LogCapture.hpp"
#include "tests/support/Wait.hpp"

namespace ostrel {

TEST(InboundLimit, BoundsMessagesAndBytesAndSummarisesRefusalsOnce) {
  test::LogCapture cap;
  asio::io_context ctx;
  auto limit = InboundLimit::make(ctx.get_executor(), "ostrel-test", {.messages = 3, .bytes = 100});
  std::vector<InboundLimit::Pass> held;
  held.push_back(*limit->admit(500));  // alone, larger than the byte bound: it passes
  EXPECT_FALSE(limit->admit(1));
  held.clear();  // a pass gives its share back, also one dropped unhandled
  for (int i = 0; i < 3; ++i) held.push_back(*limit->admit(30));
  EXPECT_FALSE(limit->admit(1));  // the message bound
  held.pop_back();
  std::thread([&] { EXPECT_FALSE(limit->admit(41)); }).join();  // the byte bound, from elsewhere
  EXPECT_TRUE(limit->admit(40));
  EXPECT_EQ(limit->refused(), 3u);
  EXPECT_TRUE(cap.snapshot().empty());  // the summary comes when the second is over
  auto summary = [&] {
    ctx.run_one_for(std::chrono::milliseconds(10));
    return !cap.snapshot().empty();
  };
  ASSERT_TRUE(test::waitUntil(summary, std::chrono::seconds(5), "the summary"));
  EXPECT_EQ(cap.snapshot(), std::vector<std::string>{
                                "MQTT ostrel-test: 3 incoming messages refused in the last second: "
                                "3 messages or 100 bytes were waiting for the event loop already"});
}

}  // namespace ostrel
