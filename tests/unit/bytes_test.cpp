#include "ostrel/base/Bytes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

using namespace ostrel;

namespace {
Bytes raw(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}
}  // namespace

TEST(BytesBigEndian, ReadsAtOffsets) {
  Bytes b = raw({0x12, 0x34, 0x56, 0x78, 0x9A, 0xFF});
  EXPECT_EQ(getBe16(b, 0), 0x1234);
  EXPECT_EQ(getBe16(b, 4), 0x9AFF);
  EXPECT_EQ(getBe32(b, 0), 0x12345678u);
  EXPECT_EQ(getBe32(b, 2), 0x56789AFFu);
}

TEST(BytesBigEndian, ShortBlocksAreRefused) {
  Bytes b = raw({1, 2, 3, 4});
  EXPECT_THROW(getBe16(b, 3), DecodeError);
  EXPECT_THROW(getBe32(b, 1), DecodeError);
  EXPECT_THROW(getBe16(Bytes{}, 0), DecodeError);
  // An offset near the top of the range must not wrap round into a small bound.
  constexpr auto huge = std::numeric_limits<std::size_t>::max();
  EXPECT_THROW(getBe16(b, huge), DecodeError);
  EXPECT_THROW(getBe32(b, huge - 1), DecodeError);
}

TEST(BytesBigEndian, PutsCheckedValues) {
  Bytes out;
  putU8(out, 0xAB);
  putBe16(out, 0x0102);
  putBe32(out, 0xDEADBEEF);
  putS16(out, -2);
  putS16(out, 300);
  EXPECT_EQ(out, raw({0xAB, 0x01, 0x02, 0xDE, 0xAD, 0xBE, 0xEF, 0xFF, 0xFE, 0x01, 0x2C}));
}

TEST(BytesBigEndian, OutOfRangeThrowsAndAppendsNothing) {
  Bytes out = raw({7});
  EXPECT_THROW(putU8(out, 256), EncodeError);
  EXPECT_THROW(putU8(out, -1), EncodeError);
  EXPECT_THROW(putBe16(out, 0x10000), EncodeError);
  EXPECT_THROW(putBe32(out, 0x100000000LL), EncodeError);
  EXPECT_THROW(putBe32(out, -1), EncodeError);
  EXPECT_THROW(putS16(out, 32768), EncodeError);
  EXPECT_THROW(putS16(out, -32769), EncodeError);
  EXPECT_EQ(out, raw({7}));
  try {
    putU8(out, 999, "node ID");
    FAIL() << "no error";
  } catch (const EncodeError& e) {
    EXPECT_NE(std::string(e.what()).find("node ID"), std::string::npos) << e.what();
  }
}

TEST(BytesRepr, ByteStringLiteral) {
  EXPECT_EQ(bytesRepr(raw({0x04})), "b'\\x04'");
  EXPECT_EQ(bytesRepr(Bytes{}), "b''");
  EXPECT_EQ(bytesRepr(toBytes("Az 09~")), "b'Az 09~'");
  EXPECT_EQ(bytesRepr(raw({0x7F, 0x80, 0xFF, 0x1F})), "b'\\x7f\\x80\\xff\\x1f'");
  // Only printable ASCII stays itself: control characters are shown in hexadecimal.
  EXPECT_EQ(bytesRepr(toBytes("\t\n\r")), "b'\\x09\\x0a\\x0d'");
  EXPECT_EQ(bytesRepr(toBytes("a\\b")), "b'a\\\\b'");
}

TEST(BytesRepr, QuotesStayInsideTheLiteral) {
  // A lone single quote switches to double quotes; with both kinds the single one is escaped.
  EXPECT_EQ(bytesRepr(toBytes("it's")), "b\"it's\"");
  EXPECT_EQ(bytesRepr(toBytes("say \"hi\"")), "b'say \"hi\"'");
  EXPECT_EQ(bytesRepr(toBytes("'\"")), "b'\\'\"'");
}

TEST(BytesRepr, ByteArrayNamesTabLineFeedAndReturn) {
  EXPECT_EQ(byteArrayRepr(Bytes{}), "bytearray(b'')");
  EXPECT_EQ(byteArrayRepr(toBytes("PMF\t\n\r")), "bytearray(b'PMF\\t\\n\\r')");
  EXPECT_EQ(byteArrayRepr(raw({0x00, 0x0B, 0xC8})), "bytearray(b'\\x00\\x0b\\xc8')");
}

TEST(BytesRepr, ByteList) {
  EXPECT_EQ(byteList(Bytes{}), "[]");
  EXPECT_EQ(byteList(raw({12, 200, 7})), "[12, 200, 7]");
  EXPECT_EQ(byteList(raw({0, 255})), "[0, 255]");
}

