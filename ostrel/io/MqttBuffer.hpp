#pragma once
// The publications a gateway owes the broker: everything not yet handed to the MQTT library and
// everything handed over but not yet acknowledged. It is bounded in bytes and outlives the
// client that fills it, so that a restarted client sends what its predecessor left, in order.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace ostrel {

struct Publication {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
  std::string correlation;  // MQTT 5 correlation data of an answer; empty: none
};

class MqttBuffer {
 public:
  static constexpr std::size_t DEFAULT_LIMIT = 8 * 1024 * 1024;
  // What one entry costs beyond its topic and payload (map node, strings, bookkeeping).
  static constexpr std::size_t ENTRY_OVERHEAD = 128;

  explicit MqttBuffer(std::size_t byteLimit = DEFAULT_LIMIT) : limit_(byteLimit) {}

  void setLimit(std::size_t byteLimit);

  // Appends `p`. When the bound is exceeded, the oldest retained-free entries not in flight go
  // first (the new one last); retained publications are always kept. Returns how many were
  // dropped.
  std::size_t push(Publication p);

  // The oldest entry not in flight, now marked in flight under connection `gen`.
  struct Out {
    std::uint64_t seq;
    Publication pub;
  };
  std::optional<Out> takeNext(std::uint64_t gen);
  // `seq` did not leave on connection `gen`: it is taken again later.
  void untake(std::uint64_t seq, std::uint64_t gen);

  // The broker has it (PUBACK, or written for QoS 0): no longer owed, whichever connection sent
  // it.
  void delivered(std::uint64_t seq);
  // The broker refused it: dropped and counted.
  void refused(std::uint64_t seq);
  // A connection ended: what was in flight on it is owed again, ahead of everything newer.
  // Returns how many were dropped to make room for them.
  std::size_t requeue(std::uint64_t gen);

  std::uint64_t newGeneration();

  std::size_t inflight(std::uint64_t gen) const;
  std::size_t size() const;
  std::size_t bytes() const;
  std::uint64_t deliveredCount() const;
  std::uint64_t droppedCount() const;
  // Drops since the last call (for the once-a-second summary).
  std::uint64_t takeRecentDrops();

 private:
  struct Entry {
    Publication pub;
    std::uint64_t gen = 0;  // 0: not in flight
  };
  static std::size_t cost(const Publication& p) {
    return p.topic.size() + p.payload.size() + ENTRY_OVERHEAD;
  }
  void erase(std::map<std::uint64_t, Entry>::iterator it);
  std::size_t dropOldest();

  mutable std::mutex m_;
  std::size_t limit_;
  std::map<std::uint64_t, Entry> entries_;         // by sequence number: publication order
  std::map<std::uint64_t, std::size_t> inflight_;  // per connection
  std::uint64_t nextSeq_ = 1;
  std::uint64_t nextGen_ = 1;
  std::size_t bytes_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t recentDrops_ = 0;
};

}  // namespace ostrel
