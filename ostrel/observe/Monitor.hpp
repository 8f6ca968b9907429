#pragma once
// The gateway seen from the broker: availability on "gw/{uid}/status" (with the will), a health
// report on "gw/{uid}/health", one status topic per sensor heard, and optional Home Assistant
// discovery. Owned by the launcher, so its counters outlive restarts in the same process.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/Observer.hpp"
#include "ostrel/mqtt/MqttClient.hpp"
#include "ostrel/observe/Discovery.hpp"
#include "ostrel/sys/Config.hpp"

namespace ostrel::observe {

// Which sensors become Home Assistant devices ([PARSER] announce): a UID heard once, from line
// noise or a neighbour's sensor, should not.
struct AnnounceRule {
  enum Mode { All, After, Listed } mode = After;
  unsigned readings = 3;  // After: this many readings within WINDOW
  std::vector<std::pair<std::uint32_t, std::uint32_t>> listed;  // Listed: UID ranges
  static constexpr std::chrono::hours WINDOW{1};
  static constexpr unsigned MAX_READINGS = 100;
  static constexpr std::size_t MAX_LISTED = 64;
};
// "all", "after-N" (1 to 100) or "listed UID ..." (UIDs or ranges A-B); throws ConfigError.
AnnounceRule parseAnnounceRule(const std::string& text);

struct MonitorSettings {
  // Health report period; zero switches the report off. Also the least time between two status
  // publications of one sensor.
  std::chrono::seconds healthInterval{60};
  std::string discoveryPrefix;  // empty: no discovery
  AnnounceRule announce;
  Origin origin;  // the launcher fills in the version
  // After Home Assistant's birth message, the configurations wait a random time up to this: many
  // gateways (and other devices) must not all answer at once.
  std::chrono::milliseconds birthDelayMax{3000};
};
// From [MQTT] health-interval and discovery-prefix and [PARSER] announce, all optional; throws
// ConfigError.
MonitorSettings monitorSettings(const Config& config);

// What the monitor reads from the rest of the process.
struct Sources {
  std::function<std::shared_ptr<MqttClient>()> client;
  std::function<std::uint64_t()> serialRecoveries;
  std::function<std::size_t()> txQueueJobs;
  std::function<long long()> rssKb;
  // Seconds since the last byte from the hat.
  std::function<long long()> hatSilentS;
  std::function<std::chrono::steady_clock::time_point()> steadyNow = [] {
    return std::chrono::steady_clock::now();
  };
  std::function<std::chrono::system_clock::time_point()> wallNow = [] {
    return std::chrono::system_clock::now();
  };
};

// "2026-12-08T20:15:03Z"
std::string isoUtc(std::chrono::system_clock::time_point t);
// VmRSS of /proc/self/status in kB, -1 when it cannot be read.
long long readRssKb(const std::string& statusFile = "/proc/self/status");

class Monitor : public Observer, public std::enable_shared_from_this<Monitor> {
 public:
  Monitor(Executor ex, MonitorSettings settings, Sources sources);

  // The periodic report; stop() ends it.
  void start();
  void stop();

  void onHello(int version, std::uint32_t fwRevision, const std::string& hatSerial,
               std::uint32_t gatewayUid) override;
  void beforeConnect(MqttClient& client, std::uint32_t gatewayUid) override;
  void onConnected(MqttClient& client) override;
  void beforeDisconnect(MqttClient& client, bool stopping) override;
  void addSubscriptions(std::vector<std::pair<std::string, int>>& subs) override;
  void onMessage(const std::string& topic, const Bytes& payload) override;
  void onReading(std::uint32_t sensorUid, int node, int rssi, bool duplicate) override;
  void onDecryptFailure() override { ++decryptFailures_; }
  void onDecoded(std::uint32_t sensorUid, const std::shared_ptr<const DecoderInfo>& info) override;
  // The decoder files were read again: each sensor's decoders are learnt anew from its next
  // reading, and its device announced again where they changed.
  void onDecodersLoaded();
  // After a reload: sensors already announced stay so; the others follow the new rule.
  void setAnnounceRule(AnnounceRule rule) { settings_.announce = std::move(rule); }
  void onClockSync(std::chrono::system_clock::time_point when) override { lastClockSync_ = when; }

