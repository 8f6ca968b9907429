// Decoder files in the real daemon, with a real mosquitto and the simulator: a shipped example
// decoder turns a sensor's payload into values on its state topic, Home Assistant is told of the
// sensor as a device with those values, a UID heard once is not, and a decoder removed with a
// SIGHUP stops the state publications without a restart of the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::decoders {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;

const std::string kDevice = "homeassistant/device/ostrel_16909060_3001/config";

std::vector<Received> on(const Subscriber& sub, const std::string& topic) {
  std::vector<Received> out;
  for (const auto& m : sub.messages())
    if (m.topic == topic) out.push_back(m);
  return out;
}

TEST(Decoders, StateValuesAndADeviceForASensorHeardEnoughUntilItsDecoderGoes) {
  Broker broker;
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.resetOnOpen = false;  // the SIGHUP restart finds the hat running
  // The shipped th-sensor's first example: 23.45 °C, 45 %, 2.932 V.
  o.nodes.push_back({3001, 7, 62, fromHex("02 0929 01c2 740b"), 0});
  o.nodes.push_back({3002, 8, 70, fromHex("02 0929 01c2 740b"), 0});  // a neighbour's
  hatsim::HatSim sim(o);
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#", "homeassistant/#", "gw/16909060/sensor/#"});

  GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = broker.port()};
  cfg.extra["MQTT"] = {{"discovery-prefix", "homeassistant"}};
  GatewayProcess gw(cfg);
  const std::string dir = gw.dir() + "/decoders.d";
  fs::create_directory(dir);
  fs::copy_file(OSTREL_SOURCE_DIR "/packaging/decoders/th-sensor.conf", dir + "/th-sensor.conf");
  ::chmod(dir.c_str(), 0755);
  ::chmod((dir + "/th-sensor.conf").c_str(), 0644);  // the daemon reads it as another user
  cfg.extra["PARSER"] = {{"decoders-dir", dir}};
  gw.writeConfigText(renderConfig(cfg));
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  EXPECT_GE(gw.findLine("Decoders: 1 loaded from " + dir), 0) << gw.transcript();

  // The neighbour is heard once, first: were it announced, its device would come before 3001's.
  sim.sendSensor(1);
  for (int i = 0; i < 3; ++i) sim.sendSensor(0);
  ASSERT_TRUE(waitUntil([&] { return on(sub, "sensors/3001/state").size() == 3; }, 20s,
                        "three state publications"))
      << gw.transcript();
  json state = json::parse(on(sub, "sensors/3001/state").back().payload);
  EXPECT_EQ(state["decoder"], "th-sensor");
  EXPECT_EQ(state["rssi"], -62);
  EXPECT_TRUE(state["ts"].is_number_integer());
  EXPECT_EQ(state["temperature"], 23.45);
  EXPECT_EQ(state["humidity"], 45);
  EXPECT_EQ(state["battery"], 2.932);
  // The raw publication is still there, as it always was.
  auto raw = on(sub, "sensors/3001/raw");
  ASSERT_EQ(raw.size(), 3u);
  json rawJson = json::parse(raw.back().payload);
  EXPECT_EQ(rawJson["payload"], "02092901c2740b");
  EXPECT_EQ(rawJson.size(), 4u);  // uid, ts, rssi, payload
  EXPECT_FALSE(raw.back().retain);
  EXPECT_EQ(on(sub, "sensors/3002/state").size(), 1u);  // readings are published either way

  ASSERT_TRUE(waitUntil([&] { return !on(sub, kDevice).empty(); }, 20s, "3001's device"))
      << gw.transcript();
  json device = json::parse(on(sub, kDevice).back().payload);
  EXPECT_EQ(device["o"]["name"], "ostrel");
  EXPECT_FALSE(device["o"]["sw_version"].get<std::string>().empty());
  EXPECT_TRUE(device["o"]["support_url"].is_string());
  EXPECT_EQ(device["dev"]["via_device"], "ostrel_16909060");
  EXPECT_EQ(device["availability_mode"], "all");
  std::vector<std::string> availability;
  for (const auto& a : device["availability"]) availability.push_back(a["topic"]);
  EXPECT_EQ(availability,
            (std::vector<std::string>{"gw/16909060/status", "gw/16909060/sensor/3001"}));
  const json& t = device["cmps"]["temperature"];
  EXPECT_EQ(t["unit_of_measurement"], "°C");
  EXPECT_EQ(t["device_class"], "temperature");
  EXPECT_EQ(t["state_class"], "measurement");
  EXPECT_EQ(t["state_topic"], "sensors/3001/state");
  EXPECT_EQ(device["cmps"]["humidity"]["unit_of_measurement"], "%");
  EXPECT_EQ(device["cmps"]["battery"]["device_class"], "voltage");
  EXPECT_TRUE(device["cmps"].contains("rssi"));
  EXPECT_TRUE(on(sub, "homeassistant/device/ostrel_16909060_3002/config").empty());
  EXPECT_TRUE(on(sub, "homeassistant/sensor/ostrel_16909060_3002/rssi/config").empty());
  // The sensor's status carries what the device's availability reads.
  auto status = on(sub, "gw/16909060/sensor/3001");
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(json::parse(status.back().payload)["availability"], "online");

  // The decoder goes; a reload reads the directory again, in the same process.
  fs::remove(dir + "/th-sensor.conf");
  const int from = int(gw.lines().size());
  gw.signal(SIGHUP);
  ASSERT_GE(gw.waitForLine("No decoder files in " + dir, 20s, false, from), 0) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Starting serial interface TX...", 20s, true, from), 0);
  // The simulator hears of the close and the reopen a moment later and then empties the line:
  // a reading sent before that would be lost as on a real one.
  ASSERT_TRUE(waitUntil([&] { return sim.stats().opens >= 2; }, 20s, "the reopen"));
  // Home Assistant's device loses its decoded fields with the first reading after that, which is
  // published raw only.
  sim.sendSensor(0);
  ASSERT_TRUE(waitUntil([&] { return on(sub, kDevice).size() >= 2; }, 20s, "the device again"))
      << gw.transcript();
  EXPECT_FALSE(json::parse(on(sub, kDevice).back().payload)["cmps"].contains("temperature"));
  ASSERT_TRUE(waitUntil([&] { return on(sub, "sensors/3001/raw").size() == 4; }, 20s, "raw"));
  EXPECT_EQ(on(sub, "sensors/3001/state").size(), 3u);
  EXPECT_EQ(gw.countLines("Received restart signal..."), 1);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
}

