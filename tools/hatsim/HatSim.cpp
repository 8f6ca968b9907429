#include "tools/hatsim/HatSim.hpp"

#include <sys/stat.h>

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace ostrel::hatsim {
namespace {

using Steady = std::chrono::steady_clock;
using UtcMicros = std::chrono::sys_time<std::chrono::microseconds>;
using namespace std::chrono;

constexpr std::size_t kMaxFrames = 100000;
constexpr std::size_t kMaxRaw = 1 << 20;
// Flood messages are made only while less than this waits for the line, so that the send time in
// each payload is close to the moment the line takes it.
constexpr std::size_t kFloodLowWater = 512;
constexpr std::size_t kFloodBurst = 1000;

void putBe64(Bytes& out, std::uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

[[noreturn]] void throwErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void makeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) throwErrno("tcgetattr");
  ::cfmakeraw(&tio);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) throwErrno("tcsetattr");
}

UtcMicros utcNow() {
  return time_point_cast<microseconds>(system_clock::now());
}

}  // namespace

struct HatSim::Impl {
  Options opt;
  std::string slave;
  std::string linkPath;
  bool linkMade = false;
  int master = -1;
  int wake = -1;
  // Opens and closes of the slave, from inotify: each open file description gives one IN_OPEN and
  // one IN_CLOSE_*, so their balance tells whether anyone holds the port. The master's hang-up flag
  // alone would miss a close followed quickly by an open.
  int notify = -1;
  int openCount = 0;
  bool masterGone = false;  // the master reported a hang-up: wait for inotify before reading again
  std::thread thread;

  mutable std::mutex m;
  std::condition_variable framesCv;
  bool stopping = false;
  int ownOpens = 0, ownCloses = 0;  // watch events of the simulator's own open of the slave
  bool open = false;
  bool silent = false;
  bool boot = true;
  bool radio = false;
  std::uint64_t radioEpoch = 0;  // bumped when the radio stops: older node timers lapse
  Bytes rx;
  Steady::time_point rxLast;
  Bytes out;
  Bytes raw;
  std::deque<Frame> frames;
  std::deque<bool> consumed;
  std::multimap<Steady::time_point, std::function<void()>> timers;

  bool clockSet = true;
  microseconds clockOffset{0};
  std::optional<std::int16_t> trim;
  std::optional<std::uint8_t> rssiThr;
  std::map<std::uint32_t, Bytes> keys;
  std::map<std::uint32_t, std::uint32_t> msgCounters;
  std::uint8_t gwNodeId = 1;
  std::uint64_t radioCount = 0;
  Stats stats;

  bool floodActive = false;
  std::uint64_t floodTotal = 0;
  std::uint64_t floodSeq = 0;
  double floodRate = 0;
  Steady::time_point floodAnchor;

  std::minstd_rand rng{20240301};

  template <typename... Args>
  void note(fmt::format_string<Args...> f, Args&&... args) {
    if (opt.log) opt.log(fmt::format(f, std::forward<Args>(args)...));
  }

