// The hat simulator driven from a scripted gateway side: the slave device opened with plain POSIX
// calls, bytes written, bytes read with time-outs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "tests/support/Wait.hpp"
#include "tools/hatsim/HatSim.hpp"

using namespace ostrel;
using namespace ostrel::hatsim;
using namespace std::chrono;

namespace {

class Port {
 public:
  explicit Port(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~Port() { close(); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void write(std::string_view s) { ASSERT_EQ(::write(fd_, s.data(), s.size()), ssize_t(s.size())); }
  void write(const Bytes& b) {
    write(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  }
  // Reads until `n` bytes have come or `timeout` has passed.
  std::string read(std::size_t n, milliseconds timeout) {
    const auto end = steady_clock::now() + timeout;
    while (buf_.size() < n) {
      const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, int(left)) <= 0) continue;
      char tmp[4096];
      const ssize_t k = ::read(fd_, tmp, sizeof tmp);
      if (k > 0) buf_.append(tmp, std::size_t(k));
    }
    std::string out = buf_.substr(0, std::min(n, buf_.size()));
    buf_.erase(0, out.size());
    return out;
  }
  std::string readFor(milliseconds t) { return read(SIZE_MAX, t); }
  // Reads through the first occurrence of `needle`; what follows stays buffered.
  std::string readUntil(std::string_view needle, milliseconds timeout) {
    std::string got;
    const auto end = steady_clock::now() + timeout;
    while (got.find(needle) == std::string::npos && steady_clock::now() < end) got += read(1, 20ms);
    return got;
  }
  Bytes readBytes(std::size_t n, milliseconds t = 10s) {
    auto s = read(n, t);
    return Bytes(s.begin(), s.end());
  }

 private:
  int fd_ = -1;
  std::string buf_;
};

Options quickOptions() {
  Options o;
  o.bootDelayMs = 0;
  o.promptIntervalMs = 100;
  o.frameTimeoutMs = 200;
  return o;
}

// Takes the fresh hat through its bootloader and returns the hello message.
Bytes boot(Port& p) {
  EXPECT_NE(p.readUntil("Press", 10s).find("Press"), std::string::npos);
  p.write("r");
  EXPECT_NE(p.readUntil("LGGateway Module started up\r\n", 10s).find("started up"),
            std::string::npos);
  return p.readBytes(33);
}

// Reads one "SD"/"SI" frame: code, length byte, block.
Bytes readSensor(Port& p, milliseconds t = 1000ms) {
  Bytes head = p.readBytes(3, t);
  if (head.size() < 3) return head;
  Bytes block = p.readBytes(head[2], t);
  head.insert(head.end(), block.begin(), block.end());
  return head;
}

sys_time<milliseconds> decodeStamp(const Bytes& s) {
  auto bcd = [](std::uint8_t b) { return (b >> 4) * 10 + (b & 15); };
  const year_month_day ymd{year{1900 + (s[0] >> 4) * 10 + (s[0] & 15)}, month(bcd(s[1])),
                           day(bcd(s[2]))};
  return sys_days(ymd) + hours(bcd(s[5])) + minutes(bcd(s[4])) + seconds(bcd(s[3])) +
         milliseconds((s[6] << 8) | s[7]);
}

std::string bytesOf(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

struct Sim {
  explicit Sim(Options o = quickOptions()) : sim(std::move(o)) { sim.start(); }
  HatSim sim;
};

}  // namespace

TEST(HatSimBoot, PromptsUntilRunThenSendsStartupLineAndHello) {
  Options o = quickOptions();
  o.version = 3;
  o.fwRevision = 0x01020304;
  o.uniqueId = 0xA1B2C3D4;
  o.hwMajor = 4, o.hwMinor = 5, o.hwPatch = 6;
  o.buildYear = 2026;
  o.serial = "AB";
  Sim s(o);
  Port p(s.sim.slavePath());
  const std::string boot = p.readFor(350ms);
  EXPECT_EQ(boot.rfind("Quorind bootloader v1.3\r\nPress r to run app\r\n", 0), 0u) << boot;
  std::size_t prompts = 0;
  for (auto at = boot.find("Press"); at != std::string::npos; at = boot.find("Press", at + 1))
    ++prompts;
  EXPECT_GE(prompts, 3u);

  p.write("r");
  EXPECT_EQ(p.read(29, 1000ms), "LGGateway Module started up\r\n");
  const Bytes hello = p.readBytes(33);
  const Bytes expected = {'H', 'L', 3,   0x01, 0x02, 0x03, 0x04, 0xA1, 0xB2, 0xC3, 0xD4,
                          3,   4,   5,   6,    7,    12,   0xEA, 0x07, 3,    'A',  'B',
                          ' ', ' ', ' ', ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  0};
  EXPECT_EQ(hello, expected);
  EXPECT_EQ(p.readFor(250ms), "") << "prompts go on after the run command";
  EXPECT_TRUE(s.sim.nextFrame("r", 0ms));
  EXPECT_FALSE(s.sim.inBootloader());
}

TEST(HatSimBoot, ReopeningThePortResetsUnlessTurnedOff) {
  Sim s;
  {
    Port p(s.sim.slavePath());
    boot(p);
  }
  {
    Port p(s.sim.slavePath());
    EXPECT_NE(p.readUntil("Press", 10s).find("Quorind bootloader"), std::string::npos);
  }
  EXPECT_EQ(s.sim.stats().opens, 2u);

  Options o = quickOptions();
  o.resetOnOpen = false;
  Sim keep(o);
  {
    Port p(keep.sim.slavePath());
    boot(p);
  }
  Port p(keep.sim.slavePath());
  EXPECT_EQ(p.readFor(300ms), "");
  keep.sim.reset();
  EXPECT_NE(p.readUntil("Press", 10s).find("Quorind bootloader"), std::string::npos);
}

TEST(HatSimBoot, QuickOpenAndCloseCountsOnceAndLeavesTheSimulatorResponsive) {
  // A gateway that probes the device (open, close at once) and then opens it for good.
  Sim s;
  for (int i = 0; i < 3; ++i) {
    int fd = ::open(s.sim.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  EXPECT_TRUE(ostrel::test::waitUntil(
      [&] { return s.sim.stats().opens >= 3 && !s.sim.slaveOpen(); }, 10s, "three opens, closed",
      [&] { return std::to_string(s.sim.stats().opens) + " opens"; }));
  EXPECT_EQ(s.sim.stats().opens, 3u);
  Port p(s.sim.slavePath());
  EXPECT_NE(p.readUntil("Press", 10s).find("Quorind bootloader"), std::string::npos);
  EXPECT_EQ(s.sim.stats().opens, 4u);
}

TEST(HatSimLink, StartsAgainOnANewLineAfterAHangUp) {
  Options o = quickOptions();
  char tmpl[] = "/tmp/hatsim-again.XXXXXX";
  std::string dir = ::mkdtemp(tmpl);
  o.link = dir + "/hat";
  HatSim sim(o);
  sim.start();
  sim.stop();
  EXPECT_FALSE(std::filesystem::exists(o.link));
  sim.start();
  EXPECT_EQ(std::filesystem::read_symlink(o.link), sim.slavePath());
  {
    Port p(o.link);
    EXPECT_NE(p.readUntil("Press", 10s).find("Quorind bootloader"), std::string::npos);
  }
  sim.stop();
  std::filesystem::remove_all(dir);
}

TEST(HatSimSetup, ConfirmsLocalAndPeerSetupAsConfigured) {
  Sim s;
  Port p(s.sim.slavePath());
  boot(p);
  p.write(Bytes{'L', 'S', 1, 100, 0, 0, 0, 0});
  EXPECT_EQ(p.read(29, 1000ms), "LGLocal node setup complete\r\n");
  Bytes ps = toBytes("PS");
  for (int i = 0; i < 49; ++i) ps.push_back(std::uint8_t(i));
  p.write(ps);
  EXPECT_EQ(p.read(23, 1000ms), "LGPeer setup complete\r\n");
  auto f = s.sim.nextFrame("PS", 0ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->bytes, ps);

  s.sim.configure([](Options& o) { o.localConfirm.delayMs = 300; });
  p.write(Bytes{'L', 'S', 1, 100, 0, 0, 0, 0});
  EXPECT_EQ(p.readFor(200ms), "");
  EXPECT_EQ(p.read(29, 10s), "LGLocal node setup complete\r\n");

  s.sim.configure([](Options& o) { o.peerConfirm.withhold = true; });
  p.write(ps);
  EXPECT_EQ(p.readFor(400ms), "");

  s.sim.configure([](Options& o) {
    o.localConfirm = Confirm{0, false, true};
    o.splitPauseMs = 400;
  });
  p.write(Bytes{'L', 'S', 1, 100, 0, 0, 0, 0});
  EXPECT_EQ(p.readFor(250ms), "L");
  EXPECT_EQ(p.read(28, 10s), "GLocal node setup complete\r\n");
}

TEST(HatSimRadio, SendsSensorMessagesInTheAnnouncedLayoutUntilStandby) {
  Options o = quickOptions();
  o.nodes = {{5000, 7, 60, {0x0A, 0x0B}, 100}};
  Sim v1(o);
  Port p1(v1.sim.slavePath());
  boot(p1);
  EXPECT_EQ(p1.readFor(250ms), "") << "radio talks before TC";
  p1.write("TC");
  EXPECT_EQ(readSensor(p1), (Bytes{'S', 'D', 9, 0, 0, 0x13, 0x88, 7, 0, 60, 0x0A, 0x0B}));
  p1.write("SC");
  p1.readFor(150ms);  // a message already on its way
  EXPECT_EQ(p1.readFor(300ms), "");

  o.version = 2;
  Sim v2(o);
  Port p2(v2.sim.slavePath());
  boot(p2);
  p2.write("TC");
  const Bytes m = readSensor(p2);
  ASSERT_EQ(m.size(), 20u);
  EXPECT_EQ(Bytes(m.begin(), m.begin() + 10), (Bytes{'S', 'D', 17, 0, 0, 0x13, 0x88, 7, 0, 60}));
  const auto stamped = decodeStamp(Bytes(m.begin() + 10, m.begin() + 18));
  EXPECT_LT(abs(stamped - time_point_cast<milliseconds>(system_clock::now())), 2s);
  EXPECT_EQ(Bytes(m.begin() + 18, m.end()), (Bytes{0x0A, 0x0B}));
}

TEST(HatSimRadio, ExtraTrafficAndFaultsOnDemand) {
  Options o = quickOptions();
  o.version = 2;
  o.nodes = {{5000, 7, 60, {0x0A, 0x0B}, 0}};
  Sim s(o);
  Port p(s.sim.slavePath());
  boot(p);
  s.sim.sendSensor(0, SensorKind::Duplicate);
  EXPECT_EQ(bytesOf(readSensor(p)).substr(0, 3), "SI\x11");
  s.sim.sendSensor(0, SensorKind::ShortBlock);
  EXPECT_EQ(p.read(3, 10s), "SD\x11");
  EXPECT_EQ(p.read(17 - 3, 10s).size(), 17u - 3);
  s.sim.sendSensor(0, SensorKind::BadStamp);
  const Bytes bad = readSensor(p);
  ASSERT_EQ(bad.size(), 20u);
  EXPECT_GT(bad[10 + 5] & 0x0F, 9) << "hour byte is BCD";
  s.sim.sendFailedDecrypt(0, {1, 2});
  const Bytes sx = p.readBytes(17);
  EXPECT_EQ(Bytes(sx.begin(), sx.begin() + 7), (Bytes{'S', 'X', 14, 7, 1, 60, 0}));
  EXPECT_EQ(Bytes(sx.end() - 2, sx.end()), (Bytes{1, 2}));
  s.sim.sendStatistics(0xFFFFFFFF, 3);
  EXPECT_EQ(p.readBytes(10), (Bytes{'S', 'T', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 3}));
  s.sim.sendLinkState(0);
  // Two non-duplicate messages so far: the short one and the one with the bad stamp.
  EXPECT_EQ(p.readBytes(19),
            (Bytes{'S', 'P', 0, 0, 0, 1, 0, 0, 0, 0x13, 0x88, 0, 0, 0, 1, 0, 0, 0, 2}));
  s.sim.sendLog("cut", true);
  EXPECT_EQ(p.read(6, 10s), "LGcut\r");
  s.sim.sendGarbage(64);
  const std::string garbage = p.read(64, 10s);
  EXPECT_EQ(garbage.size(), 64u);
  for (char c : garbage) {
    const auto u = std::uint8_t(c);
    EXPECT_TRUE(u < 0x20 || u >= 0x80) << int(u);
  }
  s.sim.setSilent(true);
  s.sim.sendSensor(0);
  p.write(Bytes{'P', 'M', 7, 1});
  EXPECT_EQ(p.readFor(250ms), "");
}

TEST(HatSimClock, StampEncodingAndClockCommands) {
  const auto t = sys_days(2024y / 3 / 1) + 13h + 5min + 9s + 250ms;
  EXPECT_EQ(encodeStamp(t), (Bytes{0xC4, 0x03, 0x01, 0x09, 0x05, 0x13, 0x00, 0xFA}));
  EXPECT_EQ(encodeStamp(sys_days(2059y / 12 / 31) + 23h + 59min + 59s + 999ms)[0], 0xF9);

  Options o = quickOptions();
  o.version = 2;
  o.clockSet = false;
  Sim s(o);
  Port p(s.sim.slavePath());
  boot(p);
  p.write("RT");
  EXPECT_EQ(p.readBytes(10), (Bytes{'R', 'T', 0, 0, 0, 0, 0, 0, 0, 0}));
  p.write(Bytes{'S', 'T', 5, 1, 13, 124, 13, 5, 9, 0, 250});  // month 13: refused
  p.write("RT");
  EXPECT_EQ(p.readBytes(10), (Bytes{'R', 'T', 0, 0, 0, 0, 0, 0, 0, 0}));
  p.write(Bytes{'S', 'T', 5, 1, 3, 124, 13, 5, 9, 0, 250});
  p.write("RT");
  const Bytes rt = p.readBytes(10);
  ASSERT_EQ(rt.size(), 10u);
  EXPECT_EQ(bytesOf(rt).substr(0, 2), "RT");
  EXPECT_LT(abs(decodeStamp(Bytes(rt.begin() + 2, rt.end())) - t), 1s);

  p.write(Bytes{'S', 'R', 0x80, 0x00, 'R', 'F', 90});
  ASSERT_TRUE(s.sim.nextFrame("RF", 10s));
  EXPECT_EQ(s.sim.rtcTrim(), std::int16_t(-32768));
  EXPECT_EQ(s.sim.rssiThreshold(), std::uint8_t(90));

  Sim v1;  // a version 1 hat has no clock to report
  Port p1(v1.sim.slavePath());
  boot(p1);
  p1.write("RT");
  EXPECT_TRUE(v1.sim.nextFrame("RT", 10s));
  EXPECT_EQ(p1.readFor(200ms), "");
}

TEST(HatSimCommands, RecordsAndAnswersNodeCommands) {
  Options o = quickOptions();
  o.nodes = {{5000, 7, 60, {1}, 0}};
  o.pmKnownIds = {9};
  Sim s(o);
  Port p(s.sim.slavePath());
  boot(p);

  Bytes pk = {'P', 'K', 0, 0, 0x13, 0x88};
  for (int i = 0; i < 32; ++i) pk.push_back(std::uint8_t(i + 1));
  p.write(pk);
  ASSERT_TRUE(s.sim.nextFrame("PK", 10s));
  EXPECT_EQ(s.sim.peerKeys().at(5000), Bytes(pk.begin() + 6, pk.end()));
  Bytes remove = {'P', 'K', 0, 0, 0x13, 0x88};
  remove.resize(38, 0);
  p.write(remove);
  ASSERT_TRUE(s.sim.nextFrame("PK", 10s));
  EXPECT_TRUE(s.sim.peerKeys().empty());

  const Bytes tbGood = {'T', 'B', 5, 1, 4, 7, 0xAA, std::uint8_t(-(5 + 1 + 4 + 7 + 0xAA))};
  Bytes tbBad = tbGood;
  tbBad.back() ^= 1;
  p.write(tbGood);
  p.write(tbBad);
  auto good = s.sim.nextFrame("TB", 10s), badTb = s.sim.nextFrame("TB", 10s);
  ASSERT_TRUE(good && badTb);
  EXPECT_EQ(good->bytes, tbGood);
  EXPECT_TRUE(good->checksumOk);
  EXPECT_FALSE(badTb->checksumOk);
  EXPECT_EQ(s.sim.stats().checksumErrors, 1u);
  EXPECT_EQ(checksum(toBytes("abc")), 0xDA);

  const Bytes tx = {'T', 'X', 9, 0, 7, 0, 0, 0, 5, 0x0B, 0x01, 0x2C};
  p.write(tx);
  p.write(Bytes{'P', 'P', 5, 0, 0, 0, 42, 0x99});
  EXPECT_EQ(s.sim.nextFrame("TX", 10s)->bytes, tx);
  EXPECT_EQ(describeFrame(*s.sim.nextFrame("PP", 10s)), "PP len=5 key=42 record=99");

  p.write(Bytes{'P', 'M', 7, 1});
  EXPECT_EQ(p.read(3, 1000ms), "PMS");
  p.write(Bytes{'P', 'M', 9, 0});
  EXPECT_EQ(p.read(3, 1000ms), "PMS");
  p.write(Bytes{'P', 'M', 255, 1});
  EXPECT_EQ(p.read(3, 1000ms), "PMF");
  s.sim.configure([](Options& o) { o.pmSilentOnFailure = true; });
  p.write(Bytes{'P', 'M', 255, 1});
  EXPECT_EQ(p.readFor(250ms), "");
}

TEST(HatSimParsing, SkipsUnknownBytesAndDropsStalledFrames) {
  std::size_t l = 0;
  EXPECT_EQ(scanFrame(toBytes("T"), l), Scan::NeedMore);
  EXPECT_EQ(scanFrame(toBytes("TB\x03"
                              "ab"),
                      l),
            Scan::NeedMore);
  EXPECT_EQ(scanFrame(toBytes("TB\x02"
                              "abXY"),
                      l),
            Scan::Complete);
  EXPECT_EQ(l, 5u);
  EXPECT_EQ(scanFrame(toBytes("SRxyZZ"), l), Scan::Complete);
  EXPECT_EQ(l, 4u);
  EXPECT_EQ(scanFrame(toBytes("SD\x01x"), l), Scan::Unknown);

  std::mutex m;
  std::vector<std::string> lines;
  Options o = quickOptions();
  o.log = [&](std::string_view line) {
    std::lock_guard lk(m);
    lines.emplace_back(line);
  };
  Sim s(o);
  Port p(s.sim.slavePath());
  boot(p);
  p.write(Bytes{0x00, 0x99, 'T', 'C', 'T', 'C'});
  ASSERT_TRUE(s.sim.nextFrame("TC", 10s));
  EXPECT_TRUE(s.sim.nextFrame("TC", 10s));
  EXPECT_FALSE(s.sim.nextFrame("TC", 0ms)) << "a frame is handed out twice";
  EXPECT_EQ(s.sim.stats().unknownBytes, 2u);
  {
    std::lock_guard lk(m);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "unknown code 0x00 0x99"), lines.end());
  }
  p.write(Bytes{'P', 'K', 1, 2, 3});  // stalls: 33 bytes missing
  EXPECT_TRUE(ostrel::test::waitUntil([&] { return s.sim.stats().droppedFrames >= 1; }, 10s,
                                      "the stalled frame to be dropped"));
  p.write("SC");
  EXPECT_TRUE(s.sim.nextFrame("SC", 10s));
  EXPECT_EQ(s.sim.stats().droppedFrames, 1u);
  EXPECT_EQ(bytesOf(s.sim.rawReceived()).substr(0, 1), "r");
}

TEST(HatSimFlood, NumbersEveryMessageAndStampsItsSendTime) {
  Options o = quickOptions();
  o.version = 2;
  Sim s(o);
  Port p(s.sim.slavePath());
  boot(p);
  s.sim.startFlood(200, 0);
  EXPECT_EQ(p.readFor(150ms), "") << "flood before TC";
  p.write("TC");
  for (std::uint32_t seq = 0; seq < 200; ++seq) {
    const Bytes m = readSensor(p);
    ASSERT_EQ(m.size(), 3u + 15 + 12) << seq;
    const ByteView payload = ByteView(m).subspan(18);
    EXPECT_EQ(getBe32(payload, 0), seq);
    const std::uint64_t sentUs = (std::uint64_t(getBe32(payload, 4)) << 32) | getBe32(payload, 8);
    const auto now = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_LT(std::uint64_t(now) - sentUs, 2'000'000u);
  }
  EXPECT_EQ(p.readFor(200ms), "");
  EXPECT_TRUE(s.sim.floodDone());

  const auto start = steady_clock::now();
  s.sim.startFlood(6, 20);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(readSensor(p).size(), 30u);
  EXPECT_GE(steady_clock::now() - start, 230ms) << "rate not kept";
}

TEST(HatSimLink, ReplacesStaleLinkAndRemovesItOnStop) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("hatsim-link-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path link = dir / "hat";
  fs::create_symlink("/nonexistent", link);
  Options o = quickOptions();
  o.link = link.string();
  {
    Sim s(o);
    EXPECT_EQ(fs::read_symlink(link), s.sim.slavePath());
    EXPECT_EQ(s.sim.devicePath(), link.string());
    Port p(link.string());
    boot(p);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  std::ofstream(link) << "not a link";
  EXPECT_THROW(Sim{o}, std::runtime_error);
  EXPECT_TRUE(fs::is_regular_file(link));
  fs::remove_all(dir);
}
