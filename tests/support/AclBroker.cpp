#include "tests/support/AclBroker.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/GatewayProcess.hpp"

namespace ostrel::test {

namespace fs = std::filesystem;

namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void replaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
    s.replace(at, from.size(), to);
}

// Runs argv with the environment additions; standard output and error are collected.
ProgramRun run(const std::vector<std::string>& argvIn,
               const std::map<std::string, std::string>& env) {
  std::vector<char*> argv;
  for (auto& a : argvIn) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  ProgramRun r;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    r.output.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.waitStatus = st;
  return r;
}

}  // namespace

AclBroker::AclBroker(const std::string& gatewayUid) {
  char tmpl[] = "/tmp/ostrel-acl-XXXXXX";
  if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  const std::string tag = std::to_string(::getpid());
  users_ = {.gateway = {"ostrel-gateway", "gw-" + tag},
            .operator_ = {"ostrel-operator", "op " + tag + " with blanks"},
            .reader = {"ostrel-reader", "rd-" + tag},
            .provisioner = {"ostrel-provisioner", "pv-" + tag},
            .probe = {"ostrel-test-probe", "pr-" + tag}};

  const std::string examples = std::string(OSTREL_SOURCE_DIR) + "/packaging/examples/";
  std::string acl = readText(examples + "mosquitto-ostrel.acl");
  replaceAll(acl, "GATEWAY_UID", gatewayUid);
  acl += "\nuser " + users_.probe.user + "\ntopic readwrite #\n";
  std::ofstream(dir_ + "/ostrel.acl") << acl;

  bool first = true;
  for (const Login* l :
       {&users_.gateway, &users_.operator_, &users_.reader, &users_.provisioner, &users_.probe}) {
    std::vector<std::string> args = {"mosquitto_passwd", "-b"};
    if (first) args.push_back("-c");
    args.insert(args.end(), {dir_ + "/ostrel.passwd", l->user, l->password});
    first = false;
    if (auto r = run(args, {}); r.status != 0)
      throw std::runtime_error("mosquitto_passwd failed: " + r.output);
  }

  // The example's settings as shipped, with its files where this test keeps them.
  std::string conf = readText(examples + "mosquitto-ostrel.conf");
  replaceAll(conf, "/etc/mosquitto/", dir_ + "/");
  broker_ = std::make_unique<Broker>(std::nullopt, conf);
}

AclBroker::~AclBroker() {
  broker_.reset();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

Publish publishAs(int port, const Login& login, const std::string& topic,
                  const std::string& payload, const std::vector<std::string>& extraArgs) {
  std::vector<std::string> args = {
      "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-V", "5", "-q", "1", "-t",
      topic,           "-m", payload};
  if (!login.user.empty()) args.insert(args.end(), {"-u", login.user, "-P", login.password});
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  ProgramRun r = run(args, {});
  // mosquitto_pub reports a refused publication but still ends with status 0.
  if (r.output.find("Not authorized") != std::string::npos)
    return r.status == 0 ? Publish::NotAuthorized : Publish::ConnectRefused;
  if (r.status != 0) return Publish::ConnectRefused;
  return Publish::Accepted;
}

ProgramRun runBuilt(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv;
  std::string emulator = OSTREL_EMULATOR;
  if (!emulator.empty()) argv.push_back(emulator);
  argv.push_back(std::string(OSTREL_BIN_DIR) + "/" + program);
  argv.insert(argv.end(), args.begin(), args.end());
  ProgramRun r = run(argv, env);
  if (std::string problem = abnormalEnd(program, r.waitStatus, r.output); !problem.empty())
    ADD_FAILURE() << problem;
  return r;
}

}  // namespace ostrel::test
