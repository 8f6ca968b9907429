#include "ostrel/mqtt/NoDelay.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>

namespace ostrel {

int setNoDelayOnSocketsTo(int port) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return 0;
  int switched = 0;
  while (dirent* e = ::readdir(dir)) {
    int fd = std::atoi(e->d_name);
    if (e->d_name[0] < '0' || e->d_name[0] > '9' || fd == ::dirfd(dir)) continue;
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) continue;
    sockaddr_storage peer{};
    len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    int peerPort =
        peer.ss_family == AF_INET    ? ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port)
        : peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port)
                                     : -1;
    int one = 1;
    if (peerPort == port && ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0)
      ++switched;
  }
  ::closedir(dir);
  return switched;
}

}  // namespace ostrel
