// The MQTT client the daemon sees: one object for the whole run, made of a connection keeper
// (Connection, over Paho links), the outbox (what is owed, in order) and the disk spool. Everything
// here runs on the event loop.
#include "ostrel/mqtt/PahoMqttClient.hpp"

#include <algorithm>
#include <unordered_map>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/mqtt/Connection.hpp"
#include "ostrel/mqtt/DropReport.hpp"
#include "ostrel/mqtt/Outbox.hpp"
#include "ostrel/mqtt/Spool.hpp"

namespace ostrel {
namespace {

using Clock = std::chrono::steady_clock;
using Waiters = std::vector<std::shared_ptr<asio::steady_timer>>;

// The spool as the outbox sees it.
class SpoolBacklog final : public Backlog {
 public:
  explicit SpoolBacklog(Spool& s) : s_(s) {}
  bool fits(const Publication& p) const override { return Spool::fits(p); }
  void push(Publication p) override { s_.push(std::move(p)); }
  std::optional<std::uint64_t> pushCopy(const Publication& p) override { return s_.pushCopy(p); }
  std::optional<Item> next() override {
    auto item = s_.next();
    if (!item) return std::nullopt;
    return Item{item->id, std::move(item->pub)};
  }
  void done(std::uint64_t id) override { s_.done(id); }
  bool empty() const override { return s_.empty(); }

 private:
  Spool& s_;
};

class Client final : public MqttClient, public std::enable_shared_from_this<Client> {
 public:
  Client(Executor e, MqttSettings s, PahoOptions o)
      : ex_(e),
        settings_(std::move(s)),
        options_(o),
        spool_(makeSpool(e, settings_)),
        backlog_(spool_ ? std::make_unique<SpoolBacklog>(*spool_) : nullptr),
        outbox_({std::max<std::size_t>(o.maxInflight, 1), o.highWater, settings_.bufferSize},
                backlog_.get()),
        conn_(e,
              {o.connectTimeout, o.reconnectMin, o.reconnectMax, o.holdToReset,
               std::chrono::milliseconds(1000), static_cast<int>(o.maxInflight) + 100},
              handlers()),
        notes_(e, NOTE_LINES_PER_SECOND),
        drops_(e, outbox_, spool_.get()),
        flush_(e),
        ackTimer_(e) {
    outbox_.note = [this](const std::string& line) { notes_.log(line); };
    outbox_.reasonText = mqttReasonText;
    if (spool_) spool_->onAvailable = [this] { drain(); };
    auto link = linkConfigOf(settings_);
    link.inbound = InboundLimit::make(e, settings_.clientId, {});
    conn_.configure(std::move(link));
  }

  ~Client() override { drops_.flush(); }

  void configure(const MqttSettings& s) override {
    if (s.spoolDir != settings_.spoolDir || s.spoolSize != settings_.spoolSize)
      log("MQTT spool-dir and spool-size take effect when the daemon is started again");
    auto will = settings_.will;
    auto spoolDir = settings_.spoolDir;
    auto spoolSize = settings_.spoolSize;
    settings_ = s;
    settings_.spoolDir = spoolDir;  // the spool in use, not the one asked for
    settings_.spoolSize = spoolSize;
    if (!settings_.will) settings_.will = will;
    conn_.configure(linkConfigOf(settings_));
    outbox_.setBufferBytes(s.bufferSize);
  }

  void open(const std::string& host, int port, int keepAlive) override {
    conn_.open(host, port, keepAlive);
    updateAway();
  }

  awaitable<void> waitConnected() override {
    auto self = shared_from_this();
    while (!isConnected()) {
      if (!conn_.wanted()) throw boost::system::system_error(asio::error::operation_aborted);
      co_await sleepUntil(connectWaiters_, Clock::time_point::max());
    }
  }

  void subscribe(const Subscriptions& subs) override {
    PahoLink* link = conn_.link();
    if (!link) throw std::runtime_error("MQTT subscribe while not connected");
    try {
      link->subscribe(subs);
    } catch (const LinkError& e) {
      throw std::runtime_error(e.what());
    }
  }

  void publish(const std::string& topic, std::string payload, int qos, bool retain) override {
    push(make(topic, std::move(payload), qos, retain));
  }
  void publishReply(const std::string& topic, std::string payload, int qos,
                    const std::string& correlation) override {
    auto p = make(topic, std::move(payload), qos, false);
    p.correlation = correlation;
    push(std::move(p));
  }
  void publishExpiring(const std::string& topic, std::string payload, int qos,
                       std::uint32_t expiry) override {
    auto p = make(topic, std::move(payload), qos, true);
    p.expiry = expiry;
    push(std::move(p));
  }

  awaitable<void> waitForRoom() override {
    auto self = shared_from_this();
    while (isConnected() && outbox_.overHighWater() &&
           Clock::now() < lastProgress_ + options_.ackStall)
      co_await sleepUntil(roomWaiters_, lastProgress_ + options_.ackStall);
  }

