#include "tests/support/TcpProxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>

namespace ostrel::test {

namespace {
int connectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}
}  // namespace

TcpProxy::TcpProxy(int targetPort, std::function<Mode(int)> policy)
    : targetPort_(targetPort), policy_(std::move(policy)) {
  listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 16) != 0)
    throw std::runtime_error("proxy: cannot listen");
  ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("proxy: pipe");
  thread_ = std::thread([this] { run(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  char c = 0;
  (void)!::write(wake_[1], &c, 1);
  thread_.join();
  ::close(listen_);
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void TcpProxy::release(int n) {
  std::lock_guard lk(m_);
  released_.push_back(n);
  char c = 0;
  (void)!::write(wake_[1], &c, 1);
}

void TcpProxy::pauseReplies(bool paused) {
  paused_ = paused;
  char c = 0;
  (void)!::write(wake_[1], &c, 1);
}

void TcpProxy::setDown(bool down) {
  down_ = down;
  char c = 0;
  (void)!::write(wake_[1], &c, 1);
}

void TcpProxy::setFarewell(std::string bytes) {
  std::lock_guard lk(m_);
  farewell_ = std::move(bytes);
}

void TcpProxy::swallowPublishes(bool on) {
  swallow_ = on;
}

bool TcpProxy::fromClient(Link& l, const char* data, std::size_t n) {
  auto& b = l.fromClient;
  b.insert(b.end(), data, data + n);
  std::size_t at = 0;
  for (;;) {
    // Fixed header: type and flags, then the remaining length in up to four 7-bit groups.
    std::size_t len = 0, i = 1;
    bool whole = false;
    for (int shift = 0; at + i < b.size() && i <= 4; ++i, shift += 7) {
      len |= static_cast<std::size_t>(b[at + i] & 0x7F) << shift;
      if (!(b[at + i] & 0x80)) {
        whole = true;
        ++i;
        break;
      }
    }
    if (!whole || b.size() - at < i + len) break;
    bool publish = (static_cast<unsigned char>(b[at]) >> 4) == 3;
    if (publish && swallow_) {
      ++swallowed_;
    } else {
      if (publish) ++passed_;
      if (!writeAll(l.upstream, b.data() + at, i + len)) return false;
    }
    at += i + len;
  }
  b.erase(b.begin(), b.begin() + static_cast<long>(at));
  return true;
}

void TcpProxy::closeLink(Link& l) {
  if (l.client >= 0) ::close(l.client);
  if (l.upstream >= 0) ::close(l.upstream);
  l.client = l.upstream = -1;
}

void TcpProxy::run() {
  std::vector<Link> links;
  std::size_t budget = 0;
  auto lastRefill = std::chrono::steady_clock::now();
  char buf[16384];
  while (!stop_) {
    {
      std::lock_guard lk(m_);
      for (int n : released_)
        for (auto& l : links)
          if (l.n == n && l.mode == Mode::Held) {
            l.upstream = connectTo(targetPort_);
            l.mode = Mode::Forward;
            if (l.upstream < 0) closeLink(l);
          }
      released_.clear();
    }
    if (down_)
      for (auto& l : links) closeLink(l);
    std::erase_if(links, [](const Link& l) { return l.client < 0; });

    std::size_t rate = replyRate_;
    bool paused = paused_;
    auto now = std::chrono::steady_clock::now();
    if (!paused) {
      if (rate) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - lastRefill).count();
        budget = std::min(rate, budget + static_cast<std::size_t>(us) * rate / 1000000);
      } else {
        budget = SIZE_MAX;
      }
      for (auto& l : links) {
        std::size_t k = std::min(budget, l.toClient.size());
        if (k && !writeAll(l.client, l.toClient.data(), k)) closeLink(l);
        if (l.client < 0) continue;
        l.toClient.erase(l.toClient.begin(), l.toClient.begin() + static_cast<long>(k));
        budget -= k;
      }
      if (!rate) budget = 0;
    }
    lastRefill = now;

    std::vector<pollfd> fds{{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (auto& l : links) {
      fds.push_back({l.mode == Mode::Held ? -1 : l.client, POLLIN, 0});
      fds.push_back({l.upstream, POLLIN, 0});
    }
    if (::poll(fds.data(), fds.size(), rate || paused ? 5 : 200) < 0) continue;
    if (fds[1].revents) (void)!::read(wake_[0], buf, sizeof buf);
    for (std::size_t i = 0; i < links.size(); ++i) {
      Link& l = links[i];
      auto& fc = fds[2 + 2 * i];
      auto& fu = fds[3 + 2 * i];
      if (l.client >= 0 && fc.fd >= 0 && fc.revents) {
        ssize_t r = ::recv(l.client, buf, sizeof buf, 0);
        if (r <= 0 || (l.upstream >= 0 && !fromClient(l, buf, static_cast<std::size_t>(r))))
          closeLink(l);
      }
      if (l.upstream >= 0 && fu.fd >= 0 && fu.revents) {
        ssize_t r = ::recv(l.upstream, buf, sizeof buf, 0);
        if (r <= 0) {
          std::string farewell;
          {
            std::lock_guard lk(m_);
            farewell = farewell_;
          }
          if (r == 0 && !farewell.empty()) writeAll(l.client, farewell.data(), farewell.size());
          closeLink(l);
        } else if (rate || paused || !l.toClient.empty()) {
          l.toClient.insert(l.toClient.end(), buf, buf + r);
        } else if (!writeAll(l.client, buf, static_cast<std::size_t>(r))) {
          closeLink(l);
        }
      }
    }
    if (fds[0].revents) {
      int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0 && down_) {
        ::close(c);
      } else if (c >= 0) {
        int n = accepted_++;
        Link l{n, c, -1, policy_ ? policy_(n) : Mode::Forward, {}};
        if (l.mode != Mode::Held) l.upstream = connectTo(targetPort_);
        if (l.mode != Mode::Held && l.upstream < 0)
          ::close(c);
        else
          links.push_back(std::move(l));
      }
    }
  }
  for (auto& l : links) closeLink(l);
}

}  // namespace ostrel::test
