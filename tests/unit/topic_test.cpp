// Topic levels, digits and UIDs: the one rule the command dispatch and the node operations share.
#include "ostrel/base/Topic.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

TEST(Topic, SplitsIntoLevelsUpToTheRoomGiven) {
  struct Case {
    std::string topic;
    std::vector<std::string_view> levels;  // empty: more levels than room
  } cases[] = {
      {"gw/1/setRTCOffset", {"gw", "1", "setRTCOffset"}},
      {"a", {"a"}},
      {"", {""}},
      {"/a/", {"", "a", ""}},
      {"a/b/c/d", {"a", "b", "c", "d"}},
      {"a/b/c/d/e", {}},
      {std::string(100000, '/'), {}},
  };
  for (const auto& c : cases) {
    std::string_view out[4];
    std::size_t n = splitTopic(c.topic, out);
    EXPECT_EQ(std::vector<std::string_view>(out, out + n), c.levels) << c.topic.substr(0, 20);
  }
}

TEST(Topic, DigitsAndUids) {
  const std::string many(1000000, '9');
  struct Case {
    std::string text;
    bool digits;
    std::optional<std::uint32_t> uid;
  } cases[] = {
      {"0", true, 0u},
      {"0042", true, 42u},
      {"4294967295", true, 4294967295u},
      {"00000000004294967295", true, 4294967295u},
      {"4294967296", true, std::nullopt},
      {"18446744073709551617", true, std::nullopt},  // wraps 64 bits
      {many, true, std::nullopt},
      {"", false, std::nullopt},
      {"-4", false, std::nullopt},
      {"+4", false, std::nullopt},
      {"5x", false, std::nullopt},
      {" 5", false, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 24));
    EXPECT_EQ(allDigits(c.text), c.digits);
    EXPECT_EQ(parseUid(c.text), c.uid);
  }
}

}  // namespace
}  // namespace ostrel
