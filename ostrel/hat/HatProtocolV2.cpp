#include "ostrel/hat/HatProtocolV2.hpp"

#include <cmath>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Observer.hpp"

namespace ostrel {

HatProtocolV2::HatProtocolV2(std::shared_ptr<SerialPort> serialDev,
                             std::shared_ptr<MqttClient> client,
                             std::shared_ptr<SensorMsgParser> msgParser, std::string statusDir,
                             const Config& cfg, Executor ex)
    : HatProtocolV1(std::move(serialDev), std::move(client), std::move(msgParser),
                    std::move(statusDir)),
      config(cfg) {
  long long syncInterval = cfg.getInt("TIME", "sync-interval");
  long long ntpCheckIntervalMin = cfg.getInt("TIME", "ntp-check-interval-min");
  long long ntpCheckIntervalMax = cfg.getInt("TIME", "ntp-check-interval-max");
  logSensorRtcOffset = cfg.getBool("LOG", "sensor-rtc-offset");
  logFailedDecrypt = cfg.getBool("LOG", "failed-decrypt");
  timeSyncer = std::make_unique<ClockBeacon>(ex, *this, syncInterval, ntpCheckIntervalMin,
                                             ntpCheckIntervalMax);
}

HatProtocolV2::~HatProtocolV2() = default;

awaitable<bool> HatProtocolV2::processMsg(const std::string& msgStart) {
  // Awaited outside the condition: GCC 12 mishandles the awaitable's frame inside one.
  bool handled = co_await HatProtocolV1::processMsg(msgStart);
  if (handled) co_return true;
  if (msgStart == "RT") {
    co_await handleTime();
    co_return true;
  }
  co_return false;
}

static long long toMillis(UtcTime t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

awaitable<void> HatProtocolV2::handleValidRx(bool isDuplicate) {
  Bytes block = co_await readBlock(15, "sensor message");
  std::uint32_t senderUID = getBe32(block, 0);
  int msgsender = block[4];
  int rssi = -int(block[6]);
  auto it = numRxPerSender.find(senderUID);
  if (it != numRxPerSender.end())
    ++it->second;
  else
    numRxPerSender[senderUID] = 0;
  if (logSensorRtcOffset) calculateSensorRTCOffset(senderUID);
  auto msgDate = parseDate(ByteView(block).subspan(7, 8));
  if (!isDuplicate) nodeIds().set(senderUID, msgsender);
  // A hat whose clock is not set stamps zeros: fall back to the gateway's clock.
  long long ts = msgDate ? toMillis(*msgDate) : nowMillis();
  publishMsg(ts, Bytes(block.begin() + 15, block.end()), msgsender, senderUID, rssi, isDuplicate);
}

awaitable<void> HatProtocolV2::handleInvalidRx() {
  auto now =
      std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
  // Consumed whole even when it is not logged.
  Bytes block = co_await readBlock(0, "failed message");
  observer().onDecryptFailure();
  if (!logFailedDecrypt) co_return;
  if (block.size() < 12)
    throw DecodeError(fmt::format("failed message block of {} bytes is too short", block.size()));
  int rssi = -int(block[2]);
  auto rest = byteList(ByteView(block).subspan(12));
  auto msgDate = parseDate(ByteView(block).subspan(4, 8));
  if (!msgDate) {
    logf("TX {} -> RX {}: Decrypt Failed. {} Connection index: {} \t RSSI: {}", block[0], block[1],
         rest, block[3], rssi);
    co_return;
  }
  double diffMs = roundTo2(static_cast<double>((*msgDate - now).count()) / 1000.0);
  logf("TX {} -> RX {}: Decrypt Failed. {} Connection index: {} \t RSSI: {}\t {} ({} ms)", block[0],
       block[1], rest, block[3], rssi, isoLocalMillis(*msgDate), floatRepr(diffMs));
}

awaitable<void> HatProtocolV2::postEncryption() {
  // Awaited, so that the first clock command is queued ahead of "RF" and the wake-up; a slow
  // status read holds the wake-up for a bounded time only (see syncNow).
  co_await timeSyncer->syncNow(true);
  long long threshold = config.getInt("RADIO", "rssi-threshold");
  if (threshold > 0 || threshold < -255) {
    logf("Ignoring RSSI threshold {}: it must lie between -255 and 0 dBm", threshold);
  } else if (threshold != -98) {
    scheduleTx(&HatProtocolV2::txRadioConfig, this);
  }
  co_await HatProtocolV1::postEncryption();
}

void HatProtocolV2::txRadioConfig() {
  long long threshold = config.getInt("RADIO", "rssi-threshold");
  Bytes f = toBytes("RF");
  putU8(f, -threshold, "RSSI threshold magnitude");
  logf("Setting RSSI threshold {}", threshold);
  writeFrame(f);
}

void HatProtocolV2::setupPeerKey(long long peerUID, const Bytes& peerKey) {
  if (peerKey.size() != PEER_KEY_BYTES)
    throw EncodeError(
        fmt::format("a peer key has {} bytes, not {}", peerKey.size(), PEER_KEY_BYTES));
  Bytes f = toBytes("PK");
  putBe32(f, peerUID, "peer UID");
  append(f, peerKey);
  logf("Transmitting peer key for UID {}", peerUID);
  writeFrame(f);
}

void HatProtocolV2::removePeerKey(long long peerUID) {
  Bytes f = toBytes("PK");
  putBe32(f, peerUID, "peer UID");
  f.insert(f.end(), 32, 0);
  logf("Sending remove command for peer UID {}", peerUID);
  writeFrame(f);
}

void HatProtocolV2::shutdown() {
  HatProtocolV1::shutdown();
  if (timeSyncer) timeSyncer->shutdown();
}

}  // namespace ostrel
