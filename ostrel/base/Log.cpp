#include "ostrel/base/Log.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <typeinfo>

namespace ostrel {

namespace {
std::mutex& logMutex() {
  static std::mutex m;
  return m;
}
LogSink& sinkRef() {
  static LogSink s;
  return s;
}
}  // namespace

void setLogSink(LogSink sink) {
  std::lock_guard lk(logMutex());
  sinkRef() = std::move(sink);
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (shortest form, no surrogates, at most
// U+10FFFF), or 0.
std::size_t utf8Length(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = at(i);
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2;
  else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else
    return 0;
  if (i + n > s.size()) return 0;
  if (at(i + 1) < lo || at(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

std::string shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Not inside a character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return fmt::format("{}... ({} bytes)", text.substr(0, cut), text.size());
}

std::string excerpt(std::string_view text, std::size_t limit) {
  return "'" + logSafe(shortened(text, limit)) + "'";
}

std::string logSafe(std::string_view line, std::size_t limit) {
  // A line end at the very end forges nothing (the hat's and the bootloader's lines carry one):
  // it stays as it is.
  std::string_view end;
  for (std::string_view e : {"\r\n", "\n", "\r"})
    if (line.ends_with(e)) {
      end = e;
      line.remove_suffix(e.size());
      break;
    }
  std::string out;
  out.reserve(std::min(line.size(), limit) + 16);
  std::size_t i = 0;
  for (; i < line.size() && out.size() < limit;) {
    auto c = static_cast<unsigned char>(line[i]);
    if ((c >= 0x20 && c < 0x7F) || c == '\t') {
      out += line[i++];
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c < 0x80) {
      out += fmt::format("\\x{:02x}", c);
      ++i;
    } else if (std::size_t n = utf8Length(line, i); n == 0) {
      out += fmt::format("\\x{:02x}", c);
      ++i;
    } else if (c == 0xC2 && static_cast<unsigned char>(line[i + 1]) < 0xA0) {
      // C1 controls (U+0080..U+009F): some terminals take U+009B as an escape sequence.
      out += fmt::format("\\u{:04x}", static_cast<unsigned char>(line[i + 1]));
      i += 2;
    } else {
      out.append(line.substr(i, n));
      i += n;
    }
  }
  if (i < line.size()) out += fmt::format("... ({} bytes)", line.size() + end.size());
  out.append(end);
  return out;
}

void log(std::string_view line) {
  std::string buf = logSafe(line);
  std::lock_guard lk(logMutex());
  if (sinkRef()) {
    sinkRef()(buf);
    return;
  }
  buf.push_back('\n');
  const char* p = buf.data();
  std::size_t left = buf.size();
  while (left > 0) {
    ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere left to report it
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

static std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(name, nullptr, nullptr, &status),
                                           std::free);
  return status == 0 && d ? std::string(d.get()) : std::string(name);
}

std::string describeException(std::exception_ptr e, std::string_view where) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return fmt::format("{}: {} (in {})", demangle(typeid(ex).name()), ex.what(), where);
  } catch (...) {
    return fmt::format("unknown error (in {})", where);
  }
}

}  // namespace ostrel
