#pragma once
// Byte strings, big-endian packing and the text forms the log lines use.
#include <chrono>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes toBytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}
inline std::string toString(ByteView b) {
  return std::string(b.begin(), b.end());
}

// Raised when a field does not fit its encoding or a block is too short to decode.
class EncodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::uint16_t getBe16(ByteView b, std::size_t off);
std::uint32_t getBe32(ByteView b, std::size_t off);
// Append checked big-endian values; a value outside the field's range throws EncodeError.
void putU8(Bytes& out, long long v, const char* what = "value");
void putBe16(Bytes& out, long long v, const char* what = "value");
void putBe32(Bytes& out, long long v, const char* what = "value");
void putS16(Bytes& out, long long v, const char* what = "value");
void append(Bytes& out, ByteView b);
void append(Bytes& out, std::string_view s);

// b'..': printable ASCII as itself, every other byte as \xNN (quotes and backslash escaped).
std::string bytesRepr(ByteView b);
// bytearray(b'..'), with \t \n \r spelled out.
std::string byteArrayRepr(ByteView b);
// [1, 2, 3]
std::string byteList(ByteView b);
// Shortest form that reads back to the same double, with at least one digit after the point.
std::string floatRepr(double v);
// Rounded to two decimals of the exact binary value, halves to even.
double roundTo2(double v);
// Lower-case hex, two digits per byte.
std::string hexString(ByteView b);
// Decode two hex digits per byte; white space between byte pairs allowed.
Bytes fromHex(std::string_view s);

// Decode UTF-8, dropping what does not decode.
std::string decodeUtf8Lossy(ByteView b);
// Control characters (below 0x20, and 0x7f) as \n, \r, \t or \xNN; backslashes doubled, so
// that text from outside cannot forge log lines.
std::string escapeControl(std::string_view s);
// True when every byte is below 0x80.
bool isAscii(ByteView b);

// Strict decimal integer, surrounding white space allowed. Throws std::invalid_argument.
long long parseInteger(std::string_view s);
// Strict floating-point number (decimal notation, optional exponent), white space allowed.
double parseDouble(std::string_view s);

// Time forms.
using SysTime = std::chrono::system_clock::time_point;
// "2024-03-01 13:05:09.250000+00:00" (fraction left out when zero), UTC.
std::string isoUtc(std::chrono::sys_time<std::chrono::microseconds> t);
// Local time with milliseconds and UTC offset: "2024-03-01 13:05:09.250+01:00".
std::string isoLocalMillis(std::chrono::sys_time<std::chrono::microseconds> t);
long long nowMillis();

}  // namespace ostrel
