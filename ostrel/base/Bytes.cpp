#include "ostrel/base/Bytes.hpp"

#include "ostrel/base/Log.hpp"

#include <fmt/format.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace ostrel {

std::uint16_t getBe16(ByteView b, std::size_t off) {
  // Compared without adding to `off`, which could wrap round.
  if (off > b.size() || b.size() - off < 2)
    throw DecodeError(fmt::format("need 2 bytes at offset {}, have {}", off, b.size()));
  return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}

std::uint32_t getBe32(ByteView b, std::size_t off) {
  // Compared without adding to `off`, which could wrap round.
  if (off > b.size() || b.size() - off < 4)
    throw DecodeError(fmt::format("need 4 bytes at offset {}, have {}", off, b.size()));
  return (std::uint32_t{b[off]} << 24) | (std::uint32_t{b[off + 1]} << 16) |
         (std::uint32_t{b[off + 2]} << 8) | std::uint32_t{b[off + 3]};
}

static void checkRange(long long v, long long lo, long long hi, const char* what) {
  if (v < lo || v > hi)
    throw EncodeError(fmt::format("{} {} does not fit {}..{}", what, v, lo, hi));
}

void putU8(Bytes& out, long long v, const char* what) {
  checkRange(v, 0, 0xFF, what);
  out.push_back(static_cast<std::uint8_t>(v));
}

void putBe16(Bytes& out, long long v, const char* what) {
  checkRange(v, 0, 0xFFFF, what);
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void putS16(Bytes& out, long long v, const char* what) {
  checkRange(v, -32768, 32767, what);
  auto u = static_cast<std::uint16_t>(static_cast<std::int16_t>(v));
  out.push_back(static_cast<std::uint8_t>(u >> 8));
  out.push_back(static_cast<std::uint8_t>(u));
}

void putBe32(Bytes& out, long long v, const char* what) {
  checkRange(v, 0, 0xFFFFFFFFLL, what);
  out.push_back(static_cast<std::uint8_t>(v >> 24));
  out.push_back(static_cast<std::uint8_t>(v >> 16));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

void append(Bytes& out, ByteView b) {
  out.insert(out.end(), b.begin(), b.end());
}
void append(Bytes& out, std::string_view s) {
  out.insert(out.end(), s.begin(), s.end());
}

static std::string reprBody(ByteView b, bool namedControls) {
  // Python's choice of quote: single unless the text holds ' and no ".
  bool hasSingle = false, hasDouble = false;
  for (auto c : b) {
    hasSingle |= c == '\'';
    hasDouble |= c == '"';
  }
  char q = (hasSingle && !hasDouble) ? '"' : '\'';
  std::string s = "b";
  s += q;
  for (auto c : b) {
    if (c == q || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
    } else if (namedControls && c == '\t') {
      s += "\\t";
    } else if (namedControls && c == '\n') {
      s += "\\n";
    } else if (namedControls && c == '\r') {
      s += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      s += fmt::format("\\x{:02x}", c);
    }
  }
  s += q;
  return s;
}

std::string bytesRepr(ByteView b) {
  return reprBody(b, false);
}
std::string byteArrayRepr(ByteView b) {
  return "bytearray(" + reprBody(b, true) + ")";
}

std::string byteList(ByteView b) {
  std::string s = "[";
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(b[i]);
  }
  s += ']';
  return s;
}

std::string floatRepr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  // The plain to_chars form picks exponent notation whenever it is shorter ("1e+05"); like
  // Python, use positional notation for exponents -4..15 and exponent notation outside.
  auto [sciEnd, sciEc] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(sciEnd - buf));
  // The buffer has no terminating NUL: parse the exponent within the written characters only.
  const char* e = sci.data() + sci.find('e') + 1;
  if (*e == '+') ++e;
  int exp = 0;
  std::from_chars(e, sci.data() + sci.size(), exp);
  if (exp >= -4 && exp < 16) {
    auto [fixEnd, fixEc] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    sciEnd = fixEnd;
  }
  std::string s(buf, sciEnd);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

double roundTo2(double v) {
  // printf rounds the exact binary value; reading it back gives the nearest double.
  return std::strtod(fmt::format("{:.2f}", v).c_str(), nullptr);
}

