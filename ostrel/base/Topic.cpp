#include "ostrel/base/Topic.hpp"

namespace ostrel {

std::size_t splitTopic(std::string_view topic, std::span<std::string_view> out) {
  std::size_t count = 0;
  for (;;) {
    if (count == out.size()) return 0;
    std::size_t slash = topic.find('/');
    out[count++] = topic.substr(0, slash);
    if (slash == std::string_view::npos) return count;
    topic.remove_prefix(slash + 1);
  }
}

bool allDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

std::optional<std::uint32_t> parseUid(std::string_view digits) {
  if (!allDigits(digits)) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : digits) {
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFULL) return std::nullopt;  // stops long before 64 bits could wrap
  }
  return static_cast<std::uint32_t>(v);
}

}  // namespace ostrel
