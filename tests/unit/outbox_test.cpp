// The outbox: one order across memory, flight and disk; what a refusal, a lost connection or the
// broker's limits mean for a publication; what is dropped and counted.
#include "ostrel/mqtt/Outbox.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using Blame = MqttBuffer::Blame;
using Clock = Outbox::Clock;

// The disk in memory: what it holds, what it handed out, and the copies it keeps.
class FakeDisk : public Backlog {
 public:
  bool fits(const Publication& p) const override { return p.payload.size() < 1000; }
  void push(Publication p) override { queue.push_back({nextId++, std::move(p)}); }
  std::optional<std::uint64_t> pushCopy(const Publication& p) override {
    copies[nextId] = p.payload;
    return nextId++;
  }
  std::optional<Item> next() override {
    if (queue.empty()) return std::nullopt;
    Item i = std::move(queue.front());
    queue.pop_front();
    out.insert(i.id);
    return i;
  }
  void done(std::uint64_t id) override {
    out.erase(id);
    copies.erase(id);
  }
  bool empty() const override { return queue.empty(); }

  std::deque<Item> queue;
  std::set<std::uint64_t> out;
  std::map<std::uint64_t, std::string> copies;
  std::uint64_t nextId = 1;
};

Publication reading(const std::string& payload, const std::string& topic = "sensors/1/raw") {
  Publication p;
  p.topic = topic;
  p.payload = payload;
  p.qos = 1;
  return p;
}

Publication state(const std::string& topic, const std::string& payload) {
  Publication p = reading(payload, topic);
  p.retain = true;
  return p;
}

struct Rig {
  explicit Rig(OutboxOptions o = {}, bool withDisk = true) : box(o, withDisk ? &disk : nullptr) {
    box.note = [this](const std::string& line) { notes.push_back(line); };
  }
  void connect(BrokerLimits l = {}) {
    box.setConnected(l);
    box.setAway(false);
  }
  void lose(Blame blame, Clock::time_point now = Clock::now()) {
    box.setConnected(std::nullopt);
    box.connectionEnded(blame, now);
    box.setAway(true);
  }
  // Everything the outbox hands over now, acknowledged at once unless `hold`.
  std::vector<std::string> send(bool hold = false, Clock::time_point now = Clock::now()) {
    std::vector<std::string> got;
    while (auto n = box.next(now)) {
      got.push_back(n->second->payload);
      if (!hold)
        box.acked(n->first);
      else
        flying.push_back(n->first);
    }
    return got;
  }
  FakeDisk disk;
  Outbox box;
  std::vector<std::string> notes;
  std::vector<Outbox::Seq> flying;
};

std::vector<std::string> numbered(int from, int to) {
  std::vector<std::string> v;
  for (int i = from; i < to; ++i) v.push_back(std::to_string(i));
  return v;
}

TEST(Outbox, OneOrderAcrossFlightMemoryAndDisk) {
  Rig r({.window = 3, .highWater = 6});
  r.connect();
  for (int i = 0; i < 5; ++i) r.box.push(reading(std::to_string(i)));
  EXPECT_EQ(r.send(true), numbered(0, 3));  // the window: 0-2 in flight, 3-4 wait in memory
  r.lose(Blame::None);
  // Nothing waited on disk: what waits in memory (the three from the flight in front) moves
  // there, in order, and so does what comes meanwhile.
  EXPECT_EQ(r.box.size(), 0u);
  for (int i = 5; i < 8; ++i) r.box.push(reading(std::to_string(i)));
  EXPECT_EQ(r.disk.queue.size(), 8u);
  r.connect();
  // Past the high-water mark readings go to disk while connected too, and come back in order.
  for (int i = 8; i < 20; ++i) r.box.push(reading(std::to_string(i)));
  EXPECT_EQ(r.send(), numbered(0, 20));
  EXPECT_TRUE(r.disk.out.empty()) << "every record handed out is done with";
  EXPECT_TRUE(r.notes.empty());
}

