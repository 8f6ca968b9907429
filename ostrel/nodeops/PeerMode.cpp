// Keep-in-receive mode ("PM") and the hat's three-byte answer.
#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/nodeops/NodeOps.hpp"
#include "ostrel/nodeops/NodeOpsDetail.hpp"

namespace ostrel {

using namespace nodeops;

namespace {

// Hands the hat's answer to a waiting setPeerMode. Its type identifies our pending reply.
struct ReplyWait {
  explicit ReplyWait(Executor ex) : timer(ex) {}
  asio::steady_timer timer;
  std::optional<Bytes> reply;
};

struct Deliverer {
  std::shared_ptr<ReplyWait> wait;
  void operator()(Bytes answer) const {
    if (wait->reply) return;
    wait->reply = std::move(answer);
    wait->timer.cancel();
  }
};

bool isOurs(const std::shared_ptr<ReplyWait>& wait) {
  auto& pending = gw().pendingReply;
  if (!pending) return false;
  auto* d = pending->deliver.target<Deliverer>();
  return d && d->wait == wait;
}

// Clears the pending reply on every way out of setPeerMode, unless another operation's reply
// has taken its place.
struct PendingGuard {
  std::shared_ptr<ReplyWait> wait;
  ~PendingGuard() {
    if (isOurs(wait)) gw().pendingReply.reset();
  }
};

}  // namespace

awaitable<Bytes> setPeerModeAnswer(json nodeUID, json keepPeerInRx) {
  int nodeId = getNodeIdFromUID(nodeUID);
  long long mode = toInteger(keepPeerInRx, "keepPeerInRx");
  Bytes frame = makePmFrame(nodeId, mode);
  auto port = requirePort();

  Bytes answer;
  if (gw().pendingReply)
    throw std::runtime_error(fmt::format(
        "cannot set keep-peer-in-rx mode: an answer \"{}\" from the hat is awaited already",
        gw().pendingReply->code));
  auto wait = std::make_shared<ReplyWait>(co_await asio::this_coro::executor);
  // Registered before the frame goes out, so that a quick answer is not taken for garbage.
  gw().pendingReply = PendingReply{"PM", 3, Deliverer{wait}};
  PendingGuard guard{wait};
  port->write(frame);
  port->flush();
  if (!wait->reply) {
    wait->timer.expires_after(port->readTimeout());
    co_await wait->timer.async_wait(asio::as_tuple(use_awaitable));
  }
  if (!wait->reply) {
    auto cs = co_await asio::this_coro::cancellation_state;
    if (cs.cancelled() != asio::cancellation_type::none)
      throw boost::system::system_error(asio::error::operation_aborted);
  }
  if (wait->reply) answer = *wait->reply;

  if (answer == toBytes("PMS"))
    logf("Set keep-peer-in-rx mode for node ID {} to {}", nodeId, mode);
  else
    logf(
        "Failed to set keep-peer-in-rx mode for node ID {} to {} - node not registered. Error "
        "code: {}",
        nodeId, mode, byteArrayRepr(answer));
  co_return answer;
}

awaitable<void> setPeerMode(json nodeUID, json keepPeerInRx) {
  co_await setPeerModeAnswer(std::move(nodeUID), std::move(keepPeerInRx));
}

}  // namespace ostrel
