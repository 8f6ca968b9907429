// The hat's side of the wire: frame lengths, time stamps, the hello, frame descriptions.
#include <fmt/format.h>

#include <algorithm>

#include "tools/hatsim/HatSim.hpp"

namespace ostrel::hatsim {
namespace {

using UtcMicros = std::chrono::sys_time<std::chrono::microseconds>;
using namespace std::chrono;

// Gateway-to-hat codes: total length, or 0 for "code, length byte L, L bytes".
struct CodeInfo {
  const char* code;
  std::size_t length;
};
constexpr CodeInfo kCodes[] = {{"LS", 8},  {"PS", 51}, {"TC", 2}, {"SC", 2},  {"RT", 2},
                               {"ST", 11}, {"SR", 4},  {"RF", 3}, {"PK", 38}, {"PM", 4},
                               {"TX", 0},  {"PP", 0},  {"TB", 0}};

std::uint8_t bcd(int v) {
  return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
}

}  // namespace

Bytes encodeStamp(UtcMicros t) {
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss hms{floor<milliseconds>(t - day)};
  // Years before 1900 have no encoding; a tens count above 15 does not fit its nibble.
  const int sinceEpoch = std::max(0, static_cast<int>(ymd.year()) - 1900);
  Bytes out;
  out.push_back(static_cast<std::uint8_t>((((sinceEpoch / 10) & 0x0F) << 4) | (sinceEpoch % 10)));
  out.push_back(bcd(static_cast<int>(static_cast<unsigned>(ymd.month()))));
  out.push_back(bcd(static_cast<int>(static_cast<unsigned>(ymd.day()))));
  out.push_back(bcd(static_cast<int>(hms.seconds().count())));
  out.push_back(bcd(static_cast<int>(hms.minutes().count())));
  out.push_back(bcd(static_cast<int>(hms.hours().count())));
  const auto ms = hms.subseconds().count();
  out.push_back(static_cast<std::uint8_t>(ms >> 8));
  out.push_back(static_cast<std::uint8_t>(ms & 0xFF));
  return out;
}

Bytes helloMessage(const Options& o) {
  Bytes out = toBytes("HL");
  out.push_back(static_cast<std::uint8_t>(o.version));
  putBe32(out, o.fwRevision);
  putBe32(out, o.uniqueId);
  out.insert(out.end(), {o.boardType, o.hwMajor, o.hwMinor, o.hwPatch, o.buildDay, o.buildMonth});
  out.push_back(static_cast<std::uint8_t>(o.buildYear & 0xFF));  // the one little-endian field
  out.push_back(static_cast<std::uint8_t>(o.buildYear >> 8));
  out.push_back(o.radioSettings);
  std::string serial = o.serial.substr(0, 12);
  serial.resize(12, ' ');
  append(out, serial);
  out.push_back(0);
  return out;
}

std::uint8_t checksum(ByteView covered) {
  unsigned sum = 0;
  for (auto b : covered) sum += b;
  return static_cast<std::uint8_t>((~sum + 1) & 0xFF);
}

Scan scanFrame(ByteView buf, std::size_t& length) {
  if (buf.size() < 2) return Scan::NeedMore;
  for (const auto& info : kCodes) {
    if (buf[0] != info.code[0] || buf[1] != info.code[1]) continue;
    if (info.length == 0) {
      if (buf.size() < 3) return Scan::NeedMore;
      length = 3 + buf[2];
    } else {
      length = info.length;
    }
    return buf.size() >= length ? Scan::Complete : Scan::NeedMore;
  }
  return Scan::Unknown;
}

std::string describeFrame(const Frame& f) {
  const Bytes& b = f.bytes;
  const ByteView v(b);
  auto rest = [&](std::size_t from) { return hexString(v.subspan(std::min(from, v.size()))); };
  try {
    if (f.code == "r") return "r (run app)";
    if (f.code == "LS") return fmt::format("LS nodeId={} networkId={}", b.at(2), b.at(3));
    if (f.code == "PS")
      return fmt::format("PS localStartup={} uid={} peerStartup={} peerMsgCounter={} key={}",
                         getBe32(v, 2), getBe32(v, 7), getBe32(v, 11), getBe32(v, 15), rest(19));
    if (f.code == "ST")
      return fmt::format("ST {:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} weekday={}", 1900 + b.at(5),
                         b.at(4), b.at(3), b.at(6), b.at(7), b.at(8), getBe16(v, 9), b.at(2));
    if (f.code == "SR")
      return fmt::format("SR offset={}", static_cast<std::int16_t>(getBe16(v, 2)));
    if (f.code == "RF") return fmt::format("RF threshold=-{}", b.at(2));
    if (f.code == "PK") {
      const bool remove = std::all_of(b.begin() + 6, b.end(), [](auto c) { return c == 0; });
      return remove ? fmt::format("PK uid={} remove", getBe32(v, 2))
                    : fmt::format("PK uid={} key={}", getBe32(v, 2), rest(6));
    }
    if (f.code == "PM") return fmt::format("PM node={} mode={}", b.at(2), b.at(3));
    if (f.code == "TX" && b.size() >= 9)
      return fmt::format("TX len={} key={} toid={} payload={}", b[2], getBe16(v, 3), getBe32(v, 5),
                         rest(9));
    if (f.code == "PP" && b.size() >= 7)
      return fmt::format("PP len={} key={} record={}", b[2], getBe32(v, 3), rest(7));
    if (f.code == "TB" && b.size() >= 7)
      return fmt::format("TB msgId={} timeout={} node={} chunk={} checksum {}", b[3], b[4], b[5],
                         hexString(v.subspan(6, b.size() - 7)), f.checksumOk ? "ok" : "BAD");
  } catch (const std::exception&) {
    // Too short for its fields: fall through to the plain form.
  }
  return b.size() > 2 ? fmt::format("{} {}", f.code, rest(2)) : f.code;
}

}  // namespace ostrel::hatsim
