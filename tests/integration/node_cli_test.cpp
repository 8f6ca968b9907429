// ostrel-node's way to the broker: TLS that checks the broker's certificate and host name, and
// a password that never appears on the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "tests/support/AclBroker.hpp"
#include "tests/support/Pki.hpp"

namespace ostrel::test::node_cli {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// `status` connects, subscribes and, with no retained status, ends with 3 after --timeout: the
// sign that the broker let the client in.
const std::vector<std::string> kStatusArgs = {"--gateway", "16909060", "--timeout",
                                              "0.3",       "status",   "5"};
constexpr int kConnected = 3;
const std::string kConnectedText = "no firmware status for sensor 5";

std::vector<std::string> withStatus(std::vector<std::string> args) {
  args.insert(args.end(), kStatusArgs.begin(), kStatusArgs.end());
  return args;
}

struct TlsCase {
  const char* name;
  bool otherHost;        // the broker's certificate names other.example only
  const char* caFile;    // "ca", "other-ca" or "" (none given)
  bool systemTrustsCa;   // the system's trusted CAs (OpenSSL's SSL_CERT_FILE) hold the test CA
  const char* expected;  // empty: connects
};

void PrintTo(const TlsCase& c, std::ostream* os) {
  *os << c.name;
}

class NodeTls : public ::testing::TestWithParam<TlsCase> {};

TEST_P(NodeTls, ChecksTheCertificateAndTheHostName) {
  const TlsCase& c = GetParam();
  Pki pki;
  Broker broker(BrokerTls{.caFile = pki.caCert(),
                          .certFile = c.otherHost ? pki.otherHostCert() : pki.serverCert(),
                          .keyFile = c.otherHost ? pki.otherHostKey() : pki.serverKey()});
  std::vector<std::string> args = {"--broker", "127.0.0.1:" + std::to_string(broker.port()),
                                   "--tls"};
  std::string ca = std::string(c.caFile) == "ca"         ? pki.caCert()
                   : std::string(c.caFile) == "other-ca" ? pki.otherCaCert()
                                                         : "";
  if (!ca.empty()) args.insert(args.end(), {"--cafile", ca});
  std::map<std::string, std::string> env;
  if (c.systemTrustsCa) env["SSL_CERT_FILE"] = pki.caCert();

  auto r = runBuilt("ostrel-node", withStatus(args), env);
  std::string expected = c.expected;
  if (expected.empty()) {
    EXPECT_EQ(r.status, kConnected) << r.output;
    EXPECT_NE(r.output.find(kConnectedText), std::string::npos) << r.output;
  } else {
    if (expected.find("CAFILE") != std::string::npos)
      expected.replace(expected.find("CAFILE"), 6, ca);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("could not connect to ssl://127.0.0.1:"), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeTls,
    ::testing::Values(TlsCase{"GivenCa", false, "ca", false, ""},
                      TlsCase{"SystemCas", false, "", true, ""},
                      TlsCase{"OtherHostGivenCa", true, "ca", false,
                              "the broker's certificate does not name the host 127.0.0.1"},
                      TlsCase{"OtherHostSystemCas", true, "", true,
                              "the broker's certificate does not name the host 127.0.0.1"},
                      TlsCase{"UnrelatedCa", false, "other-ca", false,
                              "the broker's certificate does not verify against CAFILE"},
                      TlsCase{"UntrustedBySystem", false, "", false,
                              "the broker's certificate does not verify against the system's CAs"}),
    [](const auto& info) { return std::string(info.param.name); });

class NodePassword : public ::testing::Test {
 protected:
  NodePassword() : acl_("16909060"), dir_(tempDir()) {}
  ~NodePassword() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string tempDir() {
    char tmpl[] = "/tmp/ostrel-node-pw-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    return tmpl;
  }
  std::string file(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << content;
    return path;
  }
  std::vector<std::string> login() const {
    return {"--broker", "127.0.0.1:" + std::to_string(acl_.port()), "--username",
            acl_.users().operator_.user};
  }
  AclBroker acl_;
  std::string dir_;
};

TEST_F(NodePassword, ComesFromTheFileThenTheEnvironmentNeverTheCommandLine) {
  const std::string right = acl_.users().operator_.password;  // has blanks in it
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int status;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"file", {"--password-file", file("right", right + "\n")}, {}, kConnected, ""},
      {"file, CR LF and a second line",
       {"--password-file", file("crlf", right + "\r\nsomething else\n")},
       {},
       kConnected,
       ""},
      {"environment", {}, {{"OSTREL_MQTT_PASSWORD", right}}, kConnected, ""},
      {"file before environment",
       {"--password-file", file("right2", right)},
       {{"OSTREL_MQTT_PASSWORD", "wrong"}},
       kConnected,
       ""},
      {"a wrong file is not saved by the environment",
       {"--password-file", file("wrong", "wrong\n")},
       {{"OSTREL_MQTT_PASSWORD", right}},
       1,
       "the broker refused the connection: Not authorized"},
      {"none, and no terminal to ask on",
       {},
       {},
       1,
       "the broker refused the connection: Not authorized"},
      {"missing file",
       {"--password-file", dir_ + "/absent"},
       {},
       2,
       "cannot read the password file"},
      {"command line",
       {"--password", right},
       {},
       2,
       "--password is not accepted: every user of this machine can read a command line"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = login();
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = runBuilt("ostrel-node", withStatus(args), c.env);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.output;
    EXPECT_NE(r.output.find(*c.says ? c.says : kConnectedText.c_str()), std::string::npos)
        << c.name << ": " << r.output;
  }
}

// Reads from the pty master until `text` has come or the child closed it; false on a time-out.
bool readUntil(int fd, std::string& out, const std::string& text, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  char buf[512];
  while (text.empty() || out.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text.empty();  // EIO once the child has closed its side
    out.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// ostrel-node on a pseudo-terminal of its own, asked for the operator's password.
struct OnTerminal {
  pid_t pid = -1;
  int master = -1;
  std::string out;

  explicit OnTerminal(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    std::string emulator = OSTREL_EMULATOR;
    if (!emulator.empty()) argv.push_back(emulator);
    argv.push_back(std::string(OSTREL_BIN_DIR) + "/ostrel-node");
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
      ::unsetenv("OSTREL_MQTT_PASSWORD");
      ::execv(cargv[0], cargv.data());
      ::_exit(127);
    }
  }
  ~OnTerminal() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      wait();
    }
    if (master >= 0) ::close(master);
  }
  bool asked() {
    return readUntil(master, out, "MQTT password for ostrel-operator at 127.0.0.1:", 20s);
  }
  bool echoOn() const {
    termios t{};  // of the terminal's far side: Linux answers for it on the master
    return ::tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) != 0;
  }
  void type(const std::string& text) {
    EXPECT_EQ(::write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  int wait() {
    int st = 0;
    ::waitpid(pid, &st, 0);
    pid = -1;
    return st;
  }
};

TEST_F(NodePassword, IsAskedForOnATerminalWithoutEcho) {
  OnTerminal t(withStatus(login()));
  ASSERT_GE(t.pid, 0);
  ASSERT_TRUE(t.asked()) << t.out;
  EXPECT_FALSE(t.echoOn());
  t.type(acl_.users().operator_.password + "\n");
  EXPECT_TRUE(readUntil(t.master, t.out, "", 20s)) << t.out;
  int st = t.wait();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == kConnected) << t.out;
  EXPECT_NE(t.out.find(kConnectedText), std::string::npos) << t.out;
  EXPECT_EQ(t.out.find(acl_.users().operator_.password), std::string::npos) << t.out;
  EXPECT_TRUE(t.echoOn());
}

TEST_F(NodePassword, EchoComesBackWhenThePromptIsInterrupted) {
  OnTerminal t(withStatus(login()));
  ASSERT_GE(t.pid, 0);
  ASSERT_TRUE(t.asked()) << t.out;
  ASSERT_FALSE(t.echoOn());
  t.type("\x03");  // Ctrl-C
  int st = t.wait();
  EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT) << t.out;
  EXPECT_TRUE(t.echoOn());
}

}  // namespace
}  // namespace ostrel::test::node_cli
