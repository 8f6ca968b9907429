#pragma once
// The serial line to the hat: raw 8N1 termios, reads bounded by a time-out, whole-frame writes.
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>

#include "ostrel/base/Asio.hpp"
#include "ostrel/base/Bytes.hpp"

namespace ostrel {

class SerialError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The device went away under an open port (hang-up, EIO: an unplugged adapter, a closed pty).
// Only reopening the device path can bring the hat back.
class SerialLost : public SerialError {
 public:
  using SerialError::SerialError;
};

class SerialPort {
 public:
  explicit SerialPort(Executor ex, std::chrono::milliseconds readTimeout = std::chrono::seconds(1));
  virtual ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  void setDevice(std::string device) { device_ = std::move(device); }
  void setSpeed(long long bitsPerSecond) { speed_ = bitsPerSecond; }
  // Whether open() can set this speed.
  static bool supportsSpeed(long long bitsPerSecond);
  const std::string& device() const { return device_; }
  std::chrono::milliseconds readTimeout() const { return timeout_; }

  // Opens and configures the device; throws SerialError naming the path.
  virtual void open();
  // Takes over an already open descriptor (a pseudo-terminal or socket in tests).
  void adopt(int fd);
  virtual bool isOpen() const;
  // Idempotent; wakes a pending read, which then fails.
  virtual void close();

  // Up to n bytes: returns when n have arrived or the read time-out has passed.
  virtual awaitable<Bytes> read_async(std::size_t n);
  // Up to and including a line feed, or what arrived within the read time-out.
  virtual awaitable<Bytes> readline_async();
  // Writes one frame whole; safe from any thread.
  virtual void write(ByteView frame);
  void write(std::string_view text) {
    write(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  // Waits until written data has left (a no-op where the device cannot tell).
  virtual void flush();

  // Bytes read ahead and not yet handed out.
  std::size_t buffered() const { return buf_.size() - pos_; }
  // When bytes last came in (the epoch of the steady clock before any did). Event-loop thread.
  std::chrono::steady_clock::time_point lastByteAt() const { return lastByte_; }

 protected:
  SerialPort() = default;

 private:
  // Reads what is available into the buffer, waiting until `deadline` for at least one byte.
  // Returns false on time-out.
  awaitable<bool> fill(std::chrono::steady_clock::time_point deadline);
  bool readNow();
  // Throws SerialLost when the descriptor reports a hang-up or an error.
  void checkHangUp(int readErrno);
  Bytes take(std::size_t n);

  std::unique_ptr<asio::posix::stream_descriptor> sd_;
  std::unique_ptr<asio::steady_timer> timer_;
  std::string device_;
  long long speed_ = 0;
  std::chrono::milliseconds timeout_{1000};
  Bytes buf_;
  std::size_t pos_ = 0;
  std::chrono::steady_clock::time_point lastByte_{};
  int fd_ = -1;
  mutable std::mutex writeMutex_;
};

}  // namespace ostrel
