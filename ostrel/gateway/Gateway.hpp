#pragma once
// The gateway core: start-up, supervision and wind-down, and the state its parts share.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ostrel/base/Args.hpp"
#include "ostrel/base/Asio.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/base/Tasks.hpp"
#include "ostrel/gateway/Progress.hpp"
#include "ostrel/hat/HatProtocolV1.hpp"
#include "ostrel/mqtt/MqttClient.hpp"
#include "ostrel/parser/Decoders.hpp"
#include "ostrel/sys/Config.hpp"
#include "ostrel/sys/Privileges.hpp"
#include "ostrel/sys/SerialPort.hpp"

namespace ostrel {

// The hat did not report its start-up in time: the launcher ends the process with status 3.
class HatStartupTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The hat has to be brought up again: its bring-up failed, or it reset itself while running. The
// launcher pauses (growing to a minute) and starts the gateway again in the same process.
class BringupFailed : public std::runtime_error {
 public:
  BringupFailed(const std::string& why, bool hatReset = false)
      : std::runtime_error(why), hatReset(hatReset) {}
  bool hatReset;
};

// An answer of the hat that belongs to a waiting operation, not to the receive loop.
struct PendingReply {
  std::string code;        // the two bytes the answer starts with
  std::size_t length = 0;  // bytes in all, code included
  std::function<void(Bytes)> deliver;
};

// Module-wide state of the gateway core. One per process; kept across a restart.
struct GatewayState {
  std::shared_ptr<SerialPort> ser;
  std::shared_ptr<HatProtocolV1> myProtocol;
  // Made at the first start and kept until exit.
  std::shared_ptr<MqttClient> client;
  std::string statusDir = "/var/quorind-gateway";
  // The next answer the receive loop hands to a waiting operation (at most one at a time).
  std::optional<PendingReply> pendingReply;
  // Set by the launcher while it starts the gateway again after the serial device was lost.
  bool recovering = false;
  // Why the receive loop ended: the serial device went away.
  std::optional<std::string> serialLost;
  std::uint64_t serialRecoveries = 0;
  // Why the receive loop ended: the hat has to be brought up again (see BringupFailed).
  std::optional<std::string> bringupFailed;
  bool hatReset = false;
  // Set when a bring-up reaches the running stage; the launcher clears it.
  bool broughtUp = false;
  Progress progress;
  // The flood limit for log lines that MQTT input causes; set while the gateway runs.
  std::weak_ptr<LogThrottle> inputLog;
  // Notified when the hat's hello has made a protocol object and when the transmit queue opens.
  Notifier changed;
  // The decoder files of [PARSER] decoders-dir as last read (null when not set).
  std::shared_ptr<const decoders::DecoderSet> decoders;
};
GatewayState& gw();

// Seams for tests: how the MQTT client and the hat reset are made.
struct GatewayHooks {
  std::function<std::shared_ptr<MqttClient>(Executor, const MqttSettings&)> makeClient;
  std::function<void()> hardResetHat;
  std::chrono::milliseconds startupLimit{6000};
  // The hat sends its hello right after its start-up line: a hat silent this long is brought up
  // again.
  std::chrono::milliseconds helloLimit{10000};
  std::chrono::milliseconds graceEach{200};
};
GatewayHooks& hooks();

awaitable<void> startRadioBridge(const Args& args, const Config& config, Executor eventLoop,
                                 Event& stopSignal, Event& restartSignal, bool isRestarting);
void shutdownRadio();
// The optional TLS keys of [MQTT] (tls, ca-file, cert-file, key-file).
void readTlsSettings(const Config& config, MqttSettings& settings);

// The decoder files of [PARSER] decoders-dir, read into gw().decoders at start and at each
// SIGHUP; every file refused is logged with its line and reason. At start, a directory that
// cannot be read, or whose files all fail, throws ConfigError; later it leaves no decoders.
void loadDecoders(const Config& config, bool atStart);
// This start's parser: [PARSER] library, or the shipped one with gw().decoders.
std::shared_ptr<SensorMsgParser> makeSensorMsgParser(const Config& config);

// Hat bring-up.
bool isRaspi(const std::string& cpuinfo = "/proc/cpuinfo");
void hardResetHat(const Config* config = nullptr);
awaitable<void> waitForHatStartup(SerialPort& ser);
void emptyFunc();

// The loops.
awaitable<void> processRxMsgs(std::shared_ptr<MqttClient> client, const Config& config,
                              const Args& args, std::string statusDir);
awaitable<void> processTxMsgs(std::shared_ptr<MqttClient> client, const Args& args,
                              Executor eventLoop);

// MQTT handlers.
void on_connect(MqttClient& client, const std::string& flags, const std::string& rc,
                const std::string& props);
void on_disconnect(MqttClient& client, const std::string& reason);
void on_subscribe(MqttClient& client, int mid, const std::vector<int>& qos,
                  const std::string& props);
// The command topics the gateway acts on, matched level by level (no regular expressions: a
// topic of any length costs time linear in its length and no stack).
struct CommandTopic {
  enum Kind { None, SetSensorRadioKey, RemoveSensorRadioKey, SetRTCOffset } kind = None;
  std::string_view sensorUid;  // digits, a view into the topic
};
CommandTopic matchCommandTopic(std::string_view topic);
void on_message(MqttClient& client, const std::string& topic, const Bytes& payload, int qos,
                const std::string& props);

}  // namespace ostrel
