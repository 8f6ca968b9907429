#pragma once
// Serial protocol version 1 with the hat: receive dispatch and publishing, encryption setup,
// transmit queue. Base of the later versions.
#include <chrono>
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "ostrel/base/Args.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/hat/CipherLink.hpp"
#include "ostrel/hat/NodeIds.hpp"
#include "ostrel/hat/TxQueue.hpp"
#include "ostrel/mqtt/MqttClient.hpp"
#include "ostrel/parser/SensorMsgParser.hpp"
#include "ostrel/sys/SerialPort.hpp"

namespace ostrel {

// The hat did not confirm a set-up step in time.
class HatTimeout : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The hat printed its start-up line while the gateway ran: it has reset itself and lost its
// set-up.
class HatRestarted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class HatProtocolV1 {
 public:
  using Job = std::function<void()>;

  HatProtocolV1(std::shared_ptr<SerialPort> serialDev, std::shared_ptr<MqttClient> client,
                std::shared_ptr<SensorMsgParser> msgParser, std::string statusDir);
  virtual ~HatProtocolV1();

  virtual int getVersion() const { return 1; }
  void setGWUID(std::uint32_t uniqueId) { uid_ = uniqueId; }
  std::uint32_t getGWUID() const { return uid_; }

  // Transmit worker: takes the oldest job (waiting while there is none) and runs it; returns
  // without running anything once the queue is closed.
  void txQueuedMsgs();
  // Queues a job; never blocks (see TxQueue). Throws when the transmit loop has stopped or the
  // source's lane is full. Without a source: one of the gateway's own jobs.
  void scheduleTx(Job job);
  void scheduleTx(TxSource source, Job job);
  template <typename F, typename... A>
  requires std::invocable<F, A...>
  void scheduleTx(F&& f, A&&... a) {
    scheduleTx(Job(std::bind_front(std::forward<F>(f), std::forward<A>(a)...)));
  }

  void publishMsg(long long tsMillis, const Bytes& payload, int msgsender, std::uint32_t senderUID,
                  int rssi, bool isDuplicate = false);

  virtual awaitable<void> handleValidRx(bool isDuplicate);
  virtual awaitable<void> handleInvalidRx();
  awaitable<void> handleStoreState();
  awaitable<void> handleStatistics();
  // Throws HatRestarted after logging the hat's start-up line.
  awaitable<void> handleLog();
  // True when the code was recognised and its message handled; false reads nothing more.
  virtual awaitable<bool> processMsg(const std::string& msgStart);

  // Reads lines until one equals `awaitedMsg` (after log-line handling), or returns the first
  // line when there is none. While waiting for a text, a partial line cut by the read time-out
  // is kept and joined with what follows.
  static awaitable<std::string> waitForRxMsg(SerialPort& ser,
                                             std::optional<std::string> awaitedMsg);

  virtual void shutdown();
  // "TC": the radio goes on. Queued once the set-up is done, whether or not MQTT is connected:
  // readings wait in the client, and a sleeping radio would lose them.
  void wakeupRadio();
  // setupPeers: none means the version's default (true for 1 and 2, false for 3).
  virtual awaitable<void> setupEncryption(const Args& args,
                                          std::optional<bool> setupPeers = std::nullopt);
  virtual awaitable<void> postEncryption();

  // After a restart in the same process: the port and client of the new start.
  virtual void rebind(std::shared_ptr<SerialPort> serialDev, std::shared_ptr<MqttClient> client);
  // After a restart in the same process: the parser of the new start (its decoders read again).
  void setParser(std::shared_ptr<SensorMsgParser> msgParser);

  // How long the set-up waits for each confirmation of the hat.
  std::chrono::milliseconds confirmTimeout{5000};
  // Called after each confirmation of the set-up: a long list of peers is progress, not a hang.
  std::function<void()> onSetupProgress;

  // State, also read by tests.
  std::shared_ptr<SerialPort> port() const;
  std::shared_ptr<MqttClient> mqtt() const;
  const std::string& statusDir() const { return statusDir_; }
  bool encryptionSetup() const { return encryptionSetup_; }
  // The node IDs learnt from readings go to the gateway's map (an own one until it is given).
  void useNodeIds(std::shared_ptr<NodeIds> ids) { nodeIds_ = std::move(ids); }
  NodeIds& nodeIds() { return *nodeIds_; }
  std::map<std::uint32_t, std::unique_ptr<CipherLink>> uid2Radio;
  TxQueue& txQueue() { return txQueue_; }

 protected:
  virtual bool defaultSetupPeers() const { return true; }
  // Reads exactly n bytes or fails: a short read means the hat's data was cut.
  awaitable<Bytes> readExactly(std::size_t n, const char* what);
  // A length byte and the block it announces, which must hold at least `minSize` bytes.
  awaitable<Bytes> readBlock(std::size_t minSize, const char* what);
  void writeFrame(const Bytes& frame);

 private:
  mutable std::mutex bindMutex_;
  std::unique_ptr<LogThrottle> hatLog_;
  std::shared_ptr<SerialPort> ser_;
  std::shared_ptr<MqttClient> mqttClient_;
  std::shared_ptr<SensorMsgParser> msgParser_;
  std::string statusDir_;
  TxQueue txQueue_{10};
  std::shared_ptr<NodeIds> nodeIds_ = std::make_shared<NodeIds>();
  bool encryptionSetup_ = false;
  std::uint32_t uid_ = 0;
};

}  // namespace ostrel
