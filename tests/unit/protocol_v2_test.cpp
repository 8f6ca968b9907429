// HatProtocolV2 and V3 against a real SerialPort on one end of a socket pair: hat time stamps,
// the clock commands, drift arithmetic, the radio commands and the set-up differences of V3.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "ostrel/base/Log.hpp"
#include "ostrel/hat/HatProtocolV2.hpp"
#include "tests/support/ConfirmingHat.hpp"
#include "tests/support/FakeMqttClient.hpp"
#include "tests/support/HatLinkTest.hpp"
#include "tests/support/Wait.hpp"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using namespace std::chrono_literals;
using Clock = steady_clock;

constexpr const char* kV2Config = R"(
[TIME]
sync-interval = 0
ntp-check-interval-min = 5
ntp-check-interval-max = 300
[LOG]
sensor-rtc-offset = false
failed-decrypt = false
[RADIO]
rssi-threshold = -98
)";

// 2024-03-01 13:05:09.250 UTC and its hat time stamp.
const UtcTime kStampTime = UtcTime{sys_days{2024y / March / 1}} + 13h + 5min + 9s + 250ms;
const Bytes kStamp{0xC4, 0x03, 0x01, 0x09, 0x05, 0x13, 0x00, 0xFA};

std::uint8_t toBcd(unsigned v) {
  return static_cast<std::uint8_t>((v / 10) << 4 | v % 10);
}

// The hat's encoding of a time (millisecond resolution).
Bytes hatStamp(UtcTime t) {
  auto dp = floor<days>(t);
  year_month_day ymd{dp};
  hh_mm_ss hms{floor<milliseconds>(t - dp)};
  unsigned y = static_cast<unsigned>(int(ymd.year()) - 1900);
  Bytes b{toBcd(y),
          toBcd(unsigned(ymd.month())),
          toBcd(unsigned(ymd.day())),
          toBcd(unsigned(hms.seconds().count())),
          toBcd(unsigned(hms.minutes().count())),
          toBcd(unsigned(hms.hours().count()))};
  putBe16(b, hms.subseconds().count());
  return b;
}

// Host clock commands never run for real here: the synchroniser sees a network-synchronised host.
std::vector<std::string> gCommands;
awaitable<CommandResult> fakeCommand(std::string cmd, milliseconds, bool, bool) {
  gCommands.push_back(cmd);
  co_return CommandResult{0, "NTP=yes\nNTPSynchronized=yes\n"};
}

class ProtocolV2Test : public test::HatLinkTest {
 protected:
  void SetUp() override {
    openHatLink();
    char tmpl[] = "/tmp/ostrel-v2-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    client_ = std::make_shared<test::FakeMqttClient>();
    gCommands.clear();
    proto_ = make<HatProtocolV2>(Config::fromString(kV2Config));
    setLogSink([this](std::string_view l) { logs_.emplace_back(l); });
  }
  void TearDown() override {
    setLogSink({});
    if (proto_) proto_->timeSyncer->shutdown();
    proto_.reset();
    closeHatLink();
    fs::remove_all(dir_);
    if (tzChanged_) {
      if (oldTz_)
        ::setenv("TZ", oldTz_->c_str(), 1);
      else
        ::unsetenv("TZ");
      ::tzset();
    }
  }

  template <typename P>
  std::unique_ptr<P> make(const Config& cfg) {
    auto p =
        std::make_unique<P>(port_, client_, makeDefaultParser(), dir_, cfg, ctx_.get_executor());
    p->timeSyncer->runCommand = &fakeCommand;
    return p;
  }

  void setTz(const char* tz) {
    if (!tzChanged_) {
      const char* old = std::getenv("TZ");
      if (old) oldTz_ = old;
      tzChanged_ = true;
    }
    ::setenv("TZ", tz, 1);
    ::tzset();
  }

  void runQueued() {
    while (proto_->txQueue().size() > 0) proto_->txQueuedMsgs();
  }

