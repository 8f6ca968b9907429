// Loading the decoder files of a directory, and checking them with their examples.
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ostrel/parser/Decoders.hpp"

namespace ostrel::decoders {

namespace {

bool isDecoderFile(const std::string& name) {
  return name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".conf") == 0;
}

std::string refusal(const std::string& file, const FileError& e) {
  return e.line > 0 ? fmt::format("{}: line {}: {}", file, e.line, e.what())
                    : fmt::format("{}: {}", file, e.what());
}

// The decoder files of `dir`, sorted; throws FileError (line 0) when it cannot be listed.
std::vector<std::string> listDir(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw FileError(0, fmt::format("cannot be read: {}", std::strerror(errno)));
  std::vector<std::string> names;
  int err = 0;
  // Past MAX_FILES the rest is refused anyway: the listing stops soon after.
  while (names.size() <= MAX_FILES) {
    errno = 0;
    dirent* e = ::readdir(d);
    if (!e) {
      err = errno;
      break;
    }
    std::string name = e->d_name;
    if (isDecoderFile(name)) names.push_back(name);
  }
  ::closedir(d);
  if (err != 0) throw FileError(0, fmt::format("cannot be read: {}", std::strerror(err)));
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<Decoder> loadDecoderFile(const std::string& path) {
  // Non-blocking: a FIFO in the directory must not hang the daemon.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError(0, fmt::format("cannot be read: {}", std::strerror(errno)));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    throw FileError(0, fmt::format("cannot be read: {}", std::strerror(errno)));
  if (!S_ISREG(st.st_mode)) throw FileError(0, "is not a regular file");
  if (st.st_size > static_cast<off_t>(MAX_FILE_SIZE))
    throw FileError(0, fmt::format("is larger than {} bytes", MAX_FILE_SIZE));
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError(0, fmt::format("cannot be read: {}", std::strerror(errno)));
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > MAX_FILE_SIZE)
      throw FileError(0, fmt::format("is larger than {} bytes", MAX_FILE_SIZE));
  }
  if (text.find('\0') != std::string::npos) throw FileError(0, "holds a NUL byte");
  auto slash = path.rfind('/');
  return parseDecoderFile(text, slash == std::string::npos ? path : path.substr(slash + 1));
}

LoadReport loadDecoderDir(const std::string& dir) {
  LoadReport report;
  std::vector<Decoder> all;
  std::vector<std::string> names;
  try {
    names = listDir(dir);
  } catch (const FileError& e) {
    report.readable = false;
    report.refusals.push_back(refusal(dir, e));
  }
  report.files = names.size();
  if (names.size() > MAX_FILES) {
    report.refusals.push_back(
        fmt::format("{}: more than {} decoder files; {} and the files after "
                    "it are not read",
                    dir, MAX_FILES, names[MAX_FILES]));
    names.resize(MAX_FILES);
  }
  for (const auto& name : names) {
    try {
      auto decoders = loadDecoderFile(dir + "/" + name);
      for (const auto& d : decoders) {
        auto same = std::find_if(all.begin(), all.end(),
                                 [&](const Decoder& x) { return x.name == d.name; });
        if (same != all.end())
          throw FileError(d.line,
                          fmt::format("decoder {} is already defined in {}", d.name, same->file));
      }
      if (all.size() + decoders.size() > MAX_DECODERS)
        throw FileError(0, fmt::format("more than {} decoders in all", MAX_DECODERS));
      std::move(decoders.begin(), decoders.end(), std::back_inserter(all));
    } catch (const FileError& e) {
      report.refusals.push_back(refusal(name, e));
    }
  }
  report.set = std::make_shared<const DecoderSet>(std::move(all));
  return report;
}

int checkDecoders(const std::string& path, std::vector<std::string>& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    out.push_back(fmt::format("{}: cannot be read: {}", path, std::strerror(errno)));
    return 2;
  }
  LoadReport report;
  if (S_ISDIR(st.st_mode)) {
    report = loadDecoderDir(path);
    if (!report.readable) {
      out = report.refusals;
      return 2;
    }
  } else {
    report.files = 1;
    try {
      report.set = std::make_shared<const DecoderSet>(loadDecoderFile(path));
    } catch (const FileError& e) {
      report.refusals.push_back(refusal(path, e));
      report.set = std::make_shared<const DecoderSet>();
    }
  }
  std::size_t failures = report.refusals.size(), examples = 0;
  out = report.refusals;
  for (const auto& d : report.set->decoders()) {
    examples += d.examples.size();
    auto lines = checkExamples(d, *report.set);
    failures += lines.size();
    out.insert(out.end(), lines.begin(), lines.end());
  }
  out.push_back(fmt::format("{} decoders in {} files, {} examples: {} failures",
                            report.set->decoders().size(), report.files, examples, failures));
  return failures == 0 ? 0 : 1;
}

}  // namespace ostrel::decoders
