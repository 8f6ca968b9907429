#include "ostrel/hat/HatControl.hpp"

namespace ostrel::raspi {

HatPins HatControl::defaults() {
  HatPins p;
  p.chip = "gpiochip0";
  p.resetLine = 22;
  p.activeLow = true;
  p.pulseMs = 100;
  return p;
}

HatControl::HatControl() : ostrel::HatControl(defaults()) {}
HatControl::HatControl(HatPins pins) : ostrel::HatControl(std::move(pins)) {}

}  // namespace ostrel::raspi
