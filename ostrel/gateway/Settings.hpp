#pragma once
// What the daemon accepts in its configuration: every key it reads with its type and range,
// checked once before anything starts, so that a bad value stops it with exit status 2 and a
// line naming the key, instead of surfacing later as a retry without end.
#include <chrono>
#include <string>
#include <vector>

#include "ostrel/mqtt/MqttClient.hpp"
#include "ostrel/sys/Config.hpp"

namespace ostrel {

// [MQTT] buffer-size. The floor holds a reading of the largest frame the hat sends (255 bytes,
// 510 as hex) with its topic, its bookkeeping and room for a parser's JSON. The ceiling fits the
// smallest boards this runs on (512 MiB of RAM, part of it the GPU's): the heap a buffered byte
// really costs is up to about twice its count.
constexpr long long MIN_BUFFER_SIZE = 4096;
constexpr long long MAX_BUFFER_SIZE = 128LL * 1024 * 1024;

// [MQTT] spool-size. A spool smaller than a few segments could not keep its bound.
constexpr long long MIN_SPOOL_SIZE = 1024 * 1024;
constexpr long long MAX_SPOOL_SIZE = 1024LL * 1024 * 1024 * 1024;

// [MQTT] client-id: printable ASCII without blanks, short enough for the companion's "-ops".
constexpr std::size_t MAX_CLIENT_ID = 100;

// Checks every key the gateway reads: present where required, of its type and within its range.
// Throws ConfigError naming the key and the value. TLS files are checked with checkTlsFiles.
void checkSettings(const Config& config);

// Where the broker is and how the daemon's clients log in: [MQTT] host, port, keepalive,
// username, password and the TLS keys (tls, ca-file, cert-file, key-file). Read here only, for
// the gateway's client and the companion's alike.
struct BrokerSettings {
  std::string host;
  int port = 1883;
  int keepalive = 60;
  MqttSettings login;  // account and TLS; everything else at its defaults
};
BrokerSettings brokerSettings(const Config& config);

// [HAT] silence-check-s: how long a hat may be silent before it is asked whether it is alive.
// Not in the sample configuration: the default suits every house, shorter periods suit tests.
std::chrono::seconds silenceCheckPeriod(const Config& config);
// One line for each unknown section, unknown key in a known section, and section or key that
// the file repeats, naming the file and the line (at most about twenty lines). The daemon logs
// them and goes on: configurations written for other versions must still start.
std::vector<std::string> configWarnings(const Config& config);

// "ostrel-" and the host name, unless [MQTT] client-id gives another.
std::string gatewayClientId(const Config& config, const std::string& hostName);

// Each TLS file in `settings` (when TLS is on) is a regular file this process can read; throws
// ConfigError naming the key and the file otherwise. Run again after the privilege drop: the
// service account must be able to read them too.
void checkTlsFiles(const MqttSettings& settings);

}  // namespace ostrel
