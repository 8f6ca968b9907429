#pragma once
// Readiness, status and watchdog messages to systemd (Type=notify services). Every call is a
// no-op when the process was not started by systemd (NOTIFY_SOCKET unset), so the daemon runs the
// same from a shell, a test or the demo.
#include <chrono>
#include <optional>
#include <string_view>

namespace ostrel::sdnotify {

// True when a notification socket was handed to this process.
bool active();
// "READY=1": start-up is complete.
void ready();
// "STATUS=<text>": one line shown by `systemctl status`.
void status(std::string_view text);
// "WATCHDOG=1": the event loop is alive.
void watchdog();
// "STOPPING=1": wind-down has begun.
void stopping();
// The interval systemd expects watchdog pings within (WATCHDOG_USEC), when it asked for them.
std::optional<std::chrono::microseconds> watchdogInterval();

}  // namespace ostrel::sdnotify
