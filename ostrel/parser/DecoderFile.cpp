// Reading one decoder file: an INI-like text, line by line, every value checked where it stands
// so that a fault is reported with its line.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "ostrel/parser/DecoderText.hpp"
#include "ostrel/parser/Decoders.hpp"

namespace ostrel::decoders {

namespace {

constexpr std::string_view kReserved[] = {"ts", "rssi", "decoder", "uid", "payload", "last_seen"};
constexpr double kMaxMagnitude = 1e9;

struct FieldDraft {
  Field f;
  DecodedField ha;
  bool at = false, type = false, scaled = false, decimals = false;
  int textDecimals = 0;
  std::string bits;
  int bitsLine = 0;
};

class FileParser {
 public:
  explicit FileParser(std::string fileName) : file_(std::move(fileName)) {}

  std::vector<Decoder> run(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      ++line_;
      std::size_t nl = text.find('\n', pos);
      std::string_view l =
          text.substr(pos, nl == std::string_view::npos ? text.size() - pos : nl - pos);
      pos = nl == std::string_view::npos ? text.size() : nl + 1;
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      if (l.size() > MAX_LINE) fail(fmt::format("the line is longer than {} bytes", MAX_LINE));
      if (!cleanText(l)) fail("the line holds a control character or is not UTF-8");
      take(l);
    }
    endDecoder();
    if (out_.empty()) throw FileError(0, "no decoder in the file");
    return std::move(out_);
  }

 private:
  enum class Section { None, Decoder, Field, Example };

  [[noreturn]] void fail(const std::string& why, int at = 0) const {
    throw FileError(at ? at : line_, why);
  }

  void take(std::string_view l) {
    l = trim(l);
    if (l.empty() || l[0] == '#' || l[0] == ';') return;
    // A comment after a value starts with a blank and '#'.
    for (std::size_t i = 1; i < l.size(); ++i)
      if (l[i] == '#' && (l[i - 1] == ' ' || l[i - 1] == '\t')) {
        l = trim(l.substr(0, i));
        break;
      }
    if (l[0] == '[') {
      if (l.back() != ']') fail("a section header must end with ']'");
      header(trim(l.substr(1, l.size() - 2)));
      return;
    }
    auto eq = l.find('=');
    if (eq == std::string_view::npos) fail("expected 'key = value' or a [section]");
    std::string key(trim(l.substr(0, eq)));
    std::string_view value = trim(l.substr(eq + 1));
    if (section_ == Section::None) fail("a key before the first [decoder NAME] section");
    if (!keys_.insert(key).second)
      fail(fmt::format("key '{}' is given twice in this section", key));
    if (value.empty()) fail(fmt::format("key '{}' has no value", key));
    if (section_ == Section::Decoder)
      decoderKey(key, value);
    else if (section_ == Section::Field)
      fieldKey(key, value);
    else
      exampleKey(key, value);
  }

  void header(std::string_view inner) {
    endSection();
    keys_.clear();
    auto sp = inner.find_first_of(" \t");
    std::string_view kind = inner.substr(0, sp);
    std::string_view name = sp == std::string_view::npos ? "" : trim(inner.substr(sp));
    if (kind == "decoder") {
      endDecoder();
      if (!nameChars(name, false))
        fail(
            fmt::format("a decoder needs a name of 1 to {} letters, digits, '-' or '_'", MAX_NAME));
      for (const auto& d : out_)
        if (d.name == name) fail(fmt::format("decoder {} is defined twice", name));
      if (out_.size() >= MAX_DECODERS) fail(fmt::format("more than {} decoders", MAX_DECODERS));
      cur_ = Decoder{};
      cur_->name = name;
      cur_->file = file_;
      cur_->line = line_;
      section_ = Section::Decoder;
      return;
    }
    if (!cur_) fail("a section before the first [decoder NAME] section");
    if (kind == "field") {
      if (!nameChars(name, true))
        fail(
            fmt::format("a field needs a name of 1 to {} lower-case letters, digits or '_', "
                        "starting with a letter",
                        MAX_NAME));
      if (std::find(std::begin(kReserved), std::end(kReserved), name) != std::end(kReserved))
        fail(fmt::format("'{}' is a name the publication uses itself", name));
      for (const auto& f : cur_->fields)
        if (f.name == name) fail(fmt::format("field {} is defined twice", name));
      if (cur_->fields.size() >= MAX_FIELDS) fail(fmt::format("more than {} fields", MAX_FIELDS));
      field_ = FieldDraft{};
      field_.f.name = name;
      field_.f.line = line_;
      field_.ha.name = name;
      section_ = Section::Field;
    } else if (kind == "example" && name.empty()) {
      if (cur_->examples.size() >= MAX_EXAMPLES)
        fail(fmt::format("more than {} examples", MAX_EXAMPLES));
      example_ = Example{};
      example_.line = line_;
      section_ = Section::Example;
    } else {
      fail("unknown section: expected [decoder NAME], [field NAME] or [example]");
    }
  }

