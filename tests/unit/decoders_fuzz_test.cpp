// Random decoder files and payloads, a bounded number from fixed seeds (so a failure repeats):
// the parser refuses or accepts every file without crashing (the sanitizer build runs this too),
// what it accepts keeps its bounds, and every decoded state is valid JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "ostrel/parser/Decoders.hpp"

namespace ostrel::decoders {
namespace {

class FileMaker {
 public:
  explicit FileMaker(std::uint32_t seed) : rng_(seed) {}

  // A file of one to three decoders built by the rules, then damaged at a few places: lines
  // replaced by random ones, dropped or repeated, a byte overwritten.
  std::string file() {
    std::vector<std::string> lines;
    for (int d = pick(1, 3); d > 0; --d) {
      int length = pick(1, 12);
      lines.push_back("[decoder d" + std::to_string(d) + "]");
      lines.push_back(pick(0, 1) ? "length = " + std::to_string(length)
                                 : "length = 1-" + std::to_string(length));
      if (pick(0, 2) == 0) lines.push_back("match = 0:" + hex(1));
      if (pick(0, 3) == 0) lines.push_back("uids = " + num(0, 5) + "-" + num(5, 9));
      int fields = pick(1, 4);
      for (int f = 0; f < fields; ++f) {
        static const char* const sizes[] = {"8", "16", "24", "32"};
        int bytes = pick(1, std::min(4, length));
        lines.push_back("[field f" + std::to_string(f) + "]");
        lines.push_back("at = " + num(0, length - bytes));
        lines.push_back(std::string("type = ") + (pick(0, 1) ? "u" : "s") + sizes[bytes - 1]);
        switch (pick(0, 4)) {
          case 0:
            lines.push_back("scale = 0." + num(1, 99));
            lines.push_back("offset = " + num(-50, 50));
            break;
          case 1:
            lines.push_back("bits = " + num(0, 3) + "-" + num(4, 7));
            break;
          case 2:
            lines.push_back("map = 0: off, 1: on, -1: low");
            if (pick(0, 1)) lines.push_back("on = on");
            break;
          case 3:
            lines.push_back("endian = little");
            break;
          default:
            break;
        }
      }
      for (int e = pick(0, 2); e > 0; --e) {
        lines.push_back("[example]");
        lines.push_back("payload = " + hex(pick(1, length)));
        if (pick(0, 1)) lines.push_back("f" + num(0, fields - 1) + " = " + num(-100, 100));
      }
    }
    for (int m = pick(0, 3); m > 0 && !lines.empty(); --m) {
      auto at = std::size_t(pick(0, int(lines.size()) - 1));
      switch (pick(0, 2)) {
        case 0:
          lines[at] = line();
          break;
        case 1:
          lines.erase(lines.begin() + std::ptrdiff_t(at));
          break;
        default:
          lines.insert(lines.begin() + std::ptrdiff_t(at), lines[at]);
      }
    }
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    // Now and then a damaged byte: a control character, a NUL, a stray UTF-8 byte.
    if (pick(0, 9) == 0) text[std::size_t(pick(0, int(text.size()) - 1))] = char(pick(0, 255));
    return text;
  }

  Bytes payload() {
    Bytes b(std::size_t(pick(0, 24)));
    for (auto& x : b) x = std::uint8_t(pick(0, 255));
    return b;
  }

  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

 private:
  template <std::size_t N>
  const char* any(const char* const (&pool)[N]) {
    return pool[std::size_t(pick(0, int(N) - 1))];
  }
  std::string num(int lo, int hi) { return std::to_string(pick(lo, hi)); }
  std::string hex(int n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 2 * n; ++i) s += digits[pick(0, 15)];
    return s;
  }

