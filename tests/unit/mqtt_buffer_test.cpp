// The publication buffer's order, bound and hand-over bookkeeping.
#include <gtest/gtest.h>

#include "ostrel/io/MqttBuffer.hpp"

namespace ostrel {
namespace {

Publication reading(int i) {
  return {"s/r", "p" + std::to_string(i), 1, false};
}
constexpr std::size_t COST = 3 + 2 + MqttBuffer::ENTRY_OVERHEAD;  // "s/r" + "pN"

std::vector<std::string> drainAll(MqttBuffer& b, std::uint64_t gen) {
  std::vector<std::string> out;
  while (auto o = b.takeNext(gen)) out.push_back(o->pub.payload);
  return out;
}

TEST(MqttBuffer, AConnectionThatEndsGivesBackItsInFlightEntriesAheadOfNewerOnes) {
  MqttBuffer b;
  for (int i = 0; i < 5; ++i) b.push(reading(i));
  auto g1 = b.newGeneration();
  auto first = b.takeNext(g1);
  auto second = b.takeNext(g1);
  ASSERT_TRUE(first && second);
  b.delivered(first->seq);
  EXPECT_EQ(b.inflight(g1), 1u);
  EXPECT_EQ(b.requeue(g1), 0u);
  EXPECT_EQ(b.inflight(g1), 0u);

  auto g2 = b.newGeneration();
  EXPECT_EQ(drainAll(b, g2), (std::vector<std::string>{"p1", "p2", "p3", "p4"}));
  // A late failure report of the old connection must not take p1 back from the new one.
  b.untake(second->seq, g1);
  EXPECT_EQ(b.inflight(g2), 4u);
  EXPECT_FALSE(b.takeNext(g2));
  // Its late acknowledgement still counts: the broker has it.
  b.delivered(second->seq);
  b.delivered(second->seq);  // and the duplicate sent on g2 changes nothing more
  EXPECT_EQ(b.deliveredCount(), 2u);
  EXPECT_EQ(b.size(), 3u);
  EXPECT_EQ(b.inflight(g2), 3u);
}

TEST(MqttBuffer, TheBoundDropsTheOldestWaitingReadingsAndKeepsRetainedAndInFlightOnes) {
  MqttBuffer b(6 * COST + 100);
  b.push({"s/f", "fw", 1, true});  // as dear as a reading
  b.push(reading(0));
  auto g = b.newGeneration();
  auto sent = b.takeNext(g);   // the retained one
  auto sent2 = b.takeNext(g);  // p0, in flight
  ASSERT_TRUE(sent && sent2);
  std::size_t dropped = 0;
  for (int i = 1; i < 10; ++i) dropped += b.push(reading(i));
  EXPECT_EQ(dropped, 5u);
  EXPECT_EQ(b.droppedCount(), 5u);
  EXPECT_EQ(b.takeRecentDrops(), 5u);
  EXPECT_EQ(b.takeRecentDrops(), 0u);
  EXPECT_LE(b.bytes(), 6 * COST + 100);
  b.requeue(g);
  EXPECT_EQ(drainAll(b, b.newGeneration()),
            (std::vector<std::string>{"fw", "p0", "p6", "p7", "p8", "p9"}));

  // Nothing older to drop: a retained publication is kept over the bound, a reading is not.
  MqttBuffer tiny(COST);
  EXPECT_EQ(tiny.push({"s/f", "fw", 1, true}), 0u);
  EXPECT_EQ(tiny.push(reading(1)), 1u);
  EXPECT_EQ(drainAll(tiny, tiny.newGeneration()), (std::vector<std::string>{"fw"}));
}

TEST(MqttBuffer, RefusedEntriesAreDroppedAndShrinkingTheBoundShedsTheOldest) {
  MqttBuffer b;
  for (int i = 0; i < 4; ++i) b.push(reading(i));
  auto g = b.newGeneration();
  auto o = b.takeNext(g);
  ASSERT_TRUE(o);
  b.refused(o->seq);
  EXPECT_EQ(b.droppedCount(), 1u);
  EXPECT_EQ(b.inflight(g), 0u);
  b.setLimit(2 * COST);
  EXPECT_EQ(drainAll(b, g), (std::vector<std::string>{"p2", "p3"}));
  EXPECT_EQ(b.droppedCount(), 2u);
}

}  // namespace
}  // namespace ostrel
