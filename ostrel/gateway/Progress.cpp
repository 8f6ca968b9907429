#include "ostrel/gateway/Progress.hpp"

#include <fmt/format.h>

#include <cctype>

namespace ostrel {

using namespace std::chrono_literals;

void Progress::mark(Stage s, Clock::time_point now) {
  if (s != stage_) {
    stage_ = s;
    since_ = now;
  }
  last_ = now;
}

std::chrono::seconds Progress::stuckAfter(Stage s) {
  switch (s) {
    case Stage::Running:
    case Stage::WaitingForDevice:
      return 10s;
    case Stage::RetryPause:
      // The longest pause is a minute.
      return 75s;
    default:
      return 60s;
  }
}

bool Progress::stuck(Clock::time_point now) const {
  return now - last_ >= stuckAfter(stage_);
}

const char* Progress::describe(Stage s) {
  switch (s) {
    case Stage::Starting:
      return "starting";
    case Stage::WaitingForStartup:
      return "waiting for the hat to start up";
    case Stage::WaitingForHello:
      return "waiting for the hat's hello";
    case Stage::SettingUp:
      return "setting up encryption with the hat";
    case Stage::Running:
      return "receiving from the hat";
    case Stage::WindingDown:
      return "winding down";
    case Stage::WaitingForDevice:
      return "waiting for the serial device";
    case Stage::RetryPause:
      return "pausing before the next bring-up";
  }
  return "unknown";
}

std::string Progress::statusText(Clock::time_point now) const {
  auto secs = [](Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::seconds>(d).count();
  };
  if (stuck(now)) return fmt::format("Stuck {} for {} s", describe(stage_), secs(now - last_));
  std::string text = fmt::format("{} for {} s", describe(stage_), secs(now - since_));
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace ostrel