  // Length byte and valid-message block: UID, node, unused, RSSI, stamp, payload.
  static Bytes sensorMsg(std::uint32_t uid, int node, int rssiByte, const Bytes& stamp,
                         const Bytes& payload) {
    Bytes b;
    putBe32(b, uid);
    b.push_back(static_cast<std::uint8_t>(node));
    b.push_back(0);
    b.push_back(static_cast<std::uint8_t>(rssiByte));
    append(b, stamp);
    append(b, payload);
    b.insert(b.begin(), static_cast<std::uint8_t>(b.size()));
    return b;
  }
  static Bytes failedMsg(const Bytes& stamp, const Bytes& rest) {
    Bytes b{3, 1, 200, 2};
    append(b, stamp);
    append(b, rest);
    b.insert(b.begin(), static_cast<std::uint8_t>(b.size()));
    return b;
  }
  void writeStatusFile(const std::string& name) {
    std::ofstream f(dir_ + "/" + name, std::ios::binary);
    for (int i = 0; i < 44; ++i) f.put(static_cast<char>(i));
  }

  std::string dir_;
  std::shared_ptr<test::FakeMqttClient> client_;
  std::unique_ptr<HatProtocolV2> proto_;
  std::vector<std::string> logs_;
  bool tzChanged_ = false;
  std::optional<std::string> oldTz_;
};

// ---- Hat time stamps ----

TEST(HatDate, ParsesStamps) {
  EXPECT_EQ(HatProtocolV2::parseDate(kStamp), kStampTime);
  EXPECT_FALSE(HatProtocolV2::parseDate(Bytes(8, 0)).has_value());
  // The year's low nibble is not checked: 0x1A is 1900 + 10 + 10.
  Bytes y = kStamp;
  y[0] = 0x1A;
  auto d = HatProtocolV2::parseDate(y);
  ASSERT_TRUE(d);
  EXPECT_EQ(year_month_day{floor<days>(*d)}.year(), year{1920});
  // Upper bounds that are still valid.
  Bytes hi{0xC4, 0x12, 0x31, 0x59, 0x59, 0x23, 0x03, 0xE7};
  EXPECT_EQ(HatProtocolV2::parseDate(hi),
            UtcTime{sys_days{2024y / December / 31}} + 23h + 59min + 59s + 999ms);
}

TEST(HatDate, RejectsInvalidStamps) {
  auto with = [](std::size_t i, std::uint8_t v) {
    Bytes b = kStamp;
    b[i] = v;
    return b;
  };
  EXPECT_THROW(HatProtocolV2::parseDate(with(5, 0x0D)), DecodeError);  // hour not BCD
  EXPECT_THROW(HatProtocolV2::parseDate(with(1, 0x00)), DecodeError);  // month 0
  EXPECT_THROW(HatProtocolV2::parseDate(with(1, 0x13)), DecodeError);  // month 13
  EXPECT_THROW(HatProtocolV2::parseDate(with(2, 0x32)), DecodeError);  // day 32
  Bytes feb30 = with(1, 0x02);
  feb30[2] = 0x30;
  EXPECT_THROW(HatProtocolV2::parseDate(feb30), DecodeError);          // 30 February
  EXPECT_THROW(HatProtocolV2::parseDate(with(5, 0x24)), DecodeError);  // hour 24
  EXPECT_THROW(HatProtocolV2::parseDate(with(4, 0x60)), DecodeError);  // minute 60
  EXPECT_THROW(HatProtocolV2::parseDate(with(3, 0x1F)), DecodeError);  // second not BCD
  Bytes ms = kStamp;
  ms[6] = 0x03;
  ms[7] = 0xE8;  // 1000 ms
  EXPECT_THROW(HatProtocolV2::parseDate(ms), DecodeError);
  EXPECT_THROW(HatProtocolV2::parseDate(ByteView(kStamp).subspan(0, 7)), DecodeError);
}

