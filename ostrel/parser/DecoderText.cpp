#include "ostrel/parser/DecoderText.hpp"

#include <algorithm>

#include "ostrel/parser/Decoders.hpp"

namespace ostrel::decoders {

std::string_view trim(std::string_view s) {
  auto b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool cleanText(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
      ++i;
      continue;
    }
    std::size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
    if (n == 0 || (n == 3 && c > 0xef) || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xc0) != 0x80) return false;
    auto c1 = static_cast<unsigned char>(s[i + 1]);
    if ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 > 0x9f) || (c == 0xf0 && c1 < 0x90) ||
        (c == 0xf4 && c1 > 0x8f))
      return false;  // overlong forms, surrogates, beyond U+10FFFF
    i += n;
  }
  return true;
}

bool nameChars(std::string_view s, bool field) {
  if (s.empty() || s.size() > MAX_NAME) return false;
  if (field && !(s[0] >= 'a' && s[0] <= 'z')) return false;
  return std::all_of(s.begin(), s.end(), [field](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           (!field && ((c >= 'A' && c <= 'Z') || c == '-'));
  });
}

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
    std::size_t b = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != ',') ++i;
    if (i > b) out.push_back(s.substr(b, i - b));
  }
  return out;
}

}  // namespace ostrel::decoders
