// Readings on disk while the broker is away: they survive the daemon's end, a record cut short
// costs only itself, a healthy broker leaves the disk alone, and a full disk costs nothing but
// the spool. The daemon reaches the broker through a proxy; "down" is a broker outage for it,
// while a subscriber connected to the broker directly sees everything delivered.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "tests/support/Broker.hpp"
#include "tests/support/Flood.hpp"
#include "tests/support/GatewayProcess.hpp"
#include "tests/support/NotifySocket.hpp"
#include "tests/support/SpoolBacklog.hpp"
#include "tests/support/TcpProxy.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::gateway_spool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using json = nlohmann::json;

// A directory of its own, writable by the account the daemon drops to; removed at the end.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/ostrel-spool-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path = tmpl;
    ::chmod(path.c_str(), 0777);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::vector<fs::path> files() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(path)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }
};

struct Delivered {
  unsigned long seq;
  long long ts;
};
std::vector<Delivered> delivered(const std::vector<Received>& messages) {
  std::vector<Delivered> out;
  for (const auto& m : messages) {
    auto j = json::parse(m.payload, nullptr, false);
    if (j.is_discarded() || !j.contains("payload") || !j.contains("ts")) continue;
    if (auto seq = seqAfter(m.payload, "\"payload\": \""))
      out.push_back({*seq, j["ts"].get<long long>()});
  }
  return out;
}
std::set<unsigned long> seqsOf(const std::vector<Delivered>& d) {
  std::set<unsigned long> out;
  for (auto& x : d) out.insert(x.seq);
  return out;
}

// Waits until `done` holds for the set of flood readings delivered so far. Each message is looked
// at once, so that the check keeps pace with thousands arriving.
bool waitDelivered(Subscriber& sub, const std::function<bool(const std::set<unsigned long>&)>& done,
                   std::chrono::milliseconds limit) {
  std::set<unsigned long> got;
  std::size_t seen = 0;
  return sub.waitFor(
      [&](const std::vector<Received>& v) {
        for (; seen < v.size(); ++seen)
          if (auto seq = seqAfter(v[seen].payload, "\"payload\": \"")) got.insert(*seq);
        return done(got);
      },
      limit);
}

// Bytes the process made the kernel write to storage (dirtied pages), from /proc/PID/io.
long long writeBytes(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  for (std::string key; in >> key;) {
    long long v = 0;
    in >> v;
    if (key == "write_bytes:") return v;
  }
  return -1;
}

// The state directory's files written since `since`, each counted in whole pages: what the
// daemon's status files explain of its writes.
long long explainedSince(const std::string& dir, fs::file_time_type since) {
  long long bytes = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && e.last_write_time() >= since)
      bytes += (static_cast<long long>(e.file_size()) + 4095) / 4096 * 4096;
  return bytes;
}

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

hatsim::Options hatOptions() {
  hatsim::Options o;
  o.promptIntervalMs = 300;
  return o;
}

GatewayConfig spoolConfig(const hatsim::HatSim& sim, int port, const std::string& spoolDir) {
  GatewayConfig cfg{.device = sim.devicePath(), .mqttPort = port};
  cfg.extra["MQTT"]["spool-dir"] = spoolDir;
  return cfg;
}

// Starts `gw`, lets it connect (the radio is switched on then), then takes the broker away
// and waits until the daemon has seen it go.
::testing::AssertionResult startedThenBrokerAway(GatewayProcess& gw, hatsim::HatSim& sim,
                                                 TcpProxy& proxy) {
  gw.start();
  if (!sim.nextFrame("TC", 20s)) return ::testing::AssertionFailure() << "no TC";
  if (gw.waitForLine("Subscribed mid", 20s) < 0)
    return ::testing::AssertionFailure() << "not subscribed";
  proxy.setDown(true);
  if (gw.waitForLine("Disconnected from MQTT broker", 20s) < 0)
    return ::testing::AssertionFailure() << "no disconnect";
  return ::testing::AssertionSuccess();
}

// A broker behind a proxy, the hat simulator, a subscriber on the broker itself and a spool
// directory: every outage here. The first daemon floods the spool while the broker is away.
struct Outage {
  explicit Outage(const std::string& dir = "")
      : sim(hatOptions()), cfg(startedWith(dir.empty() ? spool.path : dir)), first(cfg) {}
  // The first daemon started, the broker taken away, `n` readings read at `rate` a second.
  ::testing::AssertionResult floodedWhileAway(int n, int rate) {
    if (auto ok = startedThenBrokerAway(first, sim, proxy); !ok) return ok;
    sim.startFlood(n, rate);
    if (auto ok = floodReadToTheEnd(sim, first, 60s); !ok) return ok;
    taken = takenFromHat(first);
    if (taken.size() != static_cast<std::size_t>(n))
      return ::testing::AssertionFailure() << taken.size() << " of " << n << " readings read";
    return ::testing::AssertionSuccess();
  }
  Broker broker;
  TcpProxy proxy{broker.port(), [](int) { return TcpProxy::Mode::Forward; }};
  hatsim::HatSim sim;
  Subscriber sub{broker.port(), {"sensors/#"}};
  TempDir spool;
  GatewayConfig cfg;
  GatewayProcess first;
  std::vector<unsigned long> taken;

