// The least-privilege broker of packaging/examples, loaded as shipped: each role may do what it
// needs and nothing more, and the gateway, its node-operations companion and ostrel-node work
// with exactly those rights.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/support/AclBroker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::broker_acl {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

const std::string kUid = std::to_string(0x01020304);  // the simulator's default gateway UID
const std::string kGw = "gw/" + kUid;

enum Role { Gateway, Operator, Reader, Provisioner, Anonymous };
const char* const kRoleNames[] = {"gateway", "operator", "reader", "provisioner", "anonymous"};

Login loginOf(const AclUsers& u, Role r) {
  switch (r) {
    case Gateway:
      return u.gateway;
    case Operator:
      return u.operator_;
    case Reader:
      return u.reader;
    case Provisioner:
      return u.provisioner;
    case Anonymous:
      break;
  }
  return {};
}

struct Right {
  Role role;
  std::string topic;
  bool allowed;
};

// What must be refused matters most; what the gateway needs, its own test below shows.
// Publications: never a command from the gateway; operators only requests; readers nothing;
// only the provisioner the key and clock commands.
const std::vector<Right> kWrites = {
    {Gateway, kGw + "/setSensorRadioKey/77", false},
    {Gateway, kGw + "/removeSensorRadioKey/77", false},
    {Gateway, kGw + "/setRTCOffset", false},
    {Gateway, kGw + "/node/1001/message", false},
    {Gateway, "gw/77/status", false},
    {Gateway, "tx/evil", false},
    {Operator, kGw + "/node/1001/message", true},
    {Operator, "gw/77/node/1001/firmware/step", true},
    {Operator, kGw + "/setSensorRadioKey/77", false},
    {Operator, kGw + "/setRTCOffset", false},
    {Operator, kGw + "/node/1001/message/response", false},
    {Operator, kGw + "/node/1001/firmware/status", false},
    {Operator, "ostrel-node/ostrel-node-1/response", false},
    {Operator, "tx/evil", false},
    {Reader, "sensors/1001/raw", false},
    {Reader, kGw + "/node/1001/message", false},
    {Provisioner, kGw + "/setSensorRadioKey/77", true},
    {Provisioner, kGw + "/node/1001/message", false},
};

// Deliveries: the gateway reads only its own commands; operators answers and readings but not
// others' requests or keys; readers readings and state.
const std::vector<Right> kReads = {
    {Gateway, "homeassistant/status", true},
    {Gateway, "gw/77/setRTCOffset", false},
    {Gateway, "sensors/1001/raw", false},
    {Operator, "ostrel-node/ostrel-node-1/response", true},
    {Operator, kGw + "/node/1001/message/response", true},
    {Operator, "sensors/1001/raw", true},
    {Operator, kGw + "/node/1001/firmware", false},
    {Operator, kGw + "/setSensorRadioKey/5", false},
    {Reader, kGw + "/health", true},
    {Reader, kGw + "/sensor/1001", true},
    {Reader, "homeassistant/sensor/ostrel_" + kUid + "_1001/rssi/config", true},
    {Reader, kGw + "/setSensorRadioKey/5", false},
    {Reader, kGw + "/node/1001/message", false},
    {Reader, "ostrel-node/ostrel-node-1/response", false},
};

TEST(BrokerAcl, EachRoleMayPublishWhatItNeedsAndNothingElse) {
  AclBroker acl(kUid);
  for (const auto& w : kWrites)
    EXPECT_EQ(publishAs(acl.port(), loginOf(acl.users(), w.role), w.topic),
              w.allowed ? Publish::Accepted : Publish::NotAuthorized)
        << kRoleNames[w.role] << " on " << w.topic;
  EXPECT_EQ(publishAs(acl.port(), {}, "sensors/1001/raw"), Publish::ConnectRefused);
  EXPECT_EQ(publishAs(acl.port(), {acl.users().operator_.user, "wrong"}, kGw + "/node/1/message"),
            Publish::ConnectRefused);
}

