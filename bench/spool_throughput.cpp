// The disk spool's cost, measured on the real MQTT client in this process:
//  - away: readings published while no broker listens go to the spool; readings/s and µs of CPU
//    per reading (the process's, Paho's threads included), up to the fdatasync at the end;
//  - healthy: readings published at full speed to a real mosquitto and acknowledged, with and
//    without a spool configured; the spool directory must stay empty.
#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "ostrel/mqtt/PahoMqttClient.hpp"
#include "tests/support/Broker.hpp"

namespace {

using namespace ostrel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double cpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A port nothing listens on: bound, never listened to, so connects are refused.
int refusingPort(int& fd) {
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// What the default parser publishes for one reading of the flood.
std::string payload(std::uint64_t i) {
  return fmt::format(R"({{"uid": 987149, "ts": {}, "rssi": -40, "payload": "{:08X}{:016X}"}})",
                     1765300000000 + i, i, i * 1000);
}

struct Run {
  double seconds = 0, cpu = 0;
  MqttStats stats;
  std::size_t filesLeft = 0;
  bool touched = false;  // a segment file seen during the run
};

Run run(const std::string& spoolDir, int port, bool brokerAway, std::uint64_t count,
        std::uint64_t yieldEvery) {
  asio::io_context io;
  MqttSettings s;
  s.clientId = "spool-bench";
  s.cleanStart = true;
  s.spoolDir = spoolDir;
  s.spoolSize = 1024LL * 1024 * 1024;
  auto client = makePahoMqttClient(io.get_executor(), s);
  bool failed = false;
  client->on_connect_failed = [&](MqttClient&, const std::string&) { failed = true; };
  Run r;
  asio::co_spawn(
      io,
      [&]() -> awaitable<void> {
        client->open("127.0.0.1", port, 60);
        if (brokerAway) {
          asio::steady_timer t(io);
          while (!failed) {
            t.expires_after(std::chrono::milliseconds(5));
            co_await t.async_wait(use_awaitable);
          }
        } else {
          co_await client->waitConnected();
        }
        auto t0 = Clock::now();
        double c0 = cpuSeconds();
        for (std::uint64_t i = 0; i < count; ++i) {
          if (!brokerAway) co_await client->waitForRoom();
          client->publish("sensors/987149/raw", payload(i), 1, false);
          // As the daemon does between reads from the hat: the loop runs what else is due.
          if (yieldEvery > 0 && i % yieldEvery == yieldEvery - 1)
            co_await asio::post(io, use_awaitable);
          if (!brokerAway && !spoolDir.empty() && i % 1000 == 999)
            r.touched = r.touched || !fs::is_empty(spoolDir);
        }
        asio::steady_timer t(io);
        while (!brokerAway && client->stats().published < count) {
          t.expires_after(std::chrono::milliseconds(1));
          co_await t.async_wait(use_awaitable);
        }
        r.stats = client->stats();
        co_await client->disconnect();  // the spool's last fdatasync
        r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        r.cpu = cpuSeconds() - c0;
      },
      asio::detached);
  io.run();
  client.reset();
  if (!spoolDir.empty())
    for (auto& e : fs::directory_iterator(spoolDir)) r.filesLeft += e.is_regular_file();
  return r;
}

void print(const char* what, std::uint64_t count, const Run& r) {
  std::cout << fmt::format(
      "{:<34} {:>9.0f} readings/s  {:>6.2f} us CPU/reading  (published {}, spooled {}, "
      "segment files left {}{})\n",
      what, static_cast<double>(count) / r.seconds, r.cpu * 1e6 / static_cast<double>(count),
      r.stats.published, r.stats.spooled, r.filesLeft, r.touched ? ", spool written" : "");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Disk spool throughput of the MQTT client"};
  std::uint64_t count = 100000;
  std::string dir;
  app.add_option("--count", count, "readings per run")->capture_default_str();
  app.add_option("--dir", dir, "spool directory (default: a new one under /tmp)");
  std::uint64_t yieldEvery = 0;
  app.add_option("--yield-every", yieldEvery,
                 "let the loop run after every N readings (default 0: never)");
  CLI11_PARSE(app, argc, argv);
  bool madeDir = dir.empty();
  if (madeDir) {
    char tmpl[] = "/tmp/ostrel-spool-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  int fd = -1;
  int away = refusingPort(fd);
  auto spooling = run(dir, away, true, count, yieldEvery);
  print("broker away, spooling", count, spooling);
  // Left for the next run: clear them so that it starts on an empty spool.
  for (auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
  ::close(fd);

  test::Broker broker;
  auto without = run("", broker.port(), false, count, yieldEvery);
  print("broker healthy, no spool", count, without);
  auto with = run(dir, broker.port(), false, count, yieldEvery);
  print("broker healthy, spool configured", count, with);
  bool ok = static_cast<double>(count) / spooling.seconds >= 20000 && with.filesLeft == 0 &&
            !with.touched;
  std::cout << fmt::format(
      "target  >= 20000 readings/s spooling, spool untouched when healthy  {}\n",
      ok ? "met" : "MISSED");
  if (madeDir) fs::remove_all(dir);
  return ok ? 0 : 1;
}
