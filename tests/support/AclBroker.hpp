#pragma once
// The least-privilege broker of packaging/examples: mosquitto loaded with the example's settings
// and ACL, for one gateway UID, and a password file made with mosquitto_passwd. Tests that check
// what a broker user can make the gateway do start one and act as its users.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Broker.hpp"

namespace ostrel::test {

struct AclUsers {
  Login gateway;
  Login operator_;
  Login reader;
  Login provisioner;
  // Not in the example: reads and writes everything, so that a test can watch and prompt.
  Login probe;
};

class AclBroker {
 public:
  // Throws when mosquitto_passwd or mosquitto fails.
  explicit AclBroker(const std::string& gatewayUid);
  ~AclBroker();
  AclBroker(const AclBroker&) = delete;
  AclBroker& operator=(const AclBroker&) = delete;

  int port() const { return broker_->port(); }
  Broker& broker() { return *broker_; }
  const AclUsers& users() const { return users_; }

 private:
  std::string dir_;
  AclUsers users_;
  std::unique_ptr<Broker> broker_;
};

// What the broker made of one QoS 1 publication (MQTT 5, so a refusal is reported back).
// `extraArgs` go to mosquitto_pub as they are, e.g. {"-D", "publish", "response-topic", "a/b"}.
enum class Publish { Accepted, NotAuthorized, ConnectRefused };
Publish publishAs(int port, const Login& login, const std::string& topic,
                  const std::string& payload = "x", const std::vector<std::string>& extraArgs = {});

struct ProgramRun {
  int status = -1;     // exit status, or -1 when it did not end normally
  int waitStatus = 0;  // as waitpid gave it
  std::string output;  // standard output and standard error together
};

// Runs a program built here (through the cross build's emulator) with `env` added to the
// environment, standard input on /dev/null, and collects what it prints. An end by a signal or a
// sanitizer report fails the running test.
ProgramRun runBuilt(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {});

}  // namespace ostrel::test