TEST(HatDate, EncodesSetTimeCommand) {
  EXPECT_EQ(HatProtocolV2::encodeDate(kStampTime),
            (Bytes{'S', 'T', 0x05, 0x01, 0x03, 0x7C, 0x0D, 0x05, 0x09, 0x00, 0xFA}));
  auto base = UtcTime{sys_days{2024y / March / 3}} + 23h + 59min + 59s;  // a Sunday
  auto ms = [&](long long us) {
    Bytes f = HatProtocolV2::encodeDate(base + microseconds(us));
    EXPECT_EQ(f[2], 7);   // Sunday
    EXPECT_EQ(f[8], 59);  // the second is never carried over
    return getBe16(f, 9);
  };
  EXPECT_EQ(ms(999500), 1000);
  EXPECT_EQ(ms(999499), 999);
  EXPECT_EQ(ms(2500), 2);
  EXPECT_EQ(ms(1500), 2);
  EXPECT_EQ(ms(500), 0);
  EXPECT_EQ(ms(501), 1);
}

TEST_F(ProtocolV2Test, HatTimeAnswer) {
  proto_->timeSyncer->synchronized = true;  // the host clock is left alone
  hatSends(kStamp);
  EXPECT_TRUE(run(proto_->processMsg("RT")));
  Bytes whole = kStamp;
  whole[6] = whole[7] = 0;
  hatSends(whole);
  EXPECT_TRUE(run(proto_->processMsg("RT")));
  EXPECT_EQ(logs_, (std::vector<std::string>{
                       "HAT Time: 2024-03-01 13:05:09.250000+00:00",
                       "Not setting system time because it is synchronized to NTP",
                       "HAT Time: 2024-03-01 13:05:09+00:00",
                       "Not setting system time because it is synchronized to NTP"}));
  logs_.clear();
  hatSends(Bytes(8, 0));
  EXPECT_TRUE(run(proto_->processMsg("RT")));
  EXPECT_EQ(logs_, std::vector<std::string>{"HAT Time unknown."});
  EXPECT_FALSE(run(proto_->processMsg("XY")));
  EXPECT_TRUE(gCommands.empty());
}

TEST_F(ProtocolV2Test, ClockCommandsOnTheLine) {
  auto before = floor<seconds>(system_clock::now());
  proto_->txDate();
  Bytes st = hatReads();
  ASSERT_EQ(st.size(), 11u);
  EXPECT_EQ(toString(ByteView(st).subspan(0, 2)), "ST");
  // Day, month, year, hour, minute, second of now (within the second it was sent).
  auto sent = sys_days{year{1900 + st[5]} / month{st[4]} / day{st[3]}} + hours{st[6]} +
              minutes{st[7]} + seconds{st[8]};
  EXPECT_GE(sent, before);
  EXPECT_LE(sent, before + 1s);
  EXPECT_EQ(unsigned(st[2]), weekday{floor<days>(sent)}.iso_encoding());
  EXPECT_LE(getBe16(st, 9), 1000);

  proto_->rxDate();
  EXPECT_EQ(hatReads(), toBytes("RT"));
  EXPECT_EQ(logs_, std::vector<std::string>{"Requesting Date/Time from Radio Hat"});
}

// ---- Sensor messages ----

TEST_F(ProtocolV2Test, PublishesHatTimeAndCountsMessages) {
  hatSends(sensorMsg(5000, 7, 72, kStamp, {0xAB}));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  ASSERT_EQ(client_->publications.size(), 1u);
  EXPECT_EQ(client_->publications[0].payload,
            R"({"uid": 5000, "ts": 1709298309250, "rssi": -72, "payload": "ab"})");
  EXPECT_EQ(proto_->numRxPerSender.at(5000), 0);
  EXPECT_EQ(proto_->nodeIds().find(5000), 7);
  EXPECT_EQ(logs_, std::vector<std::string>{"Sensor #5000 [Node 7]: ab \t RSSI: -72"});

  // A duplicate counts, is not published and leaves the node ID.
  hatSends(sensorMsg(5000, 9, 72, kStamp, {0xAB}));
  EXPECT_TRUE(run(proto_->processMsg("SI")));
  EXPECT_EQ(proto_->numRxPerSender.at(5000), 1);
  EXPECT_EQ(proto_->nodeIds().find(5000), 7);
  EXPECT_EQ(client_->publications.size(), 1u);
  EXPECT_EQ(logs_.back(), "Sensor #5000 [Node 9]: Duplicate msg \t RSSI: -72 ");

  hatSends(sensorMsg(5000, 9, 72, kStamp, {0xAB}));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_EQ(proto_->numRxPerSender.at(5000), 2);
  EXPECT_EQ(proto_->nodeIds().find(5000), 9);
  EXPECT_FALSE(proto_->numRxPerSender.count(5001));
  EXPECT_TRUE(proto_->time4hMinSender.empty());  // drift logging is off
}

