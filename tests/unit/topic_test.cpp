// The one topic rule the command dispatch and the node operations share.
#include "ostrel/base/Topic.hpp"

#include <gtest/gtest.h>

#include <string>

TEST(Topic, LevelsDigitsAndUids) {
  std::string_view out[4];
  EXPECT_EQ(ostrel::splitTopic("/a/", out), 3u);
  EXPECT_EQ(out[1], "a");
  EXPECT_EQ(ostrel::splitTopic(std::string(100000, '/'), out), 0u);  // more levels than room
  EXPECT_EQ(ostrel::parseUid("00000000004294967295"), 4294967295u);
  for (const std::string& no :
       std::initializer_list<std::string>{"4294967296", "18446744073709551617", std::string(99999, '9')})
    EXPECT_TRUE(ostrel::allDigits(no) && !ostrel::parseUid(no)) << no.substr(0, 24);
  for (const char* bad : {"", "-4", "+4", "5x", " 5"})
    EXPECT_FALSE(ostrel::allDigits(bad) || ostrel::parseUid(bad)) << bad;
}
