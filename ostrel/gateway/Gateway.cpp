// Start-up, supervision and wind-down of the gateway.
#include "ostrel/gateway/Gateway.hpp"

#include <unistd.h>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Observer.hpp"
#include "ostrel/gateway/Settings.hpp"
#include "ostrel/mqtt/PahoMqttClient.hpp"
#include "ostrel/sys/Files.hpp"
#include "ostrel/sys/SystemdNotify.hpp"

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

// Start-up waits in a row that the hat let pass in silence while being brought up again.
constexpr int SILENT_RETRIES_BEFORE_EXIT = 3;

awaitable<void> startRadioBridge(const Args& args, const Config& config, Executor eventLoop,
                                 Event& stopSignal, Event& restartSignal, bool isRestarting) {
  gw().progress.mark(Stage::Starting);
  std::string serialDevice = config.getString("UART", "device");
  long long serialSpeed = config.getInt("UART", "speed");
  auto ser = std::make_shared<SerialPort>(eventLoop);
  ser->setSpeed(serialSpeed);
  ser->setDevice(serialDevice);
  gw().ser = ser;
  gw().statusDir = args.stateDir;

  // A gateway that cannot write its state would run without doing anything: refuse to start,
  // before the hat is touched. Once running, the directory may come back (a disk freed).
  try {
    checkStateDir(args.stateDir, systemAccounts(), args.account);
    if (config.has("MQTT", "spool-dir"))
      checkWritableDir(config.getString("MQTT", "spool-dir"), "spool directory", systemAccounts(),
                       args.account);
  } catch (const std::exception& e) {
    if (!gw().recovering) throw;
    throw BringupFailed(e.what());
  }

  bool root = ::getuid() == 0;
  if (!root) ser->open();
  if (!isRestarting) {
    try {
      if (hooks().hardResetHat)
        hooks().hardResetHat();
      else
        hardResetHat(&config);
    } catch (...) {
      // After the serial device came back the daemon no longer runs as root and may not reach
      // the reset line: a board behind a USB adapter resets on open anyway.
      if (!gw().recovering) throw;
      log(describeException(std::current_exception(), "hat reset"));
    }
  }
  if (root) dropRootPrivileges(systemAccounts(), args.account);
  if (!ser->isOpen()) ser->open();

  if (!isRestarting) {
    gw().progress.mark(Stage::WaitingForStartup);
    bool started = false;
    try {
      asio::steady_timer limit(eventLoop, hooks().startupLimit);
      auto r =
          co_await (waitForHatStartup(*ser) || limit.async_wait(asio::as_tuple(use_awaitable)));
      started = r.index() == 0;
    } catch (...) {
      // Only the time-out is the hat's silence; anything else is reported as itself.
      ser->close();
      throw;
    }
    if (!started) {
      ser->close();
      // A hat that never starts at all ends the process; later it is tried again. The reset
      // line may need the root this process has given up: a hat that stays silent through a
      // few retries ends the process too, and the service manager's restart resets it.
      if (gw().recovering && ++gw().silentRetries < SILENT_RETRIES_BEFORE_EXIT)
        throw BringupFailed(
            fmt::format("the hat did not start up within {} ms", hooks().startupLimit.count()));
      log("Timed out waiting for Radio Hat to start up. Is Radio Hat connected? Exiting.");
      throw HatStartupTimeout("the hat did not start up");
    }
    gw().silentRetries = 0;
  }
  gw().recovering = false;

  MqttSettings settings = brokerSettings(config).login;
  settings.clientId = gatewayClientId(config, hostName());
  settings.cleanStart = false;
  settings.sessionExpiry = 1209600;
  if (config.has("MQTT", "buffer-size"))
    settings.bufferSize = static_cast<std::size_t>(
        config.getInt("MQTT", "buffer-size", MIN_BUFFER_SIZE, MAX_BUFFER_SIZE));
  if (config.has("MQTT", "spool-dir")) settings.spoolDir = config.getString("MQTT", "spool-dir");
  if (config.has("MQTT", "spool-size"))
    settings.spoolSize = static_cast<std::size_t>(
        config.getInt("MQTT", "spool-size", MIN_SPOOL_SIZE, MAX_SPOOL_SIZE));
  // The broker drops larger packets unsent: a command is a radio key or a number, tx/ messages
  // are only logged, and firmware images come through the node-operations connection.
  settings.maxPacketSize = GATEWAY_MAX_PACKET_BYTES;
  // As the account that will open them: files root could read may be closed to it.
  checkTlsFiles(settings);
  // One client for the whole run: what it owes the broker and its counters carry over a
  // restart, and the new settings apply at its next connect.
  if (!gw().client)
    gw().client = hooks().makeClient
                      ? hooks().makeClient(eventLoop, settings)
                      : std::shared_ptr<MqttClient>(makePahoMqttClient(eventLoop, settings));
  else
    gw().client->configure(settings);
  std::shared_ptr<MqttClient> client = gw().client;
  client->on_connect = on_connect;
  // Whoever may publish a command can send bad ones without end: refusals are flood-limited.
  client->on_message = dispatchMessage;
  client->on_disconnect = on_disconnect;
  client->on_subscribe = on_subscribe;

  auto inputLog = std::make_shared<LogThrottle>(eventLoop);
  gw().inputLog = inputLog;

  auto& registry = TaskRegistry::instance();
  std::shared_ptr<Task> rxTask, txTask;
  try {
    auto stopTask = registry.spawn(eventLoop, "stop signal", stopSignal.wait());
    auto restartTask = registry.spawn(eventLoop, "restart signal", restartSignal.wait());
    log("Starting serial interface RX...");
    rxTask =
        registry.spawn(eventLoop, "serial RX", processRxMsgs(client, config, args, gw().statusDir));
    log("Starting serial interface TX...");
    txTask = registry.spawn(eventLoop, "serial TX", processTxMsgs());
    sdnotify::ready();
    // The receive loop ends by itself only when the serial device is lost.
    co_await (stopTask->join() || restartTask->join() || rxTask->join());
  } catch (...) {
    log(describeException(std::current_exception(), "startRadioBridge"));
  }
  bool rxEnded = rxTask && rxTask->done() && !stopSignal.isSet() && !restartSignal.isSet();
  bool serialLost = rxEnded && gw().serialLost.has_value();
  bool bringUpAgain = rxEnded && !serialLost && gw().bringupFailed.has_value();
  gw().progress.mark(Stage::WindingDown);

  // No more MQTT commands: the transmit loop is about to stop and would refuse them.
  client->on_message = nullptr;
  // "offline" goes out before the DISCONNECT, which discards the will; a restart comes back
  // online within moments and says nothing.
  runHandler("observer", [&] { observer().beforeDisconnect(*client, !restartSignal.isSet()); });
  if (serialLost || bringUpAgain) {
    // The standby command cannot reach a hat that is gone, nor mean anything to one that is not
    // set up or has just reset itself.
    ser->close();
  } else if (!restartSignal.isSet()) {
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
  if (serialLost) {
    // The hat that comes back says hello again, possibly with another protocol version.
    gw().myProtocol.reset();
    std::string why = *gw().serialLost;
    gw().serialLost.reset();
    throw SerialLost(why);
  }
  if (bringUpAgain) {
    gw().myProtocol.reset();
    std::string why = *gw().bringupFailed;
    auto cause = gw().bringupCause;
    gw().bringupFailed.reset();
    gw().bringupCause = BringupFailed::Cause::Failed;
    throw BringupFailed(why, cause);
  }
  // A gateway without its receive loop would run on doing nothing.
  if (rxEnded) throw std::runtime_error("the serial receive loop ended unexpectedly");
}

}  // namespace ostrel
