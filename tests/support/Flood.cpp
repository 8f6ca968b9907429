#include "tests/support/Flood.hpp"

#include "tests/support/Wait.hpp"

namespace ostrel::test {

using namespace std::chrono_literals;

std::optional<unsigned long> seqAfter(const std::string& text, const std::string& marker) {
  auto at = text.find(marker);
  if (at == std::string::npos || text.size() < at + marker.size() + 8) return std::nullopt;
  try {
    return std::stoul(text.substr(at + marker.size(), 8), nullptr, 16);
  } catch (...) {
    return std::nullopt;
  }
}

std::vector<unsigned long> takenFromHat(const GatewayProcess& gw) {
  std::vector<unsigned long> taken;
  for (const auto& line : gw.lines())
    if (line.find("Sensor #987149 ") != std::string::npos)
      if (auto seq = seqAfter(line, "]: ")) taken.push_back(*seq);
  return taken;
}

::testing::AssertionResult floodReadToTheEnd(hatsim::HatSim& sim, const GatewayProcess& gw,
                                             std::chrono::milliseconds limit) {
  if (auto done = waitUntil([&] { return sim.floodDone(); }, limit, "the end of the flood"); !done)
    return done;
  sim.sendLog("flood over");
  if (gw.waitForLine("[GW Log] flood over", 30s, true) < 0)
    return ::testing::AssertionFailure() << "the daemon did not read up to the end of the flood";
  return ::testing::AssertionSuccess();
}

}  // namespace ostrel::test
