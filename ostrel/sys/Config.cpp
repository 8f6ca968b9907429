#include "ostrel/sys/Config.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "ostrel/base/Bytes.hpp"

namespace ostrel {

std::string Config::lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

Config Config::load(const std::string& path) {
  auto unreadable = [&](int err) {
    return ConfigError(
        fmt::format("configuration file {} cannot be read: {}", path, std::strerror(err)));
  };
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw unreadable(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw unreadable(errno);
  if (!S_ISREG(st.st_mode))
    throw ConfigError(fmt::format("configuration file {} is not a regular file", path));
  // Read to the end or not at all: a read error half-way must not leave the keys after it unset.
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw unreadable(errno);
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > MAX_FILE_SIZE)
      throw ConfigError(
          fmt::format("configuration file {} is larger than {} bytes", path, MAX_FILE_SIZE));
  }
  return fromString(text, path);
}

Config Config::fromString(const std::string& text, const std::string& name) {
  // inih stops at a NUL byte and truncates long lines, both in silence: everything after would be
  // lost (a "tls = yes" among it). Refuse such a file instead, naming the line.
  int lineNo = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] == '\0')
      throw ConfigError(
          fmt::format("configuration file {}: line {} holds a NUL byte", name, lineNo));
    if (i == text.size() || text[i] == '\n') {
      if (i - lineStart >= 199)
        throw ConfigError(fmt::format("configuration file {}: line {} is too long", name, lineNo));
      ++lineNo;
      lineStart = i + 1;
    }
  }
  Config c;
  c.path_ = name;
  // Read line by line through our own reader, which counts the lines (the handler is called for
  // the line read last) and notes the section headers, also those without keys.
  struct Reader {
    Config& cfg;
    std::string_view rest;
    int line = 0;
    bool indented = false;  // the line read last starts with a blank
  } reader{c, text};
  auto readLine = [](char* str, int num, void* stream) -> char* {
    auto& r = *static_cast<Reader*>(stream);
    if (r.rest.empty()) return nullptr;
    auto end = r.rest.find('\n');
    std::size_t n = end == std::string_view::npos ? r.rest.size() : end + 1;
    n = std::min<std::size_t>(n, static_cast<std::size_t>(num - 1));  // lines are checked above
    std::string_view l = r.rest.substr(0, n);
    r.rest.remove_prefix(n);
    std::copy(l.begin(), l.end(), str);
    str[n] = '\0';
    ++r.line;
    r.indented = !l.empty() && (l.front() == ' ' || l.front() == '\t');
    if (r.line == 1 && l.starts_with("\xEF\xBB\xBF")) l.remove_prefix(3);
    auto start = l.find_first_not_of(" \t");
    if (start != std::string_view::npos && l[start] == '[') {
      auto close = l.find(']', start);
      if (close != std::string_view::npos)
        r.cfg.places_.push_back({std::string(l.substr(start + 1, close - start - 1)), "", r.line});
    }
    return str;
  };
  auto handler = [](void* user, const char* section, const char* key, const char* value) -> int {
    auto& r = *static_cast<Reader*>(user);
    if (key == nullptr) return 1;  // a section without keys
    r.cfg.values_[lower(section)][lower(key)] = value ? value : "";
    std::string s = section, k = key;
    // inih hands an indented line over as a continuation of the key before it.
    auto& places = r.cfg.places_;
    bool continued =
        r.indented && !places.empty() && places.back().section == s && places.back().key == k;
    if (!continued) places.push_back({s, k, r.line});
    return 1;
  };
  int rc = ini_parse_stream(readLine, &reader, handler, &reader);
  if (rc < 0) throw ConfigError(fmt::format("configuration file {} cannot be read", name));
  if (rc > 0)
    throw ConfigError(fmt::format("configuration file {}: syntax error on line {}", name, rc));
  return c;
}

int Config::lineOf(const std::string& section, const std::string& key) const {
  int line = 0;
  for (const auto& p : places_)
    if (!p.key.empty() && lower(p.section) == lower(section) && lower(p.key) == lower(key))
      line = p.line;
  return line;
}

bool Config::has(const std::string& section, const std::string& key) const {
  auto s = values_.find(lower(section));
  return s != values_.end() && s->second.count(lower(key)) > 0;
}

void Config::set(const std::string& section, const std::string& key, const std::string& value) {
  values_[lower(section)][lower(key)] = value;
}

const std::string& Config::raw(const std::string& section, const std::string& key) const {
  auto s = values_.find(lower(section));
  if (s == values_.end())
    throw ConfigError(
        fmt::format("configuration file {}: section [{}] is missing (needed for key '{}')", path_,
                    section, key));
  auto k = s->second.find(lower(key));
  if (k == s->second.end())
    throw ConfigError(fmt::format("configuration file {}: key '{}' in section [{}] is missing",
                                  path_, key, section));
  return k->second;
}

std::string Config::getString(const std::string& section, const std::string& key) const {
  return raw(section, key);
}

long long Config::getInt(const std::string& section, const std::string& key) const {
  const auto& v = raw(section, key);
  try {
    return parseInteger(v);
  } catch (const std::exception&) {
    throw ConfigError(
        fmt::format("configuration file {}: key '{}' in section [{}] is not an integer: '{}'",
                    path_, key, section, v));
  }
}

long long Config::getInt(const std::string& section, const std::string& key, long long min,
                         long long max) const {
  long long v = getInt(section, key);
  if (v < min || v > max)
    throw ConfigError(fmt::format(
        "configuration file {}: key '{}' in section [{}] must lie between {} and {}, got {}", path_,
        key, section, min, max, v));
  return v;
}

bool Config::getBool(const std::string& section, const std::string& key) const {
  const auto& v = raw(section, key);
  std::string t = lower(v);
  t.erase(0, t.find_first_not_of(" \t"));
  t.erase(t.find_last_not_of(" \t") + 1);
  if (t == "1" || t == "yes" || t == "true" || t == "on") return true;
  if (t == "0" || t == "no" || t == "false" || t == "off") return false;
  throw ConfigError(
      fmt::format("configuration file {}: key '{}' in section [{}] is not a boolean: '{}'", path_,
                  key, section, v));
}

}  // namespace ostrel
