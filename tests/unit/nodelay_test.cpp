// Nagle's algorithm goes off on the sockets connected to the broker's port, and only on those.
#include "ostrel/mqtt/NoDelay.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel {
namespace {

struct Listener {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int port = 0;
  Listener() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0)
      throw std::runtime_error("no listener");
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
  int connectTo() const {
    int c = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::runtime_error("no connect");
    return c;
  }
};

int noDelay(int fd) {
  int v = -1;
  socklen_t len = sizeof v;
  ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len);
  return v;
}

TEST(NoDelay, OnlyTheSocketsConnectedToThePortAreSwitched) {
  Listener broker, other;
  int a = broker.connectTo(), b = broker.connectTo(), c = other.connectTo();
  ASSERT_EQ(noDelay(a), 0);
  EXPECT_EQ(setNoDelayOnSocketsTo(broker.port), 2);
  EXPECT_EQ(noDelay(a), 1);
  EXPECT_EQ(noDelay(b), 1);
  EXPECT_EQ(noDelay(c), 0);
  EXPECT_EQ(noDelay(broker.fd), 0);  // listening, not connected
  for (int fd : {a, b, c}) ::close(fd);
}

}  // namespace
}  // namespace ostrel
