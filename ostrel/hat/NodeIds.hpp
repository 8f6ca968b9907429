#pragma once
// The radio node ID of each sensor UID: learnt from the sensor's readings, used to address it by
// the node operations. One map for the process (the gateway owns it and hands it to each protocol
// object), in the order the UIDs were first seen. Event-loop thread only.
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ostrel {

class NodeIds {
 public:
  using Entries = std::vector<std::pair<long long, int>>;
  // UIDs kept at most: a line that makes up UIDs must not grow the map without end.
  static constexpr std::size_t MAX_ENTRIES = 10000;

  // Adds an entry, or replaces the node ID in place (keeping the entry's position). A new UID
  // beyond MAX_ENTRIES is not kept (said once).
  void set(long long uid, int nodeId);
  void remove(long long uid);
  void clear();
  std::optional<int> find(long long uid) const;
  const Entries& entries() const { return entries_; }
  // {1001: 7, 1002: 9}; {} when empty.
  std::string repr() const;

 private:
  Entries entries_;
  std::unordered_map<long long, std::size_t> index_;
  bool fullTold_ = false;
};

}  // namespace ostrel