TEST(BrokerAcl, EachRoleReceivesWhatItNeedsAndNothingElse) {
  AclBroker acl(kUid);
  const auto& u = acl.users();
  // One subscriber per role on all the topics tried for it, and on a last topic it may read.
  const std::map<Role, std::string> last = {
      {Gateway, "tx/last"}, {Operator, "ostrel-node/last"}, {Reader, "sensors/last"}};
  std::map<Role, std::unique_ptr<Subscriber>> subs;
  for (const auto& [role, lastTopic] : last) {
    std::vector<std::string> filters = {lastTopic};
    for (const auto& r : kReads)
      if (r.role == role) filters.push_back(r.topic);
    subs[role] = std::make_unique<Subscriber>(acl.port(), filters, 1, loginOf(u, role));
  }
  for (const auto& r : kReads) publishTo(acl.port(), r.topic, "x", 1, false, {}, {}, u.probe);
  // The broker hands a subscriber its messages in order: once the last one has come, every
  // earlier one it was allowed to read has come too.
  for (const auto& [role, lastTopic] : last)
    publishTo(acl.port(), lastTopic, "x", 1, false, {}, {}, u.probe);
  for (auto& [role, sub] : subs) {
    const std::string lastTopic = last.at(role);
    ASSERT_TRUE(sub->waitFor(
        [&](const std::vector<Received>& v) { return !v.empty() && v.back().topic == lastTopic; },
        20s))
        << kRoleNames[role];
    std::set<std::string> got;
    for (const auto& m : sub->messages()) got.insert(m.topic);
    for (const auto& r : kReads) {
      if (r.role != role) continue;
      EXPECT_EQ(got.count(r.topic), r.allowed ? 1u : 0u) << kRoleNames[role] << " on " << r.topic;
    }
  }
}

hatsim::Options simOptions() {
  hatsim::Options o;
  o.version = 3;
  o.bootDelayMs = 0;
  o.promptIntervalMs = 200;
  o.nodes = {{1001, 7, 62, {0x01}, 300}};
  return o;
}

