#pragma once
// How the spool stores things: records and the search for the next intact one past damage,
// segment names, and the small file that says how far everything is done. Everything read back
// is untrusted: parsing is bounded and linear in the bytes given.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "ostrel/mqtt/MqttBuffer.hpp"

namespace ostrel::spool {

constexpr std::size_t HEADER = 12;
// No segment this gateway writes is larger: a bigger file is not ours, and is not read.
constexpr std::size_t MAX_FILE = 4 * 1024 * 1024;
constexpr const char* MARK_NAME = "acked.mark";

// The record at `at` when one is whole and intact there: its total length.
std::optional<std::size_t> recordAt(std::string_view buf, std::size_t at);
// The next intact record at or after `at`: its start and length; nullopt when none follows.
// `budget` (bytes checksummed in vain) bounds the search; searchBudget() keeps a whole buffer's
// search linear in its size.
std::optional<std::pair<std::size_t, std::size_t>> findRecord(std::string_view buf, std::size_t at,
                                                              std::size_t& budget);
std::size_t searchBudget(std::size_t bytes);
Publication decode(std::string_view buf, std::size_t at, std::size_t len);

// "00000000000000000042.spool"; nullopt for any other name (and for the one sequence number
// with no successor).
std::string segmentName(std::uint64_t seq);
std::optional<std::uint64_t> parseSegmentName(std::string_view name);

// Every record before `offset` in segment `seq` is done, and so is every segment before it.
// `inode` ties the mark to that very file: a mark that outlived its segment is worth nothing.
struct Mark {
  std::uint64_t seq = 0;
  std::uint64_t offset = 0;
  std::uint64_t inode = 0;
  bool operator==(const Mark&) const = default;
};
constexpr std::size_t MARK_SIZE = 32;
std::string encodeMark(const Mark& m);
// nullopt for anything but a whole, intact mark (a torn write fails its checksum).
std::optional<Mark> decodeMark(std::string_view bytes);

}  // namespace ostrel::spool
