#include "ostrel/sys/SystemdNotify.hpp"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <string>

namespace ostrel::sdnotify {

namespace {

void send(const std::string& msg) {
  // Failures are not worth more than a lost status line: systemd notices a missing READY=1 or
  // watchdog ping by itself.
  if (active()) ::sd_notify(0, msg.c_str());
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