 private:
  GatewayConfig startedWith(const std::string& dir) {
    sim.start();
    return spoolConfig(sim, proxy.port(), dir);
  }
};

TEST(GatewaySpool, ReadingsOfAnOutageSurviveAKillAndArriveInOrderWithTheirOwnTime) {
  Outage o;
  auto [first, proxy, sub, spool, taken] = std::tie(o.first, o.proxy, o.sub, o.spool, o.taken);
  ASSERT_TRUE(o.floodedWhileAway(2000, 400)) << first.transcript();
  // The scenario itself, not a wait: the power goes three seconds after the last reading.
  std::this_thread::sleep_for(3s);
  first.signal(SIGKILL);
  first.waitExit(20s);
  const long long killedAt = nowMs();
  EXPECT_FALSE(spool.files().empty());

  o.cfg.stateDir = first.stateDir();
  GatewayProcess second(o.cfg);
  second.start();
  ASSERT_GE(second.waitForLine("Spool: 2000 publications from an earlier run", 20s), 0)
      << second.transcript();
  ASSERT_GE(second.waitForLine("not reachable", 20s), 0) << second.transcript();
  proxy.setDown(false);

  ASSERT_TRUE(waitDelivered(
      sub, [](auto& got) { return got.size() >= 2000; }, 60s))
      << seqsOf(delivered(sub.messages())).size() << " delivered\n"
      << second.transcript();
  auto got = delivered(sub.messages());
  EXPECT_EQ(seqsOf(got), std::set<unsigned long>(taken.begin(), taken.end()));
  // One sensor: its readings arrive in the order the hat sent them, each stamped when it came
  // in, before the first daemon was killed.
  for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1].seq, got[i].seq) << "at " << i;
  for (auto& d : got) ASSERT_LT(d.ts, killedAt - 2000) << "reading " << d.seq;
  // Every record acknowledged: the segments are gone.
  EXPECT_TRUE(waitUntil([&] { return spool.files().empty(); }, 20s, "an empty spool"));
  second.signal(SIGTERM);
  EXPECT_EQ(second.waitExit(20s), 0);
}

TEST(GatewaySpool, ARecordCutShortCostsOnlyItselfWithOneLine) {
  Outage o;
  auto [first, proxy, sub, spool, taken] = std::tie(o.first, o.proxy, o.sub, o.spool, o.taken);
  ASSERT_TRUE(o.floodedWhileAway(300, 400)) << first.transcript();
  first.signal(SIGTERM);
  ASSERT_EQ(first.waitExit(20s), 0);

  auto files = spool.files();
  ASSERT_FALSE(files.empty());
  auto last = files.back();
  fs::resize_file(last, fs::file_size(last) - 5);

  o.cfg.stateDir = first.stateDir();
  GatewayProcess second(o.cfg);
  second.start();
  ASSERT_GE(second.waitForLine("not reachable", 20s), 0) << second.transcript();
  proxy.setDown(false);
  const std::set<unsigned long> expected(taken.begin(), taken.end() - 1);
  ASSERT_TRUE(waitDelivered(
      sub, [&](auto& got) { return got == expected; }, 30s))
      << seqsOf(delivered(sub.messages())).size() << " delivered\n"
      << second.transcript();
  EXPECT_EQ(second.countLines("bytes of damaged or cut records skipped"), 1) << second.transcript();
  EXPECT_GE(second.findLine("Spool: 299 publications from an earlier run"), 0)
      << second.transcript();
  auto got = delivered(sub.messages());
  for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1].seq, got[i].seq) << "at " << i;
  second.signal(SIGTERM);
  EXPECT_EQ(second.waitExit(20s), 0);
}

TEST(GatewaySpool, AHealthyBrokerLeavesTheSpoolUntouched) {
  Broker broker;
  hatsim::HatSim sim(hatOptions());
  sim.start();
  Subscriber sub(broker.port(), {"sensors/#"});
  TempDir spool;
  GatewayProcess gw(spoolConfig(sim, broker.port(), spool.path));
  gw.start();
  ASSERT_TRUE(sim.nextFrame("TC", 20s)) << gw.transcript();
  ASSERT_GE(gw.waitForLine("Subscribed mid", 20s), 0) << gw.transcript();

  const long long writtenBefore = writeBytes(gw.pid());
  ASSERT_GE(writtenBefore, 0);
  const auto floodStart = fs::file_time_type::clock::now();
  sim.startFlood(2000, 400);
  // Looked at all along, not only at the end: a segment written and deleted again would count.
  bool touched = false;
  ASSERT_TRUE(waitDelivered(
      sub,
      [&](auto& got) {
        touched = touched || !spool.files().empty();
        return got.size() >= 2000;
      },
      60s))
      << gw.transcript();
  EXPECT_FALSE(touched);
  EXPECT_EQ(gw.countLines("Spool:"), 0) << gw.transcript();
  const long long written = writeBytes(gw.pid()) - writtenBefore;
  RecordProperty("write_bytes", std::to_string(written));
  EXPECT_LE(written, explainedSince(gw.stateDir(), floodStart));
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
  EXPECT_TRUE(spool.files().empty());
}

