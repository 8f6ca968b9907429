#include "ostrel/sys/Process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include <fmt/format.h>

extern char** environ;

namespace ostrel {

using namespace asio::experimental::awaitable_operators;
using namespace std::chrono_literals;

std::vector<std::string> splitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else if (c == '\'') {
      auto end = line.find('\'', i + 1);
      if (end == std::string_view::npos)
        throw CommandError(fmt::format("no closing quotation in '{}'", line));
      word.append(line.substr(i + 1, end - i - 1));
      i = end;
      inWord = true;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (; j < line.size() && line[j] != '"'; ++j) {
        if (line[j] == '\\' && j + 1 < line.size() && (line[j + 1] == '"' || line[j + 1] == '\\'))
          ++j;
        word += line[j];
      }
      if (j >= line.size()) throw CommandError(fmt::format("no closing quotation in '{}'", line));
      i = j;
      inWord = true;
    } else if (c == '\\') {
      if (i + 1 >= line.size())
        throw CommandError(fmt::format("no escaped character in '{}'", line));
      word += line[++i];
      inWord = true;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

namespace {

// Output beyond this is read and dropped, so that a chatty child neither blocks nor eats memory.
constexpr std::size_t kMaxOutput = 1 << 20;

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

struct Child {
  pid_t pid = -1;
  bool reaped = false;
  int exitStatus = -1;
  std::optional<asio::posix::stream_descriptor> pidfd;

  // Reaps the child if it has ended; never blocks.
  bool tryReap() {
    if (reaped) return true;
    int st = 0;
    pid_t r;
    do r = ::waitpid(pid, &st, WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0) return false;
    reaped = true;
    if (r == pid)
      exitStatus = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? -WTERMSIG(st) : -1;
    return true;  // r < 0: reaped elsewhere (ECHILD); nothing left to wait for
  }
  // The whole group, so that grandchildren holding our pipe go too.
  void kill() {
    ::kill(-pid, SIGKILL);
    if (!reaped) ::kill(pid, SIGKILL);
  }
};

// Kills and reaps a child that its awaiting task abandoned (cancellation, error). The event loop
// never waits for it: a killed child that has not ended yet is reaped by a short-lived thread.
struct ChildGuard {
  std::shared_ptr<Child> child;
  ~ChildGuard() {
    if (child->reaped) return;
    child->kill();
    if (child->tryReap()) return;
    child->reaped = true;
    std::thread([pid = child->pid] {
      int st = 0;
      while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
};

awaitable<void> waitExit(std::shared_ptr<Child> c) {
  while (!c->tryReap()) {
    if (c->pidfd) {
      // The pidfd turns readable when the child ends; re-check on a spurious wake-up.
      co_await c->pidfd->async_wait(asio::posix::descriptor_base::wait_read, use_awaitable);
    } else {
      asio::steady_timer t(co_await asio::this_coro::executor, 10ms);
      co_await t.async_wait(use_awaitable);
    }
  }
}

awaitable<void> readAll(asio::posix::stream_descriptor& rd, std::string& out) {
  std::array<char, 4096> buf;
  for (;;) {
    auto [ec, n] = co_await rd.async_read_some(asio::buffer(buf), asio::as_tuple(use_awaitable));
    if (n > 0 && out.size() < kMaxOutput)
      out.append(buf.data(), std::min(n, kMaxOutput - out.size()));
    if (ec == asio::error::eof) co_return;
    if (ec) throw boost::system::system_error(ec, "reading command output");
  }
}

[[noreturn]] void rethrowFirstCause(std::exception_ptr e) {
  if (!e) throw CommandError("command failed");
  try {
    std::rethrow_exception(e);
  } catch (const asio::multiple_exceptions& nested) {
    rethrowFirstCause(nested.first_exception());
  }
}

}  // namespace

awaitable<CommandResult> runCommand(std::string commandLine, std::chrono::milliseconds timeout,
                                    bool captureOutput, bool mergeStderr) {
  auto args = splitCommandLine(commandLine);
  if (args.empty()) throw CommandError("empty command line");
  auto ex = co_await asio::this_coro::executor;

  Fd readEnd, writeEnd;
  if (captureOutput) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
      throw CommandError(
          fmt::format("cannot start '{}': pipe: {}", commandLine, std::strerror(errno)));
    readEnd.fd = p[0];
    writeEnd.fd = p[1];
  }

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (captureOutput) {
    posix_spawn_file_actions_adddup2(&fa, writeEnd.fd, STDOUT_FILENO);
    if (mergeStderr) posix_spawn_file_actions_adddup2(&fa, writeEnd.fd, STDERR_FILENO);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group (killed as one at the time-out), no inherited signal mask or handlers.
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t mask, def;
  sigemptyset(&mask);
  posix_spawnattr_setsigmask(&attr, &mask);
  sigemptyset(&def);
  for (int s : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2})
    sigaddset(&def, s);
  posix_spawnattr_setsigdefault(&attr, &def);

  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(writeEnd.release());
  if (rc != 0)
    throw CommandError(fmt::format("cannot start '{}': {}", commandLine, std::strerror(rc)));

  auto child = std::make_shared<Child>();
  child->pid = pid;
  ChildGuard guard{child};
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) child->pidfd.emplace(ex, pidfd);  // else: poll (kernels before 5.3)

  CommandResult result;
  asio::steady_timer deadline(ex, timeout);
  bool finished;
  try {
    if (captureOutput) {
      asio::posix::stream_descriptor rd(ex, readEnd.release());
      auto r = co_await ((waitExit(child) && readAll(rd, result.output)) ||
                         deadline.async_wait(use_awaitable));
      finished = r.index() == 0;
    } else {
      auto r = co_await (waitExit(child) || deadline.async_wait(use_awaitable));
      finished = r.index() == 0;
    }
  } catch (const asio::multiple_exceptions& e) {
    // Every branch failed, as on cancellation: report the first cause, not the bundle.
    rethrowFirstCause(e.first_exception());
  }
  if (!finished) {
    child->kill();
    asio::steady_timer grace(ex, 1s);
    co_await (waitExit(child) || grace.async_wait(use_awaitable));
    throw CommandTimeout(fmt::format("command '{}' timed out after {:g} s", commandLine,
                                     std::chrono::duration<double>(timeout).count()));
  }
  result.exitStatus = child->exitStatus;
  co_return result;
}

}  // namespace ostrel
