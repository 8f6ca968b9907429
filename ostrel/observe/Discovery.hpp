#pragma once
// Home Assistant's device-based discovery: one retained configuration per device, the gateway and
// each sensor, on "{prefix}/device/{id}/config", with the device ("dev"), the origin ("o") and its
// components ("cmps"). Earlier versions sent one configuration per component; those topics are
// emptied once, so that an upgrade leaves no duplicate entities behind.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/base/Observer.hpp"

namespace ostrel::observe {

// Retained discovery configurations: (topic, JSON payload); an empty payload removes one.
using Publications = std::vector<std::pair<std::string, std::string>>;

// Who sends the configurations, as Home Assistant shows it.
struct Origin {
  std::string name = "ostrel";
  std::string version;
  std::string supportUrl;  // empty: none
};

using DecoderInfos = std::vector<std::shared_ptr<const DecoderInfo>>;

// The gateway: its connectivity (the status topic) and three counters of the health report.
Publications gatewayDiscovery(const std::string& prefix, std::uint32_t gatewayUid,
                              const Origin& origin);
// A sensor, linked through the gateway: RSSI and last seen from its status topic, and the fields
// of the decoders that took its readings from "sensors/{uid}/state". Available while both the
// gateway's status and the sensor's status say so.
Publications sensorDiscovery(const std::string& prefix, std::uint32_t gatewayUid,
                             std::uint32_t sensorUid, const DecoderInfos& decoders,
                             const Origin& origin);
// The per-component topics of earlier versions, each with an empty payload.
Publications legacyGatewayRemoval(const std::string& prefix, std::uint32_t gatewayUid);
Publications legacySensorRemoval(const std::string& prefix, std::uint32_t gatewayUid,
                                 std::uint32_t sensorUid);

}  // namespace ostrel::observe