  std::string line() {
    static const char* const types[] = {"u8", "s8", "u16", "s16", "u24", "s24", "u32", "s32", "x"};
    static const char* const names[] = {"temperature", "door", "a", "b_2", "rssi", "X", ""};
    static const char* const texts[] = {"open", "closed", "é", "a b", "", "q\"", "%"};
    switch (pick(0, 22)) {
      case 0:
        return "[decoder d" + num(0, 3) + "]";
      case 1:
        return std::string("[field ") + any(names) + "]";
      case 2:
        return "[example]";
      case 3:
        return pick(0, 1) ? "length = " + num(0, 12) : "length = " + num(0, 6) + "-" + num(0, 40);
      case 4:
        return "match = " + num(0, 10) + ":" + hex(pick(0, 3)) + " " + num(0, 40) + ":" + hex(1);
      case 5:
        return "uids = " + num(0, 9) + " " + num(0, 5) + "-" + num(0, 9);
      case 6:
        return "at = " + num(-1, 30);
      case 7:
        return std::string("type = ") + any(types);
      case 8:
        return pick(0, 1) ? "endian = little" : "endian = middle";
      case 9:
        return "bits = " + num(0, 33) + (pick(0, 1) ? "-" + num(0, 33) : "");
      case 10:
        return "scale = " + std::string(pick(0, 1) ? "-" : "") + num(0, 3) + "." + num(0, 999);
      case 11:
        return "offset = " + num(-1000, 1000) + (pick(0, 1) ? ".5" : "");
      case 12:
        return "decimals = " + num(-1, 8);
      case 13:
        return "map = " + num(-2, 3) + ": " + any(texts) + ", " + num(-2, 3) + ": " + any(texts);
      case 14:
        return std::string("on = ") + any(texts);
      case 15:
        return pick(0, 1) ? "unit = °C" : "device-class = temperature";
      case 16:
        return pick(0, 1) ? "state-class = measurement" : "state-class = sometimes";
      case 17:
        return "payload = " + hex(pick(0, 12));
      case 18:
        return std::string(any(names)) + " = " + (pick(0, 1) ? num(-300, 300) : any(texts));
      case 19:
        return pick(0, 1) ? "matches = no" : "uid = " + num(0, 9);
      case 20:
        return "# a comment";
      case 21:
        return std::string(std::size_t(pick(200, 300)), 'z');
      default:
        return "garbage without an equals sign";
    }
  }

  std::mt19937 rng_;
};

TEST(DecoderFuzz, RandomFilesAndPayloadsNeverBreakTheParserOrTheState) {
  constexpr int kFiles = 3000;
  constexpr int kPayloads = 32;
  std::size_t accepted = 0, refused = 0, decoded = 0;
  for (int i = 0; i < kFiles; ++i) {
    FileMaker maker{std::uint32_t(i)};
    std::string text = maker.file();
    std::vector<Decoder> ds;
    try {
      ds = parseDecoderFile(text, "fuzz.conf");
    } catch (const FileError& e) {
      ++refused;
      ASSERT_GE(e.line, 0) << text;
      continue;
    }
    ++accepted;
    for (const auto& d : ds) {
      ASSERT_LE(d.minLength, d.maxLength) << text;
      ASSERT_LE(d.maxLength, 255u) << text;
      ASSERT_FALSE(d.fields.empty()) << text;
      for (const auto& f : d.fields) ASSERT_LE(f.offset + f.bytes, d.maxLength) << text;
    }
    DecoderSet set(std::move(ds));
    for (const auto& d : set.decoders()) (void)checkExamples(d, set);
    for (int k = 0; k < kPayloads; ++k) {
      Bytes payload = maker.payload();
      std::uint32_t uid = std::uint32_t(maker.pick(0, 9));
      const Decoder* d = set.find(uid, payload);
      if (!d) continue;
      ++decoded;
      std::string state = R"({"decoder": ")" + d->name + '"';
      appendFields(state, *d, payload);
      state += '}';
      ASSERT_TRUE(nlohmann::json::accept(state)) << state << "\n" << text;
    }
  }
  // The maker must reach both sides, and the decoding behind them.
  EXPECT_GT(accepted, 50u);
  EXPECT_GT(refused, 50u);
  EXPECT_GT(decoded, 100u);
}

}  // namespace
}  // namespace ostrel::decoders
