#include "ostrel/hat/TxQueue.hpp"

#include <fmt/format.h>

namespace ostrel {

namespace {
constexpr const char* NAMES[] = {"transmit jobs", "MQTT command jobs", "node operation jobs"};
}

std::size_t TxQueue::bound(TxSource source) const {
  switch (source) {
    case TxSource::Commands:
      return COMMAND_JOBS;
    case TxSource::NodeOps:
      return NODE_OPS_JOBS;
    case TxSource::Gateway:
      break;
  }
  return capacity_ + backlog_;
}

std::size_t TxQueue::total() const {
  std::size_t n = 0;
  for (const auto& lane : lanes_) n += lane.size();
  return n;
}

void TxQueue::put(TxSource source, Job job) {
  auto i = static_cast<std::size_t>(source);
  {
    std::lock_guard lk(m_);
    if (closed_) throw TxQueueClosed("the transmit loop has stopped; job refused");
    if (lanes_[i].size() >= bound(source))
      throw TxQueueFull(fmt::format("{} {} waiting; job refused", lanes_[i].size(), NAMES[i]));
    lanes_[i].push_back(std::move(job));
  }
  notEmpty_.notify_one();
}

TxQueue::Job TxQueue::take() {
  std::unique_lock lk(m_);
  notEmpty_.wait(lk, [&] { return total() > 0 || closed_; });
  if (closed_) return {};
  auto& commands = lanes_[static_cast<std::size_t>(TxSource::Commands)];
  auto& nodeOps = lanes_[static_cast<std::size_t>(TxSource::NodeOps)];
  std::deque<Job>* lane = &lanes_[static_cast<std::size_t>(TxSource::Gateway)];
  if (lane->empty()) {
    lane = (commandsNext_ && !commands.empty()) || nodeOps.empty() ? &commands : &nodeOps;
    commandsNext_ = lane != &commands;
  }
  Job j = std::move(lane->front());
  lane->pop_front();
  return j;
}

void TxQueue::close() {
  {
    std::lock_guard lk(m_);
    closed_ = true;
  }
  notEmpty_.notify_all();
}

void TxQueue::open() {
  std::lock_guard lk(m_);
  closed_ = false;
}

bool TxQueue::isClosed() const {
  std::lock_guard lk(m_);
  return closed_;
}

std::size_t TxQueue::size() const {
  std::lock_guard lk(m_);
  return total();
}

std::size_t TxQueue::size(TxSource source) const {
  std::lock_guard lk(m_);
  return lanes_[static_cast<std::size_t>(source)].size();
}

}  // namespace ostrel