  void wakeUp() const {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake, &one, sizeof one);
  }

  void schedule(int delayMs, std::function<void()> fn) {
    timers.emplace(Steady::now() + milliseconds(std::max(0, delayMs)), std::move(fn));
  }

  // Output is lost while no one has the slave open, as on a line no one listens to.
  void emit(ByteView b) {
    if (!open || silent || b.empty()) return;
    out.insert(out.end(), b.begin(), b.end());
    flushOut();
  }
  void emit(std::string_view s) {
    emit(ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()));
  }

  void flushOut() {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(master, out.data() + done, out.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // full (EAGAIN) or the slave went away (EIO): the loop sees which
      }
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(done));
  }

  void resetLocked() {
    ++stats.resets;
    timers.clear();
    ++radioEpoch;
    radio = false;
    boot = true;
    rx.clear();
    out.clear();
    note("reset");
    schedule(opt.bootDelayMs, [this] {
      emit("Quorind bootloader v1.3\r\n");
      prompt();
    });
  }

  void prompt() {
    if (!boot) return;
    emit("Press r to run app\r\n");
    schedule(std::max(10, opt.promptIntervalMs), [this] { prompt(); });
  }

  void startApp() {
    boot = false;
    note("bootloader: run app");
    emit("LGGateway Module started up\r\n");
    Bytes hello = helloMessage(opt);
    if (opt.helloBytes > 0 && static_cast<std::size_t>(opt.helloBytes) < hello.size())
      hello.resize(static_cast<std::size_t>(opt.helloBytes));
    emit(hello);
    note("tx HL version={} uniqueId={} fwRevision={}", opt.version, opt.uniqueId, opt.fwRevision);
  }

  UtcMicros hatNow() const { return utcNow() + clockOffset; }
  Bytes stampNow() const { return clockSet ? encodeStamp(hatNow()) : Bytes(8, 0); }

  void record(Frame f) {
    note("rx {}", describeFrame(f));
    frames.push_back(std::move(f));
    consumed.push_back(false);
    if (frames.size() > kMaxFrames) {
      frames.pop_front();
      consumed.pop_front();
    }
    framesCv.notify_all();
  }

  void onRx(const std::uint8_t* p, std::size_t n) {
    raw.insert(raw.end(), p, p + n);
    if (raw.size() > kMaxRaw) raw.erase(raw.begin(), raw.end() - kMaxRaw);
    rxLast = Steady::now();
    for (std::size_t i = 0; i < n; ++i) {
      if (!boot) {
        rx.insert(rx.end(), p + i, p + n);
        break;
      }
      // The bootloader knows one command and ignores everything else.
      if (p[i] == 'r') {
        record(Frame{"r", {'r'}, true, Steady::now()});
        startApp();
      }
    }
    parseRx();
  }

  void parseRx() {
    while (!rx.empty()) {
      std::size_t len = 0;
      const Scan s = scanFrame(rx, len);
      if (s == Scan::NeedMore) return;
      if (s == Scan::Unknown) {
        note("unknown code 0x{:02x} 0x{:02x}", rx[0], rx[1]);
        ++stats.unknownBytes;
        rx.erase(rx.begin());
        continue;
      }
      Frame f{std::string(rx.begin(), rx.begin() + 2), Bytes(rx.begin(), rx.begin() + len), true,
              Steady::now()};
      rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(len));
      handle(std::move(f));
    }
  }

  void confirm(const Confirm& c, const std::string& text) {
    if (c.withhold) {
      note("withholding confirmation '{}'", text);
      return;
    }
    auto send = [this, text, split = c.split] {
      if (!split) {
        emit("LG" + text + "\r\n");
        note("tx LG {}", text);
        return;
      }
      emit("L");
      note("tx L (rest of '{}' follows in {} ms)", text, opt.splitPauseMs);
      schedule(opt.splitPauseMs, [this, text] { emit("G" + text + "\r\n"); });
    };
    if (c.delayMs > 0) {
      schedule(c.delayMs, send);
    } else {
      send();
    }
  }

  void setClock(const Bytes& b) {
    const year_month_day ymd{year{1900 + b[5]}, month{b[4]}, day{b[3]}};
    const unsigned ms = getBe16(b, 9);
    // A gateway rounding 999.5 ms or more sends 1000: accept it as the next second.
    if (!ymd.ok() || b[6] > 23 || b[7] > 59 || b[8] > 59 || ms > 1000) {
      note("ST ignored: not a valid date and time");
      return;
    }
    const UtcMicros t =
        sys_days(ymd) + hours(b[6]) + minutes(b[7]) + seconds(b[8]) + milliseconds(ms);
    clockOffset = t - utcNow();
    clockSet = true;
  }

  bool knowsNode(std::uint8_t id) const {
    return std::any_of(opt.nodes.begin(), opt.nodes.end(),
                       [&](const VirtualNode& n) { return n.nodeId == id; }) ||
           std::find(opt.pmKnownIds.begin(), opt.pmKnownIds.end(), id) != opt.pmKnownIds.end();
  }

  void handle(Frame f) {
    const Bytes& b = f.bytes;
    if (f.code == "TB") {
      unsigned sum = 0;
      for (std::size_t i = 2; i < b.size(); ++i) sum += b[i];
      f.checksumOk = b[2] > 0 && (sum & 0xFF) == 0;
      if (!f.checksumOk) {
        ++stats.checksumErrors;
        note("TB checksum mismatch");
      }
    }
    const std::string code = f.code;
    if (code == "TB" && f.checksumOk) ackChunk(b);
    record(f);
    if (code == "LS") {
      gwNodeId = b[2];
      confirm(opt.localConfirm, "Local node setup complete");
    } else if (code == "PS") {
      confirm(opt.peerConfirm, "Peer setup complete");
    } else if (code == "TC") {
      if (!radio) startRadio();
    } else if (code == "SC") {
      radio = false;
      ++radioEpoch;
    } else if (code == "RT") {
      if (opt.version >= 2) {
        Bytes answer = toBytes("RT");
        append(answer, stampNow());
        emit(answer);
      }
    } else if (code == "ST") {
      setClock(b);
    } else if (code == "SR") {
      trim = static_cast<std::int16_t>(getBe16(b, 2));
    } else if (code == "RF") {
      rssiThr = b[2];
    } else if (code == "PK") {
      const std::uint32_t uid = getBe32(b, 2);
      Bytes key(b.begin() + 6, b.end());
      if (std::all_of(key.begin(), key.end(), [](auto c) { return c == 0; })) {
        keys.erase(uid);
      } else {
        keys[uid] = std::move(key);
      }
    } else if (code == "PM") {
      if (knowsNode(b[2])) {
        emit("PMS");
      } else if (!opt.pmSilentOnFailure) {
        emit(opt.pmFailure);
      }
    }
  }

  int tbAcksMissed = 0;
  // "TB": length, msgId, time-out, node ID, chunk..., checksum.
  void ackChunk(const Bytes& b) {
    if (!opt.tbAck || b.size() < 8) return;
    auto node = std::find_if(opt.nodes.begin(), opt.nodes.end(),
                             [&](const VirtualNode& n) { return n.nodeId == b[5]; });
    if (node == opt.nodes.end()) return;
    if (tbAcksMissed < opt.tbAckMissFirst) {
      ++tbAcksMissed;
      note("TB acknowledgement withheld");
      return;
    }
    Bytes payload = opt.tbAckPayload;
    payload.push_back(b[6]);
    if (b[6] == 201 && b.size() >= 10) payload.insert(payload.end(), {b[7], b[8]});
    sensor(*node, payload, SensorKind::Valid);
  }

  void startRadio() {
    radio = true;
    const std::uint64_t epoch = ++radioEpoch;
    for (std::size_t i = 0; i < opt.nodes.size(); ++i) {
      if (opt.nodes[i].periodMs > 0) {
        schedule(opt.nodes[i].periodMs, [this, i, epoch] { radioTick(i, epoch); });
      }
    }
    if (floodActive && floodRate > 0) {
      floodAnchor = Steady::now() - duration_cast<Steady::duration>(duration<double>(
                                        static_cast<double>(floodSeq) / floodRate));
    }
  }

  void radioTick(std::size_t i, std::uint64_t epoch) {
    if (epoch != radioEpoch || !radio || i >= opt.nodes.size() || opt.nodes[i].periodMs <= 0)
      return;
    radioSend(i);
    schedule(opt.nodes[i].periodMs, [this, i, epoch] { radioTick(i, epoch); });
  }

  // One message from the radio, with the extras and faults that are due.
  void radioSend(std::size_t i) {
    const std::uint64_t count = ++radioCount;
    auto every = [count](int n) { return n > 0 && count % static_cast<std::uint64_t>(n) == 0; };
    if (every(opt.garbageEvery)) garbage(3);
    const SensorKind kind = every(opt.shortBlockEvery) ? SensorKind::ShortBlock
                            : every(opt.badStampEvery) ? SensorKind::BadStamp
                                                       : SensorKind::Valid;
    const VirtualNode& node = opt.nodes[i];
    sensor(node, node.payload, kind);
    if (every(opt.duplicateEvery)) sensor(node, node.payload, SensorKind::Duplicate);
    if (every(opt.failedDecryptEvery)) failedDecrypt(node, Bytes{0xDE, 0xAD, 0xBE, 0xEF});
    if (every(opt.linkStateEvery)) linkState(node);
    if (every(opt.statisticsEvery)) {
      statistics(static_cast<std::uint32_t>(stats.sensorsSent), 0);
    }
  }

  void sensor(const VirtualNode& node, const Bytes& payload, SensorKind kind, bool quiet = false) {
    Bytes block;
    putBe32(block, node.uid);
    block.insert(block.end(), {node.nodeId, 0, node.rssi});
    if (opt.version >= 2) {
      Bytes stamp = stampNow();
      if (kind == SensorKind::BadStamp) {
        stamp = encodeStamp(hatNow());
        stamp[5] = 0x0D;  // hour 13 in binary: not BCD
      }
      append(block, stamp);
    }
    const std::size_t room = 255 - block.size();
    append(block, ByteView(payload).first(std::min(room, payload.size())));
    Bytes frame = toBytes(kind == SensorKind::Duplicate ? "SI" : "SD");
    frame.push_back(static_cast<std::uint8_t>(block.size()));
    // A short block announces its full length but leaves out its last three bytes.
    const std::size_t sent = kind == SensorKind::ShortBlock ? block.size() - 3 : block.size();
    frame.insert(frame.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(sent));
    emit(frame);
    ++stats.sensorsSent;
    if (kind != SensorKind::Duplicate) ++msgCounters[node.uid];
    if (!quiet) {
      note("tx {} uid={} node={} rssi={} payload={}{}", kind == SensorKind::Duplicate ? "SI" : "SD",
           node.uid, node.nodeId, node.rssi, hexString(payload),
           kind == SensorKind::ShortBlock ? " (short block)"
           : kind == SensorKind::BadStamp ? " (bad stamp)"
                                          : "");
    }
  }

  void failedDecrypt(const VirtualNode& node, const Bytes& restBytes) {
    Bytes block{node.nodeId, gwNodeId, node.rssi, 0};
    if (opt.version >= 2) append(block, stampNow());
    append(block, ByteView(restBytes).first(std::min(restBytes.size(), 255 - block.size())));
    Bytes frame = toBytes("SX");
    frame.push_back(static_cast<std::uint8_t>(block.size()));
    append(frame, block);
    emit(frame);
    note("tx SX node={} rest={}", node.nodeId, hexString(restBytes));
  }

  void linkState(const VirtualNode& node) {
    Bytes frame = toBytes("SP");
    putBe32(frame, 1);  // the hat's own startup counter for the link
    frame.push_back(0);
    putBe32(frame, node.uid);
    putBe32(frame, 1);
    putBe32(frame, msgCounters[node.uid]);
    emit(frame);
    note("tx SP uid={} msgCounter={}", node.uid, msgCounters[node.uid]);
  }

  void statistics(std::uint32_t received, std::uint32_t missed) {
    Bytes frame = toBytes("ST");
    putBe32(frame, received);
    putBe32(frame, missed);
    emit(frame);
    note("tx ST received={} missed={}", received, missed);
  }

  // Bytes from 0x00..0x1f and 0x80..0xff: none of them starts a message-start code.
  void garbage(std::size_t count) {
    Bytes g;
    for (std::size_t i = 0; i < count; ++i) {
      const auto v = static_cast<std::uint8_t>(rng() % 0xA0);
      g.push_back(v < 0x20 ? v : static_cast<std::uint8_t>(v + 0x60));
    }
    emit(g);
    note("tx garbage {}", hexString(g));
  }

  // Sends the flood messages that are due; returns when the next one is due (max: not waiting on
  // time).
  Steady::time_point pumpFlood(Steady::time_point now) {
    if (!floodActive || !radio || !open) return Steady::time_point::max();
    for (std::size_t burst = 0; burst < kFloodBurst; ++burst) {
      if (floodTotal != 0 && floodSeq >= floodTotal) {
        floodActive = false;
        note("flood done: {} messages", floodSeq);
        return Steady::time_point::max();
      }
      if (floodRate > 0) {
        const auto due = floodAnchor + duration_cast<Steady::duration>(duration<double>(
                                           static_cast<double>(floodSeq) / floodRate));
        if (due > now) return due;
      } else if (out.size() >= kFloodLowWater || silent) {
        return Steady::time_point::max();  // POLLOUT brings us back
      }
      Bytes payload;
      putBe32(payload, static_cast<std::uint32_t>(floodSeq));
      putBe64(payload, static_cast<std::uint64_t>(utcNow().time_since_epoch().count()));
      VirtualNode from = opt.floodNode;
      if (opt.floodUids > 1) from.uid += static_cast<std::uint32_t>(floodSeq % opt.floodUids);
      sensor(from, payload, SensorKind::Valid, true);
      ++floodSeq;
      ++stats.floodSent;
    }
    return now;  // more to do at once
  }

  void onOpened() {
    open = true;
    masterGone = false;
    ++stats.opens;
    // Whatever waited in the slave's input since the last close is stale: a real line loses it.
    // Read-only: its close is IN_CLOSE_NOWRITE, which inotify never merges with the gateway's
    // IN_CLOSE_WRITE (two identical events in a row unread become one, and the gateway's close
    // would then be taken for ours on a busy machine).
    const int s = ::open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s >= 0) {
      ::tcflush(s, TCIFLUSH);
      ::close(s);
      // Our own open and close are seen by the watch too: they must not count as the gateway's,
      // or a gateway that opens and closes at once would set off an endless open loop here.
      ++ownOpens;
      ++ownCloses;
    }
    note("port opened");
    if (opt.resetOnOpen) resetLocked();
  }

  void onClosed() {
    readMaster();  // what the gateway wrote just before closing still counts
    open = false;
    out.clear();
    note("port closed");
  }

  // Reads what the master holds; false when the slave has gone away.
  bool readMaster() {
    std::uint8_t buf[4096];
    for (;;) {
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) {
        onRx(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      return n < 0 && errno == EAGAIN;
    }
  }

  void readNotify() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = ::read(notify, buf, sizeof buf);
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        masterGone = false;
        if (e->mask & IN_OPEN) {
          if (ownOpens > 0) {
            --ownOpens;
          } else if (++openCount == 1) {
            onOpened();
          }
        } else if (e->mask & IN_CLOSE) {
          if (ownCloses > 0) {
            --ownCloses;
          } else if (openCount > 0 && --openCount == 0) {
            onClosed();
          }
        }
      }
    }
  }

  void run() {
    std::unique_lock lk(m);
    while (!stopping) {
      try {
        step(lk);
      } catch (const std::exception& e) {
        // Nothing from the line may end the simulator; a fault here is a bug worth a line.
        try {
          note("internal error: {}", e.what());
        } catch (...) {
        }
      }
    }
  }

  // One turn of the loop: due work, then one wait. Called and returns with the lock held.
  void step(std::unique_lock<std::mutex>& lk) {
    auto now = Steady::now();
    while (!timers.empty() && timers.begin()->first <= now) {
      auto fn = std::move(timers.begin()->second);
      timers.erase(timers.begin());
      fn();
    }
    const auto frameTimeout = milliseconds(opt.frameTimeoutMs);
    if (!rx.empty() && now - rxLast >= frameTimeout) {
      note("dropped incomplete {} frame ({} bytes)",
           rx.size() >= 2 ? std::string(rx.begin(), rx.begin() + 2) : "?", rx.size());
      ++stats.droppedFrames;
      rx.clear();
    }
    auto deadline = pumpFlood(now);
    if (open) flushOut();
    // A flood held back for room must not wait on POLLOUT when the write just emptied the buffer:
    // with nothing left to write, nothing would wake it.
    if (deadline == Steady::time_point::max() && floodActive && radio && open && !silent &&
        floodRate <= 0 && out.size() < kFloodLowWater)
      deadline = now;
    if (!timers.empty()) deadline = std::min(deadline, timers.begin()->first);
    if (!rx.empty()) deadline = std::min(deadline, rxLast + frameTimeout);
    int timeoutMs = -1;
    if (deadline != Steady::time_point::max()) {
      timeoutMs = static_cast<int>(
          std::clamp<long long>(ceil<milliseconds>(deadline - Steady::now()).count(), 0, 60000));
    }

    pollfd fds[3] = {{wake, POLLIN, 0}, {notify, POLLIN, 0}, {master, POLLIN, 0}};
    const bool watchMaster = open && !masterGone;
    if (!out.empty()) fds[2].events |= POLLOUT;
    lk.unlock();
    const int r = ::poll(fds, watchMaster ? 3 : 2, timeoutMs);
    lk.lock();
    if (r <= 0) return;
    if (fds[0].revents & POLLIN) {
      std::uint64_t v;
      [[maybe_unused]] auto n = ::read(wake, &v, sizeof v);
    }
    if (fds[1].revents & POLLIN) readNotify();
    if (!watchMaster || !open || masterGone) return;
    bool alive = true;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) alive = readMaster();
    if (!alive || (fds[2].revents & (POLLHUP | POLLERR))) {
      masterGone = true;
    } else if (fds[2].revents & POLLOUT) {
      flushOut();
    }
  }
};

