// What decoder files cost: the shipped parser's whole path for one reading (find a decoder, parse,
// the log text, build and hand over the publications) with no decoders and with N of them loaded,
// in one process and one run; and the memory that loading N decoders from files takes.
//
// The MQTT client here only counts what it is handed: what a publication costs in the real client
// is measured by spool_throughput and rx_throughput. The payload is taken by the last of the N
// decoders (every other one is tried first and refused), the dearest case for matching.
#include <fmt/format.h>
#include <malloc.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "ostrel/parser/DefaultParser.hpp"

namespace fs = std::filesystem;
using namespace ostrel;

namespace {

class CountingClient : public MqttClient {
 public:
  std::size_t publications = 0, bytes = 0;
  void open(const std::string&, int, int) override {}
  awaitable<void> waitConnected() override { co_return; }
  void subscribe(const Subscriptions&) override {}
  void publish(const std::string& topic, std::string payload, int, bool) override {
    ++publications;
    bytes += topic.size() + payload.size();
  }
  void publishReply(const std::string&, std::string, int, const std::string&) override {}
  awaitable<void> disconnect() override { co_return; }
  bool isConnected() const override { return true; }
  MqttStats stats() const override { return {}; }
};

double cpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long rssKb() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Decoder i of n: all take 12-byte payloads; the first n-1 want a first byte of i+1, the last
// takes any. Six fields each, of every kind.
std::string decoderText(int i, int n) {
  std::string match = i + 1 < n ? fmt::format("match = 0:{:02x} 11:{:02x}\n", i + 1, i) : "";
  return fmt::format(
      "[decoder bench{}]\nlength = 12\n{}"
      "[field seq]\nat = 0\ntype = u32\n"
      "[field temperature]\nat = 4\ntype = s16\nscale = 0.01\nunit = °C\n"
      "device-class = temperature\nstate-class = measurement\n"
      "[field humidity]\nat = 6\ntype = u16\nendian = little\nscale = 0.1\n"
      "[field level]\nat = 8\ntype = u8\nbits = 0-3\nscale = 0.5\noffset = -1\n"
      "[field door]\nat = 8\ntype = u8\nbits = 7\nmap = 0: closed, 1: open\non = open\n"
      "[field energy]\nat = 9\ntype = u24\nscale = 0.001\n"
      "[example]\npayload = 00000001 0929 c201 81 01e240\nseq = 1\ntemperature = 23.45\n",
      i, match);
}

struct Run {
  double usPerReading;
  std::size_t publications;
};

Run run(SensorMsgParser& parser, std::uint64_t readings) {
  CountingClient client;
  Bytes payload = fromHex("00000000 0929 c201 81 01e240");
  std::size_t logged = 0;
  const double c0 = cpuSeconds();
  for (std::uint64_t n = 0; n < readings; ++n) {
    payload[3] = std::uint8_t(n);
    payload[2] = std::uint8_t(n >> 8);
    MsgDecoder* decoder = parser.getParser(payload);
    ParsedMsg msg = decoder->parse(987149, payload);
    logged += parser.toString(msg).size();  // the gateway logs it
    decoder->getPublisher(client).publish(987149, 1733660000123 + std::int64_t(n), msg, -62);
  }
  const double c1 = cpuSeconds();
  if (logged == 0) fmt::print("(nothing logged)\n");
  return {(c1 - c0) * 1e6 / double(readings), client.publications};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"decode_cost: CPU per reading and memory of decoder files"};
  std::uint64_t readings = 300000;
  int count = 50;
  int rounds = 3;
  app.add_option("--readings", readings, "readings per run")->capture_default_str();
  app.add_option("--decoders", count, "decoders loaded")->capture_default_str();
  app.add_option("--rounds", rounds, "runs of each kind, alternating")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  if (count < 1 || count > int(decoders::MAX_DECODERS)) {
    fmt::print(stderr, "decode_cost: --decoders must lie between 1 and {}\n",
               decoders::MAX_DECODERS);
    return 2;
  }

  fs::path dir = fs::temp_directory_path() / fmt::format("ostrel-decode-cost-{}", ::getpid());
  fs::create_directories(dir);
  for (int i = 0; i < count; ++i)
    std::ofstream(dir / fmt::format("{:03}.conf", i)) << decoderText(i, count);

  // Memory: what the loaded set holds on the heap, and the process's resident growth.
  malloc_trim(0);
  const auto heap0 = mallinfo2().uordblks;
  const long rss0 = rssKb();
  auto report = decoders::loadDecoderDir(dir.string());
  const auto heap1 = mallinfo2().uordblks;
  const long rss1 = rssKb();
  fs::remove_all(dir);
  if (!report.refusals.empty() || report.set->decoders().size() != std::size_t(count)) {
    for (const auto& r : report.refusals) fmt::print(stderr, "{}\n", r);
    return 1;
  }
  const double heapMb = double(heap1 - heap0) / (1024.0 * 1024.0);
  fmt::print("{} decoders loaded: heap {:.3f} MB, RSS {:+} kB\n", count, heapMb, rss1 - rss0);

  auto none = makeDefaultParser(ParserOptions{});
  auto both = makeDefaultParser(ParserOptions{report.set, true});
  auto stateOnly = makeDefaultParser(ParserOptions{report.set, false});
  run(*none, readings / 10);  // warm-up
  double worst = 0;
  for (int r = 0; r < rounds; ++r) {
    Run a = run(*none, readings), b = run(*both, readings), c = run(*stateOnly, readings);
    fmt::print(
        "round {}: no decoders {:.3f} us/reading ({} publications); {} decoders, raw and state "
        "{:.3f} us ({}); state only {:.3f} us ({})\n",
        r + 1, a.usPerReading, a.publications, count, b.usPerReading, b.publications,
        c.usPerReading, c.publications);
    worst = std::max(worst, b.usPerReading - a.usPerReading);
  }
  bool cpuMet = worst < 5.0, memMet = heapMb < 0.5 && (rss1 - rss0) < 512;
  fmt::print("target  decoding adds < 5 us CPU per reading (worst round {:.3f} us)   {}\n", worst,
             cpuMet ? "met" : "MISSED");
  fmt::print("target  {} decoders take < 0.5 MB                                  {}\n", count,
             memMet ? "met" : "MISSED");
  return cpuMet && memMet ? 0 : 1;
}
