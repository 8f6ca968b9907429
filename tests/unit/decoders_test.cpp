// Decoder files: reading fields, matching, the file parser's errors, loading a directory and
// checking examples, and the shipped parser publishing decoded readings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ostrel/parser/Decoders.hpp"
#include "ostrel/parser/DefaultParser.hpp"
#include "tests/support/FakeMqttClient.hpp"
#include "tests/support/LogCapture.hpp"

namespace ostrel::decoders {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// One decoder taking payloads of 1 to 8 bytes, with one field "v" made of `fieldLines`.
Decoder oneField(const std::string& fieldLines) {
  auto ds = parseDecoderFile("[decoder t]\nlength = 1-8\n[field v]\n" + fieldLines, "t.conf");
  return ds.at(0);
}

struct FieldCase {
  const char* what;
  const char* field;
  const char* payload;
  const char* expected;  // as the state writes it; "" for no value
};

TEST(DecoderFields, EveryTypeEndiannessBitRangeScaleAndMap) {
  const FieldCase cases[] = {
      {"u8", "at = 0\ntype = u8", "ff", "255"},
      {"s8", "at = 0\ntype = s8", "ff", "-1"},
      {"u16 big", "at = 0\ntype = u16", "0102", "258"},
      {"u16 little", "at = 0\ntype = u16\nendian = little", "0102", "513"},
      {"s16 big", "at = 1\ntype = s16", "00ff38", "-200"},
      {"s16 little", "at = 0\ntype = s16\nendian = little", "38ff", "-200"},
      {"u24 big", "at = 0\ntype = u24", "010203", "66051"},
      {"u24 little", "at = 0\ntype = u24\nendian = little", "010203", "197121"},
      {"s24", "at = 0\ntype = s24", "fffffe", "-2"},
      {"u32", "at = 0\ntype = u32", "ffffffff", "4294967295"},
      {"s32", "at = 0\ntype = s32", "80000000", "-2147483648"},
      {"u32 little", "at = 0\ntype = u32\nendian = little", "78563412", "305419896"},
      {"bit range", "at = 0\ntype = u8\nbits = 4-7", "a5", "10"},
      {"one bit", "at = 0\ntype = u8\nbits = 2", "a5", "1"},
      {"signed bit range", "at = 0\ntype = s8\nbits = 4-7", "f0", "-1"},
      {"bits of a u16", "at = 0\ntype = u16\nbits = 8-15", "1234", "18"},
      {"scale", "at = 0\ntype = s16\nscale = 0.01", "0929", "23.45"},
      {"scale and offset", "at = 0\ntype = u8\nscale = 0.5\noffset = -40", "64", "10"},
      {"offset decimals", "at = 0\ntype = u8\noffset = 0.25", "01", "1.25"},
      {"decimals given", "at = 0\ntype = u16\nscale = 0.001\ndecimals = 1", "0b74", "2.9"},
      {"no negative zero", "at = 0\ntype = s8\nscale = 0.01", "00", "0"},
      {"map", "at = 0\ntype = u8\nmap = 0: closed, 1: open", "01", "\"open\""},
      {"map of a bit", "at = 0\ntype = u8\nbits = 7\nmap = 0: off, 1: on", "80", "\"on\""},
      {"negative map value", "at = 0\ntype = s8\nmap = -1: low, 1: high", "ff", "\"low\""},
      {"value not in the map", "at = 0\ntype = u8\nmap = 0: closed, 1: open", "02", ""},
      {"past the end", "at = 2\ntype = u16", "0102", ""},
      {"partly past the end", "at = 1\ntype = u16", "0102", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Decoder d = oneField(c.field);
    Bytes payload = fromHex(c.payload);
    Value v = readField(d.fields[0], payload);
    EXPECT_EQ(valueText(d.fields[0], v), c.expected);
    EXPECT_EQ(hasValue(v), std::string(c.expected) != "");
  }
}

TEST(DecoderMatch, LengthFixedBytesAndSenders) {
  auto d = parseDecoderFile(
      "[decoder m]\nlength = 3-4\nmatch = 0:02 2:ab\nuids = 1000-1005, 2000\n"
      "[field x]\nat = 1\ntype = u8\n",
      "m.conf")[0];
  struct Row {
    std::uint32_t uid;
    const char* payload;
    bool matches;
  } rows[] = {
      {1000, "0200ab", true},      {1005, "0200ab00", true}, {2000, "02ffab", true},
      {1006, "0200ab", false},     {1999, "0200ab", false},  {1000, "0200", false},
      {1000, "0200ab0000", false}, {1000, "0300ab", false},  {1000, "0200ac", false},
  };
  for (const auto& r : rows)
    EXPECT_EQ(d.matches(r.uid, fromHex(r.payload)), r.matches) << r.uid << " " << r.payload;
  DecoderSet set({d});
  EXPECT_EQ(set.find(1000, fromHex("0200ab")), &set.decoders()[0]);
  EXPECT_EQ(set.find(7, fromHex("0200ab")), nullptr);
}

struct ErrorCase {
  std::string text;
  int line;
  const char* reason;  // part of it
};

TEST(DecoderFile, ErrorsNameTheLineAndTheReason) {
  const std::string head = "[decoder d]\nlength = 4\n";
  const std::string field = "[field x]\nat = 0\ntype = u8\n";
  const ErrorCase cases[] = {
      {"length = 4\n", 1, "before the first [decoder NAME]"},
      {"[decoder]\n", 1, "a decoder needs a name"},
      {"[decoder a b]\n", 1, "a decoder needs a name"},
      {"[decoder d]\n[field x]\n", 1, "the decoder has no length"},
      {"[decoder d]\nlength = 0\n", 2, "length must lie between 1 and 255"},
      {"[decoder d]\nlength = 5-3\n", 2, "5 is greater than 3"},
      {"[decoder d]\nlength = 4\nsize = 3\n", 3, "unknown key 'size'"},
      {"[decoder d]\nlength = 4\nmatch = 0:0g\n", 3, "match bytes are not hex"},
      {head + "match = 3:0102\n" + field, 1, "a match entry ends past"},
      {"[decoder d]\nlength = 4\nuids = 12x\n", 3, "a sender UID is not an integer"},
      {"[decoder d]\nlength = 4\nlength = 5\n", 3, "given twice"},
      {"[decoder d]\nlength = 4\n[widget]\n", 3, "unknown section"},
      {head + field + "[decoder d]\n", 6, "decoder d is defined twice"},
      {"[decoder d]\nlength = 4\n", 1, "the decoder has no field"},
      {head + "[field x]\nat = 0\n", 3, "needs 'at' and 'type'"},
      {head + "[field x]\nat = 0\ntype = u12\n", 5, "type must be one of"},
      {head + "[field x]\nat = 0\ntype = u8\nbits = 3-8\n", 6, "bits must lie between 0 and 7"},
      {head + "[field x]\nat = 3\ntype = u16\n", 3, "ends past the decoder's longest"},
      {head + "[field x]\nat = 0\ntype = u8\nscale = 0\n", 6, "scale must not be 0"},
      {head + "[field x]\nat = 0\ntype = u8\nscale = 1e-3\n", 6, "decimal notation"},
      {head + "[field x]\nat = 0\ntype = u8\nmap = 0: a\nscale = 2\n", 3,
       "a field with a map has no scale"},
      {head + "[field x]\nat = 0\ntype = u8\nmap = 0: a, 0: b\n", 6, "given twice"},
      {head + "[field x]\nat = 0\ntype = u8\nmap = 0: \"a\"\n", 6, "without quotes"},
      {head + "[field x]\nat = 0\ntype = u8\nmap = 0: a\non = b\n", 3, "'on' must name one of"},
      {head + "[field x]\nat = 0\ntype = u8\nstate-class = average\n", 6, "state-class must be"},
      {head + "[field rssi]\n", 3, "a name the publication uses"},
      {head + "[field Temp]\n", 3, "a field needs a name"},
      {head + field + "[field x]\n", 6, "field x is defined twice"},
      {head + field + "[example]\npayload = 01\nhumidity = 4\n", 8, "no field 'humidity'"},
      {head + field + "[example]\npayload = 0x01\n", 7, "payload must be hex"},
      {head + field + "[example]\nuid = 3\n", 6, "the example has no payload"},
      {head + field + "oops\n", 6, "expected 'key = value'"},
      {head + "\x01\n", 3, "control character"},
      {head + std::string(300, '#') + "\n", 3, "longer than 256 bytes"},
      {"# nothing but a comment\n", 0, "no decoder in the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      parseDecoderFile(c.text, "d.conf");
      ADD_FAILURE() << "accepted";
    } catch (const FileError& e) {
      EXPECT_EQ(e.line, c.line) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

// A directory of decoder files, removed with the test.
struct DecoderDir : ::testing::Test {
  fs::path dir =
      fs::temp_directory_path() / ("ostrel-decoders-" + std::to_string(::getpid()) + "-" +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
  void SetUp() override { fs::create_directories(dir); }
  void TearDown() override { fs::remove_all(dir); }
  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name) << text;
  }
  static std::string decoder(const std::string& name, const std::string& match,
                             const std::string& examples = "") {
    return "[decoder " + name + "]\nlength = 2\nmatch = " + match +
           "\n[field level]\nat = 1\ntype = u8\nscale = 0.5\n" + examples;
  }
};

TEST_F(DecoderDir, AFileThatFailsIsRefusedAndTheOthersLoad) {
  write("a.conf", decoder("alpha", "0:01"));
  write("b.conf", "[decoder beta]\nlength = 2\n[field x]\nat = 5\ntype = u8\n");
  write("c.conf", decoder("alpha", "0:03"));  // a name an earlier file has
  write("d.conf", decoder("delta", "0:04"));
  write("notes.txt", "not a decoder");
  write(".hidden.conf", "not read either");
  ASSERT_EQ(::mkfifo((dir / "e.conf").c_str(), 0600), 0);  // must not hang the load

  auto report = loadDecoderDir(dir.string());
  EXPECT_TRUE(report.readable);
  EXPECT_EQ(report.files, 5u);
  ASSERT_EQ(report.set->decoders().size(), 2u);
  EXPECT_EQ(report.set->decoders()[0].name, "alpha");
  EXPECT_EQ(report.set->decoders()[1].name, "delta");
  EXPECT_EQ(report.refusals,
            (std::vector<std::string>{
                "b.conf: line 3: the field ends past the decoder's longest payload (2 bytes)",
                "c.conf: line 1: decoder alpha is already defined in a.conf",
                "e.conf: is not a regular file"}));

  auto gone = loadDecoderDir((dir / "missing").string());
  EXPECT_FALSE(gone.readable);
  EXPECT_TRUE(gone.set->empty());
}

TEST_F(DecoderDir, CheckRunsEveryExampleAndReportsEachFailureOnItsLine) {
  write("a.conf", decoder("alpha", "0:01",
                          "[example]\npayload = 01 14\nlevel = 10\n"     // right
                          "[example]\npayload = 01 14\nlevel = 11\n"     // wrong value
                          "[example]\npayload = 02 14\nmatches = no\n"   // right
                          "[example]\npayload = 02 14\nlevel = 10\n"));  // does not match
  // Takes everything alpha takes, but comes later: alpha's payloads never reach it.
  write("b.conf",
        "[decoder shadowed]\nlength = 2\n[field level]\nat = 1\ntype = u8\n"
        "[example]\npayload = 01 14\nlevel = 20\n");
  std::vector<std::string> out;
  EXPECT_EQ(checkDecoders(dir.string(), out), 1);
  EXPECT_EQ(out, (std::vector<std::string>{
                     "a.conf: line 13: decoder alpha: example: level is 10, expected 11",
                     "a.conf: line 17: decoder alpha: example: the payload 0214 (sender 0) does "
                     "not match",
                     "b.conf: line 6: decoder shadowed: example: decoder alpha (a.conf) takes this "
                     "payload first",
                     "2 decoders in 2 files, 5 examples: 3 failures"}));

  fs::remove(dir / "b.conf");
  write("a.conf", decoder("alpha", "0:01", "[example]\npayload = 01 15\nlevel = 10.5\n"));
  out.clear();
  EXPECT_EQ(checkDecoders(dir.string(), out), 0);
  EXPECT_EQ(checkDecoders((dir / "a.conf").string(), out), 0);  // one file alone
  EXPECT_EQ(checkDecoders((dir / "missing").string(), out), 2);
}

// Records what the parser tells the observer.
struct RecordingObserver : Observer {
  std::vector<std::pair<std::uint32_t, std::string>> decoded;  // "" for none
  void onDecoded(std::uint32_t uid, const std::shared_ptr<const DecoderInfo>& info) override {
    decoded.emplace_back(uid, info ? info->name : "");
  }
};

struct PublishCase {
  const char* what;
  bool publishRaw;
  const char* payload;
  std::vector<std::string> topics;
  const char* state;  // "" when none
};

TEST(DecodedPublication, StateBesideRawAndRawWheneverTheDecoderFallsShort) {
  auto set = std::make_shared<DecoderSet>(
      parseDecoderFile("[decoder th]\nlength = 3-5\nmatch = 0:02\n"
                       "[field temperature]\nat = 1\ntype = s16\nscale = 0.1\n"
                       "[field state]\nat = 3\ntype = u8\nmap = 0: idle, 1: busy\n",
                       "th.conf"));
  const PublishCase cases[] = {
      {"decoded, raw kept",
       true,
       "0200ea01",
       {"sensors/77/raw", "sensors/77/state"},
       R"({"ts": 1733660000123, "rssi": -62, "decoder": "th", "temperature": 23.4, "state": "busy"})"},
      {"decoded, raw off",
       false,
       "0200ea00",
       {"sensors/77/state"},
       R"({"ts": 1733660000123, "rssi": -62, "decoder": "th", "temperature": 23.4, "state": "idle"})"},
      {"a field short: raw too",
       false,
       "0200ea",
       {"sensors/77/raw", "sensors/77/state"},
       R"({"ts": 1733660000123, "rssi": -62, "decoder": "th", "temperature": 23.4})"},
      {"not in the map: raw too",
       false,
       "0200ea07",
       {"sensors/77/raw", "sensors/77/state"},
       R"({"ts": 1733660000123, "rssi": -62, "decoder": "th", "temperature": 23.4})"},
      {"no decoder: raw only", false, "0300ea01", {"sensors/77/raw"}, ""},
  };
  auto observer = std::make_shared<RecordingObserver>();
  installObserver(observer);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto parser = makeDefaultParser(ParserOptions{set, c.publishRaw});
    test::FakeMqttClient client;
    Bytes payload = fromHex(c.payload);
    MsgDecoder* decoder = parser->getParser(payload);
    ASSERT_NE(decoder, nullptr);
    ParsedMsg msg = decoder->parse(77, payload);
    EXPECT_EQ(parser->toString(msg), c.payload);
    decoder->getPublisher(client).publish(77, 1733660000123, msg, -62);
    std::vector<std::string> topics;
    for (const auto& p : client.publications) {
      topics.push_back(p.topic);
      EXPECT_EQ(p.qos, 1);
      EXPECT_FALSE(p.retain);
      if (p.topic.ends_with("/raw")) {  // exactly as without decoders
        EXPECT_EQ(p.payload, fmt::format(R"({{"uid": 77, "ts": 1733660000123, "rssi": -62, )"
                                         R"("payload": "{}"}})",
                                         c.payload));
      }
      if (p.topic.ends_with("/state")) {
        EXPECT_EQ(p.payload, c.state);
        EXPECT_TRUE(json::accept(p.payload));
      }
    }
    EXPECT_EQ(topics, c.topics);
    ASSERT_FALSE(observer->decoded.empty());
    EXPECT_EQ(observer->decoded.back(), (std::pair<std::uint32_t, std::string>{
                                            77, std::string(c.state).empty() ? "" : "th"}));
  }
  installObserver(nullptr);
}

TEST(DecodedPublication, FieldsWithoutAValueAreLoggedOnceAMinuteAtMost) {
  auto set = std::make_shared<DecoderSet>(
      parseDecoderFile("[decoder v]\nlength = 1-3\n[field tail]\nat = 1\ntype = u16\n", "v.conf"));
  auto parser = makeDefaultParser(ParserOptions{set, true});
  test::FakeMqttClient client;
  test::LogCapture logs;
  for (int i = 0; i < 50; ++i) {
    Bytes payload{0x01};
    ParsedMsg msg = parser->getParser(payload)->parse(5, payload);
    parser->getParser(payload)->getPublisher(client).publish(5, 0, msg, -1);
  }
  EXPECT_EQ(client.publications.size(), 100u);  // raw and state, every one
  EXPECT_EQ(logs.snapshot(),
            std::vector<std::string>{"Decoder v: 1 field(s) without a value in a reading of sensor "
                                     "5 (tail: bytes 1-2 lie past the end of the 1-byte payload)"});
}

}  // namespace
}  // namespace ostrel::decoders
