#pragma once
// The text forms of decoder files: lines, names and lists, as the file parser reads them.
#include <string_view>
#include <vector>

namespace ostrel::decoders {

std::string_view trim(std::string_view s);
// Well-formed UTF-8 without control characters (a tab is allowed).
bool cleanText(std::string_view s);
// A decoder name (letters, digits, '-', '_') or a field name (lower-case letters, digits, '_',
// starting with a letter), 1 to MAX_NAME bytes.
bool nameChars(std::string_view s, bool field);
// Entries of a list: separated by commas or blanks.
std::vector<std::string_view> words(std::string_view s);

}  // namespace ostrel::decoders
