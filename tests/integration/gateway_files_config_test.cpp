// Strict state files and configuration of the real daemon: links in the state directory are never
// followed, a configuration it cannot read whole or with a value out of range stops it with status
// 2, and a broker that hands its session to another client with the same identifier is named.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/Broker.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/Pki.hpp"
#include "tests/support/TcpProxy.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_files_config {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using hatsim::HatSim;
namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), 0666);  // the daemon runs as another user
}

hatsim::Options simOptions() {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  o.nodes.push_back({6001, 7, 71, {0x01}, 0});
  o.nodes.push_back({6007, 8, 71, {0x01}, 0});
  return o;
}

TEST(StateFiles, LinksAreRefusedOnceAndTheirTargetsLeftAlone) {
  Broker broker;
  HatSim sim(simOptions());
  sim.start();
  GatewayProcess gw({.device = sim.devicePath(), .mqttPort = broker.port()});
  const std::string victim = gw.dir() + "/victim.bin";
  const std::string original(44, 'v');
  writeAll(victim, original);
  writeAll(gw.stateDir() + "/6001.status", std::string(44, '\x01'));
  fs::create_symlink(victim, gw.stateDir() + "/6007.status");
  fs::create_symlink(victim, gw.stateDir() + "/gateway.uid");
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();

  // Link-state reports for both nodes, twice: the regular file is updated, the link never.
  for (int round = 0; round < 2; ++round) {
    const int from = static_cast<int>(gw.lines().size());
    sim.sendLinkState(1);
    sim.sendLinkState(0);
    ASSERT_GE(gw.waitForLine("Storing state for UID 6001.", 20s, true, from), 0) << gw.transcript();
  }
  EXPECT_EQ(gw.countLines("Storing state for UID 6007."), 2) << gw.transcript();
  EXPECT_EQ(readAll(victim), original);
  EXPECT_NE(readAll(gw.stateDir() + "/6001.status"), std::string(44, '\x01'));
  EXPECT_TRUE(fs::is_symlink(gw.stateDir() + "/6007.status"));
  EXPECT_TRUE(fs::is_symlink(gw.stateDir() + "/gateway.uid"));
  EXPECT_EQ(gw.countLines(gw.stateDir() + "/6007.status is a symbolic link"), 1) << gw.transcript();
  EXPECT_EQ(gw.countLines(gw.stateDir() + "/gateway.uid is a symbolic link"), 1) << gw.transcript();
  // Only the regular file's node was set up in the hat.
  int peers = 0;
  for (const auto& f : sim.framesSoFar()) peers += f.code == "PS";
  EXPECT_EQ(peers, 1);
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
}

// Exit status and lines of a daemon that is expected to stop by itself.
struct Ended {
  int status;
  std::vector<std::string> lines;
};
Ended runToEnd(GatewayProcess& gw) {
  gw.start();
  auto rc = gw.waitExit(30s);
  return {rc.value_or(-1), gw.lines()};
}