TEST_F(ProtocolV2Test, UnsetHatClockFallsBackToGatewayTime) {
  long long before = nowMillis();
  hatSends(sensorMsg(5000, 7, 72, Bytes(8, 0), {0x01}));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  long long after = nowMillis();
  ASSERT_EQ(client_->publications.size(), 1u);
  long long ts = nlohmann::json::parse(client_->publications[0].payload).at("ts").get<long long>();
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, after);
}

TEST_F(ProtocolV2Test, ShortOrBadBlocksFail) {
  // 15 bytes: an empty payload, which the parser does not take.
  hatSends(sensorMsg(5000, 7, 72, kStamp, {}));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  EXPECT_EQ(logs_,
            std::vector<std::string>{"Sensor #5000 [Node 7]: Could not parse msg. RSSI: -72"});
  // 14 bytes: the stamp is cut.
  Bytes cut = sensorMsg(5000, 7, 72, Bytes(kStamp.begin(), kStamp.begin() + 7), {});
  hatSends(cut);
  EXPECT_THROW(run(proto_->processMsg("SD")), DecodeError);
  Bytes badHour = kStamp;
  badHour[5] = 0x0D;
  hatSends(sensorMsg(5000, 7, 72, badHour, {0x01}));
  EXPECT_THROW(run(proto_->processMsg("SD")), DecodeError);
  EXPECT_TRUE(client_->publications.empty());
}

TEST_F(ProtocolV2Test, DriftLoggingFollowsTheConfiguration) {
  proto_->logSensorRtcOffset = true;
  for (int i = 0; i < 3; ++i) {
    hatSends(sensorMsg(5000, 7, 72, kStamp, {0x01}));
    EXPECT_TRUE(run(proto_->processMsg(i == 1 ? "SI" : "SD")));
  }
  ASSERT_TRUE(proto_->time4hMinSender.count(5000));
  EXPECT_NEAR(double(proto_->time4hMinSender.at(5000)), double(nowMillis()), 1000.0);
  // The next reading must come at a later millisecond: the window is then not empty.
  const long long windowStart = proto_->time4hMinSender.at(5000);
  ASSERT_TRUE(test::waitUntil([&] { return nowMillis() > windowStart; }, 5s, "the clock to move"));
  hatSends(sensorMsg(5000, 7, 72, kStamp, {0x01}));
  EXPECT_TRUE(run(proto_->processMsg("SD")));
  // Within 500 ms of the window start the slot is 0: a deviation of minus the window.
  std::regex line(
      R"(Sensor #5000: RTC offset -1000000\.0 ppm \(4h\), deviation -(\d+), time window (\d+) ms)");
  std::smatch m;
  ASSERT_TRUE(std::any_of(logs_.begin(), logs_.end(), [&](const std::string& s) {
    return std::regex_match(s, m, line) && m[1] == m[2];
  }));
}

// ---- Failed decryptions ----

TEST_F(ProtocolV2Test, FailedDecryptSilentWhenNotLogged) {
  Bytes msg = failedMsg(kStamp, {1, 2, 3});
  msg.push_back('!');
  hatSends(msg);
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  EXPECT_TRUE(logs_.empty());
  EXPECT_EQ(run(port_->read_async(1)), toBytes("!"));
}

