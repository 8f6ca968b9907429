#pragma once
// The hat simulator's flood readings as the daemon logs them and the broker delivers them.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/GatewayProcess.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test {

// A flood payload starts with its sequence number (u32 BE): the 8 hex digits after `marker`.
std::optional<unsigned long> seqAfter(const std::string& text, const std::string& marker);

// The flood readings the daemon logged as received ("Sensor #987149 [Node 99]: <payload hex>"),
// in the order it logged them.
std::vector<unsigned long> takenFromHat(const GatewayProcess& gw);

// Waits until the flood is over and the daemon has read everything before a log line sent after
// it: the line is read in order.
::testing::AssertionResult floodReadToTheEnd(hatsim::HatSim& sim, const GatewayProcess& gw,
                                             std::chrono::milliseconds limit);

}  // namespace ostrel::test
