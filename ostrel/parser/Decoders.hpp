#pragma once
// Decoder files: sensor payloads decoded by rules read from files, without code.
//
// A file holds one or more decoders. "[decoder NAME]" starts one and carries its match rule (the
// payload's length, fixed bytes at offsets, optionally the sender UIDs it serves); the "[field
// NAME]" and "[example]" sections after it belong to it. A field is an integer read at a byte
// offset (u8/s8 to u32/s32, big or little endian, optionally a bit range), then either scaled and
// offset or looked up in a value map. Examples are payloads with the fields they must give.
//
// Everything is bounded before it costs anything (file size, line length, every count), read in
// one pass without recursion, and every read of a payload is checked against its length.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/base/Observer.hpp"

namespace ostrel::decoders {

constexpr std::size_t MAX_FILE_SIZE = 64 * 1024;
constexpr std::size_t MAX_LINE = 256;
constexpr std::size_t MAX_FILES = 256;     // decoder files read from a directory
constexpr std::size_t MAX_DECODERS = 256;  // in all the files of a directory
constexpr std::size_t MAX_FIELDS = 32;     // per decoder
constexpr std::size_t MAX_EXAMPLES = 16;   // per decoder
constexpr std::size_t MAX_MAP = 32;        // entries of a value map
constexpr std::size_t MAX_MATCH = 8;       // fixed-byte entries of a match rule
constexpr std::size_t MAX_UID_RANGES = 64;
constexpr std::size_t MAX_NAME = 32;  // decoder and field names
constexpr std::size_t MAX_TEXT = 32;  // units, classes, map texts
constexpr int MAX_DECIMALS = 6;

struct Field {
  std::string name;
  int line = 0;
  std::uint8_t offset = 0;  // byte offset of the value in the payload
  std::uint8_t bytes = 1;   // 1 to 4
  bool isSigned = false;
  bool little = false;
  std::uint8_t bitLow = 0, bitCount = 0;  // a bit range of the value; 0 bits: the whole value
  double scale = 1, add = 0;
  int decimals = 0;  // digits after the point in the published value
  // A value map, sorted by value: the field gives the text of the value. Empty: a number.
  std::vector<std::pair<std::int64_t, std::string>> map;
};

struct UidRange {
  std::uint32_t first, last;
};

struct Example {
  struct Expect {
    std::string field;
    std::string text;  // "-": the field gives no value
    int line = 0;
  };
  int line = 0;
  Bytes payload;
  std::optional<std::uint32_t> uid;  // default: the decoder's first UID, else 0
  bool matches = true;               // false: the decoder must not take this payload
  std::vector<Expect> expected;
};

struct Decoder {
  std::string name;
  std::string file;
  int line = 0;
  std::size_t minLength = 0, maxLength = 0;
  std::vector<std::pair<std::uint8_t, Bytes>> fixed;  // bytes at offsets
  std::vector<UidRange> uids;                         // empty: every sender
  std::vector<Field> fields;
  std::vector<Example> examples;
  std::shared_ptr<const DecoderInfo> info;  // what Home Assistant is told

  bool matches(std::uint32_t uid, ByteView payload) const;
};

// A field's value in a payload.
struct Value {
  enum Kind { Number, Text, PastEnd, Unmapped } kind = Number;
  double number = 0;  // Number; the raw value when Unmapped
  const std::string* text = nullptr;
};
Value readField(const Field& f, ByteView payload);
bool hasValue(const Value& v);
// `v` with at most `decimals` digits after the point and no trailing zeros ("23.5", "-4", "0").
void appendNumber(std::string& out, double v, int decimals);
// "byte 3 lies" or "bytes 3-4 lie": where a field is, for messages.
std::string byteRange(const Field& f);
// The value as the state publication writes it (a number, or a quoted text).
std::string valueText(const Field& f, const Value& v);

// Appends `, "name": value` for each field that has a value. Returns the fields that had none.
struct Missing {
  std::size_t count = 0;
  const Field* first = nullptr;
  Value firstValue;
};
Missing appendFields(std::string& json, const Decoder& d, ByteView payload);

// The decoders in use, in the order they are tried: files by name, decoders in file order.
class DecoderSet {
 public:
  DecoderSet() = default;
  explicit DecoderSet(std::vector<Decoder> decoders) : decoders_(std::move(decoders)) {}
  // The first decoder that takes this payload from this sender, or null.
  const Decoder* find(std::uint32_t uid, ByteView payload) const;
  const std::vector<Decoder>& decoders() const { return decoders_; }
  bool empty() const { return decoders_.empty(); }

 private:
  std::vector<Decoder> decoders_;
};

// A decoder file that cannot be used: the line (0 for the file as a whole) and the reason.
class FileError : public std::runtime_error {
 public:
  FileError(int line, const std::string& why) : std::runtime_error(why), line(line) {}
  int line;
};

// The decoders of one file's text; throws FileError at the first fault.
std::vector<Decoder> parseDecoderFile(std::string_view text, const std::string& fileName);
// Reads one file (a regular file of at most MAX_FILE_SIZE bytes) and parses it.
std::vector<Decoder> loadDecoderFile(const std::string& path);

struct LoadReport {
  std::shared_ptr<const DecoderSet> set;  // never null
  // One line per file refused (name, line, reason), or for a directory that cannot be read.
  std::vector<std::string> refusals;
  std::size_t files = 0;  // decoder files found ("*.conf", not hidden)
  bool readable = true;   // false: the directory itself could not be read
};
// The decoder files of `dir` in name order; each file loads whole or not at all, and a file
// that fails leaves the others alone. A decoder name used by an earlier file refuses the file.
LoadReport loadDecoderDir(const std::string& dir);

// Runs the examples of `d` against `set` (which holds it): one line per failure.
std::vector<std::string> checkExamples(const Decoder& d, const DecoderSet& set);

// --check-decoders: every file of a directory (or the one file named) and every example. One line
// per failure on `out`, then a summary. Returns 0 when all passed, 1 when something failed, 2
// when the path cannot be read.
int checkDecoders(const std::string& path, std::vector<std::string>& out);

}  // namespace ostrel::decoders
