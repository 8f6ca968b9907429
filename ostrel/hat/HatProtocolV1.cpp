#include "ostrel/hat/HatProtocolV1.hpp"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/base/Observer.hpp"

namespace ostrel {

using namespace asio::experimental::awaitable_operators;

HatProtocolV1::HatProtocolV1(std::shared_ptr<SerialPort> serialDev,
                             std::shared_ptr<MqttClient> client,
                             std::shared_ptr<SensorMsgParser> msgParser, std::string statusDir)
    : ser_(std::move(serialDev)),
      mqttClient_(std::move(client)),
      msgParser_(std::move(msgParser)),
      statusDir_(std::move(statusDir)) {}

HatProtocolV1::~HatProtocolV1() = default;

std::shared_ptr<SerialPort> HatProtocolV1::port() const {
  std::lock_guard lk(bindMutex_);
  return ser_;
}

std::shared_ptr<MqttClient> HatProtocolV1::mqtt() const {
  std::lock_guard lk(bindMutex_);
  return mqttClient_;
}

void HatProtocolV1::rebind(std::shared_ptr<SerialPort> serialDev,
                           std::shared_ptr<MqttClient> client) {
  std::lock_guard lk(bindMutex_);
  ser_ = std::move(serialDev);
  mqttClient_ = std::move(client);
}

void HatProtocolV1::setParser(std::shared_ptr<SensorMsgParser> msgParser) {
  // Called on the event loop, as publishMsg is: no reading is being parsed meanwhile.
  msgParser_ = std::move(msgParser);
}

void HatProtocolV1::txQueuedMsgs() {
  Job job = txQueue_.take();
  if (job) job();
}

void HatProtocolV1::scheduleTx(Job job) {
  txQueue_.put(std::move(job));
}

void HatProtocolV1::scheduleTx(TxSource source, Job job) {
  txQueue_.put(source, std::move(job));
}

void HatProtocolV1::writeFrame(const Bytes& frame) {
  auto p = port();
  if (!p) throw SerialError("no serial port");
  p->write(frame);
  p->flush();
}

awaitable<Bytes> HatProtocolV1::readExactly(std::size_t n, const char* what) {
  Bytes b = co_await port()->read_async(n);
  if (b.size() < n)
    throw DecodeError(fmt::format("short read: {} needs {} bytes, got {}", what, n, b.size()));
  co_return b;
}

void HatProtocolV1::publishMsg(long long tsMillis, const Bytes& payload, int msgsender,
                               std::uint32_t senderUID, int rssi, bool isDuplicate) {
  observer().onReading(senderUID, msgsender, rssi, isDuplicate);
  MsgDecoder* specificMsgParser = msgParser_->getParser(payload);
  if (!specificMsgParser) {
    logf("Sensor #{} [Node {}]: Could not parse msg. RSSI: {}", senderUID, msgsender, rssi);
    return;
  }
  if (isDuplicate) {
    logf("Sensor #{} [Node {}]: Duplicate msg \t RSSI: {} ", senderUID, msgsender, rssi);
    return;
  }
  ParsedMsg parsedMsg = specificMsgParser->parse(senderUID, payload);
  std::string mymsg = msgParser_->toString(parsedMsg);
  auto client = mqtt();
  MsgPublisher& publisher = specificMsgParser->getPublisher(*client);
  publisher.publish(senderUID, tsMillis, parsedMsg, rssi);
  logf("Sensor #{} [Node {}]: {} \t RSSI: {}", senderUID, msgsender, mymsg, rssi);
}

awaitable<Bytes> HatProtocolV1::readBlock(std::size_t minSize, const char* what) {
  Bytes len = co_await readExactly(1, what);
  Bytes block = co_await readExactly(len[0], what);
  if (block.size() < minSize)
    throw DecodeError(fmt::format("{} block of {} bytes is too short", what, block.size()));
  co_return block;
}

awaitable<void> HatProtocolV1::handleValidRx(bool isDuplicate) {
  Bytes block = co_await readBlock(7, "sensor message");
  std::uint32_t senderUID = getBe32(block, 0);
  int msgsender = block[4];
  int rssi = -int(block[6]);
  if (!isDuplicate) nodeIds_->set(senderUID, msgsender);
  long long ts = nowMillis();
  publishMsg(ts, Bytes(block.begin() + 7, block.end()), msgsender, senderUID, rssi, isDuplicate);
}

awaitable<void> HatProtocolV1::handleInvalidRx() {
  Bytes block = co_await readBlock(4, "failed message");
  observer().onDecryptFailure();
  logf("TX {} -> RX {}: Decrypt Failed. {} Connection index: {} \t RSSI: {}", block[0], block[1],
       byteList(ByteView(block).subspan(4)), block[3], -int(block[2]));
}

awaitable<void> HatProtocolV1::handleStoreState() {
  Bytes block = co_await readExactly(17, "link state report");
  logf("Storing state for UID {}.", getBe32(block, 5));
  CipherLink::storeState(statusDir_, ByteView(block).subspan(0, 4), ByteView(block).subspan(5, 12));
}

awaitable<void> HatProtocolV1::handleStatistics() {
  Bytes block = co_await readExactly(8, "statistics report");
  logf("Num RX: {}, Num Lost Packets: {}", getBe32(block, 0), getBe32(block, 4));
}

// Drops the last n characters (not bytes) of a UTF-8 text.
static void dropLastChars(std::string& s, int n) {
  while (n-- > 0 && !s.empty()) {
    std::size_t i = s.size() - 1;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    s.erase(i);
  }
}

awaitable<void> HatProtocolV1::handleLog() {
  Bytes line = co_await port()->readline_async();
  std::string text = decodeUtf8Lossy(line);
  dropLastChars(text, 2);
  // The hat's firmware may print without end: its lines share a flood limit.
  if (!hatLog_) hatLog_ = std::make_unique<LogThrottle>(co_await asio::this_coro::executor);
  hatLog_->log(fmt::format("[GW Log] {}", shortened(text)));
  if (text == "Gateway Module started up")
    throw HatRestarted("the hat printed its start-up line while running");
}

awaitable<bool> HatProtocolV1::processMsg(const std::string& msgStart) {
  if (msgStart == "SD" || msgStart == "SI") {
    co_await handleValidRx(msgStart == "SI");
  } else if (msgStart == "SX") {
    co_await handleInvalidRx();
  } else if (msgStart == "SP") {
    co_await handleStoreState();
  } else if (msgStart == "ST") {
    co_await handleStatistics();
  } else if (msgStart == "LG") {
    co_await handleLog();
  } else {
    co_return false;
  }
  co_return true;
}

static std::string trimWs(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

awaitable<std::string> HatProtocolV1::waitForRxMsg(SerialPort& ser,
                                                   std::optional<std::string> awaitedMsg) {
  LogThrottle hatLog(co_await asio::this_coro::executor);
  Bytes partial;
  for (;;) {
    Bytes raw = co_await ser.readline_async();
    std::string line;
    if (awaitedMsg) {
      // A line cut by the read time-out continues in the next read: keep it.
      partial.insert(partial.end(), raw.begin(), raw.end());
      if (partial.empty()) continue;
      if (partial.back() != '\n' && partial.size() < 4096) continue;
      line = decodeUtf8Lossy(partial);
      partial.clear();
    } else {
      line = decodeUtf8Lossy(raw);
    }
    if (!line.empty()) {
      auto pos = line.find("LG");
      if (pos != std::string::npos) {
        line = trimWs(line.substr(pos + 2));
        hatLog.log(fmt::format("[GW Log] {}", shortened(line)));
      }
    }
    if (!awaitedMsg || line == *awaitedMsg) co_return line;
  }
}

void HatProtocolV1::shutdown() {
  writeFrame(toBytes("SC"));
}

void HatProtocolV1::wakeupRadio() {
  log("Waking Gateway Hat up\n");
  writeFrame(toBytes("TC"));
}

namespace {
// Waits for a confirmation line of the hat, at most `limit`.
awaitable<void> awaitConfirmation(SerialPort& ser, const std::string& text,
                                  std::chrono::milliseconds limit) {
  asio::steady_timer t(co_await asio::this_coro::executor, limit);
  auto r = co_await (HatProtocolV1::waitForRxMsg(ser, text) ||
                     t.async_wait(asio::as_tuple(use_awaitable)));
  if (r.index() == 1) {
    logf("Gateway Hat did not confirm \"{}\" within {} ms; encryption setup abandoned", text,
         limit.count());
    throw HatTimeout(fmt::format("no \"{}\" from the hat within {} ms", text, limit.count()));
  }
}

// Status files directly in `dir`, in directory order.
// A listing error is logged: the peers it hides would otherwise go missing without a word.
std::vector<std::string> listStatusFiles(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    logf("Cannot list status directory {}: {}", dir, std::strerror(errno));
    return out;
  }
  for (;;) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (!e) {
      if (errno != 0)
        logf("Cannot list status directory {}: {}; peers after this point are not set up", dir,
             std::strerror(errno));
      break;
    }
    std::string name = e->d_name;
    if (name.size() > 7 && name.compare(name.size() - 7, 7, ".status") == 0 && name[0] != '.')
      out.push_back(dir + "/" + name);
  }
  ::closedir(d);
  return out;
}
}  // namespace

