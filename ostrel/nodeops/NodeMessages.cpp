// Node messages ("TX") and sensor configuration records ("PP").
#include <cmath>

#include "ostrel/base/Log.hpp"
#include "ostrel/nodeops/NodeOps.hpp"
#include "ostrel/nodeops/NodeOpsDetail.hpp"

namespace ostrel {

using namespace nodeops;

namespace {

struct BytePart {
  long long value;
  int shift;
  const char* name;
};

std::uint8_t packByte(std::initializer_list<BytePart> parts, const char* what) {
  long long result = 0;
  for (const auto& p : parts) {
    if (p.value < 0 || p.value > 0xFF)
      throw EncodeError(fmt::format("{} gives {} and does not fit the {}", p.name, p.value, what));
    result |= p.value << p.shift;
  }
  if (result > 0xFF) throw EncodeError(fmt::format("{} {} does not fit 0..255", what, result));
  return static_cast<std::uint8_t>(result);
}

}  // namespace

// ---- Node messages ----

Bytes txMsg2Bytes(const json& msg) {
  Bytes out;
  if (isEmptyMap(msg)) return out;
  long long type = toInteger(need(msg, "msgtype"), "msgtype");
  switch (type) {
    case 11:
      putU8(out, type, "msgtype");
      putBe16(out, toInteger(need(msg, "outputLevel"), "outputLevel"), "outputLevel");
      break;
    case 10:
      putU8(out, type, "msgtype");
      putU8(out, toInteger(need(msg, "waterTemp"), "waterTemp"), "waterTemp");
      break;
    case 204:
      putU8(out, type, "msgtype");
      break;
    default:
      break;
  }
  return out;
}

void txMessage(std::string_view redisKeyName, const json& valueMap) {
  if (isEmptyMap(valueMap)) return;
  Bytes payload = txMsg2Bytes(valueMap);
  if (payload.empty()) return;
  long long toid = toInteger(need(valueMap, "toid"), "toid");
  Bytes frame = makeTxFrame(keyNumber(redisKeyName), toid, payload);
  sendFrame(frame);
  logf("Sent message to node with ID {} of length {}", toid, payload.size() + 5);
}

// ---- Sensor configuration ----

Bytes getSensorConfig(const json& config) {
  Bytes out;
  if (isEmptyMap(config)) return out;
  long long type = toInteger(need(config, "sensorType"), "sensorType");
  long long sleepCycles = toInteger(need(config, "sleepCycles"), "sleepCycles");
  long long useLed = toInteger(need(config, "useLed"), "useLed");
  long long txPower = toInteger(need(config, "txPower"), "txPower");
  std::uint8_t general =
      packByte({{sleepCycles, 0, "sleepCycles"}, {useLed, 7, "useLed"}, {txPower, 4, "txPower"}},
               "general byte");

  if (type == 3) {
    long long pre = toInteger(need(config, "vcselPeriodPreRange"), "vcselPeriodPreRange");
    long long fin = toInteger(need(config, "vcselPeriodFinalRange"), "vcselPeriodFinalRange");
    std::uint8_t range = packByte(
        {{pre - 11, 5, "vcselPeriodPreRange - 11"}, {fin - 7, 2, "vcselPeriodFinalRange - 7"}},
        "range byte");
    // The product is formed in double precision before the fraction is dropped (0.29 -> 28).
    double rate = toDouble(need(config, "signalRateLimit"), "signalRateLimit") * 100.0;
    if (!std::isfinite(rate) || rate <= -1.0 || rate >= 256.0)
      throw EncodeError(fmt::format("signalRateLimit x 100 = {} does not fit 0..255", rate));
    long long budget =
        toInteger(need(config, "measurementTimingBudget"), "measurementTimingBudget");
    out.push_back(general);
    putU8(out, static_cast<long long>(std::trunc(rate)), "signalRateLimit x 100");
    out.push_back(range);
    putU8(out, budget, "measurementTimingBudget");
  } else if (type == 1 || type == 5) {
    long long delay =
        toInteger(need(config, "preBatteryMeasurementDelayMin"), "preBatteryMeasurementDelayMin");
    out.push_back(general);
    putBe16(out, delay, "preBatteryMeasurementDelayMin");
  }
  return out;
}

void txSensorConfig(std::string_view redisKeyName, const json& config) {
  if (isEmptyMap(config)) return;
  Bytes record = getSensorConfig(config);
  if (record.empty()) {
    // An empty record would tell the sensor nothing; do not send a bare frame.
    logf("No sensor config layout for sensor type {}; nothing sent",
         toInteger(need(config, "sensorType"), "sensorType"));
    return;
  }
  Bytes frame = makePpFrame(keyNumber(redisKeyName), record);
  sendFrame(frame);
  logf("Sent sensor config from channel {} to Gateway Hat", redisKeyName);
}
}  // namespace ostrel
