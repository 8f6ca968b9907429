#pragma once
// Why a TLS connection to the broker fails. Paho reports only that the connection failed; a second
// handshake of our own, with the same trust settings, names the cause in words.
#include <string>

namespace ostrel::node {

// Connects to host:port, shakes hands and checks the broker's certificate against `caFile` (the
// system's CAs when empty) and against `host`. Returns what is wrong, or an empty string when
// this handshake found nothing wrong. Blocks for at most about `timeoutSeconds`.
std::string diagnoseTls(const std::string& host, int port, const std::string& caFile,
                        int timeoutSeconds = 10);

}  // namespace ostrel::node
