#include "ostrel/mqtt/MqttClient.hpp"

#include "ostrel/base/Log.hpp"

namespace ostrel {

awaitable<void> MqttClient::waitForRoom() {
  co_return;
}

awaitable<void> MqttClient::connect(std::string host, int port, int keepAliveSeconds) {
  open(host, port, keepAliveSeconds);
  co_await waitConnected();
}

void runHandler(const char* name, const std::function<void()>& fn) {
  try {
    fn();
  } catch (...) {
    log(describeException(std::current_exception(), name));
  }
}

}  // namespace ostrel
