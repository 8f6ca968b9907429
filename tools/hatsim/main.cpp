// ostrel-hatsim: plays a Quorind Gateway Hat on a pseudo-terminal until SIGINT or SIGTERM.
#include <fmt/format.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/hatsim/HatSim.hpp"

using namespace ostrel;
using namespace ostrel::hatsim;

namespace {

// UID:NODEID:RSSI:PERIODMS[:HEXPAYLOAD]
VirtualNode parseNode(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const auto colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() < 4 || parts.size() > 5) {
    throw std::invalid_argument("expected UID:NODEID:RSSI:PERIODMS[:HEXPAYLOAD]");
  }
  auto ranged = [](const std::string& s, long long lo, long long hi, const char* what) {
    const long long v = parseInteger(s);
    if (v < lo || v > hi) throw std::invalid_argument(fmt::format("{} out of range", what));
    return v;
  };
  VirtualNode n;
  n.uid = static_cast<std::uint32_t>(ranged(parts[0], 0, 0xFFFFFFFFLL, "UID"));
  n.nodeId = static_cast<std::uint8_t>(ranged(parts[1], 0, 255, "NODEID"));
  n.rssi = static_cast<std::uint8_t>(ranged(parts[2], 0, 255, "RSSI"));
  n.periodMs = static_cast<int>(ranged(parts[3], 0, 86400000, "PERIODMS"));
  n.payload = parts.size() == 5 ? fromHex(parts[4]) : Bytes{0x01};
  return n;
}

