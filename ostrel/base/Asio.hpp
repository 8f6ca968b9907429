#pragma once
// One place for the Asio names the daemon uses.
#include <boost/asio.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>

namespace ostrel {
namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;
using Executor = asio::any_io_executor;
}  // namespace ostrel