TEST(BrokerAcl, GatewayServesWithExactlyTheGatewaysRights) {
  AclBroker acl(kUid);
  const auto& u = acl.users();
  Subscriber probe(acl.port(), {"#"}, 1, u.probe);
  hatsim::HatSim sim(simOptions());
  sim.start();
  GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = acl.port()};
  cfg.extra = {{"MQTT",
                {{"username", u.gateway.user},
                 {"password", u.gateway.password},
                 {"discovery-prefix", "homeassistant"},
                 {"health-interval", "1"}}},
               {"OPS", {{"enabled", "yes"}}}};
  GatewayProcess gw(cfg);
  gw.start();

  // What the gateway publishes: readings, state, health, discovery (the devices, and the
  // earlier versions' configurations emptied).
  for (const std::string& topic : std::vector<std::string>{
           "sensors/1001/raw", kGw + "/status", kGw + "/health", kGw + "/firmware/revision",
           kGw + "/sensor/1001", "homeassistant/device/ostrel_" + kUid + "/config",
           "homeassistant/device/ostrel_" + kUid + "_1001/config",
           "homeassistant/binary_sensor/ostrel_" + kUid + "/status/config",
           "homeassistant/sensor/ostrel_" + kUid + "/readings_received/config",
           "homeassistant/sensor/ostrel_" + kUid + "_1001/rssi/config",
           "homeassistant/sensor/ostrel_" + kUid + "_1001/last_seen/config"})
    EXPECT_TRUE(probe.waitFor(
        [&](const std::vector<Received>& v) {
          for (const auto& m : v)
            if (m.topic == topic) return true;
          return false;
        },
        20s))
        << topic << "\n"
        << gw.transcript();
  ASSERT_GE(gw.waitForLine("Node operations: taking requests on " + kGw, 20s), 0)
      << gw.transcript();

  // The commands it takes: the provisioner's keys and clock trim, the operator's requests.
  EXPECT_EQ(publishAs(acl.port(), u.provisioner, kGw + "/setRTCOffset", "1.5"), Publish::Accepted);
  EXPECT_TRUE(sim.nextFrame("SR", 20s)) << gw.transcript();
  EXPECT_EQ(
      publishAs(acl.port(), u.provisioner, kGw + "/setSensorRadioKey/1001", std::string(32, 'k')),
      Publish::Accepted);
  auto pk = sim.nextFrame("PK", 20s);
  ASSERT_TRUE(pk) << gw.transcript();
  EXPECT_EQ(pk->bytes.back(), 'k');
  EXPECT_EQ(publishAs(acl.port(), u.provisioner, kGw + "/removeSensorRadioKey/1001"),
            Publish::Accepted);
  pk = sim.nextFrame("PK", 20s);
  ASSERT_TRUE(pk) << gw.transcript();
  EXPECT_EQ(pk->bytes.back(), 0);
  ASSERT_GE(gw.waitForLine("Sensor #1001 [Node 7]", 20s), 0) << gw.transcript();

  // ostrel-node with the operator's rights: its answer comes under ostrel-node/.
  std::string pwFile = gw.dir() + "/operator.pw";
  std::ofstream(pwFile) << u.operator_.password << "\n";
  auto r = runBuilt("ostrel-node",
                    {"--broker", "127.0.0.1:" + std::to_string(acl.port()), "--gateway", kUid,
                     "--username", u.operator_.user, "--password-file", pwFile, "message", "1001",
                     "--key", "7", "--msgtype", "11", "--output-level", "300"});
  EXPECT_EQ(r.status, 0) << r.output << gw.transcript();
  EXPECT_EQ(r.output, "{\"ok\":true}\n");
  EXPECT_TRUE(sim.nextFrame("TX", 20s)) << gw.transcript();
  // Without a response topic the answer goes to the request topic + /response, which the
  // operator may read.
  {
    Subscriber answers(acl.port(), {kGw + "/node/1001/peer-mode/response"}, 1, u.operator_);
    EXPECT_EQ(publishAs(acl.port(), u.operator_, kGw + "/node/1001/peer-mode", "1"),
              Publish::Accepted);
    ASSERT_TRUE(answers.waitForCount(1, 20s)) << gw.transcript();
    EXPECT_EQ(json::parse(answers.messages()[0].payload)["ok"], true);
  }

  // Nothing the operator puts in a response topic makes the gateway write where its rules do
  // not let it, also where the broker would let it (readings, discovery, its own status).
  {
    const std::string request = kGw + "/node/1001/peer-mode";
    const std::vector<std::string> hostile = {
        kGw + "/removeSensorRadioKey/77", kGw + "/status", "sensors/1001/raw",
        "homeassistant/sensor/x/config",  "tx/evil",       "a/#",
        "gw/9999/node/1/message"};
    Subscriber answers(acl.port(), {request + "/response"}, 1, u.operator_);
    std::size_t seenBefore = probe.messages().size();
    auto peerModeFrames = [&] {
      auto f = sim.framesSoFar();
      return std::count_if(f.begin(), f.end(), [](const auto& x) { return x.code == "PM"; });
    };
    const auto pmBefore = peerModeFrames();
    for (const auto& t : hostile)
      EXPECT_EQ(
          publishAs(acl.port(), u.operator_, request, "1", {"-D", "publish", "response-topic", t}),
          Publish::Accepted)
          << t;
    ASSERT_TRUE(answers.waitForCount(hostile.size(), 20s)) << gw.transcript();
    for (const auto& m : answers.messages())
      EXPECT_NE(m.payload.find("response topic is refused"), std::string::npos) << m.payload;
    auto seen = probe.messages();
    for (std::size_t i = seenBefore; i < seen.size(); ++i)
      for (const auto& t : hostile)
        EXPECT_FALSE(seen[i].topic == t && seen[i].payload.find("\"ok\"") != std::string::npos)
            << "a reply reached " << t;
    EXPECT_EQ(peerModeFrames(), pmBefore) << "a refused request reached the hat";
  }

  // A clean stop still says so on the status topic.
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
  EXPECT_TRUE(probe.waitFor(
      [&](const std::vector<Received>& v) {
        return std::any_of(v.begin(), v.end(), [](const Received& m) {
          return m.topic == kGw + "/status" && m.payload == "offline";
        });
      },
      20s));
  // None of the gateway's publications was refused: the rights are enough. (A refusal of
  // another client's shows that the broker logs them.)
  EXPECT_EQ(publishAs(acl.port(), u.reader, "sensors/1001/raw"), Publish::NotAuthorized);
  const std::string log = acl.broker().logText();
  EXPECT_EQ(log.find("Denied PUBLISH from ostrel-"), std::string::npos) << log;
  EXPECT_NE(log.find("Denied PUBLISH"), std::string::npos) << "the broker logs no refusals";
}

}  // namespace
}  // namespace ostrel::test::broker_acl
