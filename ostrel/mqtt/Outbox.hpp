#pragma once
// Everything the gateway owes the broker, in one order: publications waiting in memory, those in
// flight, and readings waiting on disk. The outbox decides what goes to disk and when it comes
// back, what is sent next, and what a refusal or a lost connection means for what was in flight.
// Pure logic on the event loop: the connection and the disk belong to others.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "ostrel/mqtt/MqttBuffer.hpp"
#include "ostrel/mqtt/MqttClient.hpp"

namespace ostrel {

// The disk queue as the outbox uses it: the spool, or a fake in tests.
class Backlog {
 public:
  struct Item {
    std::uint64_t id;
    Publication pub;
  };
  virtual ~Backlog() = default;
  virtual bool fits(const Publication& p) const = 0;
  virtual void push(Publication p) = 0;
  // A durable copy of a publication that stays in memory; never handed out in this process.
  virtual std::optional<std::uint64_t> pushCopy(const Publication& p) = 0;
  // The oldest record not yet handed out, if it can be had now.
  virtual std::optional<Item> next() = 0;
  virtual void done(std::uint64_t id) = 0;
  virtual bool empty() const = 0;
};

struct OutboxOptions {
  std::size_t window = 10;  // publications in flight at once
  // Publications owed in memory above which new readings go to disk even while connected.
  std::size_t highWater = 1000;
  std::size_t bufferBytes = 8 * 1024 * 1024;
  // A topic the broker refused as not authorized is not sent again for this long: some brokers
  // close the connection after each such refusal.
  std::chrono::seconds refusedTopicPause{60};
};

class Outbox {
 public:
  using Clock = std::chrono::steady_clock;
  using Seq = std::uint64_t;

  Outbox(OutboxOptions options, Backlog* disk);
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  void setBufferBytes(std::size_t bytes) { buf_.setLimit(bytes); }
  // Lines about single publications (set aside, refused): the owner throttles them.
  std::function<void(const std::string&)> note;

  void push(Publication p);

  // Whether the broker counts as away: an attempt failed or hangs, or the connection went. While
  // it is, readings go to disk, and those waiting in memory are made safe there.
  void setAway(bool away);
  bool away() const { return away_; }
  // The limits of the connection now up; nullopt while there is none.
  void setConnected(std::optional<BrokerLimits> limits) { limits_ = limits; }

  // The next publication to hand over, now in flight; nullopt when none may go now. On the way,
  // readings come back from disk while memory has room, and a publication that the broker's
  // limits would refuse is set aside.
  std::optional<std::pair<Seq, const Publication*>> next(Clock::time_point now = Clock::now());
  // Not handed over after all: it waits again, in its place.
  void untake(Seq seq) { buf_.untake(seq); }
  // The broker has it.
  void acked(Seq seq) { buf_.delivered(seq); }
  // The link would not take it: dropped and counted.
  void discard(Seq seq) { buf_.refused(seq); }
  // The broker answered it with the reason code `reason` (0x80 or above): dropped and counted.
  void refused(Seq seq, int reason, Clock::time_point now = Clock::now());
  // The connection ended: what was in flight waits again, in front (see MqttBuffer::Blame).
  void connectionEnded(MqttBuffer::Blame blame, Clock::time_point now = Clock::now());

  std::size_t size() const { return buf_.size(); }
  std::size_t bytes() const { return buf_.bytes(); }
  std::size_t inflight() const { return buf_.inflight(); }
  std::optional<Clock::time_point> oldestInflight() const { return buf_.oldestInflight(); }
  bool overHighWater() const { return buf_.size() >= opt_.highWater; }
  std::uint64_t deliveredCount() const { return buf_.deliveredCount(); }
  std::uint64_t droppedCount() const { return buf_.droppedCount(); }
  std::uint64_t takeRecentDrops() { return buf_.takeRecentDrops(); }
  // What the reason code means, for the log: "Not authorized" and the like.
  std::function<std::string(int)> reasonText = [](int r) { return std::to_string(r); };

 private:
  bool toDisk(const Publication& p) const;
  // Readings waiting in memory go to disk: moved while nothing waits there (their order is
  // kept), otherwise copied (they stay in front, in memory, and the copy guards against a kill).
  void secureWaiting();
  void refill();
  // Why the broker would refuse `p` over this connection; empty when it would not.
  std::string breaksLimits(const Publication& p, Clock::time_point now) const;
  void setAside(Seq seq, const Publication& p, const std::string& why);

  OutboxOptions opt_;
  Backlog* disk_;
  MqttBuffer buf_;
  bool away_ = true;
  std::optional<BrokerLimits> limits_;
  std::unordered_map<std::string, Clock::time_point> refusedTopics_;  // until when
};

// Bytes a PUBLISH of `p` takes on the wire (MQTT 5, with a packet identifier for QoS 1 and 2).
std::size_t publishPacketSize(const Publication& p);

}  // namespace ostrel
