// The publication buffer's order, bound, merging of retained states and setting aside.
#include <gtest/gtest.h>

#include "ostrel/mqtt/MqttBuffer.hpp"

namespace ostrel {
namespace {

Publication reading(int i) {
  return {"s/r", "p" + std::to_string(i), 1, false};
}
Publication status(const std::string& topic, const std::string& payload) {
  return {topic, payload, 0, true};
}
constexpr std::size_t COST = 3 + 2 + MqttBuffer::ENTRY_OVERHEAD;  // "s/r" + "pN"

std::vector<std::string> drainAll(MqttBuffer& b, std::size_t window = 1000) {
  std::vector<std::string> out;
  while (auto o = b.takeNext(window)) out.push_back(o->second->payload);
  return out;
}

TEST(MqttBuffer, AConnectionThatEndsGivesBackItsInFlightEntriesAheadOfNewerOnes) {
  MqttBuffer b;
  for (int i = 0; i < 5; ++i) b.push(reading(i));
  auto first = b.takeNext(2);
  auto second = b.takeNext(2);
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(b.takeNext(2));  // the window is full
  b.delivered(first->first);
  EXPECT_EQ(b.inflight(), 1u);
  EXPECT_TRUE(b.requeue(MqttBuffer::Blame::None).empty());
  EXPECT_EQ(b.inflight(), 0u);
  EXPECT_EQ(drainAll(b), (std::vector<std::string>{"p1", "p2", "p3", "p4"}));
  // A late acknowledgement of the old connection still counts: the broker has it; the copy sent
  // again changes nothing more.
  b.delivered(second->first);
  b.delivered(second->first);
  EXPECT_EQ(b.deliveredCount(), 2u);
  EXPECT_EQ(b.size(), 3u);
  EXPECT_EQ(b.inflight(), 3u);
}

TEST(MqttBuffer, TheBoundDropsTheOldestWaitingReadingsAndNeverAReadingForAStatus) {
  MqttBuffer b(6 * COST + 100);
  b.push({"s/f", "fw", 1, true});
  b.push(reading(0));
  ASSERT_TRUE(b.takeNext(10));  // the retained one
  ASSERT_TRUE(b.takeNext(10));  // p0, in flight
  std::size_t dropped = 0;
  for (int i = 1; i < 10; ++i) dropped += b.push(reading(i));
  EXPECT_EQ(dropped, 5u);
  EXPECT_EQ(b.droppedCount(), 5u);
  EXPECT_EQ(b.takeRecentDrops(), 5u);
  EXPECT_EQ(b.takeRecentDrops(), 0u);
  EXPECT_LE(b.bytes(), 6 * COST + 100);
  b.requeue(MqttBuffer::Blame::None);
  EXPECT_EQ(drainAll(b), (std::vector<std::string>{"fw", "p0", "p6", "p7", "p8", "p9"}));

  // A full buffer of readings: statuses push out statuses (or themselves), never a reading,
  // and do not count as dropped readings.
  MqttBuffer full(3 * COST + 20);
  for (int i = 0; i < 3; ++i) full.push(reading(i));
  full.push(status("s/a", "1"));
  full.push(status("s/b", "2"));
  EXPECT_EQ(full.droppedCount(), 0u);
  EXPECT_EQ(drainAll(full), (std::vector<std::string>{"p0", "p1", "p2"}));
  // A reading pushes a waiting status out before any reading.
  MqttBuffer mixed(2 * COST + 20);
  mixed.push(reading(0));
  mixed.push(status("s/a", "1"));
  ASSERT_TRUE(mixed.takeNext(1));  // p0 in flight: not droppable
  mixed.push(reading(1));
  EXPECT_EQ(mixed.droppedCount(), 0u);
  mixed.requeue(MqttBuffer::Blame::None);
  EXPECT_EQ(drainAll(mixed), (std::vector<std::string>{"p0", "p1"}));
}

TEST(MqttBuffer, CorrelationDataCountsAgainstTheBound) {
  MqttBuffer b(4096);
  for (int i = 0; i < 10; ++i) b.push({"r/t", "{}", 1, false, std::string(1000, 'c')});
  EXPECT_EQ(b.bytes(), 3 * (3 + 2 + 1000 + MqttBuffer::ENTRY_OVERHEAD));
  EXPECT_EQ(b.droppedCount(), 7u);
}

TEST(MqttBuffer, OneWaitingRetainedPublicationPerTopicTheNewest) {
  MqttBuffer b;
  b.push(status("gw/1/health", "h1"));
  b.push(reading(0));
  b.push(status("gw/1/sensor/5", "a"));
  b.push(status("gw/1/health", "h2"));
  b.push(status("gw/1/health", "h3"));
  EXPECT_EQ(b.size(), 3u);
  EXPECT_EQ(b.droppedCount(), 0u);
  EXPECT_EQ(drainAll(b), (std::vector<std::string>{"p0", "a", "h3"}));

  // One in flight and a newer one waiting: when the connection ends, the older one is stale
  // and only the newer goes out.
  MqttBuffer c;
  c.push(status("t", "old"));
  ASSERT_TRUE(c.takeNext(10));
  c.push(status("t", "new"));
  EXPECT_EQ(c.size(), 2u);
  c.requeue(MqttBuffer::Blame::None);
  EXPECT_EQ(drainAll(c), (std::vector<std::string>{"new"}));
  EXPECT_EQ(c.size(), 1u);
}

TEST(MqttBuffer, AnEntryInFlightWhenTheBrokerClosedTwiceIsSetAsideAndTravelsAloneMeanwhile) {
  MqttBuffer b;
  for (int i = 0; i < 4; ++i) b.push(reading(i));
  ASSERT_TRUE(b.takeNext(2));
  ASSERT_TRUE(b.takeNext(2));
  EXPECT_TRUE(b.requeue(MqttBuffer::Blame::Refusal).empty());  // one strike for p0 and p1
  // Each struck entry goes out alone.
  auto p0 = b.takeNext(10);
  ASSERT_TRUE(p0);
  EXPECT_EQ(p0->second->payload, "p0");
  EXPECT_FALSE(b.takeNext(10));
  b.delivered(p0->first);  // p0 was innocent
  auto p1 = b.takeNext(10);
  ASSERT_TRUE(p1);
  EXPECT_EQ(p1->second->payload, "p1");
  EXPECT_FALSE(b.takeNext(10));
  auto poison = b.requeue(MqttBuffer::Blame::Refusal);  // closed again with p1 alone in flight
  ASSERT_EQ(poison.size(), 1u);
  EXPECT_EQ(poison[0].payload, "p1");
  EXPECT_EQ(b.droppedCount(), 1u);
  // The rest flows with the full window again, and a loss the client caused strikes nobody.
  EXPECT_EQ(drainAll(b, 10), (std::vector<std::string>{"p2", "p3"}));
  EXPECT_TRUE(b.requeue(MqttBuffer::Blame::None).empty());
  EXPECT_EQ(drainAll(b, 10), (std::vector<std::string>{"p2", "p3"}));
}

TEST(MqttBuffer, RefusedEntriesAreDroppedAndShrinkingTheBoundShedsTheOldest) {
  MqttBuffer b;
  for (int i = 0; i < 4; ++i) b.push(reading(i));
  auto o = b.takeNext(10);
  ASSERT_TRUE(o);
  b.refused(o->first);
  EXPECT_EQ(b.droppedCount(), 1u);
  EXPECT_EQ(b.inflight(), 0u);
  b.setLimit(2 * COST);
  EXPECT_EQ(drainAll(b), (std::vector<std::string>{"p2", "p3"}));
  EXPECT_EQ(b.droppedCount(), 2u);
}

// Every way a tagged entry can leave the buffer hands its tag back exactly once; untagged ones
// and entries still held hand nothing back.
TEST(MqttBuffer, ATaggedEntryIsReleasedOnceHoweverItLeaves) {
  MqttBuffer b;
  std::vector<std::uint64_t> released;
  b.onRelease = [&](std::uint64_t tag) { released.push_back(tag); };
  b.push(reading(0), 10);  // delivered
  b.push(reading(1), 11);  // refused
  b.push(reading(2), 12);  // set aside after two closes by the broker
  b.push(reading(3));      // untagged
  auto d = b.takeNext(1);
  b.delivered(d->first);
  b.delivered(d->first);  // a late duplicate acknowledgement
  auto r = b.takeNext(1);
  b.refused(r->first);
  EXPECT_EQ(released, (std::vector<std::uint64_t>{10, 11}));
  for (int close = 0; close < 2; ++close) {
    ASSERT_TRUE(b.takeNext(1));
    b.requeue(MqttBuffer::Blame::Refusal);
  }
  EXPECT_EQ(released, (std::vector<std::uint64_t>{10, 11, 12}));
  b.setLimit(2 * COST + 10);
  b.push(reading(4), 14);
  b.push(reading(5), 15);
  b.push(reading(6), 16);  // over the bound: the oldest waiting readings go (3 untagged, 4)
  EXPECT_EQ(released, (std::vector<std::uint64_t>{10, 11, 12, 14}));
  EXPECT_EQ(drainAll(b), (std::vector<std::string>{"p5", "p6"}));
}

TEST(MqttBuffer, OnlyWaitingUntaggedReadingsAreTakenForTheDiskInOrder) {
  MqttBuffer b;
  b.push(reading(0));
  ASSERT_TRUE(b.takeNext(1));                 // in flight: stays
  b.push(reading(1), 7);                      // from the disk already: stays
  b.push(status("s/status", "online"));       // retained: stays
  b.push({"s/answer", "a", 1, false, "c1"});  // an answer: stays
  b.push({"s/r", "e", 1, false, {}, 60});     // expiring: stays
  for (int i = 2; i < 5; ++i) b.push(reading(i));
  EXPECT_EQ(b.untaggedWaiting(), 3u);
  std::size_t before = b.bytes();
  auto taken = b.takeUntaggedWaiting();
  std::vector<std::string> payloads;
  for (auto& p : taken) payloads.push_back(p.payload);
  EXPECT_EQ(payloads, (std::vector<std::string>{"p2", "p3", "p4"}));
  EXPECT_EQ(b.untaggedWaiting(), 0u);
  EXPECT_EQ(b.bytes(), before - 3 * COST);
  EXPECT_EQ(b.size(), 5u);
  // A requeued in-flight reading waits again and may now go to the disk.
  b.requeue(MqttBuffer::Blame::None);
  EXPECT_EQ(b.untaggedWaiting(), 1u);
  EXPECT_EQ(drainAll(b), (std::vector<std::string>{"p0", "p1", "online", "a", "e"}));
  EXPECT_EQ(b.untaggedWaiting(), 0u);
}

}  // namespace
}  // namespace ostrel
