#pragma once
// A bound on the messages one connection has taken from the broker that wait for the event loop.
//
// The MQTT library acknowledges a message (PUBACK) before it hands it over, so the broker's
// receive window never holds a sender back: a flood would pile up in the loop's queue, as fast
// as the network brings it. Past the bound a message is refused where the library hands it over
// (its thread, before anything is copied), counted, and summarised in one log line a second.
// Whatever waits for the loop is released by the pass it travels with, also when it is dropped
// unhandled (a connection that has ended).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

class InboundLimit : public std::enable_shared_from_this<InboundLimit> {
 public:
  struct Bounds {
    std::size_t messages = 1000;
    std::size_t bytes = 4 * 1024 * 1024;
  };

  // Holds its message's share of the bound until it is destroyed; travels with the message.
  class Pass {
   public:
    Pass(Pass&& o) noexcept : limit_(std::move(o.limit_)), bytes_(o.bytes_) {}
    Pass& operator=(Pass&&) = delete;
    ~Pass();

   private:
    friend class InboundLimit;
    Pass(std::shared_ptr<InboundLimit> l, std::size_t b) : limit_(std::move(l)), bytes_(b) {}
    std::shared_ptr<InboundLimit> limit_;
    std::size_t bytes_;
  };

  // `who` names the connection in the summary line.
  static std::shared_ptr<InboundLimit> make(Executor loop, std::string who, Bounds bounds);

  // Any thread. A pass when the message may go to the loop: always when nothing waits (a message
  // larger than the byte bound alone still passes), otherwise while both bounds hold. Nullopt:
  // refused and counted.
  std::optional<Pass> admit(std::size_t bytes);

  std::size_t waiting() const { return messages_.load(); }
  std::uint64_t refused() const { return refused_.load(); }

 private:
  InboundLimit(Executor loop, std::string who, Bounds bounds);
  void release(std::size_t bytes);
  // Loop thread: the summary of the second that began with a refusal.
  void summarise();

  Executor loop_;
  std::string who_;
  Bounds bounds_;
  std::atomic<std::size_t> messages_{0}, bytes_{0};
  std::atomic<std::uint64_t> refused_{0}, recent_{0};
  std::atomic<bool> summaryDue_{false};
  std::unique_ptr<asio::steady_timer> timer_;  // loop thread only
};

}  // namespace ostrel