HatSim::HatSim(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->opt = std::move(options);
  impl_->clockSet = impl_->opt.clockSet;
}

HatSim::~HatSim() {
  stop();
}

const std::string& HatSim::devicePath() const {
  return impl_->linkPath.empty() ? slavePath_ : impl_->linkPath;
}

void HatSim::start() {
  Impl& d = *impl_;
  if (d.thread.joinable()) return;
  d.stopping = false;  // a stopped simulator may start again, on a new pty
  d.openCount = d.ownOpens = d.ownCloses = 0;
  d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (d.master < 0) throwErrno("posix_openpt");
  if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0) throwErrno("grantpt/unlockpt");
  char name[128];
  if (::ptsname_r(d.master, name, sizeof name) != 0) throwErrno("ptsname_r");
  d.slave = slavePath_ = name;
  // A gateway started as root opens the port after dropping to its service account.
  ::chmod(name, 0666);
  makeRaw(d.master);
  // Set the slave raw once (the setting outlives our descriptor) and close it again, so that the
  // gateway's open is the first one the watch below sees.
  const int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) throwErrno(std::string("open ") + name);
  makeRaw(s);
  ::close(s);
  d.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (d.wake < 0) throwErrno("eventfd");
  d.notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (d.notify < 0) throwErrno("inotify_init1");
  if (::inotify_add_watch(d.notify, name, IN_OPEN | IN_CLOSE) < 0) throwErrno("inotify_add_watch");

  if (!d.opt.link.empty()) {
    namespace fs = std::filesystem;
    const fs::path link(d.opt.link);
    const auto st = fs::symlink_status(link);
    if (fs::is_symlink(st)) {
      fs::remove(link);  // stale, from an earlier run
    } else if (fs::exists(st)) {
      throw std::runtime_error(fmt::format("{} exists and is not a symbolic link", d.opt.link));
    }
    fs::create_symlink(d.slave, link);
    d.linkPath = d.opt.link;
    d.linkMade = true;
  }
  {
    std::lock_guard lk(d.m);
    d.resetLocked();
  }
  d.thread = std::thread([&d] { d.run(); });
}

