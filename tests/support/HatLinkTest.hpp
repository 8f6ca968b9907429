#pragma once
// Test fixture base: a serial port whose other end (a socketpair) plays the hat, and an
// io_context on which tests run the gateway's coroutines to completion.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

#include "ostrel/io/SerialPort.hpp"

namespace ostrel::test {

class HatLinkTest : public ::testing::Test {
 protected:
  void openHatLink(std::chrono::milliseconds readTimeout = std::chrono::milliseconds(300)) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    port_ = std::make_shared<SerialPort>(ctx_.get_executor(), readTimeout);
    port_->adopt(fds[0]);
    hat_ = fds[1];
  }
  void closeHatLink() {
    if (port_) port_->close();
    if (hat_ >= 0) ::close(hat_);
    hat_ = -1;
  }

  template <typename T>
  T run(awaitable<T> a) {
    std::optional<T> result;
    std::exception_ptr err;
    bool done = false;
    asio::co_spawn(ctx_, std::move(a), [&](std::exception_ptr e, T v) {
      err = e;
      if (!e) result = std::move(v);
      done = true;
    });
    drive(done);
    if (err) std::rethrow_exception(err);
    return std::move(*result);
  }
  void run(awaitable<void> a) {
    std::exception_ptr err;
    bool done = false;
    asio::co_spawn(ctx_, std::move(a), [&](std::exception_ptr e) {
      err = e;
      done = true;
    });
    drive(done);
    if (err) std::rethrow_exception(err);
  }
  // Runs the loop until `done` or 10 s have passed.
  void drive(const bool& done) {
    using namespace std::chrono_literals;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
      if (ctx_.stopped()) ctx_.restart();
      ctx_.run_one_for(100ms);
    }
    ASSERT_TRUE(done) << "coroutine did not finish";
  }

  // Everything the gateway has written to the hat so far.
  Bytes hatReads() {
    Bytes out;
    std::uint8_t buf[4096];
    for (ssize_t n; (n = ::recv(hat_, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      out.insert(out.end(), buf, buf + n);
    return out;
  }
  void hatSends(std::string_view s) {
    while (!s.empty()) {
      ssize_t n = ::write(hat_, s.data(), s.size());
      ASSERT_GT(n, 0) << "write to the hat side failed";
      s.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void hatSends(const Bytes& b) {
    hatSends(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  }

  asio::io_context ctx_;
  std::shared_ptr<SerialPort> port_;
  int hat_ = -1;
};

}  // namespace ostrel::test
