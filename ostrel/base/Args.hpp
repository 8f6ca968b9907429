#pragma once
// The launcher's options as the gateway reads them.
#include <string>

namespace ostrel {

struct Args {
  long long nodeId = -1;     // the gateway's radio node ID (0..255)
  long long networkId = -1;  // the radio network ID (0..255)
  std::string stateDir = "/var/quorind-gateway";
  std::string configPath = "/etc/ostrel/ostrel.conf";
  std::string account = "qrd";  // service account (user and group) to drop root to
};

}  // namespace ostrel