TEST_F(ProtocolV2Test, FailedDecryptLineWithTiming) {
  proto_->logFailedDecrypt = true;
  setTz("UTC");
  hatSends(failedMsg(kStamp, {}));
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  setTz("CET-1");
  hatSends(failedMsg(kStamp, {12, 200}));
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  auto ahead = floor<milliseconds>(system_clock::now()) + 250ms;
  hatSends(failedMsg(hatStamp(ahead), {}));
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  ASSERT_EQ(logs_.size(), 3u);

  std::regex form(
      R"(TX 3 -> RX 1: Decrypt Failed\. (\[.*\]) Connection index: 2 \t RSSI: -200\t (\S+ \S+) \((-?\d+\.\d+) ms\))");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(logs_[0], m, form)) << logs_[0];
  EXPECT_EQ(m[1], "[]");
  EXPECT_EQ(m[2], "2024-03-01 13:05:09.250+00:00");
  double expectDiff = duration<double, std::milli>(kStampTime - system_clock::now()).count();
  EXPECT_NEAR(std::stod(m[3]), expectDiff, 5000.0);

  ASSERT_TRUE(std::regex_match(logs_[1], m, form)) << logs_[1];
  EXPECT_EQ(m[1], "[12, 200]");
  EXPECT_EQ(m[2], "2024-03-01 14:05:09.250+01:00");

  ASSERT_TRUE(std::regex_match(logs_[2], m, form)) << logs_[2];
  double diffMs = std::stod(m[3]);
  EXPECT_LE(diffMs, 250.0);
  EXPECT_GT(diffMs, 150.0);
}

TEST_F(ProtocolV2Test, FailedDecryptShortBlockFails) {
  proto_->logFailedDecrypt = true;
  hatSends(failedMsg(Bytes(kStamp.begin(), kStamp.begin() + 7), {}));
  EXPECT_THROW(run(proto_->processMsg("SX")), DecodeError);
  // An unset hat clock still reports the failure, without timing.
  hatSends(failedMsg(Bytes(8, 0), {5}));
  EXPECT_TRUE(run(proto_->processMsg("SX")));
  ASSERT_EQ(logs_.size(), 1u);
  EXPECT_EQ(logs_[0].rfind("TX 3 -> RX 1: Decrypt Failed. [5] Connection index: 2", 0), 0u)
      << logs_[0];
}

// ---- Sensor clock drift ----

TEST_F(ProtocolV2Test, DriftWindowRules) {
  const long long T = 1'700'000'000'000;
  auto& p = *proto_;
  p.numRxPerSender[5000] = 1;
  p.calculateSensorRTCOffset(5000, T);
  EXPECT_TRUE(p.time4hMinSender.empty());
  p.numRxPerSender[5000] = 2;
  p.calculateSensorRTCOffset(5000, T);
  EXPECT_EQ(p.time4hMinSender.at(5000), T);
  EXPECT_TRUE(logs_.empty());
  p.calculateSensorRTCOffset(5000, T);  // same millisecond: nothing to say
  EXPECT_TRUE(logs_.empty());

  for (long long d : {60400LL, 59700LL, 60500LL, 60501LL, 3600250LL, 14400000LL})
    p.calculateSensorRTCOffset(5000, T + d);
  auto line = [](const char* ppm, long long dev, long long window) {
    return fmt::format("Sensor #5000: RTC offset {} ppm (4h), deviation {}, time window {} ms", ppm,
                       dev, window);
  };
  EXPECT_EQ(logs_, (std::vector<std::string>{
                       line("-6622.52", -400, 60400), line("5025.13", 300, 59700),
                       line("-8264.46", -500, 60500), line("487578.72", 29499, 60501),
                       line("-69.44", -250, 3600250), line("0.0", 0, 14400000)}));
  EXPECT_EQ(p.time4hMinSender.at(5000), T);

  logs_.clear();
  p.calculateSensorRTCOffset(5000, T + 14400001);
  EXPECT_EQ(logs_, std::vector<std::string>{line("-0.07", -1, 14400001)});
  EXPECT_EQ(p.time4hMinSender.at(5000), T + 14400001);
}

TEST_F(ProtocolV2Test, DriftWithClockSetBack) {
  const long long T = 1'700'000'000'000;
  proto_->numRxPerSender[9] = 5;
  proto_->time4hMinSender[9] = T;
  proto_->calculateSensorRTCOffset(9, T - 100);
  EXPECT_EQ(logs_,
            std::vector<std::string>{
                "Sensor #9: RTC offset -1000000.0 ppm (4h), deviation 100, time window -100 ms"});
  EXPECT_EQ(proto_->time4hMinSender.at(9), T);
}