void say(std::string_view line) {
  std::fprintf(stderr, "hatsim: %.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Plays a Quorind Gateway Hat on a pseudo-terminal for the ostrel gateway."};
  Options o;
  std::vector<std::string> nodes;
  std::vector<int> knownIds;
  std::string pmFailure = "PMF";
  std::uint64_t flood = 0;
  double rate = 0;
  bool quiet = false, withhold = false, split = false, noReset = false, unset = false;
  bool pmNoAnswer = false;
  int confirmDelay = 0;
  long silentAfterMs = 0;

  app.add_option("--link", o.link,
                 "Create a symbolic link PATH to the slave device (replacing a stale link; removed "
                 "on exit)")
      ->type_name("PATH");
  app.add_option("--version", o.version, "Protocol version announced in the hello message")
      ->type_name("N")
      ->check(CLI::Range(1, 3))
      ->default_val(1);
  app.add_option("--unique-id", o.uniqueId, "Unique ID (gateway UID) in the hello message")
      ->type_name("U32")
      ->default_val(o.uniqueId);
  app.add_option("--fw-revision", o.fwRevision, "Firmware revision in the hello message")
      ->type_name("U32")
      ->default_val(o.fwRevision);
  app.add_option("--serial", o.serial, "Serial number in the hello message")
      ->type_name("TEXT")
      ->check([](const std::string& s) {
        return s.size() <= 12 && isAscii(toBytes(s)) ? "" : "at most 12 ASCII characters";
      })
      ->default_val(o.serial);
  app.add_option("--hello-bytes", o.helloBytes,
                 "Send only the first N bytes of the hello message (a cut hello)")
      ->type_name("N")
      ->check(CLI::Range(1, 33));
  app.add_option("--node", nodes,
                 "Virtual node; RSSI is the magnitude, PERIODMS 0 sends nothing on its own, the "
                 "payload defaults to 01 (repeatable; without any, three default nodes unless a "
                 "flood runs)")
      ->type_name("UID:NODEID:RSSI:PERIODMS[:HEXPAYLOAD]");
  app.add_flag("--no-reset-on-open", noReset,
               "Do not go back to the bootloader when the gateway opens the port");
  app.add_flag("--clock-unset", unset, "Start with the hat's clock unset (zero time stamps)");
  app.add_flag("--withhold-confirm", withhold, "Never confirm \"LS\" and \"PS\"");
  app.add_option("--confirm-delay-ms", confirmDelay, "Delay before confirming \"LS\" and \"PS\"")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--split-confirm", split,
               "Send each confirmation as \"L\", a pause of 1.5 s, then the rest of the line");
  app.add_option("--known-node-id", knownIds,
                 "Node ID that \"PM\" accepts besides the virtual nodes' (repeatable)")
      ->type_name("ID")
      ->check(CLI::Range(0, 255));
  app.add_option("--pm-failure", pmFailure, "Answer to \"PM\" for an unknown node ID")
      ->type_name("TEXT")
      ->default_val(pmFailure);
  app.add_flag("--pm-no-answer", pmNoAnswer, "Do not answer \"PM\" for an unknown node ID");
  auto every = [&](const char* name, int& target, const char* help) {
    app.add_option(name, target, help)->type_name("N")->check(CLI::NonNegativeNumber);
  };
  every("--duplicate-every", o.duplicateEvery, "Repeat every Nth sensor message as \"SI\"");
  every("--failed-decrypt-every", o.failedDecryptEvery,
        "Send an \"SX\" after every Nth sensor message");
  every("--link-state-every", o.linkStateEvery, "Send an \"SP\" after every Nth sensor message");
  every("--statistics-every", o.statisticsEvery, "Send an \"ST\" after every Nth sensor message");
  every("--garbage-every", o.garbageEvery, "Send garbage bytes before every Nth sensor message");
  every("--short-block-every", o.shortBlockEvery,
        "Cut every Nth sensor block short of its length byte");
  every("--bad-stamp-every", o.badStampEvery,
        "Give every Nth sensor message a non-BCD time stamp (version 2 and later)");
  app.add_option("--silent-after-ms", silentAfterMs,
                 "Stop sending anything (answers, prompts, traffic) this long after the start")
      ->type_name("MS")
      ->check(CLI::PositiveNumber);
  app.add_option("--prompt-interval-ms", o.promptIntervalMs, "Interval of the bootloader prompt")
      ->type_name("MS")
      ->default_val(o.promptIntervalMs)
      ->check(CLI::PositiveNumber);
  app.add_option("--flood", flood,
                 "While the radio is on, send N numbered sensor messages (0: no limit) as fast as "
                 "the line takes them, or at --rate; payload: sequence u32 BE, send time u64 BE "
                 "(microseconds since the epoch)")
      ->type_name("N");
  app.add_option("--rate", rate,
                 "Flood rate in messages per second (0: as fast as possible; alone: a flood "
                 "without limit)")
      ->type_name("R")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--flood-uids", o.floodUids,
                 "Spread the flood over N sensor UIDs from 987149 up (message n: 987149 + n % N)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  std::size_t noise = 0;
  long hangUpAfterMs = 0, backAfterMs = 0, resetAfterMs = 0;
  app.add_option("--reset-after-ms", resetAfterMs,
                 "Reset this long after the start, as a hat that resets itself (brown-out, its "
                 "own watchdog): bootloader banner and prompt while the gateway runs (SIGUSR2 does "
                 "the same at any time)")
      ->type_name("MS")
      ->check(CLI::PositiveNumber);
  app.add_option("--noise", noise,
                 "Once the radio is first switched on, send N random bytes of any value (a broken "
                 "line)")
      ->type_name("N");
  app.add_option("--hang-up-after-ms", hangUpAfterMs,
                 "Close the line this long after the start, as an unplugged USB serial adapter "
                 "would (SIGUSR1 does the same at any time)")
      ->type_name("MS")
      ->check(CLI::PositiveNumber);
  app.add_option("--back-after-ms", backAfterMs,
                 "After a hang-up, open a new line on the same --link this much later, as a "
                 "board plugged in again (0: stay away)")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  std::string tbAck;
  app.add_option("--ack-tb", tbAck,
                 "Acknowledge each \"TB\" firmware chunk to a virtual node with a sensor message "
                 "of that node: this hex payload, then the chunk kind (c9 data, ca closing) and "
                 "the data chunk's address")
      ->type_name("HEX");
  app.add_option("--ack-tb-miss-first", o.tbAckMissFirst,
                 "Leave this many \"TB\" chunks unacknowledged first (with --ack-tb)")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--quiet", quiet, "Print nothing but errors");
  CLI11_PARSE(app, argc, argv);
  if (app.count("--ack-tb") > 0) {
    try {
      o.tbAck = true;
      o.tbAckPayload = fromHex(tbAck);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ostrel-hatsim: --ack-tb: %s\n", e.what());
      return 2;
    }
  }

  try {
    for (const auto& n : nodes) o.nodes.push_back(parseNode(n));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrel-hatsim: --node: %s\n", e.what());
    return 2;
  }
  const bool flooding = app.count("--flood") > 0 || app.count("--rate") > 0;
  if (o.nodes.empty() && !flooding) {
    o.nodes = {{1001, 7, 62, {0x01, 0x02, 0x03}, 5000},
               {1002, 9, 75, {0x10, 0x20}, 7000},
               {1003, 12, 88, {0xAA}, 11000}};
  }
  o.resetOnOpen = !noReset;
  o.clockSet = !unset;
  o.localConfirm = o.peerConfirm = Confirm{confirmDelay, withhold, split};
  for (int id : knownIds) o.pmKnownIds.push_back(static_cast<std::uint8_t>(id));
  o.pmFailure = toBytes(pmFailure);
  o.pmSilentOnFailure = pmNoAnswer;
  if (!quiet) o.log = say;

  // Block the signals before the simulator's thread exists so that only sigwait sees them.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGUSR1);
  sigaddset(&sigs, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  HatSim sim(o);
  try {
    sim.start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrel-hatsim: %s\n", e.what());
    return 1;
  }
  if (flooding) sim.startFlood(flood, rate);
  if (!quiet) {
    say(fmt::format("hat on {}{}, protocol version {}", sim.slavePath(),
                    o.link.empty() ? "" : " (link " + o.link + ")", o.version));
  }

  // One loop of 100 ms steps serves the timed events and the signals.
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  auto since = [&](long ms) { return Clock::now() - t0 >= std::chrono::milliseconds(ms); };
  bool silenced = false, noiseSent = noise == 0, hungUp = false, timedHangUpDone = false;
  bool resetDone = false;
  Clock::time_point hungUpAt{};
  const timespec step{0, 100 * 1000000};
  for (;;) {
    const int sig = sigtimedwait(&sigs, nullptr, &step);
    if (sig == SIGINT || sig == SIGTERM) break;
    const bool hangUpNow = (sig == SIGUSR1 && !hungUp) ||
                           (hangUpAfterMs > 0 && !timedHangUpDone && since(hangUpAfterMs));
    if (hangUpNow) {
      if (hangUpAfterMs > 0 && since(hangUpAfterMs)) timedHangUpDone = true;
      sim.stop();
      hungUp = true;
      hungUpAt = Clock::now();
      if (!quiet) say("line closed (hang-up)");
    }
    if (hungUp && backAfterMs > 0 &&
        Clock::now() - hungUpAt >= std::chrono::milliseconds(backAfterMs)) {
      try {
        sim.start();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "ostrel-hatsim: %s\n", e.what());
        return 1;
      }
      hungUp = false;
      if (!quiet) say(fmt::format("line open again on {}", sim.slavePath()));
    }
    const bool resetNow = sig == SIGUSR2 || (!resetDone && resetAfterMs > 0 && since(resetAfterMs));
    if (resetNow) {
      if (sig != SIGUSR2) resetDone = true;
      if (!hungUp) {
        sim.reset();
        if (!quiet) say("reset by itself");
      }
    }
    if (!silenced && silentAfterMs > 0 && since(silentAfterMs)) {
      sim.setSilent(true);
      silenced = true;
    }
    if (!noiseSent && !hungUp && sim.radioOn()) {
      sim.sendNoise(noise);
      noiseSent = true;
    }
  }
  sim.stop();
  if (!quiet) say(fmt::format("stopped ({} sensor messages sent)", sim.stats().sensorsSent));
  return 0;
}
