#include "ostrel/sys/Files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace ostrel {

namespace {

[[noreturn]] void fail(int err, const char* what, const std::string& path, const std::string& tmp) {
  ::unlink(tmp.c_str());
  throw std::system_error(err, std::generic_category(), std::string(what) + " " + path);
}

}  // namespace

void writeWholeFile(const std::string& path, ByteView data, WholeFile how) {
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, how.mode);
  if (fd < 0) {
    // Nothing of ours to remove: what is there was not made here.
    throw std::system_error(errno, std::generic_category(), "cannot write " + path);
  }
  auto closeAndFail = [&](int err, const char* what) {
    ::close(fd);
    fail(err, what, path, tmp);
  };
  if (::fchmod(fd, how.mode) != 0) closeAndFail(errno, "cannot write");
  for (std::size_t done = 0; done < data.size();) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) closeAndFail(errno, "cannot write");
    if (n == 0) closeAndFail(ENOSPC, "cannot write");
    done += static_cast<std::size_t>(n);
  }
  if (how.sync && ::fsync(fd) != 0) closeAndFail(errno, "cannot sync");
  if (::close(fd) != 0) fail(errno, "cannot write", path, tmp);
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail(errno, "cannot rename to", path, tmp);
}

bool isSymlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

const std::string& hostName() {
  static const std::string name = [] {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return std::string("unknown");
    return std::string(buf);
  }();
  return name;
}

}  // namespace ostrel
