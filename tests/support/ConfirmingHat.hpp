#pragma once
// Plays the hat during the encryption set-up: reads the gateway's "LS"/"PS" frames from the hat
// end of a socket pair on its own thread, records them and confirms the first `confirmations`.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/base/Bytes.hpp"

namespace ostrel::test {

// Up to n bytes from fd, waiting at most `limit` for all of them.
inline Bytes readFor(int fd, std::size_t n, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  Bytes out;
  auto deadline = Clock::now() + limit;
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::uint8_t buf[256];
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

// Each confirmation comes after a pause in which the gateway must stay silent: `spokeEarly` says
// whether it sent anything before its previous frame was confirmed.
class ConfirmingHat {
 public:
  explicit ConfirmingHat(int fd, int confirmations = 1'000'000) {
    thread_ = std::thread([this, fd, confirmations] { loop(fd, confirmations); });
  }
  ~ConfirmingHat() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Bytes> frames;
  bool spokeEarly = false;

 private:
  void loop(int fd, int confirmations) {
    using namespace std::chrono_literals;
    while (!stop_) {
      Bytes f = readFor(fd, 2, 50ms);
      if (f.empty()) continue;
      append(f, readFor(fd, 2 - f.size(), 1000ms));
      std::string code = toString(f);
      append(f, readFor(fd, code == "LS" ? 6 : code == "PS" ? 49 : 0, 1000ms));
      frames.push_back(f);
      if (!readFor(fd, 1, 100ms).empty()) spokeEarly = true;
      if (confirmations-- <= 0) continue;
      std::string reply =
          code == "LS" ? "LGLocal node setup complete\r\n" : "LGPeer setup complete\r\n";
      if (::write(fd, reply.data(), reply.size()) != ssize_t(reply.size())) return;
    }
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace ostrel::test
