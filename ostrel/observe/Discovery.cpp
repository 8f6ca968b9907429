#include "ostrel/observe/Discovery.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace ostrel::observe {

using json = nlohmann::json;

namespace {

std::string gatewayId(std::uint32_t uid) {
  return fmt::format("ostrel_{}", uid);
}

std::string sensorId(std::uint32_t uid, std::uint32_t sensorUid) {
  return fmt::format("ostrel_{}_{}", uid, sensorUid);
}

json origin(const Origin& o) {
  json j = {{"name", o.name}, {"sw_version", o.version}};
  if (!o.supportUrl.empty()) j["support_url"] = o.supportUrl;
  return j;
}

json availability(const std::string& topic) {
  return {{"topic", topic}, {"payload_available", "online"}, {"payload_not_available", "offline"}};
}

// A component's identity: unique and object IDs, its name and its platform.
json component(const std::string& platform, const std::string& uniqueId, const std::string& name) {
  return {{"p", platform}, {"unique_id", uniqueId}, {"object_id", uniqueId}, {"name", name}};
}

// "battery_voltage" -> "Battery voltage"
std::string displayName(const std::string& field) {
  std::string s = field;
  std::replace(s.begin(), s.end(), '_', ' ');
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = char(s[0] - 'a' + 'A');
  return s;
}

// A decoded field. The template gives nothing when the field is absent (a reading of another of
// the sensor's decoders, or a payload too short): Home Assistant then keeps the last value.
json fieldComponent(const DecodedField& f, const std::string& uniqueId, std::uint32_t sensorUid) {
  bool binary = !f.onText.empty();
  json c = component(binary ? "binary_sensor" : "sensor", uniqueId, displayName(f.name));
  c["state_topic"] = fmt::format("sensors/{}/state", sensorUid);
  std::string value =
      binary ? fmt::format("'ON' if value_json.{} == '{}' else 'OFF'", f.name, f.onText)
             : "value_json." + f.name;
  c["value_template"] =
      fmt::format("{{% if value_json.{} is defined %}}{{{{ {} }}}}{{% endif %}}", f.name, value);
  if (!f.unit.empty()) c["unit_of_measurement"] = f.unit;
  if (!f.deviceClass.empty()) c["device_class"] = f.deviceClass;
  if (!f.stateClass.empty()) c["state_class"] = f.stateClass;
  if (!binary && !f.texts.empty() && f.deviceClass == "enum") c["options"] = f.texts;
  return c;
}

}  // namespace

Publications gatewayDiscovery(const std::string& prefix, std::uint32_t uid, const Origin& o) {
  std::string node = gatewayId(uid);
  std::string statusTopic = fmt::format("gw/{}/status", uid);
  json cmps = json::object();
  json status = component("binary_sensor", node + "_status", "Status");
  status["state_topic"] = statusTopic;
  status["payload_on"] = "online";
  status["payload_off"] = "offline";
  status["device_class"] = "connectivity";
  status["entity_category"] = "diagnostic";
  cmps["status"] = std::move(status);

  struct Counter {
    const char* field;
    const char* name;
    const char* stateClass;
  };
  for (auto c : {Counter{"readings_received", "Readings received", "total_increasing"},
                 Counter{"readings_dropped", "Readings dropped", "total_increasing"},
                 Counter{"readings_buffered", "Readings buffered", "measurement"}}) {
    json e = component("sensor", fmt::format("{}_{}", node, c.field), c.name);
    e["state_topic"] = fmt::format("gw/{}/health", uid);
    e["value_template"] = fmt::format("{{{{ value_json.{} }}}}", c.field);
    e["state_class"] = c.stateClass;
    e["entity_category"] = "diagnostic";
    cmps[c.field] = std::move(e);
  }
  json config = {{"dev",
                  {{"identifiers", json::array({node})},
                   {"name", fmt::format("ostrel gateway {}", uid)},
                   {"manufacturer", "ostrel"},
                   {"sw_version", o.version}}},
                 {"o", origin(o)},
                 {"availability", json::array({availability(statusTopic)})},
                 {"cmps", std::move(cmps)}};
  return {{fmt::format("{}/device/{}/config", prefix, node), config.dump()}};
}

Publications sensorDiscovery(const std::string& prefix, std::uint32_t uid, std::uint32_t sensorUid,
                             const DecoderInfos& decoders, const Origin& o) {
  std::string node = sensorId(uid, sensorUid);
  std::string status = fmt::format("gw/{}/sensor/{}", uid, sensorUid);
  json cmps = json::object();

  json rssi = component("sensor", node + "_rssi", "RSSI");
  rssi["state_topic"] = status;
  rssi["value_template"] = "{{ value_json.rssi }}";
  rssi["device_class"] = "signal_strength";
  rssi["unit_of_measurement"] = "dBm";
  rssi["state_class"] = "measurement";
  rssi["entity_category"] = "diagnostic";
  cmps["rssi"] = std::move(rssi);

  json seen = component("sensor", node + "_last_seen", "Last seen");
  seen["state_topic"] = status;
  seen["value_template"] = "{{ value_json.last_seen }}";
  seen["device_class"] = "timestamp";
  seen["entity_category"] = "diagnostic";
  cmps["last_seen"] = std::move(seen);

  std::string model;
  for (const auto& d : decoders) {
    model += (model.empty() ? "" : ", ") + d->name;
    // A field name two decoders share is one entity: the first decoder's.
    for (const auto& f : d->fields)
      if (!cmps.contains(f.name)) cmps[f.name] = fieldComponent(f, node + "_" + f.name, sensorUid);
  }

  json dev = {{"identifiers", json::array({node})},
              {"name", fmt::format("Sensor {}", sensorUid)},
              {"via_device", gatewayId(uid)}};
  if (!model.empty()) dev["model"] = model;
  json sensorAvailability = availability(status);
  sensorAvailability["value_template"] = "{{ value_json.availability }}";
  json config = {{"dev", std::move(dev)},
                 {"o", origin(o)},
                 {"availability", json::array({availability(fmt::format("gw/{}/status", uid)),
                                               std::move(sensorAvailability)})},
                 {"availability_mode", "all"},
                 {"cmps", std::move(cmps)}};
  return {{fmt::format("{}/device/{}/config", prefix, node), config.dump()}};
}

Publications legacyGatewayRemoval(const std::string& prefix, std::uint32_t uid) {
  std::string node = gatewayId(uid);
  Publications out{{fmt::format("{}/binary_sensor/{}/status/config", prefix, node), ""}};
  for (const char* field : {"readings_received", "readings_dropped", "readings_buffered"})
    out.emplace_back(fmt::format("{}/sensor/{}/{}/config", prefix, node, field), "");
  return out;
}

Publications legacySensorRemoval(const std::string& prefix, std::uint32_t uid,
                                 std::uint32_t sensorUid) {
  std::string node = sensorId(uid, sensorUid);
  return {{fmt::format("{}/sensor/{}/rssi/config", prefix, node), ""},
          {fmt::format("{}/sensor/{}/last_seen/config", prefix, node), ""}};
}

}  // namespace ostrel::observe
