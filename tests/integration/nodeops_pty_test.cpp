// Node operations against the hat simulator on a real pseudo-terminal, with the gateway core
// running in this process: its receive loop reads the same port that setPeerMode waits on.
//
// startRadioBridge drops root to the service account, so each case runs in a forked child: the
// test runner keeps its own identity and every case starts with fresh module state.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/nodeops/NodeOps.hpp"
#include "tests/support/FakeMqttClient.hpp"
#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

namespace ostrel::test::nodeops_pty {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::waitUntil;
namespace fs = std::filesystem;

constexpr std::uint32_t FLOOD_UID = 0xF100D;

// Runs `body` in a child process and fails when the child reports a failure, crashes or hangs.
void inChild(const std::function<void()>& body, unsigned limitSeconds = 40) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(limitSeconds);
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  if (WIFSIGNALED(status))
    ADD_FAILURE() << "child ended by signal " << WTERMSIG(status) << " ("
                  << ::strsignal(WTERMSIG(status)) << ")"
                  << (WTERMSIG(status) == SIGALRM ? ", the time limit" : "");
  else
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's failures are printed above";
}

// A temporary state directory the service account can write to.
struct TempDir {
  fs::path path;
  TempDir() {
    char tmpl[] = "/tmp/ostrel-nodeops-XXXXXX";
    path = ::mkdtemp(tmpl);
    ::chmod(path.c_str(), 0777);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// The gateway core on an event-loop thread, connected to the simulator and a fake MQTT client.
class Bridge {
 public:
  explicit Bridge(const std::string& stateDir, hatsim::Options o) : sim_(std::move(o)) {
    sim_.start();
    setLogSink([this](std::string_view line) {
      std::lock_guard lk(m_);
      lines_.emplace_back(line);
      cv_.notify_all();
    });
    config_ = Config::fromString(fmt::format(
        "[UART]\ndevice = {}\nspeed = 115200\n"
        "[MQTT]\nhost = 127.0.0.1\nport = 1883\nkeepalive = 60\nusername =\npassword =\n"
        "[TIME]\nsync-interval = 0\nntp-check-interval-min = 5\nntp-check-interval-max = 300\n"
        "[LOG]\nsensor-rtc-offset = no\nfailed-decrypt = yes\n"
        "[RADIO]\nrssi-threshold = -98\n",
        sim_.devicePath()));
    args_.nodeId = 1;
    args_.networkId = 100;
    args_.stateDir = stateDir;
    args_.account = "daemon";
    hooks().hardResetHat = [] {};
    hooks().makeClient = [this](Executor, const MqttSettings&) {
      client_ = std::make_shared<test::FakeMqttClient>();
      return client_;
    };
    stop_.emplace(ioc_.get_executor());
    restart_.emplace(ioc_.get_executor());
    done_ = asio::co_spawn(
        ioc_, startRadioBridge(args_, config_, ioc_.get_executor(), *stop_, *restart_, false),
        asio::use_future);
    thread_ = std::thread([this] { ioc_.run(); });
  }

  ~Bridge() {
    if (done_.valid()) {
      post([this] { stop_->set(); });
      done_.wait_for(5s);
    }
    guard_.reset();
    ioc_.stop();
    thread_.join();
    setLogSink({});
  }

  hatsim::HatSim& sim() { return sim_; }

  template <typename F>
  void post(F f) {
    std::promise<void> p;
    asio::post(ioc_, [&] {
      f();
      p.set_value();
    });
    p.get_future().wait();
  }

  // Runs a coroutine on the loop and waits for it (rethrowing what it threw).
  void await(awaitable<void> coro, std::chrono::milliseconds limit = 5s) {
    auto fut = asio::co_spawn(ioc_, std::move(coro), asio::use_future);
    ASSERT_EQ(fut.wait_for(limit), std::future_status::ready) << "operation did not finish";
    fut.get();
  }

  bool waitForLine(const std::string& text, std::chrono::milliseconds limit) {
    std::unique_lock lk(m_);
    return cv_.wait_for(lk, limit, [&] {
      for (const auto& l : lines_)
        if (l.find(text) != std::string::npos) return true;
      return false;
    });
  }
  int countLines(const std::string& text) {
    std::lock_guard lk(m_);
    int n = 0;
    for (const auto& l : lines_) n += l.find(text) != std::string::npos;
    return n;
  }
  std::string transcript() {
    std::lock_guard lk(m_);
    std::string t;
    for (const auto& l : lines_) t += l + "\n";
    return t;
  }

  // Sequence numbers of the flood readings published so far.
  std::vector<std::uint32_t> floodSequences() {
    std::vector<test::FakeMqttClient::Publication> pubs;
    post([&] {
      if (client_) pubs = client_->publications;
    });
    std::vector<std::uint32_t> seqs;
    const std::string topic = fmt::format("sensors/{}/raw", FLOOD_UID);
    for (const auto& p : pubs) {
      if (p.topic != topic) continue;
      const auto hex = json::parse(p.payload).at("payload").get<std::string>();
      seqs.push_back(static_cast<std::uint32_t>(std::stoul(hex.substr(0, 8), nullptr, 16)));
    }
    return seqs;
  }

  // Up when the hat's radio has been woken, which needs both the set-up and MQTT.
  bool waitUp() {
    return waitUntil([&] { return sim_.radioOn(); }, 30s, "the radio to be switched on");
  }

 private:
  hatsim::HatSim sim_;
  asio::io_context ioc_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_{ioc_.get_executor()};
  Config config_;
  Args args_;
  std::shared_ptr<test::FakeMqttClient> client_;
  std::optional<Event> stop_, restart_;
  std::future<void> done_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

hatsim::Options quickHat() {
  hatsim::Options o;
  o.version = 3;
  o.bootDelayMs = 0;
  o.promptIntervalMs = 200;
  o.pmKnownIds = {7};
  return o;
}

TEST(NodeOpsPty, PeerModeAnswersReachTheCallerWhileReadingsKeepFlowing) {
  TempDir dir;
  inChild([&] {
    Bridge b(dir.path, quickHat());
    ASSERT_TRUE(b.waitUp()) << b.transcript();
    b.post([] { setNodeId(1001, 7); });
    constexpr std::uint32_t N = 120;
    b.sim().startFlood(N, 50);

    b.await(setPeerMode(json(1001), json(1)));
    auto pm = b.sim().nextFrame("PM", 20s);
    ASSERT_TRUE(pm);
    EXPECT_EQ(pm->bytes, (Bytes{'P', 'M', 7, 1}));
    EXPECT_EQ(b.countLines("Set keep-peer-in-rx mode for node ID 7 to 1"), 1) << b.transcript();

    // An unknown UID goes out as node 255 and the hat's refusal is shown as it came.
    b.await(setPeerMode(json("4242"), json(true)));
    pm = b.sim().nextFrame("PM", 20s);
    ASSERT_TRUE(pm);
    EXPECT_EQ(pm->bytes, (Bytes{'P', 'M', 255, 1}));
    EXPECT_EQ(b.countLines("Failed to set keep-peer-in-rx mode for node ID 255 to 1 - node not "
                           "registered. Error code: bytearray(b'PMF')"),
              1)
        << b.transcript();

    // No answer: the call gives up after the port's read time-out.
    b.sim().configure([](hatsim::Options& o) { o.pmSilentOnFailure = true; });
    const auto t0 = std::chrono::steady_clock::now();
    b.await(setPeerMode(json(4242), json(0)));
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 5s);  // not a hang: room for a loaded machine
    EXPECT_EQ(b.countLines("Failed to set keep-peer-in-rx mode for node ID 255 to 0 - node not "
                           "registered. Error code: bytearray(b'')"),
              1)
        << b.transcript();

    // Every reading sent around the exchanges was published exactly once.
    ASSERT_TRUE(waitUntil([&] { return b.sim().floodDone(); }, 30s, "the end of the flood"));
    ASSERT_TRUE(waitUntil([&] { return b.floodSequences().size() >= N; }, 20s, "every reading"))
        << b.floodSequences().size() << " of " << N << " readings published\n"
        << b.transcript();
    const auto seqs = b.floodSequences();
    EXPECT_EQ(seqs.size(), N);
    EXPECT_EQ(std::set<std::uint32_t>(seqs.begin(), seqs.end()).size(), N);
    EXPECT_EQ(b.countLines("Garbage Msg Start"), 0) << b.transcript();
  });
}

// Intel HEX text of `data` placed at address 0, 16 bytes per record.
std::string intelHex(const Bytes& data) {
  std::string out;
  auto record = [&](std::uint8_t type, unsigned addr, ByteView bytes) {
    Bytes r{static_cast<std::uint8_t>(bytes.size()), static_cast<std::uint8_t>(addr >> 8),
            static_cast<std::uint8_t>(addr & 0xFF), type};
    r.insert(r.end(), bytes.begin(), bytes.end());
    unsigned sum = 0;
    for (auto v : r) sum += v;
    r.push_back(static_cast<std::uint8_t>(-sum & 0xFF));
    out += ':';
    for (auto v : r) out += fmt::format("{:02X}", v);
    out += '\n';
  };
  for (std::size_t at = 0; at < data.size(); at += 16)
    record(0, static_cast<unsigned>(at),
           ByteView(data).subspan(at, std::min<std::size_t>(16, data.size() - at)));
  record(1, 0, {});
  return out;
}

TEST(NodeOpsPty, FirmwareTransferWritesChunksTheHatAccepts) {
  TempDir dir;
  Bytes image(100);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 37 + 11);
  const std::string hexPath = (dir.path / "fw.hex").string();
  std::ofstream(hexPath) << intelHex(image);
  ::chmod(hexPath.c_str(), 0644);

  inChild([&] {
    Bridge b(dir.path, quickHat());
    ASSERT_TRUE(b.waitUp()) << b.transcript();
    b.post([] { setNodeId(1001, 7); });
    const json request = {{"startAddr", 0},
                          {"filePath", hexPath},
                          {"msgtype", 3},
                          {"toNodeUID", 1001},
                          {"authToken", "0a 0b 0c 0d"}};
    b.await(txBigMessage("flash:9", request));
    const Bytes token{0x0a, 0x0b, 0x0c, 0x0d};
    // The receiver acknowledges each chunk; here the test plays that part.
    for (long long addr : {42, 92, 100})
      b.post([&] {
        flashUpdateStatus()["txstatus"] = "SENDING";
        txBigMessageStep(json(addr), hexPath, json(9), json(3), json(1001), token);
      });

    struct Expected {
      std::uint8_t ackByte;
      Bytes chunk;
    };
    auto dataChunk = [&](std::size_t from, std::size_t n) {
      // Built in one go: GCC 12 misreads an insert into a three-byte vector as out of bounds.
      Bytes c(3 + n);
      c[0] = 201;
      c[2] = static_cast<std::uint8_t>(from);
      std::copy_n(image.begin() + static_cast<long>(from), n, c.begin() + 3);
      return c;
    };
    const std::vector<Expected> expected = {{50, dataChunk(0, 42)},
                                            {4, dataChunk(42, 50)},
                                            {4, dataChunk(92, 8)},
                                            {4, {202, 0x0a, 0x0b, 0x0c, 0x0d}}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
      auto f = b.sim().nextFrame("TB", 20s);
      ASSERT_TRUE(f) << "chunk " << i << " missing\n" << b.transcript();
      EXPECT_TRUE(f->checksumOk) << "chunk " << i;
      const auto& e = expected[i];
      ASSERT_EQ(f->bytes.size(), e.chunk.size() + 7) << "chunk " << i;
      EXPECT_EQ(f->bytes[2], e.chunk.size() + 4);
      EXPECT_EQ(f->bytes[3], 9) << "message number";
      EXPECT_EQ(f->bytes[4], e.ackByte);
      EXPECT_EQ(f->bytes[5], 7) << "target node ID";
      EXPECT_EQ(Bytes(f->bytes.begin() + 6, f->bytes.end() - 1), e.chunk) << "chunk " << i;
    }
    EXPECT_FALSE(b.sim().nextFrame("TB", 200ms)) << "nothing after the closing command";
    EXPECT_EQ(b.sim().stats().checksumErrors, 0u);
    EXPECT_EQ(b.countLines("Sent last data chunk."), 1) << b.transcript();
    EXPECT_EQ(b.countLines("Starting flash procedure to UID 1001 with network ID 7 ..."), 1)
        << b.transcript();
    long long numSent = -1;
    b.post([&] { numSent = flashUpdateStatus().at("numSent").get<long long>(); });
    EXPECT_EQ(numSent, 4);
  });
}

}  // namespace
}  // namespace ostrel::test::nodeops_pty
