// The spool opened on a big backlog of an earlier run (hard links of one segment, so the page
// cache holds it: this measures the spool, not the storage): how long the constructor takes,
// when the first record comes, when counting ends, how fast everything is handed out and done,
// and the process's peak memory.
#include <fmt/format.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "ostrel/base/Log.hpp"
#include "ostrel/mqtt/Spool.hpp"
#include "tests/support/SpoolBacklog.hpp"

namespace {

using namespace ostrel;
using Clock = std::chrono::steady_clock;

long statusKb(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  return -1;
}

double since(Clock::time_point t0, Clock::time_point t) {
  return std::chrono::duration<double>(t - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Spool start-up and read-back with a big backlog"};
  std::size_t mib = 1024;
  app.add_option("--mib", mib, "backlog in MiB (1 MiB segments)")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  char tmpl[] = "/tmp/ostrel-spool-backlog-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  const std::size_t each = test::makeSpoolBacklog(dir, mib);
  std::optional<Clock::time_point> counted;
  setLogSink([&](std::string_view l) {
    if (l.find("from an earlier run wait") != std::string_view::npos) counted = Clock::now();
    std::cout << l << "\n";
  });
  asio::io_context io;
  Spool::Options o;
  o.dir = dir;
  o.maxBytes = (mib + 1) * 1024 * 1024;
  const auto t0 = Clock::now();
  auto spool = std::make_unique<Spool>(io.get_executor(), o);
  const auto made = Clock::now();
  std::optional<Clock::time_point> first;
  std::uint64_t got = 0;
  asio::steady_timer wake(io);
  spool->onAvailable = [&] { wake.cancel(); };
  asio::co_spawn(
      io,
      [&]() -> awaitable<void> {
        while (!spool->empty() || !counted) {
          while (auto item = spool->next()) {
            if (!first) first = Clock::now();
            ++got;
            spool->done(item->id);
          }
          wake.expires_after(std::chrono::milliseconds(100));
          co_await wake.async_wait(asio::as_tuple(use_awaitable));
        }
      },
      asio::detached);
  io.run();
  const auto end = Clock::now();
  spool.reset();
  setLogSink({});
  std::cout << fmt::format(
      "backlog {} MiB, {} records ({} a segment)\n"
      "constructor           {:.3f} ms\n"
      "first record          {:.3f} s\n"
      "all counted           {:.3f} s\n"
      "all handed out, done  {:.3f} s ({:.0f} records/s)\n"
      "peak memory           VmHWM {} kB\n",
      mib, got, each, since(t0, made) * 1e3, first ? since(t0, *first) : -1.0,
      counted ? since(t0, *counted) : -1.0, since(t0, end),
      static_cast<double>(got) / since(t0, end), statusKb("VmHWM"));
  std::filesystem::remove_all(dir);
  return got == mib * each ? 0 : 1;
}
