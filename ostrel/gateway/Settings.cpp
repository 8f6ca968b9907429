#include "ostrel/gateway/Settings.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/sys/SerialPort.hpp"

namespace ostrel {

namespace {

struct IntRange {
  const char* section;
  const char* key;
  long long min, max;
  bool required;
};

// A day is the longest period worth waiting for anything here; a longer one only hides a fault.
constexpr long long DAY = 86400;

constexpr IntRange INT_RANGES[] = {
    {"MQTT", "port", 1, 65535, true},
    // The keep-alive is a 16-bit field of CONNECT; 0 would switch the broker's check off.
    {"MQTT", "keepalive", 1, 65535, true},
    {"MQTT", "buffer-size", MIN_BUFFER_SIZE, MAX_BUFFER_SIZE, false},
    {"MQTT", "spool-size", MIN_SPOOL_SIZE, MAX_SPOOL_SIZE, false},
    {"MQTT", "health-interval", 0, DAY, false},
    // 0 or less: off (existing configurations say so with a negative value too).
    {"TIME", "sync-interval", -7 * DAY, 7 * DAY, true},
    // 0 polls after a second, as 1 does.
    {"TIME", "ntp-check-interval-min", 0, DAY, true},
    {"TIME", "ntp-check-interval-max", 0, DAY, true},
    {"RADIO", "rssi-threshold", -255, 0, true},
    {"GATEWAY", "node-id", 0, 255, false},
    {"GATEWAY", "network-id", 0, 255, false},
    {"HAT", "reset-line", -1, 1023, false},  // -1: none
    // Held on the event loop: a second at most.
    {"HAT", "reset-pulse-ms", 1, 1000, false},
};

}  // namespace

void checkSettings(const Config& c) {
  for (auto [s, k] :
       {std::pair{"UART", "device"}, {"MQTT", "username"}, {"MQTT", "password"}, {"MQTT", "host"}})
    c.getString(s, k);
  if (c.has("MQTT", "spool-dir")) {
    std::string dir = c.getString("MQTT", "spool-dir");
    if (!dir.starts_with("/"))
      throw ConfigError(fmt::format(
          "configuration file {}: key 'spool-dir' in section [MQTT] must be an absolute path, got "
          "'{}'",
          c.path(), escapeControl(dir)));
  }
  long long speed = c.getInt("UART", "speed");
  if (!SerialPort::supportsSpeed(speed))
    throw ConfigError(fmt::format(
        "configuration file {}: key 'speed' in section [UART] is not a serial speed this system "
        "supports: {}",
        c.path(), speed));
  for (const auto& r : INT_RANGES)
    if (r.required || c.has(r.section, r.key)) c.getInt(r.section, r.key, r.min, r.max);
  for (auto [s, k] : {std::pair{"LOG", "sensor-rtc-offset"}, {"LOG", "failed-decrypt"}})
    c.getBool(s, k);
  for (auto [s, k] : {std::pair{"MQTT", "tls"},
                      {"HAT", "reset-active-low"},
                      {"OPS", "enabled"},
                      {"PARSER", "publish-raw"}})
    if (c.has(s, k)) c.getBool(s, k);
  if (c.has("PARSER", "decoders-dir")) {
    if (!c.getString("PARSER", "decoders-dir").starts_with("/"))
      throw ConfigError(fmt::format(
          "configuration file {}: key 'decoders-dir' in section [PARSER] must be an absolute path",
          c.path()));
    // The decoder files are the shipped parser's: a parser library replaces it whole.
    if (c.has("PARSER", "library"))
      throw ConfigError(fmt::format(
          "configuration file {}: [PARSER] library and decoders-dir are both set; one parser at a "
          "time: remove one of them",
          c.path()));
  }
  if (c.has("MQTT", "client-id")) {
    std::string id = c.getString("MQTT", "client-id");
    bool printable =
        std::all_of(id.begin(), id.end(), [](char ch) { return ch > ' ' && ch < 127; });
    if (id.empty() || id.size() > MAX_CLIENT_ID || !printable)
      throw ConfigError(fmt::format(
          "configuration file {}: key 'client-id' in section [MQTT] must be 1 to {} printable "
          "characters without blanks, got '{}'",
          c.path(), MAX_CLIENT_ID, escapeControl(id)));
  }
  MqttSettings tls;
  readTlsSettings(c, tls);
  if (!tls.keyFile.empty() && tls.certFile.empty())
    throw ConfigError(fmt::format(
        "configuration file {}: [MQTT] key-file is set without cert-file, the certificate it "
        "belongs to",
        c.path()));
  checkTlsFiles(tls);
}

std::string gatewayClientId(const Config& config, const std::string& hostName) {
  if (config.has("MQTT", "client-id")) return config.getString("MQTT", "client-id");
  return "ostrel-" + hostName;
}

void checkTlsFiles(const MqttSettings& s) {
  if (!s.tls) return;
  for (auto [key, path] :
       {std::pair{"ca-file", &s.caFile}, {"cert-file", &s.certFile}, {"key-file", &s.keyFile}}) {
    if (path->empty()) continue;
    // Opened as the library will open it: what fails here would fail every connect attempt.
    int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    int err = fd < 0 ? errno : 0;
    struct stat st {};
    if (fd >= 0) {
      if (::fstat(fd, &st) != 0) err = errno;
      ::close(fd);
    }
    if (err != 0)
      throw ConfigError(fmt::format("[MQTT] {} {} cannot be read: {}", key, escapeControl(*path),
                                    std::strerror(err)));
    if (!S_ISREG(st.st_mode))
      throw ConfigError(
          fmt::format("[MQTT] {} {} is not a regular file", key, escapeControl(*path)));
  }
}

}  // namespace ostrel
