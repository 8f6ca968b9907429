// The log guards itself against outside text: no forged lines, no terminal escapes, no binary
// blobs in the journal, no unbounded lines.
#include <gtest/gtest.h>

#include <string>

#include "ostrel/base/Log.hpp"
#include "tests/support/LogCapture.hpp"

namespace ostrel {
namespace {

TEST(LogSafety, ControlCharactersAndMalformedUtf8AreEscaped) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"1.5\n[GW Log] forged line\x1b[2J", "1.5\\n[GW Log] forged line\\x1b[2J"},
      // Tabs forge nothing; a line end only at the very end does not either.
      {"a\rb\tc\x7f\r\n", "a\\x0db\tc\\x7f\r\n"},
      {"out\nFailed\n\n", "out\\nFailed\\n\n"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      // Well-formed UTF-8 stays as it is; a C1 control (CSI) does not.
      {"Stra\xc3\x9f"
       "e \xe2\x82\xac \xf0\x9f\x93\xa1",
       "Stra\xc3\x9f"
       "e \xe2\x82\xac \xf0\x9f\x93\xa1"},
      {"csi \xc2\x9b"
       "2J",
       "csi \\u009b2J"},
      // Stray continuation, overlong '/', a surrogate, beyond U+10FFFF, cut at the end.
      {"\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82",
       "\\x80 \\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \\xe2\\x82"},
      // Backslashes are left alone: they cannot start a line.
      {"b'\\x01'", "b'\\x01'"},
  };
  for (const auto& c : cases) EXPECT_EQ(logSafe(c.in), c.out) << c.in;

  test::LogCapture cap;
  log("x\ny");
  logf("payload {}", "z\x1b");
  EXPECT_EQ(cap.snapshot(), (std::vector<std::string>{"x\\ny", "payload z\\x1b"}));
}

TEST(LogSafety, LongFieldsAndLinesAreCutWithTheirLength) {
  test::LogCapture cap;
  std::string big(65000, 't');
  logf("RECV {} and {} and {}", big, std::string_view(big).substr(0, MAX_LOG_FIELD), 42);
  auto lines = cap.snapshot();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "RECV " + std::string(MAX_LOG_FIELD, 't') + "... (65000 bytes) and " +
                          std::string(MAX_LOG_FIELD, 't') + " and 42");

  // A field is never cut inside a character.
  std::string euros;
  for (int i = 0; i < 100; ++i) euros += "\xe2\x82\xac";
  EXPECT_EQ(shortened(euros), euros.substr(0, 198) + "... (300 bytes)");

  // Whatever a caller builds, a line stays within the bound; escaping counts towards it.
  std::string escapes(10000, '\x1b');
  std::string safe = logSafe(escapes);
  EXPECT_LE(safe.size(), MAX_LOG_LINE + 32);
  EXPECT_TRUE(safe.ends_with("... (10000 bytes)")) << safe.substr(safe.size() - 40);
  EXPECT_EQ(safe.find('\x1b'), std::string::npos);

  EXPECT_EQ(excerpt("1.5\n[GW Log] forged line\x1b[2J and much more text"),
            "'1.5\\n[GW Log] forged line\\x1b[2J and... (47 bytes)'");
}

}  // namespace
}  // namespace ostrel