  awaitable<void> disconnect() override {
    auto self = shared_from_this();
    bool was = isConnected();
    // Up to a second for what is owed to go out and be acknowledged: the last status report
    // ("offline") was queued just before this, and a clean DISCONNECT discards the will.
    auto deadline = Clock::now() + std::chrono::seconds(1);
    while (isConnected() && outbox_.size() > 0 && Clock::now() < deadline) {
      drain();
      flush_.expires_at(deadline);  // cancelled by every acknowledgement
      co_await flush_.async_wait(asio::as_tuple(use_awaitable));
    }
    conn_.close();
    wake(connectWaiters_);
    if (conn_.phase() == Connection::Phase::Closing) {
      closeWaiter_ = std::make_shared<asio::steady_timer>(ex_, std::chrono::seconds(2));
      auto w = closeWaiter_;
      co_await w->async_wait(asio::as_tuple(use_awaitable));
      if (conn_.phase() == Connection::Phase::Closing) {
        log("MQTT disconnect did not complete within 2 s; leaving that library client behind");
        conn_.abandon();
      }
    }
    wakeRoomWaiters();
    // What waits goes to disk now, and reaches it: the process may be about to end.
    updateAway();
    if (spool_) co_await spool_->flush(std::chrono::seconds(5));
    if (was) handler("on_disconnect", on_disconnect, std::string("client disconnect"));
  }

  bool isConnected() const override { return conn_.phase() == Connection::Phase::Connected; }
  void setWill(MqttSettings::Will will) override {
    settings_.will = std::move(will);
    conn_.configure(linkConfigOf(settings_));
  }
  MqttStats stats() const override {
    MqttStats st;
    st.published = outbox_.deliveredCount();
    st.dropped = outbox_.droppedCount() + (spool_ ? spool_->droppedCount() : 0);
    st.buffered = outbox_.size();
    st.bufferedBytes = outbox_.bytes();
    st.clientsMade = conn_.linksMade();
    st.spooled = spool_ ? spool_->records() : 0;
    if (auto oldest = outbox_.oldestInflight())
      st.oldestUnacked = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - *oldest);
    return st;
  }

 private:
  static std::unique_ptr<Spool> makeSpool(Executor e, const MqttSettings& s) {
    if (s.spoolDir.empty()) return nullptr;
    // Segments of an eighth of the bound at most: dropping the oldest keeps close to it.
    auto segment = std::clamp<std::size_t>(s.spoolSize / 8, 64 * 1024, 1024 * 1024);
    Spool::Options o;
    o.dir = s.spoolDir;
    o.maxBytes = s.spoolSize;
    o.segmentBytes = segment;
    o.memoryBytes = s.bufferSize;
    return std::make_unique<Spool>(e, o);
  }

  Connection::Handlers handlers() {
    Connection::Handlers h;
    h.connected = [this](const LinkEvent& ev) { onConnected(ev); };
    h.lost = [this](const std::string& why, MqttBuffer::Blame blame) {
      ended(blame);
      handler("on_disconnect", on_disconnect, why);
    };
    h.closed = [this] {
      ended(MqttBuffer::Blame::None);
      if (closeWaiter_) closeWaiter_->cancel();
    };
    h.attemptFailed = [this](const std::string& why) {
      updateAway();
      handler("on_connect_failed", on_connect_failed, why);
    };
    h.away = [this] { updateAway(); };
    h.event = [this](LinkEvent& ev) { onEvent(ev); };
    return h;
  }

  void onConnected(const LinkEvent& ev) {
    outbox_.setConnected(ev.limits);
    updateAway();
    lastProgress_ = Clock::now();
    wake(connectWaiters_);
    std::string flags = fmt::format("session present {}", ev.sessionPresent ? 1 : 0);
    handler("on_connect", on_connect, flags, mqttReasonText(ev.reason), ev.props);
    drain();
  }

  // The connection is gone: what was in flight waits again.
  void ended(MqttBuffer::Blame blame) {
    tokens_.clear();
    ackTimer_.cancel();
    outbox_.setConnected(std::nullopt);
    outbox_.connectionEnded(blame);
    updateAway();
    drops_.note();
    wakeRoomWaiters();
  }

  void onEvent(LinkEvent& ev) {
    switch (ev.kind) {
      case LinkEvent::Published:
        return onPublished(ev);
      case LinkEvent::Subscribed:
        return handler("on_subscribe", on_subscribe, ev.mid, ev.granted, ev.props);
      case LinkEvent::Message:
        handler("on_message", on_message, ev.topic, ev.payload, ev.qos, ev.props);
        handler("on_request", on_request, ev.topic, ev.payload, ev.reply);
        return;
      default:
        return;
    }
  }

