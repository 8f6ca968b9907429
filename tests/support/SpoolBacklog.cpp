#include "tests/support/SpoolBacklog.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "ostrel/mqtt/Spool.hpp"

namespace ostrel::test {

Publication backlogReading(std::size_t k) {
  return {"sensors/987149/raw", fmt::format(R"({{"uid": 987149, "n": {:08}}})", k), 1, false};
}

std::size_t makeSpoolBacklog(const std::string& dir, std::size_t segments,
                             std::size_t segmentBytes) {
  auto name = [&](std::size_t seq) { return fmt::format("{}/{:020}.spool", dir, seq); };
  std::string data;
  std::size_t n = 0;
  while (data.size() < segmentBytes) data += encodeSpoolRecord(backlogReading(n++));
  std::ofstream(name(1), std::ios::binary) << data;
  for (std::size_t seq = 2; seq <= segments; ++seq)
    if (::link(name(1).c_str(), name(seq).c_str()) != 0)
      throw std::runtime_error("cannot link " + name(seq));
  return n;
}

}  // namespace ostrel::test