awaitable<void> HatProtocolV1::setupEncryption(const Args& args, std::optional<bool> setupPeers) {
  bool peers = setupPeers.value_or(defaultSetupPeers());
  Bytes ls = toBytes("LS");
  putU8(ls, args.nodeId, "node ID");
  putU8(ls, args.networkId, "network ID");
  ls.insert(ls.end(), 4, 0);
  auto ser = port();
  writeFrame(ls);
  logf("Sent local node setup for node {}, network {} \n", args.nodeId, args.networkId);
  co_await awaitConfirmation(*ser, "Local node setup complete", confirmTimeout);
  if (onSetupProgress) onSetupProgress();

  if (peers) {
    std::vector<long long> uids;
    for (const auto& path : listStatusFiles(statusDir_)) {
      auto slash = path.rfind('/');
      auto dot = path.rfind('.');
      try {
        uids.push_back(parseInteger(path.substr(slash + 1, dot - slash - 1)));
      } catch (const std::invalid_argument&) {
        // not a node's file
      }
    }
    for (long long uid : uids) {
      auto link = std::make_unique<CipherLink>(static_cast<int>(args.nodeId), -80, statusDir_);
      // One bad file (short, unreadable, not ours) costs that node, not the whole gateway.
      bool ready = false;
      try {
        ready = link->setupEncryptionForNode(uid);
      } catch (const std::exception& e) {
        logf("Skipping node {}: {}", uid, e.what());
      }
      if (!ready) continue;
      Bytes ps = toBytes("PS");
      putBe32(ps, link->local.startupCounter);
      ps.push_back(0);
      putBe32(ps, link->peer.uid, "peer UID");
      putBe32(ps, link->peer.startupCounter);
      putBe32(ps, link->peer.messageCounter);
      append(ps, link->encryptionKey);
      uid2Radio[static_cast<std::uint32_t>(uid)] = std::move(link);
      writeFrame(ps);
      log("Sent peer node setup\n");
      co_await awaitConfirmation(*ser, "Peer setup complete", confirmTimeout);
      if (onSetupProgress) onSetupProgress();
    }
  }
  co_await postEncryption();
}

awaitable<void> HatProtocolV1::postEncryption() {
  scheduleTx(&HatProtocolV1::wakeupRadio, this);
  encryptionSetup_ = true;
  co_return;
}

}  // namespace ostrel
