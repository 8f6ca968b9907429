#pragma once
// Why a TLS connection to the broker fails, in OpenSSL's own words and naming the side at fault:
// our certificate or key, the broker's certificate (not trusted, expired, for another host), or
// the broker refusing ours. The MQTT library only says "TCP/TLS connect failure", and the OpenSSL
// errors it passes on are missing for most causes and the same for the rest, so a failed attempt
// is followed by one handshake of our own with the same files. Blocking: run it off the loop.
#include <chrono>
#include <functional>
#include <string>

#include "ostrel/base/Asio.hpp"

namespace ostrel {

struct TlsProbeTarget {
  std::string host;
  int port = 0;
  std::string caFile;  // empty: the system's CAs
  std::string certFile;
  std::string keyFile;  // empty: the key is in certFile
};

// The reason, or an empty text when the handshake succeeds or no TCP connection could be made
// (then TLS is not what failed). Each network step waits at most `timeout`.
std::string tlsFailureReason(const TlsProbeTarget& target, std::chrono::milliseconds timeout);

// The same on a thread of its own; `done` gets the reason on `ex`. False when no thread could be
// started (then `done` is never called).
bool probeTls(Executor ex, TlsProbeTarget target, std::chrono::milliseconds timeout,
              std::function<void(std::string)> done);
// Waits up to `limit` for probes still running (they use OpenSSL, which the process's exit
// tears down); false when some still run.
bool waitForTlsProbes(std::chrono::milliseconds limit);

}  // namespace ostrel