TEST(GatewaySpool, AMissingSpoolDirectoryStopsTheStartWithOneLine) {
  hatsim::HatSim sim(hatOptions());
  sim.start();
  TempDir parent;
  const std::string missing = parent.path + "/gone";
  GatewayProcess gw(spoolConfig(sim, 1883, missing));
  gw.start();
  ASSERT_EQ(gw.waitExit(20s), 1) << gw.transcript();
  EXPECT_EQ(gw.countLines("Start-up failed: spool directory " + missing +
                          " is not usable: No such file or directory"),
            1)
      << gw.transcript();
  EXPECT_EQ(sim.stats().opens, 0u);  // the hat was never touched
}

// Two daemons on one spool would send and delete each other's readings: the second one stops.
TEST(GatewaySpool, ASpoolInUseByAnotherProcessStopsTheStartWithOneLine) {
  hatsim::HatSim sim(hatOptions());
  sim.start();
  TempDir spool;
  int fd = ::open(spool.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  GatewayProcess gw(spoolConfig(sim, 1883, spool.path));
  gw.start();
  EXPECT_EQ(gw.waitExit(20s), 1) << gw.transcript();
  ::close(fd);
  EXPECT_EQ(gw.countLines(spool.path + " is in use by another process"), 1) << gw.transcript();
}

// A small tmpfs of its own as the spool directory, unmounted at the end.
struct SmallDisk {
  TempDir dir;
  bool mounted = false;
  SmallDisk() {
    std::string cmd = "mount -t tmpfs -o size=256k,mode=0777 tmpfs " + dir.path;
    mounted = std::system(cmd.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted) std::system(("umount " + dir.path).c_str());
  }
};

TEST(GatewaySpool, AFullDiskStopsTheSpoolOnceAndTheMemoryBufferCarriesOn) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  SmallDisk disk;
  ASSERT_TRUE(disk.mounted) << "mount -t tmpfs failed";
  Outage o(disk.dir.path);
  auto [gw, proxy, sub, taken] = std::tie(o.first, o.proxy, o.sub, o.taken);
  // About 130 bytes a record: 4,000 are twice what 256 KiB hold.
  ASSERT_TRUE(o.floodedWhileAway(4000, 1000)) << gw.transcript();
  EXPECT_EQ(gw.countLines("spooling stops, publications stay in memory"), 1) << gw.transcript();
  proxy.setDown(false);
  const std::set<unsigned long> all(taken.begin(), taken.end());
  ASSERT_TRUE(waitDelivered(
      sub, [&](auto& got) { return got == all; }, 60s))
      << seqsOf(delivered(sub.messages())).size() << " delivered\n"
      << gw.transcript();
  // What reached the disk before it filled goes before what came after and waited in memory.
  auto got = delivered(sub.messages());
  for (std::size_t i = 1; i < got.size(); ++i) ASSERT_LT(got[i - 1].seq, got[i].seq) << "at " << i;
  EXPECT_EQ(gw.countLines("MQTT buffer full"), 0);
  EXPECT_TRUE(waitUntil([&] { return disk.dir.files().empty(); }, 20s, "an empty spool"));
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0);
}

// A gibibyte waiting from an earlier run does not hold up the start: the spool counts it in the
// background, and the daemon is ready within seconds.
TEST(GatewaySpool, AGibibyteWaitingDoesNotHoldUpTheStart) {
  Broker broker;
  hatsim::HatSim sim(hatOptions());
  sim.start();
  TempDir spool;
  makeSpoolBacklog(spool.path, 1024);
  auto cfg = spoolConfig(sim, broker.port(), spool.path);
  cfg.extra["MQTT"]["spool-size"] = std::to_string(2LL << 30);
  GatewayProcess gw(cfg);
  NotifySocket sock(gw.dir() + "/notify");
  const auto t0 = std::chrono::steady_clock::now();
  gw.start({}, {{"NOTIFY_SOCKET", sock.path()}});
  bool ready = false;
  while (!ready && std::chrono::steady_clock::now() - t0 < 20s)
    if (auto m = sock.receive(100ms)) ready = *m == "READY=1";
  ASSERT_TRUE(ready) << gw.transcript();
  const auto took = std::chrono::steady_clock::now() - t0;
  RecordProperty(
      "ready_ms",
      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_LT(took, 5s) << gw.transcript();
  gw.signal(SIGTERM);
  EXPECT_EQ(gw.waitExit(20s), 0) << gw.transcript();
}

}  // namespace
}  // namespace ostrel::test::gateway_spool