  void onPublished(const LinkEvent& ev) {
    auto f = tokens_.find(ev.token);
    if (f == tokens_.end()) return;
    auto seq = f->second;
    tokens_.erase(f);
    if (ev.ok) {
      outbox_.acked(seq);
      lastProgress_ = Clock::now();
    } else if (ev.reason >= 0x80) {
      outbox_.refused(seq, ev.reason);  // sending it again would be refused again
      conn_.noteRefusal();
    } else {
      outbox_.untake(seq);  // not sent; it goes out again
    }
    drops_.note();
    wakeRoomWaiters();
    flush_.cancel();
    drain();
  }

  static Publication make(const std::string& topic, std::string payload, int qos, bool retain) {
    Publication p;
    p.topic = topic;
    p.payload = std::move(payload);
    p.qos = qos;
    p.retain = retain;
    return p;
  }
  void push(Publication p) {
    outbox_.push(std::move(p));
    drops_.note();
    drain();
  }

  void updateAway() { outbox_.setAway(conn_.away()); }

  // Hands publications to the link while connected and the window has room.
  void drain() {
    PahoLink* link = conn_.link();
    if (!link) return;
    while (auto next = outbox_.next()) {
      auto [seq, p] = *next;
      if (outbox_.inflight() == 1) lastProgress_ = Clock::now();  // the wait starts now
      try {
        tokens_.emplace(link->publish(*p), seq);
      } catch (const LinkError& e) {
        if (e.later) {
          outbox_.untake(seq);
          break;
        }
        notes_.log(fmt::format("MQTT publication to {} dropped: {}",
                               shortened(escapeControl(p->topic)), e.what()));
        outbox_.discard(seq);
      }
    }
    armAckTimer();
    drops_.note();
  }

  // A broker that keeps the link but stops acknowledging would hold what is in flight for
  // ever: past the limit the connection is opened again and what was in flight sent again.
  void armAckTimer() {
    auto oldest = outbox_.oldestInflight();
    if (!oldest || ackArmed_) return;
    ackArmed_ = true;
    auto limit = ackLimit();
    ackTimer_.expires_at(*oldest + limit);
    ackTimer_.async_wait([this, w = weak_from_this()](boost::system::error_code ec) {
      auto self = w.lock();
      if (!self) return;
      ackArmed_ = false;
      if (ec) return armAckTimer();
      auto oldest = outbox_.oldestInflight();
      if (!oldest || !isConnected()) return;
      auto waited = Clock::now() - *oldest;
      if (waited < ackLimit()) return armAckTimer();
      logf("MQTT broker {} has not acknowledged a publication for {} s; connecting again",
           conn_.where(), std::chrono::duration_cast<std::chrono::seconds>(waited).count());
      conn_.reconnect();
    });
  }
  std::chrono::milliseconds ackLimit() const {
    if (options_.ackTimeout.count() > 0) return options_.ackTimeout;
    return std::max<std::chrono::milliseconds>(std::chrono::seconds(2 * conn_.keepAlive()),
                                               std::chrono::seconds(30));
  }

  template <typename Fn, typename... Args>
  void handler(const char* name, Fn& fn, const Args&... args) {
    if (fn) runHandler(name, [&] { fn(*this, args...); });
  }
  static void wake(Waiters& ws) {
    for (auto& t : ws) t->cancel();
  }
  void wakeRoomWaiters() {
    if (!isConnected() || !outbox_.overHighWater()) wake(roomWaiters_);
  }
  // One wake-up of `list` (or `until`); throws when the awaiting task is cancelled.
  awaitable<void> sleepUntil(Waiters& list, Clock::time_point until) {
    auto t = std::make_shared<asio::steady_timer>(ex_, until);
    list.push_back(t);
    co_await t->async_wait(asio::as_tuple(use_awaitable));
    std::erase(list, t);
    auto cs = co_await asio::this_coro::cancellation_state;
    if (cs.cancelled() != asio::cancellation_type::none)
      throw boost::system::system_error(asio::error::operation_aborted);
  }

  Executor ex_;
  MqttSettings settings_;
  PahoOptions options_;
  std::unique_ptr<Spool> spool_;  // outlives the outbox, whose releases it hears
  std::unique_ptr<SpoolBacklog> backlog_;
  Outbox outbox_;
  Connection conn_;
  // Lines about single publications: the broker may refuse every one (an ACL against a
  // sensor's topic, or a reply topic a requester picked).
  static constexpr std::size_t NOTE_LINES_PER_SECOND = 5;
  LogThrottle notes_;
  DropReport drops_;
  asio::steady_timer flush_, ackTimer_;
  bool ackArmed_ = false;
  Clock::time_point lastProgress_ = Clock::now();
  Waiters connectWaiters_, roomWaiters_;
  std::shared_ptr<asio::steady_timer> closeWaiter_;
  std::unordered_map<std::uint64_t, Outbox::Seq> tokens_;  // link's token → outbox entry
};

}  // namespace

std::shared_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options) {
  return std::make_shared<Client>(ex, std::move(settings), options);
}

}  // namespace ostrel