// ---- Hat clock offset ----

TEST_F(ProtocolV2Test, ClockOffsetScalingAndRange) {
  auto sent = [&](double ppm) {
    proto_->setRTCOffset(ppm);
    return hatReads();
  };
  EXPECT_EQ(sent(104.85), (Bytes{'S', 'R', 0x7F, 0xFE}));
  EXPECT_EQ(sent(104.86), Bytes{});
  EXPECT_EQ(sent(-104.8576), (Bytes{'S', 'R', 0x80, 0x00}));
  EXPECT_EQ(sent(0.0016), (Bytes{'S', 'R', 0x00, 0x00}));
  EXPECT_EQ(sent(-1.5), (Bytes{'S', 'R', 0xFE, 0x2B}));
  EXPECT_EQ(sent(2.5), (Bytes{'S', 'R', 0x03, 0x0D}));
  EXPECT_EQ(sent(1e3), Bytes{});
  EXPECT_EQ(sent(std::nan("")), Bytes{});
  EXPECT_EQ(logs_, (std::vector<std::string>{"Sending RTC offset adjustment command: 104.85 ppm",
                                             "RTC offset too big: 104.86 ppm",
                                             "Sending RTC offset adjustment command: -104.8576 ppm",
                                             "Sending RTC offset adjustment command: 0.0016 ppm",
                                             "Sending RTC offset adjustment command: -1.5 ppm",
                                             "Sending RTC offset adjustment command: 2.5 ppm",
                                             "RTC offset too big: 1000.0 ppm",
                                             "RTC offset too big: nan ppm"}));
}

// ---- Radio configuration and keys ----

TEST_F(ProtocolV2Test, RssiThresholdOnlyWhenNotDefault) {
  run(proto_->postEncryption());
  EXPECT_EQ(proto_->txQueue().size(), 1u);  // the wake-up only
  EXPECT_TRUE(proto_->encryptionSetup());

  for (int v : {-97, -99, 0, -255}) {
    Config cfg = Config::fromString(kV2Config);
    cfg.set("RADIO", "rssi-threshold", std::to_string(v));
    proto_ = make<HatProtocolV2>(cfg);
    run(proto_->postEncryption());
    ASSERT_EQ(proto_->txQueue().size(), 2u) << v;
    logs_.clear();
    runQueued();
    EXPECT_EQ(hatReads(), (Bytes{'R', 'F', static_cast<std::uint8_t>(-v), 'T', 'C'})) << v;
    EXPECT_EQ(logs_, (std::vector<std::string>{fmt::format("Setting RSSI threshold {}", v),
                                               "Waking Gateway Hat up\n"}));
  }
}

TEST_F(ProtocolV2Test, RssiThresholdOutOfRangeIsRefused) {
  for (int v : {1, -256}) {
    Config cfg = Config::fromString(kV2Config);
    cfg.set("RADIO", "rssi-threshold", std::to_string(v));
    proto_ = make<HatProtocolV2>(cfg);
    logs_.clear();
    run(proto_->postEncryption());
    EXPECT_EQ(proto_->txQueue().size(), 1u) << v;  // the wake-up only
    ASSERT_EQ(logs_.size(), 1u) << v;
    EXPECT_NE(logs_[0].find(std::to_string(v)), std::string::npos) << logs_[0];
    EXPECT_TRUE(proto_->encryptionSetup());
  }
  EXPECT_TRUE(hatReads().empty());
}

TEST_F(ProtocolV2Test, MissingThresholdFailsBeforeSetupCompletes) {
  proto_ =
      make<HatProtocolV2>(Config::fromString("[TIME]\nsync-interval=0\n"
                                             "ntp-check-interval-min=5\n"
                                             "ntp-check-interval-max=300\n"
                                             "[LOG]\nsensor-rtc-offset=no\nfailed-decrypt=no\n"));
  EXPECT_THROW(run(proto_->postEncryption()), ConfigError);
  EXPECT_FALSE(proto_->encryptionSetup());
}

