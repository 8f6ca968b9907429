#include <gtest/gtest.h>

#include "ostrel/io/Bytes.hpp"

using namespace ostrel;

TEST(Bytes, Placeholder) { EXPECT_EQ(bytesRepr(Bytes{0x04}), "b'\\x04'"); }
