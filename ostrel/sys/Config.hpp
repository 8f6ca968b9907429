#pragma once
// Sectioned key-value configuration (INI file) with strict typed getters. No key has a default.
#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace ostrel {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Config {
 public:
  // A configuration file is a few kilobytes; anything this large is not one.
  static constexpr std::size_t MAX_FILE_SIZE = 1024 * 1024;

  // Reads an INI file; an unreadable or malformed file, or one holding a NUL byte, throws
  // ConfigError naming it (and the line, where there is one).
  static Config load(const std::string& path);
  // Builds a configuration from INI text (for tests and tools); `name` appears in errors.
  static Config fromString(const std::string& text, const std::string& name = "<string>");

  std::string getString(const std::string& section, const std::string& key) const;
  long long getInt(const std::string& section, const std::string& key) const;
  // The same, refusing a value outside [min, max] with an error naming the key and the value.
  long long getInt(const std::string& section, const std::string& key, long long min,
                   long long max) const;
  bool getBool(const std::string& section, const std::string& key) const;
  bool has(const std::string& section, const std::string& key) const;
  const std::string& path() const { return path_; }

  // Where the text set each key, in file order (a key set twice appears twice), and each section
  // header (empty `key`), spelt as written; lines count from 1.
  struct Place {
    std::string section;
    std::string key;
    int line = 0;
  };
  const std::vector<Place>& places() const { return places_; }
  // The line that last set `key`; 0 when the text did not set it.
  int lineOf(const std::string& section, const std::string& key) const;

  // Used by tests to adjust a value.
  void set(const std::string& section, const std::string& key, const std::string& value);

 private:
  static std::string lower(std::string s);
  const std::string& raw(const std::string& section, const std::string& key) const;
  std::string path_;
  std::map<std::string, std::map<std::string, std::string>> values_;
  std::vector<Place> places_;
};

}  // namespace ostrel
