#pragma once
// A big spool backlog made in moments: one segment written, every other a hard link to it.
#include <cstddef>
#include <string>

#include "ostrel/mqtt/MqttBuffer.hpp"

namespace ostrel::test {

// Reading `k` of every backlog segment.
Publication backlogReading(std::size_t k);

// Fills `dir` with segments 1..`segments` of about `segmentBytes` each, all alike; returns the
// readings in each.
std::size_t makeSpoolBacklog(const std::string& dir, std::size_t segments,
                             std::size_t segmentBytes = 1024 * 1024);

}  // namespace ostrel::test
