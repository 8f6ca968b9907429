#pragma once
// The publications the gateway owes the broker: everything not yet handed to the MQTT library and
// everything handed over but not yet acknowledged, in publication order. Bounded in bytes. A
// retained publication is state, not an event: at most one per topic waits to be sent, the newest.
// Used on the event-loop thread only.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ostrel {

struct Publication {
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
  std::string correlation;    // MQTT 5 correlation data of an answer; empty: none
  std::uint32_t expiry = 0;   // MQTT 5 message expiry interval in seconds; 0: none
  std::string responseTopic;  // MQTT 5 response topic of a request; empty: none
};

class MqttBuffer {
 public:
  static constexpr std::size_t DEFAULT_LIMIT = 8 * 1024 * 1024;
  // What one entry costs beyond its topic and payload (map node, strings, bookkeeping).
  static constexpr std::size_t ENTRY_OVERHEAD = 128;
  // What one publication costs against the limit: every byte it holds.
  static std::size_t cost(const Publication& p) {
    return p.topic.size() + p.payload.size() + p.correlation.size() + ENTRY_OVERHEAD;
  }

  explicit MqttBuffer(std::size_t byteLimit = DEFAULT_LIMIT) : limit_(byteLimit) {}

  void setLimit(std::size_t byteLimit);

  // Appends `p`; a retained one replaces the waiting one of its topic. Over the bound the oldest
  // waiting reports (retained at QoS 0: health, sensor status, discovery) go first, then, for a
  // new reading only, the oldest waiting readings. Retained QoS 1 states (availability, firmware
  // revision) are kept: one per topic at most. Returns how many
  // were dropped; only readings count in droppedCount().
  // A non-zero `tag` (where the entry is kept on disk) is handed to onRelease once the entry
  // leaves the buffer, however it leaves: delivered, refused, set aside or pushed out.
  std::size_t push(Publication p, std::uint64_t tag = 0);
  std::function<void(std::uint64_t tag)> onRelease;

  // A reading with nothing bound to this connection or this moment: it may wait on disk.
  static bool spoolable(const Publication& p) {
    return !p.retain && p.correlation.empty() && p.expiry == 0 && p.responseTopic.empty();
  }
  // Spoolable publications without a tag that wait (not in flight).
  std::size_t untaggedWaiting() const { return untaggedWaiting_; }
  // Removes those and returns them, oldest first; those struck or under suspicion stay.
  std::vector<Publication> takeUntaggedWaiting();
  // Gives each of those, oldest first, the tag `copy` returns for it (none: it stays untagged).
  void tagUntaggedWaiting(
      const std::function<std::optional<std::uint64_t>(const Publication&)>& copy);

  using Clock = std::chrono::steady_clock;
  // The oldest waiting entry, now in flight since `now`; none when `window` entries are in
  // flight already. An entry under suspicion (see requeue) travels alone.
  std::optional<std::pair<std::uint64_t, const Publication*>> takeNext(
      std::size_t window, Clock::time_point now = Clock::now());
  // `seq` did not leave: it waits again, in its place.
  void untake(std::uint64_t seq);
  // The broker has it (PUBACK, or written for QoS 0).
  void delivered(std::uint64_t seq);
  // The broker refused it: dropped and counted.
  void refused(std::uint64_t seq);
  // The publication of `seq`, while it is owed.
  const Publication* find(std::uint64_t seq) const {
    auto it = entries_.find(seq);
    return it == entries_.end() ? nullptr : &it->second.pub;
  }
  // When the oldest entry in flight was sent.
  std::optional<Clock::time_point> oldestInflight() const;

  // Who the end of a connection points at.
  enum class Blame {
    None,     // us, the network, a time-out: nothing in flight is to blame
    Refusal,  // the broker closed with a reason that names a packet: each entry in flight
    Silent,   // the broker closed without a reason, which some do on a packet they refuse
  };
  // The connection ended: what was in flight waits again, ahead of everything newer. With
  // Refusal each such entry gets a strike. With Silent each comes under suspicion and from then
  // on travels alone; one that was alone in flight, sent less than SUSPECT_WINDOW before, gets
  // a strike at every SILENT_CLOSES_PER_STRIKE-th such close. An entry with its second strike is
  // dropped, counted and returned: a publication the broker answers by closing the connection
  // would otherwise close every connection to come, while a network that drops a few times in
  // a row, even right after a send, blames nothing.
  std::vector<Publication> requeue(Blame blame, Clock::time_point now = Clock::now());
  static constexpr std::chrono::seconds SUSPECT_WINDOW{2};
  static constexpr int SILENT_CLOSES_PER_STRIKE = 3;

  std::size_t inflight() const { return inflight_; }
  std::size_t size() const { return entries_.size(); }
  std::size_t bytes() const { return bytes_; }
  // Publications that are not retained (readings, answers) the broker has.
  std::uint64_t deliveredCount() const { return delivered_; }
  std::uint64_t droppedCount() const { return dropped_; }
  // Drops since the last call (for the once-a-second summary).
  std::uint64_t takeRecentDrops() { return std::exchange(recentDrops_, 0); }

 private:
  struct Entry {
    Publication pub;
    bool inflight = false;
    int strikes = 0;
    std::uint64_t tag = 0;
    bool suspect = false;
    int silentCloses = 0;  // closes without a reason right after it was sent alone
    Clock::time_point sentAt{};
    bool alone() const { return strikes > 0 || suspect; }
  };
  static bool untagged(const Entry& e) { return e.tag == 0 && spoolable(e.pub); }
  using Iter = std::map<std::uint64_t, Entry>::iterator;
  enum Kind { READING, REPORT, STATE };
  static Kind kind(const Publication& p);
  void wait(Iter it);  // marks a not-in-flight entry as waiting (indexes)
  void erase(Iter it);
  std::size_t shed(bool byStatus);
  std::size_t dropFrom(std::set<std::uint64_t>& from);

  std::size_t limit_;
  std::map<std::uint64_t, Entry> entries_;  // by sequence number: publication order
  std::set<std::uint64_t> waiting_[3];      // by kind, oldest first
  std::unordered_map<std::string, std::uint64_t> retainedByTopic_;  // waiting ones only
  std::uint64_t nextSeq_ = 1;
  std::size_t bytes_ = 0;
  std::size_t inflight_ = 0;
  std::size_t aloneInflight_ = 0;
  std::size_t untaggedWaiting_ = 0;
  std::uint64_t delivered_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t recentDrops_ = 0;
};

}  // namespace ostrel