  long long integer(std::string_view v, long long min, long long max, const char* what) const {
    long long n = 0;
    try {
      n = parseInteger(v);
    } catch (const std::invalid_argument&) {
      fail(fmt::format("{} is not an integer: '{}'", what, v));
    }
    if (n < min || n > max) fail(fmt::format("{} must lie between {} and {}", what, min, max));
    return n;
  }

  // "N" or "A-B" (A <= B).
  std::pair<long long, long long> range(std::string_view v, long long min, long long max,
                                        const char* what) const {
    auto dash = v.find('-', 1);
    if (dash == std::string_view::npos) {
      long long n = integer(v, min, max, what);
      return {n, n};
    }
    long long a = integer(trim(v.substr(0, dash)), min, max, what);
    long long b = integer(trim(v.substr(dash + 1)), min, max, what);
    if (a > b) fail(fmt::format("{}: {} is greater than {}", what, a, b));
    return {a, b};
  }

  void decoderKey(const std::string& key, std::string_view v) {
    if (key == "length") {
      auto [a, b] = range(v, 1, 255, "length");
      cur_->minLength = std::size_t(a);
      cur_->maxLength = std::size_t(b);
    } else if (key == "match") {
      for (auto w : words(v)) {
        auto colon = w.find(':');
        if (colon == std::string_view::npos) fail("match entries are OFFSET:HEX, e.g. 0:01");
        auto at = integer(w.substr(0, colon), 0, 254, "a match offset");
        Bytes bytes;
        try {
          bytes = fromHex(w.substr(colon + 1));
        } catch (const std::invalid_argument&) {
          fail(fmt::format("match bytes are not hex: '{}'", w.substr(colon + 1)));
        }
        if (bytes.empty() || bytes.size() > 16) fail("match bytes: 1 to 16 bytes an entry");
        if (cur_->fixed.size() >= MAX_MATCH)
          fail(fmt::format("more than {} match entries", MAX_MATCH));
        cur_->fixed.emplace_back(std::uint8_t(at), std::move(bytes));
      }
    } else if (key == "uids") {
      for (auto w : words(v)) {
        auto [a, b] = range(w, 0, 0xFFFFFFFFLL, "a sender UID");
        if (cur_->uids.size() >= MAX_UID_RANGES)
          fail(fmt::format("more than {} UID entries", MAX_UID_RANGES));
        cur_->uids.push_back({std::uint32_t(a), std::uint32_t(b)});
      }
    } else {
      fail(fmt::format("unknown key '{}' in [decoder]: expected length, match or uids", key));
    }
  }

  // A decimal number; `decimals` gets its digits after the point.
  double number(std::string_view v, const char* what, int& decimals) const {
    if (v.find_first_of("eEnNiI") != std::string_view::npos)
      fail(fmt::format("{} must be written in decimal notation: '{}'", what, v));
    double d = 0;
    try {
      d = parseDouble(v);
    } catch (const std::invalid_argument&) {
      fail(fmt::format("{} is not a number: '{}'", what, v));
    }
    if (!(std::fabs(d) <= kMaxMagnitude)) fail(fmt::format("{} is larger than 1e9", what));
    auto dot = v.find('.');
    decimals = dot == std::string_view::npos ? 0 : int(v.size() - dot - 1);
    return d;
  }

