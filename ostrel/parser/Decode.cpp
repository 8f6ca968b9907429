// Decoding a payload with a decoder: matching, reading fields, the values as the state shows them,
// and the examples a decoder carries.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "ostrel/parser/Decoders.hpp"

namespace ostrel::decoders {

bool Decoder::matches(std::uint32_t uid, ByteView payload) const {
  if (payload.size() < minLength || payload.size() > maxLength) return false;
  for (const auto& [at, bytes] : fixed)
    if (at + bytes.size() > payload.size() ||
        !std::equal(bytes.begin(), bytes.end(), payload.begin() + at))
      return false;
  if (uids.empty()) return true;
  return std::any_of(uids.begin(), uids.end(),
                     [uid](const UidRange& r) { return uid >= r.first && uid <= r.last; });
}

const Decoder* DecoderSet::find(std::uint32_t uid, ByteView payload) const {
  for (const auto& d : decoders_)
    if (d.matches(uid, payload)) return &d;
  return nullptr;
}

Value readField(const Field& f, ByteView payload) {
  Value v;
  if (std::size_t(f.offset) + f.bytes > payload.size()) {
    v.kind = Value::PastEnd;
    return v;
  }
  std::uint32_t raw = 0;
  for (std::size_t i = 0; i < f.bytes; ++i) {
    std::size_t at = f.little ? f.offset + f.bytes - 1 - i : f.offset + i;
    raw = raw << 8 | payload[at];
  }
  unsigned width = f.bytes * 8u;
  if (f.bitCount > 0) {
    raw >>= f.bitLow;
    width = f.bitCount;
  }
  if (width < 32) raw &= (1u << width) - 1;
  std::int64_t value = raw;
  if (f.isSigned && width > 0 && (raw >> (width - 1)) & 1u)
    value -= std::int64_t(1) << width;  // two's complement of `width` bits
  if (f.map.empty()) {
    v.number = double(value) * f.scale + f.add;
    return v;
  }
  auto it = std::lower_bound(f.map.begin(), f.map.end(), value,
                             [](const auto& e, std::int64_t x) { return e.first < x; });
  if (it == f.map.end() || it->first != value) {
    v.kind = Value::Unmapped;
    v.number = double(value);
    return v;
  }
  v.kind = Value::Text;
  v.text = &it->second;
  return v;
}

bool hasValue(const Value& v) {
  return v.kind == Value::Number || v.kind == Value::Text;
}

void appendNumber(std::string& out, double v, int decimals) {
  char buf[64];
  auto end = fmt::format_to_n(buf, sizeof buf, "{:.{}f}", v, decimals).out;
  std::string_view s(buf, std::size_t(end - buf));
  if (s.find('.') != std::string_view::npos) {
    while (s.back() == '0') s.remove_suffix(1);
    if (s.back() == '.') s.remove_suffix(1);
  }
  if (s == "-0") s = "0";
  out.append(s);
}

std::string valueText(const Field& f, const Value& v) {
  std::string out;
  if (v.kind == Value::Text) {
    out = '"' + *v.text + '"';
  } else if (v.kind == Value::Number) {
    appendNumber(out, v.number, f.decimals);
  }
  return out;
}

Missing appendFields(std::string& json, const Decoder& d, ByteView payload) {
  Missing missing;
  for (const auto& f : d.fields) {
    Value v = readField(f, payload);
    if (!hasValue(v)) {
      if (missing.count++ == 0) {
        missing.first = &f;
        missing.firstValue = v;
      }
      continue;
    }
    // Names and texts were checked when the file was read: nothing here needs escaping.
    json += ", \"";
    json += f.name;
    json += "\": ";
    if (v.kind == Value::Text) {
      json += '"';
      json += *v.text;
      json += '"';
    } else {
      appendNumber(json, v.number, f.decimals);
    }
  }
  return missing;
}

std::string byteRange(const Field& f) {
  return f.bytes == 1 ? fmt::format("byte {} lies", f.offset)
                      : fmt::format("bytes {}-{} lie", f.offset, f.offset + f.bytes - 1);
}

namespace {

std::string where(const Decoder& d, int line) {
  return fmt::format("{}: line {}: decoder {}", d.file, line, d.name);
}

// Equal as the state shows them: numbers by value (as printed), texts exactly.
bool sameValue(const Field& f, const Value& got, const std::string& expected) {
  if (expected == "-") return !hasValue(got);
  if (got.kind == Value::Text) return *got.text == expected;
  if (got.kind != Value::Number) return false;
  std::string printed;
  appendNumber(printed, got.number, f.decimals);
  try {
    double a = parseDouble(printed), b = parseDouble(expected);
    return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(a));
  } catch (const std::invalid_argument&) {
    return false;
  }
}

std::string describe(const Field& f, const Value& v, std::size_t size) {
  switch (v.kind) {
    case Value::PastEnd:
      return fmt::format("no value ({} past the end of {} bytes)", byteRange(f), size);
    case Value::Unmapped:
      return fmt::format("no value ({} is not in its map)", v.number);
    default:
      return valueText(f, v);
  }
}

}  // namespace

std::vector<std::string> checkExamples(const Decoder& d, const DecoderSet& set) {
  std::vector<std::string> failures;
  for (const auto& ex : d.examples) {
    std::uint32_t uid = ex.uid.value_or(d.uids.empty() ? 0 : d.uids.front().first);
    bool matched = d.matches(uid, ex.payload);
    if (matched != ex.matches) {
      failures.push_back(fmt::format("{}: example: the payload {} (sender {}) {}",
                                     where(d, ex.line), hexString(ex.payload), uid,
                                     ex.matches ? "does not match" : "matches"));
      continue;
    }
    if (!matched) continue;
    const Decoder* first = set.find(uid, ex.payload);
    if (first && first != &d)
      failures.push_back(fmt::format("{}: example: decoder {} ({}) takes this payload first",
                                     where(d, ex.line), first->name, first->file));
    for (const auto& e : ex.expected) {
      auto f = std::find_if(d.fields.begin(), d.fields.end(),
                            [&](const Field& x) { return x.name == e.field; });
      Value got = readField(*f, ex.payload);
      if (!sameValue(*f, got, e.text))
        failures.push_back(fmt::format("{}: example: {} is {}, expected {}", where(d, e.line),
                                       e.field, describe(*f, got, ex.payload.size()), e.text));
    }
  }
  return failures;
}

}  // namespace ostrel::decoders