TEST(Decoders, AtStartADirectoryWhoseFilesAllFailOrALibraryBesideItStopsWithStatus2) {
  Broker broker;
  hatsim::HatSim sim;
  sim.start();
  struct Row {
    const char* what;
    std::map<std::string, std::string> parser;
    const char* file;  // written into the directory when set
    const char* line;
  } rows[] = {
      {"every file fails",
       {},
       "[decoder x]\nlength = 300\n",
       "th.conf: line 2: length must lie between 1 and 255"},
      {"no directory",
       {{"decoders-dir", "/nonexistent/decoders.d"}},
       nullptr,
       "decoder directory /nonexistent/decoders.d: cannot be read"},
      {"a library too",
       {{"library", "/nonexistent/libparser.so"}},
       nullptr,
       "[PARSER] library and decoders-dir are both set"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = broker.port()};
    GatewayProcess gw(cfg);
    const std::string dir = gw.dir() + "/decoders.d";
    fs::create_directory(dir);
    if (r.file) std::ofstream(dir + "/th.conf") << r.file;
    cfg.extra["PARSER"] = {{"decoders-dir", dir}};
    for (const auto& [k, v] : r.parser) cfg.extra["PARSER"][k] = v;
    gw.writeConfigText(renderConfig(cfg));
    gw.start();
    EXPECT_EQ(gw.waitExit(20s), 2) << gw.transcript();
    EXPECT_GE(gw.findLine(r.line), 0) << gw.transcript();
  }
}

}  // namespace
}  // namespace ostrel::test::decoders