TEST(Configuration, UnusableValuesEndWithStatusTwoNamingTheProblem) {
  Pki pki;
  {
    SCOPED_TRACE("NUL byte");
    GatewayProcess gw({.device = "/dev/null"});
    std::string text = renderConfig({.device = "/dev/null"});
    // Whatever follows the NUL byte would have been lost: here the TLS switch.
    text.insert(text.find("[MQTT]\n") + 7, "; \0\ntls = yes\n"s);
    gw.writeConfigText(text);
    auto r = runToEnd(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find(gw.configPath()), std::string::npos) << r.lines[0];
    EXPECT_NE(r.lines[0].find("NUL byte"), std::string::npos) << r.lines[0];
  }
  for (const char* port : {"0", "65536", "-1"}) {
    SCOPED_TRACE(std::string("port ") + port);
    GatewayConfig cfg{.device = "/dev/null"};
    cfg.extra["MQTT"]["port"] = port;
    GatewayProcess gw(cfg);
    auto r = runToEnd(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find("'port'"), std::string::npos) << r.lines[0];
    EXPECT_NE(r.lines[0].find(std::string("got ") + port), std::string::npos) << r.lines[0];
  }
  {
    SCOPED_TRACE("missing key file");
    GatewayConfig cfg{.device = "/dev/null"};
    const std::string gone = pki.clientKey() + ".gone";
    cfg.extra["MQTT"] = {{"tls", "yes"}, {"cert-file", pki.clientCert()}, {"key-file", gone}};
    GatewayProcess gw(cfg);
    auto r = runToEnd(gw);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(r.lines.size(), 1u) << gw.transcript();
    EXPECT_NE(r.lines[0].find("key-file " + gone + " cannot be read"), std::string::npos)
        << r.lines[0];
  }
  {
    // A key only root may read: readable when the daemon starts as root, not once it has become
    // its service account, which is what opens it. Without root the first check finds it.
    SCOPED_TRACE("unreadable key file");
    HatSim sim(simOptions());
    sim.start();
    GatewayConfig cfg{.device = sim.devicePath()};
    const std::string key = pki.clientKey() + ".private";
    fs::copy_file(pki.clientKey(), key);
    ::chmod(key.c_str(), 0600);
    cfg.extra["MQTT"] = {{"tls", "yes"}, {"cert-file", pki.clientCert()}, {"key-file", key}};
    GatewayProcess gw(cfg);
    auto r = runToEnd(gw);
    EXPECT_EQ(r.status, 2) << gw.transcript();
    ASSERT_FALSE(r.lines.empty());
    EXPECT_NE(r.lines.back().find("key-file " + key + " cannot be read: Permission denied"),
              std::string::npos)
        << gw.transcript();
    EXPECT_EQ(gw.countLines("cannot be read"), 1) << gw.transcript();
    EXPECT_EQ(gw.countLines("not reachable"), 0) << gw.transcript();
  }
}

// With the broker's reason (0x8E), and without it as mosquitto 2.0.11 does it: it closes the
// connection it hands over without the DISCONNECT that MQTT 5 asks for. For the first the proxy
// adds that DISCONNECT where the real broker closes the taken-over connection.
class SessionTakeOver : public ::testing::TestWithParam<bool> {};

TEST_P(SessionTakeOver, NamedOnceAMinuteWithTheIdentifierAndTheRemedy) {
  const bool withReason = GetParam();
  Broker broker;
  TcpProxy proxy(broker.port(), {});
  if (withReason) proxy.setFarewell("\xE0\x02\x8E\x00"s);
  HatSim sim(simOptions());
  sim.start();
  const std::string id = "ostrel-test-takeover-" + std::to_string(::getpid());
  GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = proxy.port()};
  cfg.extra["MQTT"]["client-id"] = id;
  GatewayProcess gw(cfg);
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Connected to MQTT broker", 20s), 0) << gw.transcript();

  const std::string said = withReason ? "took the session over" : "may be taking the session over";
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("take-over " + std::to_string(round));
    const int from = static_cast<int>(gw.lines().size());
    // Another client with the gateway's identifier: the broker hands it the session.
    publishTo(broker.port(), "ostrel-test/take-over", "x", 1, false, id);
    ASSERT_GE(gw.waitForLine("Disconnected from MQTT broker", 20s, false, from), 0)
        << gw.transcript();
    ASSERT_GE(gw.waitForLine("Connected to MQTT broker", 30s, false, from), 0) << gw.transcript();
    // Without the reason, two closes are not yet a pattern.
    if (!withReason && round == 1) {
      EXPECT_EQ(gw.countLines(said), 0) << gw.transcript();
    }
  }
  // Four take-overs within the minute: one line.
  EXPECT_EQ(gw.countLines(said), 1) << gw.transcript();
  int line = gw.findLine(said);
  ASSERT_GE(line, 0);
  const std::string text = gw.lines()[line];
  EXPECT_NE(text.find("'" + id + "'"), std::string::npos) << text;
  EXPECT_NE(text.find("[MQTT] client-id"), std::string::npos) << text;
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
}

INSTANTIATE_TEST_SUITE_P(Broker, SessionTakeOver, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? "WithReason" : "WithoutReason";
                         });

}  // namespace
}  // namespace ostrel::test::gateway_files_config