  std::string text(std::string_view v, const char* what) const {
    const std::size_t max = MAX_TEXT;
    // Texts go into JSON and Home Assistant's templates as they are: nothing there to escape.
    if (v.size() > max || v.find_first_of("\"'\\,:{}%") != std::string_view::npos)
      fail(fmt::format(
          "{} must be 1 to {} bytes without quotes, backslashes, braces or any of , : %", what,
          max));
    return std::string(v);
  }

  void fieldKey(const std::string& key, std::string_view v) {
    Field& f = field_.f;
    int dec = 0;
    if (key == "at") {
      f.offset = std::uint8_t(integer(v, 0, 254, "at (the byte offset)"));
      field_.at = true;
    } else if (key == "type") {
      static constexpr std::string_view types[] = {"u8",  "s8",  "u16", "s16",
                                                   "u24", "s24", "u32", "s32"};
      auto it = std::find(std::begin(types), std::end(types), v);
      if (it == std::end(types)) fail("type must be one of u8 s8 u16 s16 u24 s24 u32 s32");
      auto i = std::size_t(it - std::begin(types));
      f.bytes = std::uint8_t(i / 2 + 1);
      f.isSigned = i % 2 == 1;
      field_.type = true;
    } else if (key == "endian") {
      if (v != "big" && v != "little") fail("endian must be big or little");
      f.little = v == "little";
    } else if (key == "bits") {
      field_.bits = std::string(v);
      field_.bitsLine = line_;
    } else if (key == "scale") {
      f.scale = number(v, "scale", dec);
      if (f.scale == 0) fail("scale must not be 0");
      field_.textDecimals = std::max(field_.textDecimals, dec);
      field_.scaled = true;
    } else if (key == "offset") {
      f.add = number(v, "offset", dec);
      field_.textDecimals = std::max(field_.textDecimals, dec);
      field_.scaled = true;
    } else if (key == "decimals") {
      f.decimals = int(integer(v, 0, MAX_DECIMALS, "decimals"));
      field_.decimals = true;
    } else if (key == "map") {
      mapKey(v);
    } else if (key == "unit") {
      // Only Home Assistant's configuration carries it, escaped there: any short text ("%").
      if (v.size() > 16) fail("unit must be at most 16 bytes");
      field_.ha.unit = std::string(v);
    } else if (key == "device-class" || key == "state-class") {
      if (v.size() > MAX_TEXT || !std::all_of(v.begin(), v.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || c == '_';
          }))
        fail(fmt::format("{} must be lower-case letters and '_'", key));
      if (key == "state-class" && v != "measurement" && v != "total" && v != "total_increasing")
        fail("state-class must be measurement, total or total_increasing");
      (key == "device-class" ? field_.ha.deviceClass : field_.ha.stateClass) = std::string(v);
    } else if (key == "on") {
      field_.ha.onText = text(v, "on");
    } else {
      fail(
          fmt::format("unknown key '{}' in [field]: expected at, type, endian, bits, scale, "
                      "offset, decimals, map, unit, device-class, state-class or on",
                      key));
    }
  }

  void mapKey(std::string_view v) {
    auto& map = field_.f.map;
    std::size_t pos = 0;
    while (pos <= v.size()) {
      auto comma = v.find(',', pos);
      std::string_view entry =
          trim(v.substr(pos, comma == std::string_view::npos ? v.npos : comma - pos));
      pos = comma == std::string_view::npos ? v.size() + 1 : comma + 1;
      auto colon = entry.find(':');
      if (colon == std::string_view::npos) fail("map entries are VALUE: TEXT, separated by ','");
      auto value =
          integer(trim(entry.substr(0, colon)), -2147483648LL, 4294967295LL, "a map value");
      std::string t = text(trim(entry.substr(colon + 1)), "a map text");
      if (t.empty()) fail("a map entry has no text");
      if (map.size() >= MAX_MAP) fail(fmt::format("more than {} map entries", MAX_MAP));
      for (const auto& [x, _] : map)
        if (x == value) fail(fmt::format("map value {} is given twice", value));
      map.emplace_back(value, std::move(t));
      if (std::find(field_.ha.texts.begin(), field_.ha.texts.end(), map.back().second) ==
          field_.ha.texts.end())
        field_.ha.texts.push_back(map.back().second);
    }
    std::sort(map.begin(), map.end());
  }

