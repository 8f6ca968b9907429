#pragma once
// Protocol version 2: hat-stamped readings, the hat clock, clock drift, radio settings and keys.
#include <map>
#include <memory>
#include <optional>

#include "ostrel/hat/HatProtocolV1.hpp"
#include "ostrel/sys/Config.hpp"
#include "ostrel/time/ClockBeacon.hpp"

namespace ostrel {

class HatProtocolV2 : public HatProtocolV1, public ClockTarget {
 public:
  HatProtocolV2(std::shared_ptr<SerialPort> serialDev, std::shared_ptr<MqttClient> client,
                std::shared_ptr<SensorMsgParser> msgParser, std::string statusDir,
                const Config& config, Executor ex);
  ~HatProtocolV2() override;

  int getVersion() const override { return 2; }
  awaitable<bool> processMsg(const std::string& msgStart) override;
  awaitable<void> handleValidRx(bool isDuplicate) override;
  awaitable<void> handleInvalidRx() override;

  // Hat clock.
  void txDate() override;
  void rxDate() override;
  // An "RT" answer; within the window of a liveness question it only tells that the hat is there.
  awaitable<void> handleTime();
  // Asks the hat's clock to learn whether the hat is alive: answers within `window` from now
  // change no clock and say nothing. A clock read of the synchroniser answered in that window
  // is passed over too; its next synchronisation asks again.
  void askAlive(std::chrono::steady_clock::duration window);
  // None for an all-zero stamp (the hat's clock is not set); throws DecodeError otherwise when
  // the stamp is not a valid date.
  static std::optional<UtcTime> parseDate(ByteView payload);
  // The "ST" frame for a given time (exposed for tests).
  static Bytes encodeDate(UtcTime now);

  // Clock drift and offset.
  void calculateSensorRTCOffset(std::uint32_t senderUID);
  void calculateSensorRTCOffset(std::uint32_t senderUID, long long rxUnixTimeMillis);
  void setRTCOffset(double rtcOffsetPPM);
  // Whether an offset fits the hat's trim field (steps of 3.2 ppb, 16 bits signed).
  static bool rtcOffsetFits(double rtcOffsetPPM);

  // Radio configuration and keys.
  awaitable<void> postEncryption() override;
  void txRadioConfig();
  // The radio key of a sensor, as the hat takes it.
  static constexpr std::size_t PEER_KEY_BYTES = 32;
  // Throws EncodeError for a key of another size.
  void setupPeerKey(long long peerUID, const Bytes& peerKey);
  void removePeerKey(long long peerUID);
  void shutdown() override;

  void scheduleTx(std::function<void()> job) override { HatProtocolV1::scheduleTx(std::move(job)); }
  using HatProtocolV1::scheduleTx;

  bool logSensorRtcOffset = false;
  bool logFailedDecrypt = false;
  std::unique_ptr<ClockBeacon> timeSyncer;
  Config config;
  std::map<std::uint32_t, long long> time4hMinSender;
  std::map<std::uint32_t, long long> numRxPerSender;

 private:
  std::chrono::steady_clock::time_point quietTimeUntil_{};
};

class HatProtocolV3 : public HatProtocolV2 {
 public:
  using HatProtocolV2::HatProtocolV2;
  int getVersion() const override { return 3; }

 protected:
  bool defaultSetupPeers() const override { return false; }
};

}  // namespace ostrel
