#pragma once
// GPIO control of the hat's reset line (libgpiod). Two variants: Raspberry Pi and other boards.
#include <memory>
#include <string>

namespace ostrel {

class Config;

struct HatPins {
  std::string chip = "gpiochip0";  // GPIO chip name or path
  int resetLine = -1;              // line offset on that chip; -1 means none configured
  bool activeLow = true;           // the hat's reset input is active low
  int pulseMs = 100;               // how long reset is held
  // Reads the optional [HAT] section: gpio-chip, reset-line, reset-active-low, reset-pulse-ms.
  static HatPins fromConfig(const Config* config, HatPins defaults);
};

// Generic board: drives the configured reset line, or does nothing (with one log line) when
// none is configured, so that a hat reset by other means still works.
class HatControl {
 public:
  HatControl();
  explicit HatControl(HatPins pins);
  virtual ~HatControl();
  virtual void initPins();
  virtual void reset();
  const HatPins& pins() const { return pins_; }

 protected:
  HatPins pins_;
  struct Lines;
  std::unique_ptr<Lines> lines_;
};

namespace raspi {
// Raspberry Pi: the hat's reset sits on BCM GPIO 22 of gpiochip0 unless configured otherwise.
class HatControl : public ostrel::HatControl {
 public:
  HatControl();
  explicit HatControl(HatPins pins);
  static HatPins defaults();
};
}  // namespace raspi

}  // namespace ostrel
