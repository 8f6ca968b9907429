#include "ostrel/io/Config.hpp"

#include <fmt/format.h>
#include <ini.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "ostrel/io/Bytes.hpp"

namespace ostrel {

std::string Config::lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

Config Config::load(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    throw ConfigError(fmt::format("configuration file {} cannot be read", path));
  std::ifstream in(path);
  if (!in) throw ConfigError(fmt::format("configuration file {} cannot be read", path));
  std::stringstream ss;
  ss << in.rdbuf();
  return fromString(ss.str(), path);
}

Config Config::fromString(const std::string& text, const std::string& name) {
  // inih truncates long lines silently; refuse them instead of reading half a value.
  std::istringstream lines(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(lines, line)) {
    ++lineNo;
    if (line.size() >= 199)
      throw ConfigError(fmt::format("configuration file {}: line {} is too long", name, lineNo));
  }
  Config c;
  c.path_ = name;
  auto handler = [](void* user, const char* section, const char* key, const char* value) -> int {
    auto* cfg = static_cast<Config*>(user);
    if (key == nullptr) return 1;  // a section without keys
    cfg->values_[lower(section)][lower(key)] = value ? value : "";
    return 1;
  };
  int rc = ini_parse_string(text.c_str(), handler, &c);
  if (rc < 0) throw ConfigError(fmt::format("configuration file {} cannot be read", name));
  if (rc > 0)
    throw ConfigError(fmt::format("configuration file {}: syntax error on line {}", name, rc));
  return c;
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