std::string hexString(ByteView b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (auto c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

Bytes fromHex(std::string_view s) {
  Bytes out;
  auto val = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::size_t i = 0;
  while (i < s.size()) {
    if (std::isspace(static_cast<unsigned char>(s[i]))) {
      ++i;
      continue;
    }
    if (i + 1 >= s.size() || val(s[i]) < 0 || val(s[i + 1]) < 0)
      throw std::invalid_argument(fmt::format("not hex text: '{}'", s));
    out.push_back(static_cast<std::uint8_t>(val(s[i]) * 16 + val(s[i + 1])));
    i += 2;
  }
  return out;
}

std::string decodeUtf8Lossy(ByteView b) {
  std::string out;
  out.reserve(b.size());
  std::size_t i = 0;
  while (i < b.size()) {
    unsigned c = b[i];
    std::size_t len = c < 0x80         ? 1
                      : (c >> 5) == 6  ? 2
                      : (c >> 4) == 14 ? 3
                      : (c >> 3) == 30 ? 4
                                       : 0;
    if (len == 0 || i + len > b.size()) {
      ++i;
      continue;
    }
    bool ok = true;
    for (std::size_t k = 1; k < len; ++k) ok &= (b[i + k] & 0xC0) == 0x80;
    if (ok && len > 1) {
      // Reject overlong forms and surrogates as a strict decoder does.
      unsigned cp = c & (0x7F >> len);
      for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (b[i + k] & 0x3F);
      static const unsigned minCp[] = {0, 0, 0x80, 0x800, 0x10000};
      ok = cp >= minCp[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (!ok) {
      ++i;
      continue;
    }
    out.append(reinterpret_cast<const char*>(&b[i]), len);
    i += len;
  }
  return out;
}

bool isAscii(ByteView b) {
  for (auto c : b)
    if (c >= 0x80) return false;
  return true;
}

static std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string escapeControl(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c == 0x7f)
      out += fmt::format("\\x{:02x}", c);
    else
      out += ch;
  }
  return out;
}

long long parseInteger(std::string_view s) {
  auto t = trim(s);
  // Accept one leading '+', but not a second sign after it.
  if (!t.empty() && t.front() == '+') {
    t.remove_prefix(1);
    if (!t.empty() && (t.front() == '-' || t.front() == '+')) t = {};
  }
  long long v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || ec != std::errc() || p != t.data() + t.size())
    throw std::invalid_argument(fmt::format("invalid integer: {}", excerpt(s)));
  return v;
}

double parseDouble(std::string_view s) {
  auto t = trim(s);
  // Accept one leading '+', but not a second sign after it.
  if (!t.empty() && t.front() == '+') {
    t.remove_prefix(1);
    if (!t.empty() && (t.front() == '-' || t.front() == '+')) t = {};
  }
  double v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || ec == std::errc::invalid_argument || p != t.data() + t.size())
    throw std::invalid_argument(fmt::format("invalid number: {}", excerpt(s)));
  if (ec == std::errc::result_out_of_range) v = (t.front() == '-') ? -HUGE_VAL : HUGE_VAL;
  return v;
}

std::string isoUtc(std::chrono::sys_time<std::chrono::microseconds> t) {
  using namespace std::chrono;
  auto dp = floor<days>(t);
  year_month_day ymd{dp};
  hh_mm_ss hms{t - dp};
  auto us = hms.subseconds().count();
  std::string s = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", int(ymd.year()),
                              unsigned(ymd.month()), unsigned(ymd.day()), hms.hours().count(),
                              hms.minutes().count(), hms.seconds().count());
  if (us) s += fmt::format(".{:06}", us);
  return s + "+00:00";
}

std::string isoLocalMillis(std::chrono::sys_time<std::chrono::microseconds> t) {
  using namespace std::chrono;
  auto secs = floor<seconds>(t);
  std::time_t tt = system_clock::to_time_t(secs);
  std::tm tm{};
  localtime_r(&tt, &tm);
  long off = tm.tm_gmtoff;
  char sign = off < 0 ? '-' : '+';
  off = off < 0 ? -off : off;
  auto ms = duration_cast<milliseconds>(t - secs).count();
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}{}{:02}:{:02}", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms, sign,
                     off / 3600, (off % 3600) / 60);
}

long long nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace ostrel
