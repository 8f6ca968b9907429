// A slow disk, preloaded (LD_PRELOAD) into a test program: write, pwrite, fdatasync and fsync on
// a descriptor of anything under $OSTREL_SLOW_DIR take $OSTREL_SLOW_MS milliseconds (300 by
// default), and fail with ENOSPC while the file named by $OSTREL_SLOW_FAIL exists.
// Both pwrite and pwrite64 are defined here: not the one renamed to the other.
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool under(int fd) {
  const char* dir = std::getenv("OSTREL_SLOW_DIR");
  if (!dir || !*dir) return false;
  char link[64], path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  std::size_t len = std::strlen(dir);
  return std::strncmp(path, dir, len) == 0 && (path[len] == '\0' || path[len] == '/');
}

// Waits when `fd` is on the slow disk; true when the call is to fail.
bool slow(int fd) {
  if (!under(fd)) return false;
  const char* ms = std::getenv("OSTREL_SLOW_MS");
  long v = ms ? std::atol(ms) : 300;
  timespec t{v / 1000, (v % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
  const char* flag = std::getenv("OSTREL_SLOW_FAIL");
  if (flag && *flag && ::access(flag, F_OK) == 0) {
    errno = ENOSPC;
    return true;
  }
  return false;
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
  return slow(fd) ? -1 : next(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
  static auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return slow(fd) ? -1 : next(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t at) {
  static auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return slow(fd) ? -1 : next(fd, buf, n, at);
}

int fdatasync(int fd) {
  static auto next = real<int (*)(int)>("fdatasync");
  return slow(fd) ? -1 : next(fd);
}

int fsync(int fd) {
  static auto next = real<int (*)(int)>("fsync");
  return slow(fd) ? -1 : next(fd);
}
}
