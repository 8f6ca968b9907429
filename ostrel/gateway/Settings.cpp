#include "ostrel/gateway/Settings.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "ostrel/gateway/HatLiveness.hpp"
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
    {"HAT", "silence-check-s", 1, DAY, false},
};

// The optional TLS keys of [MQTT].
void readTlsSettings(const Config& config, MqttSettings& settings) {
  if (!config.has("MQTT", "tls") || !config.getBool("MQTT", "tls")) return;
  settings.tls = true;
  auto optional = [&](const char* key) {
    return config.has("MQTT", key) ? config.getString("MQTT", key) : std::string();
  };
  settings.caFile = optional("ca-file");
  settings.certFile = optional("cert-file");
  settings.keyFile = optional("key-file");
}

// Every key the daemon reads, one line each. A key not listed here is reported at start: a
// misspelt key would otherwise keep its default without a word.
constexpr std::pair<const char*, const char*> KNOWN_KEYS[] = {
    {"UART", "device"},
    {"UART", "speed"},
    {"MQTT", "host"},
    {"MQTT", "port"},
    {"MQTT", "keepalive"},
    {"MQTT", "client-id"},
    {"MQTT", "username"},
    {"MQTT", "password"},
    {"MQTT", "buffer-size"},
    {"MQTT", "spool-dir"},
    {"MQTT", "spool-size"},
    {"MQTT", "tls"},
    {"MQTT", "ca-file"},
    {"MQTT", "cert-file"},
    {"MQTT", "key-file"},
    {"MQTT", "health-interval"},
    {"MQTT", "discovery-prefix"},
    {"GATEWAY", "node-id"},
    {"GATEWAY", "network-id"},
    {"TIME", "sync-interval"},
    {"TIME", "ntp-check-interval-min"},
    {"TIME", "ntp-check-interval-max"},
    {"LOG", "sensor-rtc-offset"},
    {"LOG", "failed-decrypt"},
    {"RADIO", "rssi-threshold"},
    {"HAT", "gpio-chip"},
    {"HAT", "reset-line"},
    {"HAT", "reset-active-low"},
    {"HAT", "reset-pulse-ms"},
    {"HAT", "silence-check-s"},
    {"PARSER", "library"},
    {"PARSER", "decoders-dir"},
    {"PARSER", "publish-raw"},
    {"PARSER", "announce"},
    {"OPS", "enabled"},
    {"OPS", "reply-prefix"},
};

// A configuration for another version may hold many keys this one does not know.
constexpr std::size_t MAX_CONFIG_WARNINGS = 20;

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

bool knownSection(const std::string& section) {
  return std::any_of(std::begin(KNOWN_KEYS), std::end(KNOWN_KEYS),
                     [&](const auto& k) { return lowered(k.first) == section; });
}

bool knownKey(const std::string& section, const std::string& key) {
  return std::any_of(std::begin(KNOWN_KEYS), std::end(KNOWN_KEYS),
                     [&](const auto& k) { return lowered(k.first) == section && k.second == key; });
}

// "configuration file F, line N" for a key the file set, else "configuration file F".
std::string where(const Config& c, const char* section, const char* key) {
  int line = c.lineOf(section, key);
  return line > 0 ? fmt::format("configuration file {}, line {}", c.path(), line)
                  : fmt::format("configuration file {}", c.path());
}

// Pairs of keys that contradict each other: refused, however each one looks alone.
void checkPairs(const Config& c, const MqttSettings& tls) {
  long long lo = c.getInt("TIME", "ntp-check-interval-min");
  long long hi = c.getInt("TIME", "ntp-check-interval-max");
  if (lo > hi)
    throw ConfigError(
        fmt::format("{}: key 'ntp-check-interval-min' in section [TIME] ({}) is above "
                    "'ntp-check-interval-max' ({})",
                    where(c, "TIME", "ntp-check-interval-min"), lo, hi));
  if (!tls.keyFile.empty() && tls.certFile.empty())
    throw ConfigError(
        fmt::format("{}: [MQTT] key-file is set without cert-file, the certificate it belongs to",
                    where(c, "MQTT", "key-file")));
  if (!tls.certFile.empty() && tls.keyFile.empty())
    throw ConfigError(
        fmt::format("{}: [MQTT] cert-file is set without key-file, its private key (name the "
                    "same file when it holds both)",
                    where(c, "MQTT", "cert-file")));
}

}  // namespace

BrokerSettings brokerSettings(const Config& c) {
  BrokerSettings b;
  b.host = c.getString("MQTT", "host");
  b.port = static_cast<int>(c.getInt("MQTT", "port"));
  b.keepalive = static_cast<int>(c.getInt("MQTT", "keepalive"));
  b.login.username = c.getString("MQTT", "username");
  b.login.password = c.getString("MQTT", "password");
  readTlsSettings(c, b.login);
  return b;
}

std::chrono::seconds silenceCheckPeriod(const Config& c) {
  if (!c.has("HAT", "silence-check-s")) return HatLiveness::DEFAULT_PERIOD;
  return std::chrono::seconds(c.getInt("HAT", "silence-check-s", 1, DAY));
}

std::vector<std::string> configWarnings(const Config& c) {
  std::vector<std::string> out;
  std::map<std::pair<std::string, std::string>, int> first;  // (section, key) -> line
  std::size_t more = 0;
  auto warn = [&](std::string line) {
    if (out.size() < MAX_CONFIG_WARNINGS)
      out.push_back(std::move(line));
    else
      ++more;
  };
  for (const auto& place : c.places()) {
    Config::Place p{lowered(place.section), lowered(place.key), place.line};
    auto [at, fresh] = first.try_emplace({p.section, p.key}, p.line);
    std::string file = fmt::format("configuration file {}, line {}", c.path(), p.line);
    if (p.key.empty()) {
      if (!knownSection(p.section))
        warn(fmt::format("{}: unknown section [{}]; its keys are ignored", file,
                         escapeControl(place.section)));
      else if (!fresh)
        warn(fmt::format("{}: section [{}] appears again (first on line {})", file, place.section,
                         at->second));
    } else if (!knownKey(p.section, p.key)) {
      if (p.section.empty())
        warn(fmt::format("{}: key '{}' lies outside any section; it is ignored", file,
                         escapeControl(place.key)));
      else if (knownSection(p.section))
        warn(fmt::format("{}: unknown key '{}' in section [{}]; it is ignored", file,
                         escapeControl(place.key), place.section));
    } else if (!fresh) {
      warn(
          fmt::format("{}: key '{}' in section [{}] is set again (first on line {}); the last "
                      "value counts",
                      file, place.key, place.section, at->second));
    }
  }
  if (more > 0)
    out.push_back(fmt::format("configuration file {}: {} more warnings left out", c.path(), more));
  return out;
}

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
  checkPairs(c, tls);
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
