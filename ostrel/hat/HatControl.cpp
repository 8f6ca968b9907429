#include "ostrel/hat/HatControl.hpp"

#include <gpiod.hpp>

#include <chrono>
#include <thread>

#include "ostrel/base/Log.hpp"
#include "ostrel/sys/Config.hpp"

namespace ostrel {

HatPins HatPins::fromConfig(const Config* config, HatPins p) {
  if (!config) return p;
  if (config->has("HAT", "gpio-chip")) p.chip = config->getString("HAT", "gpio-chip");
  if (config->has("HAT", "reset-line"))
    p.resetLine = static_cast<int>(config->getInt("HAT", "reset-line"));
  if (config->has("HAT", "reset-active-low"))
    p.activeLow = config->getBool("HAT", "reset-active-low");
  if (config->has("HAT", "reset-pulse-ms"))
    p.pulseMs = static_cast<int>(config->getInt("HAT", "reset-pulse-ms"));
  return p;
}

struct HatControl::Lines {
  gpiod::chip chip;
  gpiod::line reset;
};

HatControl::HatControl() = default;
HatControl::HatControl(HatPins pins) : pins_(std::move(pins)) {}
HatControl::~HatControl() {
  if (lines_ && lines_->reset) lines_->reset.release();
}

void HatControl::initPins() {
  if (pins_.resetLine < 0) {
    log("No hat reset line configured ([HAT] reset-line); the hat is not reset by the gateway");
    return;
  }
  auto l = std::make_unique<Lines>();
  l->chip = gpiod::chip(pins_.chip);  // throws std::system_error without a GPIO chip
  l->reset = l->chip.get_line(static_cast<unsigned>(pins_.resetLine));
  gpiod::line_request req;
  req.consumer = "ostrel";
  req.request_type = gpiod::line_request::DIRECTION_OUTPUT;
  req.flags = pins_.activeLow ? gpiod::line_request::FLAG_ACTIVE_LOW : 0;
  l->reset.request(req, 0);  // released: the hat runs
  lines_ = std::move(l);
}

void HatControl::reset() {
  if (!lines_) return;
  lines_->reset.set_value(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(pins_.pulseMs));
  lines_->reset.set_value(0);
}

}  // namespace ostrel