TEST_F(ProtocolV2Test, ClockCommandThenThresholdThenWakeup) {
  Config cfg = Config::fromString(kV2Config);
  cfg.set("TIME", "sync-interval", "900");
  cfg.set("RADIO", "rssi-threshold", "-97");
  proto_ = make<HatProtocolV2>(cfg);
  run(proto_->postEncryption());
  EXPECT_EQ(gCommands, std::vector<std::string>{"timedatectl show"});
  ASSERT_EQ(proto_->txQueue().size(), 3u);
  runQueued();
  Bytes line = hatReads();
  ASSERT_EQ(line.size(), 11u + 3u + 2u);
  EXPECT_EQ(toString(ByteView(line).subspan(0, 2)), "ST");
  EXPECT_EQ(Bytes(line.begin() + 11, line.end()), (Bytes{'R', 'F', 97, 'T', 'C'}));
}

TEST_F(ProtocolV2Test, PeerKeys) {
  Bytes key(32);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(0xA0 + i);
  proto_->setupPeerKey(5000, key);
  Bytes want{'P', 'K', 0x00, 0x00, 0x13, 0x88};
  append(want, key);
  EXPECT_EQ(hatReads(), want);
  EXPECT_EQ(logs_, std::vector<std::string>{"Transmitting peer key for UID 5000"});

  logs_.clear();
  // A key the hat cannot take fails aloud (the command dispatch refuses it before queueing).
  EXPECT_THROW(proto_->setupPeerKey(5000, Bytes(31, 1)), EncodeError);
  EXPECT_THROW(proto_->setupPeerKey(5000, Bytes(33, 1)), EncodeError);
  EXPECT_THROW(proto_->setupPeerKey(5000, Bytes{}), EncodeError);
  EXPECT_TRUE(hatReads().empty());
  EXPECT_TRUE(logs_.empty());

  proto_->removePeerKey(42);
  Bytes remove{'P', 'K', 0x00, 0x00, 0x00, 0x2A};
  remove.insert(remove.end(), 32, 0);
  EXPECT_EQ(hatReads(), remove);
  EXPECT_EQ(logs_, std::vector<std::string>{"Sending remove command for peer UID 42"});

  // A UID beyond 32 bits cannot be encoded: nothing reaches the hat.
  EXPECT_THROW(proto_->setupPeerKey(4294967296LL, key), EncodeError);
  EXPECT_THROW(proto_->removePeerKey(-1), EncodeError);
  EXPECT_TRUE(hatReads().empty());
}

TEST_F(ProtocolV2Test, ShutdownSendsStandby) {
  proto_->shutdown();
  EXPECT_EQ(hatReads(), toBytes("SC"));
}

// ---- Version 3 ----

TEST_F(ProtocolV2Test, VersionsAndPeerReplay) {
  writeStatusFile("5000.status");
  Args args;
  args.nodeId = 1;
  args.networkId = 100;
  EXPECT_EQ(proto_->getVersion(), 2);
  {
    test::ConfirmingHat hat(hat_);
    run(proto_->setupEncryption(args));
    hat.stop();
    ASSERT_EQ(hat.frames.size(), 2u);
    EXPECT_EQ(toString(ByteView(hat.frames[1]).subspan(0, 2)), "PS");
  }

  proto_ = make<HatProtocolV3>(Config::fromString(kV2Config));
  EXPECT_EQ(proto_->getVersion(), 3);
  {
    test::ConfirmingHat hat(hat_);
    run(proto_->setupEncryption(args));
    hat.stop();
    EXPECT_EQ(hat.frames, std::vector<Bytes>{Bytes({'L', 'S', 1, 100, 0, 0, 0, 0})});
    EXPECT_TRUE(proto_->encryptionSetup());
    EXPECT_TRUE(proto_->uid2Radio.empty());
  }

  proto_ = make<HatProtocolV3>(Config::fromString(kV2Config));
  {
    test::ConfirmingHat hat(hat_);
    run(proto_->setupEncryption(args, true));
    hat.stop();
    ASSERT_EQ(hat.frames.size(), 2u);
    EXPECT_EQ(getBe32(hat.frames[1], 7), 5000u);
    EXPECT_EQ(proto_->uid2Radio.count(5000), 1u);
  }
}

}  // namespace
}  // namespace ostrel