TEST(BytesRepr, FloatShortestWithDigitAfterPoint) {
  EXPECT_EQ(floatRepr(-1.5), "-1.5");
  EXPECT_EQ(floatRepr(3.0), "3.0");
  EXPECT_EQ(floatRepr(1000.0), "1000.0");
  EXPECT_EQ(floatRepr(12.35), "12.35");
  EXPECT_EQ(floatRepr(-69.44), "-69.44");
  EXPECT_EQ(floatRepr(0.0), "0.0");
  EXPECT_EQ(floatRepr(0.1 + 0.2), "0.30000000000000004");
  // Round numbers whose exponent form would be shorter still print as plain decimals.
  EXPECT_EQ(floatRepr(100000.0), "100000.0");
  EXPECT_EQ(floatRepr(-2500000.0), "-2500000.0");
  EXPECT_EQ(floatRepr(0.0001), "0.0001");
  for (double v : {1.0 / 3, -123456.789, 6.02e23, 1e-7, 12.3456789012345}) {
    auto s = floatRepr(v);
    EXPECT_EQ(parseDouble(s), v) << s;
    EXPECT_NE(s.find_first_of(".e"), std::string::npos) << s;
  }
}

TEST(BytesHex, RoundTripAndWhiteSpace) {
  Bytes b = raw({0x00, 0x0A, 0xFF, 0x10});
  EXPECT_EQ(hexString(b), "000aff10");
  EXPECT_EQ(fromHex("000aff10"), b);
  EXPECT_EQ(fromHex(" 00 0A\tFf\n10 "), b);
  EXPECT_EQ(fromHex(""), Bytes{});
}

TEST(BytesHex, BadTextIsRefused) {
  EXPECT_THROW(fromHex("abc"), std::invalid_argument);   // odd number of digits
  EXPECT_THROW(fromHex("zz"), std::invalid_argument);    // not hex
  EXPECT_THROW(fromHex("0 a"), std::invalid_argument);   // white space inside a pair
  EXPECT_THROW(fromHex("0x1f"), std::invalid_argument);  // no prefix
}

TEST(BytesUtf8, LossyDecodeDropsWhatDoesNotDecode) {
  EXPECT_EQ(decodeUtf8Lossy(toBytes("Press r\r\n")), "Press r\r\n");
  EXPECT_EQ(decodeUtf8Lossy(toBytes("\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80")),
            "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
  // Stray continuation bytes, a broken sequence, and a lead byte cut off at the end.
  EXPECT_EQ(decodeUtf8Lossy(raw({'a', 0x80, 'b', 0xE2, 0x82, 'c', 0xFF, 'd', 0xC3})), "abcd");
  // Overlong forms of '/' and NUL, a surrogate and a code point beyond U+10FFFF.
  EXPECT_EQ(decodeUtf8Lossy(raw({'x', 0xC0, 0xAF, 0xE0, 0x80, 0x80, 'y'})), "xy");
  EXPECT_EQ(decodeUtf8Lossy(raw({0xF0, 0x80, 0x80, 0xAF, 'z'})), "z");
  EXPECT_EQ(decodeUtf8Lossy(raw({0xED, 0xA0, 0x80, 'q'})), "q");
  EXPECT_EQ(decodeUtf8Lossy(raw({0xF4, 0x90, 0x80, 0x80, '!'})), "!");
  EXPECT_TRUE(isAscii(toBytes("plain\n")));
  EXPECT_FALSE(isAscii(raw({'a', 0x80})));
}

TEST(BytesParse, Integers) {
  EXPECT_EQ(parseInteger("42"), 42);
  EXPECT_EQ(parseInteger("  -7\t"), -7);
  EXPECT_EQ(parseInteger("+5"), 5);
  EXPECT_EQ(parseInteger("010"), 10);
  EXPECT_EQ(parseInteger("1000000"), 1000000);
  for (const char* bad :
       {"1.5", "abc", "", "   ", "12x", "1 2", "0x10", "+-5", "-+5", "- 5", "99999999999999999999"})
    EXPECT_THROW(parseInteger(bad), std::invalid_argument) << '"' << bad << '"';
}

TEST(BytesParse, Doubles) {
  EXPECT_EQ(parseDouble("1.5"), 1.5);
  EXPECT_EQ(parseDouble(" -2.25 "), -2.25);
  EXPECT_EQ(parseDouble("+3"), 3.0);
  EXPECT_EQ(parseDouble("1e3"), 1000.0);
  EXPECT_EQ(parseDouble("010"), 10.0);
  for (const char* bad : {"abc", "", " ", "1.5x", "1,5", "+-1", "--1"})
    EXPECT_THROW(parseDouble(bad), std::invalid_argument) << '"' << bad << '"';
}

TEST(BytesTime, IsoUtcWithAndWithoutFraction) {
  using namespace std::chrono;
  sys_time<microseconds> t = sys_days{2024y / March / 1} + 13h + 5min + 9s;
  EXPECT_EQ(isoUtc(t), "2024-03-01 13:05:09+00:00");
  EXPECT_EQ(isoUtc(t + 250ms), "2024-03-01 13:05:09.250000+00:00");
  EXPECT_EQ(isoUtc(t + 7us), "2024-03-01 13:05:09.000007+00:00");
  // Before the epoch the fraction still counts forward from the whole second.
  sys_time<microseconds> before = sys_days{1970y / January / 1} - 500ms;
  EXPECT_EQ(isoUtc(before), "1969-12-31 23:59:59.500000+00:00");
}
