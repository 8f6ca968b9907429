#include "ostrel/sys/SystemdNotify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ostrel::sdnotify {

namespace {

// One datagram to $NOTIFY_SOCKET that never waits: sd_notify() blocks while the manager's queue
// is full, and it is called on the event loop, which also reads the hat. A message that does not
// fit now is lost, which is worth no more than a lost status line: systemd notices a missing
// READY=1 or watchdog ping by itself.
void send(const std::string& msg) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path || (path[0] != '/' && path[0] != '@')) return;
  std::memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // an abstract socket
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  ::sendto(fd, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&addr), size);
  ::close(fd);
}

}  // namespace

bool active() {
  const char* sock = std::getenv("NOTIFY_SOCKET");
  return sock && *sock;
}

void ready() {
  send("READY=1");
}

void status(std::string_view text) {
  // A line feed would end the assignment early and start a bogus one.
  std::string line(text);
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  send("STATUS=" + line);
}

void watchdog() {
  send("WATCHDOG=1");
}

void stopping() {
  send("STOPPING=1");
}

std::optional<std::chrono::microseconds> watchdogInterval() {
  std::uint64_t usec = 0;
  if (::sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
  return std::chrono::microseconds(usec);
}

}  // namespace ostrel::sdnotify