  void exampleKey(const std::string& key, std::string_view v) {
    if (key == "payload") {
      try {
        example_.payload = fromHex(v);
      } catch (const std::invalid_argument&) {
        fail("payload must be hex, two digits a byte (blanks between bytes allowed)");
      }
      if (example_.payload.empty() || example_.payload.size() > 255)
        fail("payload must hold 1 to 255 bytes");
    } else if (key == "uid") {
      example_.uid = std::uint32_t(integer(v, 0, 0xFFFFFFFFLL, "uid"));
    } else if (key == "matches") {
      if (v != "yes" && v != "no") fail("matches must be yes or no");
      example_.matches = v == "yes";
    } else {
      example_.expected.push_back({key, std::string(v), line_});
    }
  }

  void endSection() {
    if (section_ == Section::Field) endField();
    if (section_ == Section::Example) {
      if (example_.payload.empty()) fail("the example has no payload", example_.line);
      cur_->examples.push_back(std::move(example_));
    }
    if (section_ == Section::Decoder && cur_->maxLength == 0)
      fail("the decoder has no length", cur_->line);
    section_ = cur_ ? Section::Decoder : Section::None;
  }

  void endField() {
    Field& f = field_.f;
    int at = f.line;
    if (!field_.at || !field_.type) fail("a field needs 'at' and 'type'", at);
    if (!field_.bits.empty()) {
      auto saved = line_;
      line_ = field_.bitsLine;
      auto [lo, hi] = range(field_.bits, 0, f.bytes * 8 - 1, "bits");
      line_ = saved;
      f.bitLow = std::uint8_t(lo);
      f.bitCount = std::uint8_t(hi - lo + 1);
    }
    if (!f.map.empty()) {
      if (field_.scaled || field_.decimals)
        fail("a field with a map has no scale, offset or decimals", at);
      if (!field_.ha.unit.empty() || !field_.ha.stateClass.empty())
        fail("a field with a map (a text) has no unit or state-class", at);
    }
    if (!field_.ha.onText.empty() && std::find(field_.ha.texts.begin(), field_.ha.texts.end(),
                                               field_.ha.onText) == field_.ha.texts.end())
      fail("'on' must name one of the field's map texts", at);
    if (!field_.decimals) f.decimals = std::min(field_.textDecimals, MAX_DECIMALS);
    if (std::size_t(f.offset) + f.bytes > cur_->maxLength)
      fail(fmt::format("the field ends past the decoder's longest payload ({} bytes)",
                       cur_->maxLength),
           at);
    cur_->fields.push_back(std::move(f));
    haFields_.push_back(std::move(field_.ha));
  }

  void endDecoder() {
    endSection();
    if (!cur_) return;
    Decoder& d = *cur_;
    if (d.fields.empty()) fail("the decoder has no field", d.line);
    for (const auto& [at, bytes] : d.fixed)
      if (at + bytes.size() > d.maxLength)
        fail("a match entry ends past the decoder's longest payload", d.line);
    for (const auto& ex : d.examples)
      for (const auto& e : ex.expected)
        if (std::none_of(d.fields.begin(), d.fields.end(),
                         [&](const Field& f) { return f.name == e.field; }))
          fail(fmt::format("the decoder has no field '{}'", e.field), e.line);
    auto info = std::make_shared<DecoderInfo>();
    info->name = d.name;
    info->fields = std::move(haFields_);
    haFields_.clear();
    d.info = std::move(info);
    out_.push_back(std::move(d));
    cur_.reset();
    section_ = Section::None;
  }

  std::string file_;
  int line_ = 0;
  Section section_ = Section::None;
  std::set<std::string> keys_;
  std::optional<Decoder> cur_;
  FieldDraft field_;
  Example example_;
  std::vector<DecodedField> haFields_;
  std::vector<Decoder> out_;
};

}  // namespace

std::vector<Decoder> parseDecoderFile(std::string_view text, const std::string& fileName) {
  return FileParser(fileName).run(text);
}

}  // namespace ostrel::decoders
