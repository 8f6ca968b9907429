#pragma once
// The hat's end of a pseudo-terminal pair: the port under test opens the slave path.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ostrel::test {

struct PtyMaster {
  int fd = -1;
  std::string slave;
  PtyMaster() {
    fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) throw std::runtime_error("no pty");
    slave = ::ptsname(fd);
  }
  ~PtyMaster() {
    if (fd >= 0) ::close(fd);
  }
  PtyMaster(const PtyMaster&) = delete;
  PtyMaster& operator=(const PtyMaster&) = delete;
  void send(std::string_view s) const {
    while (!s.empty()) {
      ssize_t n = ::write(fd, s.data(), s.size());
      if (n <= 0) throw std::runtime_error("pty write failed");
      s.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  // Collects up to `n` bytes, giving up after `limit`.
  std::string recv(std::size_t n, std::chrono::milliseconds limit) const {
    using Clock = std::chrono::steady_clock;
    std::string out;
    auto end = Clock::now() + limit;
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buf[97];  // odd size: reads rarely line up with frames
      ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }
};

}  // namespace ostrel::test
