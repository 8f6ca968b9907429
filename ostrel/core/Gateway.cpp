// Start-up, supervision and wind-down of the gateway.
#include "ostrel/core/Gateway.hpp"

#include <unistd.h>

#include "ostrel/io/Log.hpp"
#include "ostrel/io/PahoMqttClient.hpp"
#include "ostrel/io/SystemdNotify.hpp"

namespace ostrel {

using namespace asio::experimental::awaitable_operators;

GatewayState& gw() {
  static GatewayState state;
  return state;
}

GatewayHooks& hooks() {
  static GatewayHooks h;
  return h;
}

void shutdownRadio() {
  if (auto proto = gw().myProtocol) {
    log("Putting Gateway Hat in standby mode");
    proto->shutdown();
  }
}

static std::string hostName() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return "unknown";
  return buf;
}

awaitable<void> startRadioBridge(const Args& args, const Config& config, Executor eventLoop,
                                 Event& stopSignal, Event& restartSignal, bool isRestarting) {
  std::string serialDevice = config.getString("UART", "device");
  long long serialSpeed = config.getInt("UART", "speed");
  auto ser = std::make_shared<SerialPort>(eventLoop);
  ser->setSpeed(serialSpeed);
  ser->setDevice(serialDevice);
  gw().ser = ser;
  gw().statusDir = args.stateDir;

  bool root = ::getuid() == 0;
  if (!root) ser->open();
  if (!isRestarting) {
    if (hooks().hardResetHat)
      hooks().hardResetHat();
    else
      hardResetHat(&config);
  }
  if (root) dropRootPrivileges(systemAccounts(), args.account);
  if (!ser->isOpen()) ser->open();

  if (!isRestarting) {
    bool started = false;
    try {
      asio::steady_timer limit(eventLoop, hooks().startupLimit);
      auto r =
          co_await (waitForHatStartup(*ser) || limit.async_wait(asio::as_tuple(use_awaitable)));
      started = r.index() == 0;
    } catch (...) {
      started = false;
    }
    if (!started) {
      log("Timed out waiting for Radio Hat to start up. Is Radio Hat connected? Exiting.");
      ser->close();
      throw HatStartupTimeout("the hat did not start up");
    }
  }

  MqttSettings settings;
  settings.clientId = "ostrel-" + hostName();
  settings.cleanStart = false;
  settings.sessionExpiry = 1209600;
  settings.username = config.getString("MQTT", "username");
  settings.password = config.getString("MQTT", "password");
  std::shared_ptr<MqttClient> client =
      hooks().makeClient ? hooks().makeClient(eventLoop, settings)
                         : std::shared_ptr<MqttClient>(makePahoMqttClient(eventLoop, settings));
  client->on_connect = on_connect;
  client->on_message = on_message;
  client->on_disconnect = on_disconnect;
  client->on_subscribe = on_subscribe;
  gw().client = client;

  auto& registry = TaskRegistry::instance();
  std::shared_ptr<Task> rxTask, txTask;
  try {
    auto stopTask = registry.spawn(eventLoop, "stop signal", stopSignal.wait());
    auto restartTask = registry.spawn(eventLoop, "restart signal", restartSignal.wait());
    log("Starting serial interface RX...");
    rxTask =
        registry.spawn(eventLoop, "serial RX", processRxMsgs(client, config, args, gw().statusDir));
    log("Starting serial interface TX...");
    txTask = registry.spawn(eventLoop, "serial TX", processTxMsgs(client, args, eventLoop));
    sdnotify::ready();
    co_await (stopTask->join() || restartTask->join());
  } catch (...) {
    log(describeException(std::current_exception(), "startRadioBridge"));
  }

  if (!restartSignal.isSet()) {
    try {
      shutdownRadio();
    } catch (...) {
      log(describeException(std::current_exception(), "shutdownRadio"));
    }
  } else {
    log("Received restart signal...");
    ser->close();
  }
  log("Stopping serial interface RX...");
  if (rxTask) rxTask->cancel();
  log("Stopping serial interface TX...");
  if (txTask) txTask->cancel();
  ser->close();
  co_await registry.cancelAll(hooks().graceEach);
  log("Disconnecting MQTT client...");
  try {
    co_await client->disconnect();
  } catch (...) {
    log(describeException(std::current_exception(), "MQTT disconnect"));
  }
}

}  // namespace ostrel