void HatSim::stop() {
  Impl& d = *impl_;
  if (d.thread.joinable()) {
    {
      std::lock_guard lk(d.m);
      d.stopping = true;
    }
    d.wakeUp();
    d.thread.join();
  }
  if (d.linkMade) {
    std::error_code ec;
    if (std::filesystem::read_symlink(d.linkPath, ec) == d.slave) {
      std::filesystem::remove(d.linkPath, ec);
    }
    d.linkMade = false;
  }
  if (d.master >= 0) ::close(d.master);
  if (d.wake >= 0) ::close(d.wake);
  if (d.notify >= 0) ::close(d.notify);
  d.master = d.wake = d.notify = -1;
}

void HatSim::configure(const std::function<void(Options&)>& change) {
  std::lock_guard lk(impl_->m);
  change(impl_->opt);
  impl_->wakeUp();
}

void HatSim::reset() {
  std::lock_guard lk(impl_->m);
  impl_->resetLocked();
  impl_->wakeUp();
}

void HatSim::setSilent(bool silent) {
  std::lock_guard lk(impl_->m);
  impl_->silent = silent;
  if (silent) impl_->out.clear();
  impl_->note("{}", silent ? "silent" : "talking again");
  impl_->wakeUp();
}

std::optional<Frame> HatSim::nextFrame(const std::string& code, std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  std::unique_lock lk(d.m);
  std::optional<Frame> found;
  d.framesCv.wait_for(lk, timeout, [&] {
    for (std::size_t i = 0; i < d.frames.size(); ++i) {
      if (!d.consumed[i] && d.frames[i].code == code) {
        d.consumed[i] = true;
        found = d.frames[i];
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<Frame> HatSim::framesSoFar() const {
  std::lock_guard lk(impl_->m);
  return {impl_->frames.begin(), impl_->frames.end()};
}

Bytes HatSim::rawReceived() const {
  std::lock_guard lk(impl_->m);
  return impl_->raw;
}

void HatSim::sendRaw(const Bytes& bytes) {
  std::lock_guard lk(impl_->m);
  impl_->emit(bytes);
  impl_->wakeUp();
}

namespace {
const VirtualNode& nodeAt(const Options& o, std::size_t i) {
  if (i >= o.nodes.size()) throw std::out_of_range(fmt::format("no virtual node {}", i));
  return o.nodes[i];
}
}  // namespace

void HatSim::sendSensor(std::size_t nodeIndex, SensorKind kind) {
  std::lock_guard lk(impl_->m);
  const VirtualNode& n = nodeAt(impl_->opt, nodeIndex);
  impl_->sensor(n, n.payload, kind);
  impl_->wakeUp();
}

void HatSim::sendFailedDecrypt(std::size_t nodeIndex, const Bytes& rest) {
  std::lock_guard lk(impl_->m);
  impl_->failedDecrypt(nodeAt(impl_->opt, nodeIndex), rest);
  impl_->wakeUp();
}

void HatSim::sendLinkState(std::size_t nodeIndex) {
  std::lock_guard lk(impl_->m);
  impl_->linkState(nodeAt(impl_->opt, nodeIndex));
  impl_->wakeUp();
}

void HatSim::sendStatistics(std::uint32_t received, std::uint32_t missed) {
  std::lock_guard lk(impl_->m);
  impl_->statistics(received, missed);
  impl_->wakeUp();
}

void HatSim::sendLog(std::string_view text, bool cutBeforeLineFeed) {
  std::lock_guard lk(impl_->m);
  impl_->emit("LG" + std::string(text) + (cutBeforeLineFeed ? "\r" : "\r\n"));
  impl_->wakeUp();
}

void HatSim::sendGarbage(std::size_t count) {
  std::lock_guard lk(impl_->m);
  impl_->garbage(count);
  impl_->wakeUp();
}

void HatSim::sendNoise(std::size_t count, std::uint32_t seed) {
  // Any byte values, message-start codes included by chance, as a broken line would deliver.
  std::minstd_rand gen(seed);
  Bytes noise(count);
  for (auto& b : noise) b = static_cast<std::uint8_t>(gen() >> 7);
  std::lock_guard lk(impl_->m);
  impl_->emit(noise);
  impl_->note("tx noise {} bytes", count);
  impl_->wakeUp();
}

void HatSim::startFlood(std::uint64_t count, double ratePerSec) {
  std::lock_guard lk(impl_->m);
  Impl& d = *impl_;
  d.floodActive = true;
  d.floodTotal = count;
  d.floodSeq = 0;
  d.floodRate = std::max(0.0, ratePerSec);
  d.floodAnchor = Steady::now();
  d.wakeUp();
}

void HatSim::stopFlood() {
  std::lock_guard lk(impl_->m);
  impl_->floodActive = false;
}

bool HatSim::floodDone() const {
  std::lock_guard lk(impl_->m);
  return !impl_->floodActive;
}

bool HatSim::radioOn() const {
  std::lock_guard lk(impl_->m);
  return impl_->radio;
}

bool HatSim::inBootloader() const {
  std::lock_guard lk(impl_->m);
  return impl_->boot;
}

bool HatSim::slaveOpen() const {
  std::lock_guard lk(impl_->m);
  return impl_->open;
}

Bytes HatSim::hatStamp() const {
  std::lock_guard lk(impl_->m);
  return impl_->stampNow();
}

std::optional<std::int16_t> HatSim::rtcTrim() const {
  std::lock_guard lk(impl_->m);
  return impl_->trim;
}

std::optional<std::uint8_t> HatSim::rssiThreshold() const {
  std::lock_guard lk(impl_->m);
  return impl_->rssiThr;
}

std::map<std::uint32_t, Bytes> HatSim::peerKeys() const {
  std::lock_guard lk(impl_->m);
  return impl_->keys;
}

HatSim::Stats HatSim::stats() const {
  std::lock_guard lk(impl_->m);
  return impl_->stats;
}

}  // namespace ostrel::hatsim
