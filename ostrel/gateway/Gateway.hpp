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
#include "ostrel/gateway/HatLiveness.hpp"
#include "ostrel/gateway/Progress.hpp"
#include "ostrel/hat/HatProtocolV1.hpp"
#include "ostrel/hat/NodeIds.hpp"
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

// The hat has to be brought up again: its bring-up failed, or it reset itself or fell silent while
// running. The launcher pauses (growing to a minute; not after a good run) and starts the gateway
// again in the same process, the hat's reset pulse first.
class BringupFailed : public std::runtime_error {
 public:
  enum class Cause { Failed, HatReset, HatSilent };
  BringupFailed(const std::string& why, Cause cause = Cause::Failed)
      : std::runtime_error(why), cause(cause) {}
  Cause cause;
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
  // Made at the hat's hello; replaced when the hat is brought up again.
  std::shared_ptr<HatProtocolV1> myProtocol;
  // The sensors' node IDs, learnt by every protocol object and used by the node operations.
  std::shared_ptr<NodeIds> nodeIds = std::make_shared<NodeIds>();
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
  BringupFailed::Cause bringupCause = BringupFailed::Cause::Failed;
  // Start-up waits in a row that the hat let pass in silence while being brought up again.
  int silentRetries = 0;
  // Whether the hat still talks; kept across bring-ups, so that its silence counts on.
  HatLiveness liveness;
  // "gateway.uid is a link" has been said.
  bool uidLinkTold = false;
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

// The largest packet the gateway's own connection takes from the broker: the longest topic MQTT
// allows (65,535 bytes, refused here with one line) and a command's few bytes.
inline constexpr std::uint32_t GATEWAY_MAX_PACKET_BYTES = 68 * 1024;

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

// The loops.
awaitable<void> processRxMsgs(std::shared_ptr<MqttClient> client, const Config& config,
                              const Args& args, std::string statusDir);
awaitable<void> processTxMsgs();

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
  std::string_view gatewayUid;  // digits, a view into the topic
  std::string_view sensorUid;   // digits, a view into the topic
};
CommandTopic matchCommandTopic(std::string_view topic);
// Acts on a command or hands the message to the observer. A command that is not for this
// gateway or that the hat could not take is refused on arrival with std::invalid_argument;
// nothing is queued then.
void on_message(MqttClient& client, const std::string& topic, const Bytes& payload, int qos,
                const std::string& props);
// The client's on_message while the gateway runs: on_message, each refusal or failure logged in
// one flood-limited line that names the topic and the reason.
void dispatchMessage(MqttClient& client, const std::string& topic, const Bytes& payload, int qos,
                     const std::string& props);

}  // namespace ostrel
