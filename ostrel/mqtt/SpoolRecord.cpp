#include "ostrel/mqtt/SpoolRecord.hpp"

#include <fmt/format.h>

#include <boost/crc.hpp>
#include <charconv>
#include <cstring>

#include "ostrel/mqtt/Spool.hpp"

namespace ostrel {
namespace spool {
namespace {

// A record: magic, body length, CRC-32 of the body (little-endian), then the body: flags (QoS in
// bits 0-1, retain in bit 2), topic length (16 bits), topic, payload. The magic's first byte
// never occurs in UTF-8 text, so a search for the next record after damage rarely stops inside
// a payload, and a false stop fails its checksum.
constexpr unsigned char MAGIC[4] = {0xF5, 0x8A, 0x0F, 0xD9};
constexpr std::size_t MAX_BODY = Spool::MAX_RECORD;
constexpr const char* SUFFIX = ".spool";
constexpr char MARK_MAGIC[4] = {'O', 'A', 'K', '1'};

void putLe(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t getLe(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[at + i]);
  return v;
}

std::uint32_t crc32(const char* data, std::size_t n) {
  boost::crc_32_type crc;
  crc.process_bytes(data, n);
  return crc.checksum();
}

}  // namespace

std::optional<std::size_t> recordAt(std::string_view buf, std::size_t at) {
  if (buf.size() - at < HEADER || std::memcmp(buf.data() + at, MAGIC, 4) != 0) return std::nullopt;
  std::size_t len = getLe(buf, at + 4, 4);
  if (len < 3 || len > MAX_BODY || buf.size() - at - HEADER < len) return std::nullopt;
  if (crc32(buf.data() + at + HEADER, len) != getLe(buf, at + 8, 4)) return std::nullopt;
  if (getLe(buf, at + HEADER + 1, 2) > len - 3) return std::nullopt;
  return HEADER + len;
}

// Searching damage costs a checksum per candidate; once the budget is spent the rest counts as
// damaged.
std::optional<std::pair<std::size_t, std::size_t>> findRecord(std::string_view buf, std::size_t at,
                                                              std::size_t& budget) {
  while (at < buf.size()) {
    if (auto len = recordAt(buf, at)) return std::make_pair(at, *len);
    if (buf.size() - at >= HEADER && std::memcmp(buf.data() + at, MAGIC, 4) == 0) {
      std::size_t tried = std::min<std::size_t>(getLe(buf, at + 4, 4), buf.size() - at);
      if (tried > budget) return std::nullopt;
      budget -= tried;
    }
    auto next = buf.find(static_cast<char>(MAGIC[0]), at + 1);
    if (next == std::string_view::npos) return std::nullopt;
    at = next;
  }
  return std::nullopt;
}

std::size_t searchBudget(std::size_t bytes) {
  return 4 * bytes + MAX_BODY;
}

Publication decode(std::string_view buf, std::size_t at, std::size_t len) {
  Publication p;
  const std::size_t body = at + HEADER;
  auto flags = static_cast<unsigned char>(buf[body]);
  p.qos = flags & 3;
  p.retain = (flags & 4) != 0;
  std::size_t topicLen = getLe(buf, body + 1, 2);
  p.topic.assign(buf.substr(body + 3, topicLen));
  p.payload.assign(buf.substr(body + 3 + topicLen, len - HEADER - 3 - topicLen));
  return p;
}

std::string segmentName(std::uint64_t seq) {
  return fmt::format("{:020}{}", seq, SUFFIX);
}

std::optional<std::uint64_t> parseSegmentName(std::string_view name) {
  if (name.size() != 20 + std::strlen(SUFFIX) || !name.ends_with(SUFFIX)) return std::nullopt;
  if (name.find_first_not_of("0123456789") != 20) return std::nullopt;
  std::uint64_t seq = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + 20, seq);
  if (ec != std::errc() || seq == UINT64_MAX) return std::nullopt;
  return seq;
}

// Magic, sequence number, offset, inode (little-endian), then the CRC-32 of those 28 bytes.
std::string encodeMark(const Mark& m) {
  std::string out(MARK_MAGIC, sizeof MARK_MAGIC);
  putLe(out, m.seq, 8);
  putLe(out, m.offset, 8);
  putLe(out, m.inode, 8);
  putLe(out, crc32(out.data(), out.size()), 4);
  return out;
}

std::optional<Mark> decodeMark(std::string_view b) {
  if (b.size() != MARK_SIZE || std::memcmp(b.data(), MARK_MAGIC, sizeof MARK_MAGIC) != 0 ||
      crc32(b.data(), MARK_SIZE - 4) != getLe(b, MARK_SIZE - 4, 4))
    return std::nullopt;
  return Mark{getLe(b, 4, 8), getLe(b, 12, 8), getLe(b, 20, 8)};
}

}  // namespace spool

std::string encodeSpoolRecord(const Publication& p) {
  std::string body;
  body.reserve(3 + p.topic.size() + p.payload.size());
  body.push_back(static_cast<char>((p.qos & 3) | (p.retain ? 4 : 0)));
  spool::putLe(body, p.topic.size(), 2);
  body += p.topic;
  body += p.payload;
  std::string out(reinterpret_cast<const char*>(spool::MAGIC), 4);
  spool::putLe(out, body.size(), 4);
  spool::putLe(out, spool::crc32(body.data(), body.size()), 4);
  return out + body;
}

}  // namespace ostrel
