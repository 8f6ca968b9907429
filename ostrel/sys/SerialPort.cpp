#include "ostrel/sys/SerialPort.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

namespace {
speed_t speedConstant(long long bps) {
  switch (bps) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    case 1152000:
      return B1152000;
    case 1500000:
      return B1500000;
    case 2000000:
      return B2000000;
    default:
      return 0;
  }
}
}  // namespace

bool SerialPort::supportsSpeed(long long bitsPerSecond) {
  return speedConstant(bitsPerSecond) != 0;
}

SerialPort::SerialPort(Executor ex, std::chrono::milliseconds readTimeout)
    : sd_(std::make_unique<asio::posix::stream_descriptor>(ex)),
      timer_(std::make_unique<asio::steady_timer>(ex)),
      timeout_(readTimeout) {
  buf_.reserve(4096);
}

SerialPort::~SerialPort() {
  SerialPort::close();
}

void SerialPort::open() {
  if (isOpen()) return;
  speed_t sp = speedConstant(speed_);
  if (sp == 0)
    throw SerialError(fmt::format("serial device {}: unsupported speed {}", device_, speed_));
  int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    throw SerialError(
        fmt::format("cannot open serial device {}: {}", device_, std::strerror(errno)));
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    int e = errno;
    ::close(fd);
    throw SerialError(
        fmt::format("serial device {} is not a terminal: {}", device_, std::strerror(e)));
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, sp);
  ::cfsetospeed(&tio, sp);
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    int e = errno;
    ::close(fd);
    throw SerialError(
        fmt::format("cannot configure serial device {}: {}", device_, std::strerror(e)));
  }
  adopt(fd);
}

void SerialPort::adopt(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::lock_guard lk(writeMutex_);
  sd_->assign(fd);
  fd_ = fd;
  buf_.clear();
  pos_ = 0;
}

bool SerialPort::isOpen() const {
  std::lock_guard lk(writeMutex_);
  return fd_ >= 0;
}

void SerialPort::close() {
  std::lock_guard lk(writeMutex_);
  if (fd_ < 0) return;
  boost::system::error_code ec;
  sd_->close(ec);  // cancels a pending wait
  fd_ = -1;
}

bool SerialPort::readNow() {
  if (pos_ > 0 && pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  }
  if (fd_ < 0) throw SerialError(fmt::format("serial device {} is closed", device_));
  std::size_t old = buf_.size();
  buf_.resize(old + 4096);
  ssize_t n = ::read(fd_, buf_.data() + old, 4096);
  int e = errno;
  buf_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
  if (n > 0) {
    lastByte_ = Clock::now();
    return true;
  }
  if (n < 0 && (e == EAGAIN || e == EINTR)) return false;
  if (n < 0 && e != EIO)
    throw SerialError(
        fmt::format("read from serial device {} failed: {}", device_, std::strerror(e)));
  // Nothing read (a raw tty without VTIME reads 0 when idle) or EIO: tell silence from a device
  // that has gone.
  checkHangUp(n < 0 ? e : 0);
  return false;
}

void SerialPort::checkHangUp(int readErrno) {
  pollfd pfd{fd_, POLLIN, 0};
  int pr = ::poll(&pfd, 1, 0);
  bool gone = readErrno == EIO || (pr > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)));
  if (!gone) return;
  std::string why = readErrno ? std::strerror(readErrno) : std::string("hang-up");
  throw SerialLost(fmt::format("Serial device {} lost: {}", device_, why));
}

awaitable<bool> SerialPort::fill(Clock::time_point deadline) {
  int idleWakeups = 0;
  for (;;) {
    if (readNow()) co_return true;
    auto now = Clock::now();
    if (now >= deadline) co_return false;
    timer_->expires_at(deadline);
    auto r = co_await (
        sd_->async_wait(asio::posix::stream_descriptor::wait_read, asio::as_tuple(use_awaitable)) ||
        timer_->async_wait(asio::as_tuple(use_awaitable)));
    if (r.index() == 0) {
      auto [ec] = std::get<0>(r);
      if (ec == asio::error::operation_aborted || ec == asio::error::bad_descriptor)
        throw SerialError(fmt::format("serial device {} was closed", device_));
      if (ec) throw SerialError(fmt::format("serial device {}: {}", device_, ec.message()));
      if (readNow()) co_return true;
      // Readable with nothing to read: the reactor's readiness often outlives the bytes an
      // earlier read took, so wait for the next bytes at once (a pause here held every reading
      // of a busy line back by its length). Only a device that keeps saying so without a
      // hang-up is paused for, rather than spun on.
      if (++idleWakeups > 3) {
        timer_->expires_at(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
        co_await timer_->async_wait(asio::as_tuple(use_awaitable));
        idleWakeups = 0;
      }
      continue;
    }
    co_return readNow();
  }
}

Bytes SerialPort::take(std::size_t n) {
  n = std::min(n, buf_.size() - pos_);
  Bytes out(buf_.begin() + static_cast<long>(pos_), buf_.begin() + static_cast<long>(pos_ + n));
  pos_ += n;
  return out;
}

awaitable<Bytes> SerialPort::read_async(std::size_t n) {
  auto deadline = Clock::now() + timeout_;
  while (buffered() < n) {
    // Awaited outside the condition: GCC 12 mishandles the awaitable's frame inside one.
    bool more = co_await fill(deadline);
    if (!more) break;
  }
  co_return take(n);
}

awaitable<Bytes> SerialPort::readline_async() {
  auto deadline = Clock::now() + timeout_;
  std::size_t scanned = 0;
  for (;;) {
    auto begin = buf_.begin() + static_cast<long>(pos_);
    auto it = std::find(begin + static_cast<long>(scanned), buf_.end(), std::uint8_t('\n'));
    if (it != buf_.end()) co_return take(static_cast<std::size_t>(it - begin) + 1);
    scanned = buffered();
    // fill() may compact the buffer; `scanned` counts from pos_ and stays valid.
    bool more = co_await fill(deadline);
    if (!more) co_return take(buffered());
  }
}

void SerialPort::write(ByteView frame) {
  std::lock_guard lk(writeMutex_);
  if (fd_ < 0) throw SerialError(fmt::format("serial device {} is not open", device_));
  const std::uint8_t* p = frame.data();
  std::size_t left = frame.size();
  int stalls = 0;
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN)
      throw SerialError(
          fmt::format("write to serial device {} failed: {}", device_, std::strerror(errno)));
    // The line is full: wait for room, but never for ever.
    pollfd pfd{fd_, POLLOUT, 0};
    int pr = ::poll(&pfd, 1, 1000);
    if (pr == 0 && ++stalls >= 5)
      throw SerialError(fmt::format("write to serial device {} timed out", device_));
  }
}

void SerialPort::flush() {
  std::lock_guard lk(writeMutex_);
  if (fd_ < 0) throw SerialError(fmt::format("serial device {} is not open", device_));
  if (::isatty(fd_)) ::tcdrain(fd_);
}

}  // namespace ostrel
