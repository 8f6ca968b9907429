// Hat bring-up: board detection, reset through the hat control, and the start-up wait.
#include <fstream>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/hat/HatControl.hpp"

namespace ostrel {

bool isRaspi(const std::string& cpuinfo) {
  std::ifstream in(cpuinfo);
  if (!in) throw std::runtime_error(fmt::format("cannot read {}", cpuinfo));
  std::string line;
  while (std::getline(in, line)) {
    auto b = line.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) continue;
    std::string_view t(line);
    t.remove_prefix(b);
    if (t.starts_with("Hardware") && t.find("BCM") != std::string_view::npos) return true;
  }
  if (in.bad()) throw std::runtime_error(fmt::format("cannot read {}", cpuinfo));
  return false;
}

void hardResetHat(const Config* config) {
  std::unique_ptr<HatControl> hatControl;
  if (isRaspi())
    hatControl = std::make_unique<raspi::HatControl>(
        HatPins::fromConfig(config, raspi::HatControl::defaults()));
  else
    hatControl = std::make_unique<HatControl>(HatPins::fromConfig(config, HatPins{}));
  hatControl->initPins();
  hatControl->reset();
}

awaitable<void> waitForHatStartup(SerialPort& ser) {
  for (;;) {
    std::string line = co_await HatProtocolV1::waitForRxMsg(ser, std::nullopt);
    if (line == "Gateway Module started up") co_return;
    logf("[Bootloader] {}", line);
    if (line.starts_with("Press")) {
      ser.write(std::string_view("r"));
      ser.flush();
      log("Sent command 'r' (run app) to bootloader.");
    }
  }
}

}  // namespace ostrel