TEST(Outbox, ReadingsInFlightWhenTheLinkGoesStayInFrontWithACopyOnDisk) {
  Rig r({.window = 2, .highWater = 4});
  r.connect();
  for (int i = 0; i < 4; ++i) r.box.push(reading(std::to_string(i)));
  EXPECT_EQ(r.send(true), numbered(0, 2));
  // The broker lags: past the high-water mark what waits in memory goes to disk, then the rest.
  for (int i = 4; i < 6; ++i) r.box.push(reading(std::to_string(i)));
  ASSERT_EQ(r.disk.queue.size(), 4u);
  r.lose(Blame::None);
  // Older than what waits on disk: they keep their place in memory, and a copy on disk survives
  // a kill.
  EXPECT_EQ(r.disk.copies.size(), 2u);
  r.box.push(reading("6"));
  r.connect();
  EXPECT_EQ(r.send(), numbered(0, 7));
  EXPECT_TRUE(r.disk.copies.empty()) << "a copy is done with once its original is delivered";
}

TEST(Outbox, RetainedStatesWaitOnePerTopicTheNewestAndNeverGoToDisk) {
  Rig r;
  r.lose(Blame::None);  // away from the start
  r.box.push(state("gw/1/status", "online"));
  r.box.push(reading("a"));
  r.box.push(state("gw/1/status", "offline"));
  r.box.push(state("gw/1/health", "h1"));
  r.box.push(state("gw/1/status", "online"));
  EXPECT_EQ(r.box.size(), 2u);
  EXPECT_EQ(r.disk.queue.size(), 1u);
  r.connect();
  auto sent = r.send();
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"a", "h1", "online"}));
}

