#pragma once
// Test fixture base: a serial port whose other end (a socketpair) plays the hat, and an
// io_context on which tests run the gateway's coroutines to completion.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "ostrel/sys/SerialPort.hpp"

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

  // Runs `a` to completion on the loop and returns its result, rethrowing its error. A coroutine
  // that has not finished within 10 s fails the test with an exception (never a dereference of
  // a result that is not there); its state outlives this call, as it may still complete later.
  template <typename T>
  T run(awaitable<T> a) {
    struct State {
      std::optional<T> result;
      std::exception_ptr err;
      bool done = false;
    };
    auto st = std::make_shared<State>();
    asio::co_spawn(ctx_, std::move(a), [st](std::exception_ptr e, T v) {
      st->err = e;
      if (!e) st->result = std::move(v);
      st->done = true;
    });
    finish(st->done);
    if (st->err) std::rethrow_exception(st->err);
    return std::move(*st->result);
  }
  void run(awaitable<void> a) {
    struct State {
      std::exception_ptr err;
      bool done = false;
    };
    auto st = std::make_shared<State>();
    asio::co_spawn(ctx_, std::move(a), [st](std::exception_ptr e) {
      st->err = e;
      st->done = true;
    });
    finish(st->done);
    if (st->err) std::rethrow_exception(st->err);
  }
  // Runs the loop until `done` or 10 s have passed; true when done.
  bool drive(const bool& done) {
    using namespace std::chrono_literals;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
      if (ctx_.stopped()) ctx_.restart();
      ctx_.run_one_for(100ms);
    }
    return done;
  }
  void finish(const bool& done) {
    if (!drive(done)) throw std::runtime_error("coroutine did not finish within 10 s");
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