  // The health report as it would be published now.
  nlohmann::json health();
  // One period's work: health report and the sensors whose status is due.
  void tick();

  std::string statusTopic() const;
  // Sensors kept at most; readings from further ones are counted but get no topic.
  static constexpr std::size_t MAX_SENSORS = 10000;
  // A sensor's status topic goes from the broker this long after the sensor was last heard (a
  // sensor "heard" once in line noise must not stay there for ever).
  static constexpr std::uint32_t SENSOR_STATUS_EXPIRY_S = 86400;
  // Discovery configurations go out in small batches while the buffer is nearly empty, so that
  // readings never wait behind them.
  static constexpr std::size_t ANNOUNCE_BATCH = 10;
  static constexpr std::size_t ANNOUNCE_BELOW = 50;
  static constexpr std::chrono::milliseconds ANNOUNCE_PERIOD{50};
  // Decoders one sensor's device shows at most (a sensor that sends several kinds of payload).
  static constexpr std::size_t MAX_SENSOR_DECODERS = 4;

 private:
  struct Sensor {
    int node = 0;
    int rssi = 0;
    std::chrono::system_clock::time_point lastSeen;
    std::uint64_t readings = 0;
    std::uint64_t duplicates = 0;
    std::optional<std::chrono::steady_clock::time_point> lastPublished;
    std::chrono::steady_clock::time_point lastHeard;
    bool changed = false;
    bool offline = false;  // its status said so, after SENSOR_STATUS_EXPIRY_S of silence
    // Discovery: the announce rule holds (for good), the device is queued, the per-component
    // configurations of earlier versions were removed.
    bool eligible = false;
    bool queued = false;
    bool legacyCleared = false;
    std::vector<std::chrono::steady_clock::time_point> heard;  // recent readings, until eligible
    DecoderInfos decoders;
    bool decodersFresh = false;  // `decoders` learnt since the decoder files were last read
  };

  std::chrono::seconds sensorInterval() const;
  std::shared_ptr<MqttClient> connectedClient();
  void sampleCounters(MqttClient& client);
  void publishOwn(MqttClient& client, const std::string& topic, std::string payload, int qos);
  void publishSensor(MqttClient& client, std::uint32_t uid, Sensor& s);
  void publishDueSensors(MqttClient& client);
  void publishExpired(MqttClient& client);
  // Discovery: everything is announced once, and again when Home Assistant says it is back.
  bool announceRuleHolds(std::uint32_t uid, Sensor& s);
  void queueAnnouncement(std::uint32_t uid, Sensor& s);
  void announceAll();
  void scheduleAnnouncements();
  bool announceSome();  // false: not connected, nothing to do until the next connect
  awaitable<void> run();
  void probeLoop();

  Executor ex_;
  MonitorSettings settings_;
  Sources sources_;
  asio::steady_timer timer_;
  bool stopped_ = false;
  std::chrono::steady_clock::time_point started_;

  std::optional<std::uint32_t> gatewayUid_;
  std::optional<int> protocolVersion_;
  std::optional<std::uint32_t> fwRevision_;
  std::optional<std::string> hatSerial_;
  std::optional<std::chrono::system_clock::time_point> lastClockSync_;

  std::uint64_t received_ = 0;
  std::uint64_t duplicates_ = 0;
  std::uint64_t decryptFailures_ = 0;
  std::uint64_t connects_ = 0;
  std::uint64_t published_ = 0;
  std::uint64_t dropped_ = 0;
  std::size_t queued_ = 0;
  std::size_t spooled_ = 0;
  long long oldestUnacked_ = 0;  // seconds the oldest publication in flight has waited
  bool gatewayAnnounced_ = false;
  bool gatewayLegacyCleared_ = false;
  std::deque<std::uint32_t> announceQueue_;  // sensors whose configurations are due
  asio::steady_timer announceTimer_;
  bool announceArmed_ = false;
  asio::steady_timer birthTimer_;
  bool birthArmed_ = false;
  std::minstd_rand random_{std::random_device{}()};
  bool probing_ = false;
  std::chrono::steady_clock::duration loopDelayMax_{};
  bool overflowLogged_ = false;

  std::map<std::uint32_t, Sensor> sensors_;
};

}  // namespace ostrel::observe