// A lost connection blames what was in flight only when the broker says a packet was refused,
// or, without a reason, only a suspect that travelled alone and was closed on at once.
TEST(Outbox, StrikesOnlyForRefusals) {
  // A silent close with others in flight, then `n` more right after it went alone.
  auto quickSilentCloses = [](int n) {
    std::vector<std::pair<Blame, std::chrono::milliseconds>> ends{{Blame::Silent, 0ms}};
    ends.insert(ends.end(), n, {Blame::Silent, 100ms});
    return ends;
  };
  struct Row {
    const char* name;
    std::vector<std::pair<Blame, std::chrono::milliseconds>> ends;  // blame, time after sending
    std::size_t setAside;
  };
  const Row rows[] = {
      {"a network that drops twice", {{Blame::None, 0ms}, {Blame::None, 0ms}}, 0},
      {"a network that drops three times",
       {{Blame::None, 0ms}, {Blame::None, 0ms}, {Blame::None, 0ms}},
       0},
      {"a broker that refuses twice", {{Blame::Refusal, 0ms}, {Blame::Refusal, 0ms}}, 1},
      {"silent closes long after sending",
       {{Blame::Silent, 0ms}, {Blame::Silent, 5s}, {Blame::Silent, 5s}},
       0},
      {"a flaky network: five quick cuts right after a lone send", quickSilentCloses(5), 0},
      {"a broker that closes on it each time it goes alone", quickSilentCloses(6), 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig r({.window = 5});
    r.connect();
    r.box.push(reading("poison", "sensors/2/raw"));
    r.box.push(reading("other"));
    auto t = Clock::now();
    Blame before = Blame::None;
    for (auto [blame, after] : row.ends) {
      auto sent = r.send(true, t);
      // Once blamed or under suspicion, a publication travels alone.
      EXPECT_EQ(sent.size(), before == Blame::None ? 2u : 1u);
      EXPECT_EQ(sent.front(), "poison");
      t += after;
      r.lose(blame, t);
      r.connect();
      before = blame;
    }
    EXPECT_EQ(r.box.droppedCount(), row.setAside);
    EXPECT_EQ(r.notes.size(), row.setAside);
    if (row.setAside) {
      EXPECT_NE(r.notes[0].find("MQTT publication to sensors/2/raw (6 bytes) set aside"),
                std::string::npos)
          << r.notes[0];
    }
    // Whatever was not set aside is delivered in the end, "other" always.
    auto rest = r.send();
    EXPECT_EQ(rest.back(), "other");
    EXPECT_EQ(rest.size(), 2 - row.setAside);
  }
}

TEST(Outbox, AnUnacknowledgedFlightIsSentAgainInOrderWithoutBlame) {
  Rig r({.window = 3});
  r.connect();
  for (int i = 0; i < 5; ++i) r.box.push(reading(std::to_string(i)));
  auto t0 = Clock::now();
  EXPECT_EQ(r.send(true, t0), numbered(0, 3));
  EXPECT_EQ(r.box.oldestInflight(), t0);
  r.box.acked(r.flying[0]);
  // The acknowledgement time-out closes the connection: nothing is blamed, all goes again.
  r.lose(Blame::None, t0 + 60s);
  EXPECT_FALSE(r.box.oldestInflight());
  r.connect();
  EXPECT_EQ(r.send(false, t0 + 61s), numbered(1, 5));
  EXPECT_EQ(r.box.droppedCount(), 0u);
}

TEST(Outbox, WhatTheBrokerWouldRefuseIsSetAsideBeforeItIsSent) {
  struct Row {
    const char* name;
    BrokerLimits limits;
    Publication pub;
    const char* why;
  };
  Publication big = reading(std::string(600, 'x'));
  Publication retained = state("gw/1/status", "online");
  Publication qos1 = reading("q");
  const Row rows[] = {
      {"packet size",
       {.maxPacketSize = 500},
       big,
       "larger than the broker's maximum packet size of 500 bytes"},
      {"retain", {.retainAvailable = false}, retained, "the broker takes no retained publications"},
      {"QoS", {.maxQos = 0}, qos1, "the broker takes QoS 0 at most"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig r;
    r.connect(row.limits);
    r.box.push(row.pub);
    Publication next = reading("next");
    next.qos = 0;  // within every row's limits
    r.box.push(next);
    EXPECT_EQ(r.send(), (std::vector<std::string>{"next"}));
    ASSERT_EQ(r.notes.size(), 1u);
    EXPECT_NE(r.notes[0].find(row.why), std::string::npos) << r.notes[0];
    EXPECT_EQ(r.box.droppedCount(), 1u);
  }
  EXPECT_EQ(publishPacketSize(reading("abc", "t/x")), 2u + 2 + 3 + 2 + 1 + 3);
}

TEST(Outbox, ATopicRefusedAsNotAuthorizedPausesOnlyThatTopic) {
  Rig r({.refusedTopicPause = 60s});
  r.connect();
  auto t = Clock::now();
  r.box.push(reading("1", "sensors/9/raw"));
  auto n = r.box.next(t);
  ASSERT_TRUE(n);
  r.box.refused(n->first, 0x87, t);
  r.box.push(reading("2", "sensors/9/raw"));
  r.box.push(reading("3", "sensors/8/raw"));
  EXPECT_EQ(r.send(false, t + 1s), (std::vector<std::string>{"3"}));
  r.box.push(reading("4", "sensors/9/raw"));
  EXPECT_EQ(r.send(false, t + 61s), (std::vector<std::string>{"4"}));
  EXPECT_EQ(r.box.droppedCount(), 2u);
  EXPECT_EQ(r.notes.front(), "MQTT publication to sensors/9/raw refused: 135");
}

TEST(Outbox, DropsAreCountedOnceWhereverTheyHappen) {
  const std::size_t cost = MqttBuffer::cost(reading("00"));
  Rig r({.bufferBytes = 3 * cost}, false);  // no disk: memory holds three readings
  r.lose(Blame::None);
  for (int i = 10; i < 16; ++i) r.box.push(reading(std::to_string(i)));
  EXPECT_EQ(r.box.droppedCount(), 3u);
  EXPECT_EQ(r.box.takeRecentDrops(), 3u);
  EXPECT_EQ(r.box.takeRecentDrops(), 0u);
  r.connect({.maxPacketSize = 10});
  EXPECT_TRUE(r.send().empty());  // all three too big for this broker
  EXPECT_EQ(r.box.droppedCount(), 6u);
  EXPECT_EQ(r.box.deliveredCount(), 0u);
}

}  // namespace
}  // namespace ostrel
