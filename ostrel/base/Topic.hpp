#pragma once
// MQTT topics as the gateway and the node operations read them: split level by level, left to
// right, so that a topic of any length costs time linear in its length and no stack.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ostrel {

// Splits `topic` at '/' into `out`; returns the number of levels, or 0 when it has more levels
// than `out` holds. The levels are views into `topic`.
std::size_t splitTopic(std::string_view topic, std::span<std::string_view> out);

// One or more ASCII decimal digits, however many.
bool allDigits(std::string_view s);

// A UID level (allDigits, leading zeros allowed) as a 32-bit value; nullopt when it does not
// fit or is not all digits.
std::optional<std::uint32_t> parseUid(std::string_view digits);

}  // namespace ostrel
