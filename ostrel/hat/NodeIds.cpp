#include "ostrel/hat/NodeIds.hpp"

#include <fmt/format.h>

#include "ostrel/base/Log.hpp"

namespace ostrel {

void NodeIds::set(long long uid, int nodeId) {
  auto it = index_.find(uid);
  if (it != index_.end()) {
    entries_[it->second].second = nodeId;
    return;
  }
  if (entries_.size() >= MAX_ENTRIES) {
    if (!std::exchange(fullTold_, true))
      logf("More than {} sensor UIDs heard: the node IDs of the rest are not kept", MAX_ENTRIES);
    return;
  }
  index_.emplace(uid, entries_.size());
  entries_.emplace_back(uid, nodeId);
}

void NodeIds::remove(long long uid) {
  auto it = index_.find(uid);
  if (it == index_.end()) return;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(it->second));
  index_.clear();
  for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

void NodeIds::clear() {
  entries_.clear();
  index_.clear();
}

std::optional<int> NodeIds::find(long long uid) const {
  auto it = index_.find(uid);
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].second;
}

std::string NodeIds::repr() const {
  std::string s = "{";
  for (std::size_t i = 0; i < entries_.size(); ++i)
    s += fmt::format("{}{}: {}", i ? ", " : "", entries_[i].first, entries_[i].second);
  return s + "}";
}

}  // namespace ostrel
