// The MQTT client on Eclipse Paho C++: one object for the whole run, connected and disconnected
// as the gateway starts and stops, with one Paho client inside.
//
// Threads: everything here runs on the event-loop thread, except the callbacks Paho makes on its
// own threads (Paho C always runs a send and a receive thread; they cannot be avoided). Those
// callbacks only copy what they got and post it to the loop, holding the client weakly. Failed
// attempts reuse their Paho client; a new one is made for another server address, after a
// disconnect (see onClosed) and when the session carries publications in flight (see requeue).
// The old one is destroyed on the loop at the next attempt: its disconnect has completed or its
// connection is lost, and the callback that said so returned a back-off ago. One whose
// disconnect never completes is left alone (see finishMqttClients).
#include "ostrel/mqtt/PahoMqttClient.hpp"

#include <mqtt/async_client.h>

#include <boost/asio/thread_pool.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/mqtt/InboundLimit.hpp"
#include "ostrel/mqtt/NoDelay.hpp"
#include "ostrel/mqtt/Spool.hpp"
#include "ostrel/mqtt/TlsProbe.hpp"

namespace ostrel {
namespace {

using Clock = std::chrono::steady_clock;
using Waiters = std::vector<std::shared_ptr<asio::steady_timer>>;
std::atomic<int> clientsLeft{0};

// TLS probes still running: the process waits for them before it tears OpenSSL down.
std::mutex probeMutex;
std::condition_variable probeDone;
int probesRunning = 0;
void startProbe() {
  std::lock_guard lk(probeMutex);
  ++probesRunning;
}
void endProbe() {
  std::lock_guard lk(probeMutex);
  --probesRunning;
  probeDone.notify_all();
}

std::string reasonText(int rc) {
  return rc == 0 ? "Success" : MQTTReasonCode_toString(static_cast<MQTTReasonCodes>(rc));
}

// "[receive maximum: 20, topic alias maximum: 10]"
std::string propsText(const mqtt::properties& props) {
  const MQTTProperties& c = props.c_struct();
  auto data = [](const MQTTLenString& s) { return std::string(s.data ? s.data : "", s.len); };
  std::string out = "[";
  for (int i = 0; i < c.count; ++i) {
    const MQTTProperty& p = c.array[i];
    const char* raw = MQTTPropertyName(static_cast<MQTTPropertyCodes>(p.identifier));
    std::string name = raw ? raw : fmt::format("property {}", p.identifier);
    for (char& ch : name) ch = ch == '_' ? ' ' : static_cast<char>(std::tolower(ch));
    out += (i ? ", " : "") + name + ": ";
    switch (MQTTProperty_getType(p.identifier)) {
      case MQTTPROPERTY_TYPE_BYTE:
        out += std::to_string(p.value.byte);
        break;
      case MQTTPROPERTY_TYPE_TWO_BYTE_INTEGER:
        out += std::to_string(p.value.integer2);
        break;
      case MQTTPROPERTY_TYPE_FOUR_BYTE_INTEGER:
      case MQTTPROPERTY_TYPE_VARIABLE_BYTE_INTEGER:
        out += std::to_string(p.value.integer4);
        break;
      case MQTTPROPERTY_TYPE_UTF_8_STRING_PAIR:
        out += data(p.value.data) + "=" + data(p.value.value);
        break;
      case MQTTPROPERTY_TYPE_BINARY_DATA:
        out += fmt::format("{} bytes", p.value.data.len);
        break;
      default:
        out += data(p.value.data);
    }
  }
  return out + "]";
}

class PahoClient;
// Which Paho client a report comes from. A number, never the object's address: a new Paho client
// may be made at the address of the one just freed, whose late reports would pass for its own.
using PahoId = std::uint64_t;
// Runs `f(client)` on the loop if the client still exists and `from` is still its Paho client.
template <typename F>
void post(const std::weak_ptr<PahoClient>& w, Executor ex, PahoId from, F f);

struct Listener : mqtt::iaction_listener {
  enum Kind { CONNECT, SUBSCRIBE, PUBLISH, DISCONNECT };
  Listener(std::weak_ptr<PahoClient> c, Executor e, PahoId f, Kind k)
      : client(std::move(c)), ex(e), from(f), kind(k) {}
  std::weak_ptr<PahoClient> client;
  Executor ex;
  PahoId from;
  Kind kind;
  void on_success(const mqtt::token& tok) override { report(tok, true); }
  void on_failure(const mqtt::token& tok) override { report(tok, false); }
  void report(const mqtt::token& tok, bool ok);
};

// One Paho client and the listeners it calls, which must outlive it.
struct Paho {
  Paho(const std::weak_ptr<PahoClient>& c, Executor e, PahoId i, std::string u)
      : id(i),
        connectL(c, e, i, Listener::CONNECT),
        subscribeL(c, e, i, Listener::SUBSCRIBE),
        publishL(c, e, i, Listener::PUBLISH),
        disconnectL(c, e, i, Listener::DISCONNECT),
        uri(std::move(u)) {}
  const PahoId id;
  Listener connectL, subscribeL, publishL, disconnectL;
  std::string uri;
  mqtt::connect_options opts;  // used in place: a copy loses its properties in Paho 1.2
  std::unique_ptr<mqtt::async_client> cli;
};

class PahoClient final : public MqttClient, public std::enable_shared_from_this<PahoClient> {
 public:
  PahoClient(Executor e, MqttSettings s, PahoOptions o)
      : ex_(e),
        settings_(std::move(s)),
        options_(o),
        buf_(settings_.bufferSize),
        retry_(e),
        flush_(e),
        dropLog_(e),
        syncTimer_(e),
        slowAttempt_(e),
        publishLog_(e, PUBLISH_LINES_PER_SECOND),
        inbound_(InboundLimit::make(e, settings_.clientId, {})),
        backoff_(o.reconnectMin),
        jitter_(std::random_device{}()) {
    options_.maxInflight = std::max<std::size_t>(options_.maxInflight, 1);
    if (!settings_.spoolDir.empty()) {
      // Segments of an eighth of the bound at most: dropping the oldest keeps close to it.
      auto segment = std::clamp<std::size_t>(settings_.spoolSize / 8, 64 * 1024, 1024 * 1024);
      spool_ =
          std::make_unique<Spool>(Spool::Options{settings_.spoolDir, settings_.spoolSize, segment});
      spoolDropsSeen_ = spool_->droppedCount();
      syncWorker_ = std::make_unique<asio::thread_pool>(1);
      buf_.onRelease = [s = spool_.get()](std::uint64_t segment) { s->done(segment); };
    }
  }

  ~PahoClient() override {
    if (syncWorker_) syncWorker_->join();  // a sync under way is finished, not abandoned
    logDrops();
    if (phase_ == Phase::Connected || phase_ == Phase::Connecting) {
      // Not disconnected first (the daemon always is; a test may not be): the one blocking wait
      // here, bounded.
      try {
        if (paho_->cli->disconnect(0)->wait_for(std::chrono::seconds(2))) phase_ = Phase::Idle;
      } catch (const std::exception&) {
        phase_ = Phase::Idle;  // Paho says there is no connection
      }
    }
    if (phase_ == Phase::Idle) return;
    log("MQTT client gone before its disconnect completed; leaving its library client behind");
    abandonPaho();
  }

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
    ++settingsVersion_;
    buf_.setLimit(s.bufferSize);
  }

  void open(const std::string& host, int port, int keepAlive) override {
    want_ = Target{host, port, keepAlive, settingsVersion_};
    if (phase_ == Phase::Connected && !(attempt_ == *want_)) return closePaho();
    if (phase_ != Phase::Idle) return;  // the attempt under way ends in startAttempt()
    retry_.cancel();
    backoff_ = options_.reconnectMin;
    startAttempt();
  }

  awaitable<void> waitConnected() override {
    auto self = shared_from_this();
    while (phase_ != Phase::Connected) {
      if (!want_) throw boost::system::system_error(asio::error::operation_aborted);  // closed
      co_await sleepUntil(connectWaiters_, Clock::time_point::max());
    }
  }

  void subscribe(const Subscriptions& subs) override {
    if (phase_ != Phase::Connected) throw std::runtime_error("MQTT subscribe while not connected");
    std::vector<std::string> filters;
    mqtt::iasync_client::qos_collection qos;
    for (const auto& [filter, q] : subs) filters.push_back(filter), qos.push_back(q);
    try {
      if (settings_.retainAsPublished) {
        // One SUBSCRIBE per filter: the options vector of subscribeMany crashes Paho 1.2.0.
        for (std::size_t i = 0; i < filters.size(); ++i)
          paho_->cli->subscribe(filters[i], qos[i], nullptr, paho_->subscribeL,
                                mqtt::subscribe_options(false, true));
      } else {
        paho_->cli->subscribe(mqtt::string_collection::create(filters), qos, nullptr,
                              paho_->subscribeL);
      }
    } catch (const mqtt::exception& e) {
      throw std::runtime_error(fmt::format("MQTT subscribe failed: {}", e.what()));
    }
  }

  void publish(const std::string& topic, std::string payload, int qos, bool retain) override {
    push({topic, std::move(payload), qos, retain, {}, 0});
  }
  void publishReply(const std::string& topic, std::string payload, int qos,
                    const std::string& correlation) override {
    push({topic, std::move(payload), qos, false, correlation, 0});
  }
  void publishExpiring(const std::string& topic, std::string payload, int qos,
                       std::uint32_t expiry) override {
    push({topic, std::move(payload), qos, true, {}, expiry});
  }

  awaitable<void> waitForRoom() override {
    auto self = shared_from_this();
    while (phase_ == Phase::Connected && buf_.size() >= options_.highWater &&
           Clock::now() < lastProgress_ + options_.ackStall)
      co_await sleepUntil(roomWaiters_, lastProgress_ + options_.ackStall);
  }

  awaitable<void> disconnect() override {
    auto self = shared_from_this();
    want_.reset();
    retry_.cancel();
    wake(connectWaiters_);
    bool was = phase_ == Phase::Connected;
    // Up to a second for what is owed to go out and be acknowledged: the last status report
    // ("offline") was queued just before this, and a clean DISCONNECT discards the will.
    auto deadline = Clock::now() + std::chrono::seconds(1);
    while (phase_ == Phase::Connected && buf_.size() > 0 && Clock::now() < deadline) {
      drain();
      flush_.expires_at(deadline);  // cancelled by every acknowledgement
      co_await flush_.async_wait(asio::as_tuple(use_awaitable));
    }
    if (phase_ == Phase::Connected || phase_ == Phase::Connecting) closePaho();
    if (phase_ == Phase::Closing) {
      closeWaiter_ = std::make_shared<asio::steady_timer>(ex_, std::chrono::seconds(2));
      auto w = closeWaiter_;
      co_await w->async_wait(asio::as_tuple(use_awaitable));
      if (phase_ == Phase::Closing) {
        log("MQTT disconnect did not complete within 2 s; leaving that library client behind");
        abandonPaho();
      }
    }
    wakeRoomWaiters();
    // What waits is moved to disk now: the process may be about to end.
    if (spooling()) spoolWaiting();
    syncSpool();
    if (was) handler("on_disconnect", on_disconnect, std::string("client disconnect"));
  }

  bool isConnected() const override { return phase_ == Phase::Connected; }
  void setWill(MqttSettings::Will will) override { settings_.will = std::move(will); }
  MqttStats stats() const override {
    std::uint64_t spoolDrops = spool_ ? spool_->droppedCount() : 0;
    return {buf_.deliveredCount(),
            buf_.droppedCount() + spoolDrops + heldDropped_,
            buf_.size() + held_.size(),
            buf_.bytes() + heldBytes_,
            clientsMade_,
            spool_ ? spool_->records() : 0};
  }

  // Paho's reports, on the loop.
  void onConnectResult(bool ok, const std::string& text, bool session, int rc,
                       const std::string& props) {
    if (phase_ == Phase::Closing) return ok ? closePaho() : onClosed();  // disconnect() came
    if (phase_ != Phase::Connecting) return;
    if (!ok) {
      phase_ = Phase::Idle;
      // Without a reason code the broker never answered: over TLS, find out why.
      if (settings_.tls && rc == 0) return probeTls(text);
      return attemptFailed(text);
    }
    phase_ = Phase::Connected;
    if (!want_ || !(*want_ == attempt_)) return closePaho();  // asked for another meanwhile
    brokerAway_ = false;
    connectedAt_ = lastProgress_ = Clock::now();
    setNoDelayOnSocketsTo(attempt_.port);
    wake(connectWaiters_);
    std::string flags = fmt::format("session present {}", session ? 1 : 0);
    handler("on_connect", on_connect, flags, reasonText(rc), props);
    drain();
  }

  // The broker ended the connection with a DISCONNECT carrying `rc`.
  void onBrokerDisconnect(int rc, const std::string& why) {
    if (rc == TAKEN_OVER) noteTakeOver();
    silentCloses_.clear();
    onLost(why);
  }

  // The connection ended without a DISCONNECT. Some brokers (mosquitto 2.0) close a taken-over
  // connection so, without the reason: closes in a row, each followed by a connect that works at
  // once, are that pattern. A lost network fails the next connect and breaks the row.
  void onSilentClose(const std::string& why) {
    if (phase_ == Phase::Connected) {
      auto now = Clock::now();
      if (failedSinceClose_) silentCloses_.clear();
      failedSinceClose_ = false;
      std::erase_if(silentCloses_, [&](Clock::time_point t) { return now - t > SILENT_ROW; });
      silentCloses_.push_back(now);
      if (silentCloses_.size() >= SILENT_ROW_CLOSES) noteTakeOver(silentCloses_.size());
    }
    onLost(why);
  }

  void onTlsProbed(std::uint64_t seq, const std::string& text, const std::string& reason) {
    // Only the attempt probed is reported: open() may have started another meanwhile.
    if (seq != probeSeq_ || phase_ != Phase::Idle) return;
    attemptFailed(reason.empty() ? text : text + "; TLS: " + reason);
  }

  void onLost(const std::string& why) {
    if (phase_ != Phase::Connected) return;  // both Paho callbacks may report the same loss
    phase_ = Phase::Idle;
    brokerAway_ = true;
    requeue(true);
    spoolWaiting();
    if (Clock::now() - connectedAt_ >= options_.holdToReset) backoff_ = options_.reconnectMin;
    wakeRoomWaiters();
    handler("on_disconnect", on_disconnect, why);
    if (want_) scheduleAttempt();
  }

  void onClosed() {
    if (phase_ != Phase::Closing) return;
    phase_ = Phase::Idle;
    requeue(false);
    // Paho takes the next connect of a client it has disconnected only at its threads' next
    // turn, a second later: a restart gets a new one (this one is done with).
    renew_ = true;
    if (closeWaiter_) closeWaiter_->cancel();
    startAttempt();  // opened again meanwhile
  }

  void onPublished(const mqtt::token* t, bool ok, int rc, int reason) {
    auto f = tokens_.find(t);
    if (f == tokens_.end()) return;  // sent on a connection that has ended
    auto [tok, seq] = f->second;
    tokens_.erase(f);
    std::string topic = escapeControl(tok->get_message()->get_topic());
    if (ok) {
      buf_.delivered(seq);
      lastProgress_ = Clock::now();
    } else if (reason >= 0x80) {
      buf_.refused(seq);  // sending it again would be refused again
      publishLog_.log(
          fmt::format("MQTT publication to {} refused: {}", shortened(topic), reasonText(reason)));
    } else {
      buf_.untake(seq);  // not sent; it goes out again
      publishLog_.log(fmt::format("MQTT publication to {} failed: {}", shortened(topic),
                                  mqtt::exception::error_str(rc)));
    }
    wakeRoomWaiters();
    flush_.cancel();
    drain();
  }

  void onMessage(const std::string& topic, const Bytes& payload, int qos, const std::string& props,
                 const MqttReplyProps& reply) {
    handler("on_message", on_message, topic, payload, qos, props);
    handler("on_request", on_request, topic, payload, reply);
  }
  void onSubscribed(int mid, const std::vector<int>& granted, const std::string& props) {
    handler("on_subscribe", on_subscribe, mid, granted, props);
  }

  PahoId paho() const { return paho_ ? paho_->id : 0; }

 private:
  struct Target {
    std::string host;
    int port = 0;
    int keepAlive = 60;
    std::uint64_t settingsVersion = 0;
    bool operator==(const Target&) const = default;
  };
  enum class Phase { Idle, Connecting, Connected, Closing };

  std::string where() const { return fmt::format("{}:{}", attempt_.host, attempt_.port); }
  template <typename Fn, typename... Args>
  void handler(const char* name, Fn& fn, const Args&... args) {
    if (fn) runHandler(name, [&] { fn(*this, args...); });
  }
  static void wake(Waiters& ws) {
    for (auto& t : ws) t->cancel();
  }
  void wakeRoomWaiters() {
    if (phase_ != Phase::Connected || buf_.size() < options_.highWater) wake(roomWaiters_);
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

  void push(Publication p) {
    if (MqttBuffer::spoolable(p) && spooling()) {
      // Whatever waits in memory is older: it goes first, so that order holds.
      spoolWaiting();
      if (spool_->append(p)) {
        armSync();
        noteDrops();
        drain();
        return;
      }
    }
    if (MqttBuffer::spoolable(p) && spool_ && spool_->waiting() > 0)
      holdBehindSpool(std::move(p));
    else
      buf_.push(std::move(p));
    noteDrops();
    drain();
  }

  // A reading newer than some on disk that the spool could not take (it stopped): it waits
  // here until those have come back into the buffer, so that it never overtakes them. Bounded
  // like the buffer, oldest dropped first.
  void holdBehindSpool(Publication p) {
    heldBytes_ += MqttBuffer::cost(p);
    held_.push_back(std::move(p));
    while (heldBytes_ + buf_.bytes() > settings_.bufferSize && held_.size() > 1) {
      heldBytes_ -= MqttBuffer::cost(held_.front());
      held_.pop_front();
      ++heldDropped_;
      ++heldRecentDrops_;
    }
  }

  // Readings go to disk while the broker is away (once an attempt has failed or taken over a
  // second, or a connection was lost: a first connect usually works at once, and the disk is
  // spared), while it lags behind, and while earlier ones still wait there (they go first).
  bool spooling() const {
    if (!spool_ || spool_->stopped()) return false;
    bool away = phase_ != Phase::Connected && (brokerAway_ || phase_ != Phase::Connecting);
    return away || buf_.size() >= options_.highWater || spool_->waiting() > 0;
  }

  // Moves the readings waiting in memory to the spool, oldest first; those it cannot take stay.
  // Only while nothing waits on disk: what waits in memory then (readings that were in flight
  // when a connection was lost) is older than all of it, and keeps its place by staying.
  void spoolWaiting() {
    if (!spool_ || spool_->stopped() || spool_->waiting() > 0 || buf_.untaggedWaiting() == 0)
      return;
    auto pubs = buf_.takeUntaggedWaiting();
    for (auto& p : pubs) {
      if (!spool_->stopped() && spool_->append(p)) continue;
      if (spool_->waiting() > 0)
        holdBehindSpool(std::move(p));
      else
        buf_.push(std::move(p));
    }
    armSync();
    noteDrops();
  }

  // While connected and the memory buffer has room, spooled readings come back into it, oldest
  // first; each one's segment is told once it leaves the buffer.
  void fillFromSpool() {
    if (!spool_) return;
    auto room = std::max<std::size_t>(options_.highWater / 2, options_.maxInflight);
    while (buf_.size() < room) {
      auto item = spool_->waiting() > 0 ? spool_->next() : std::nullopt;
      if (item) {
        buf_.push(std::move(item->pub), item->segment);
      } else if (!held_.empty()) {
        heldBytes_ -= MqttBuffer::cost(held_.front());
        buf_.push(std::move(held_.front()));
        held_.pop_front();
      } else {
        break;
      }
    }
    noteDrops();
  }

  // New data reaches the disk within a second, with at most one round of fdatasync a second.
  // The wait for the disk (an SD card may take hundreds of milliseconds) is a worker thread's:
  // the loop meanwhile reads the UART.
  void armSync() {
    if (syncArmed_ || syncing_ || !spool_) return;
    syncArmed_ = true;
    syncTimer_.expires_after(std::chrono::seconds(1));
    syncTimer_.async_wait([w = weak_from_this()](boost::system::error_code) {
      auto c = w.lock();
      if (!c) return;
      c->syncArmed_ = false;
      auto job = c->spool_->takeSyncJob();
      if (!job) return;
      c->syncing_ = true;
      asio::post(*c->syncWorker_, [w, ex = c->ex_, job = std::move(*job)]() mutable {
        int err = Spool::runSyncJob(job);
        asio::post(ex, [w, err] {
          auto c = w.lock();
          if (!c) return;
          c->syncing_ = false;
          if (err) c->spool_->syncFailed(err);
          if (c->spool_->syncDue()) c->armSync();
        });
      });
    });
  }
  void syncSpool() {
    if (spool_) spool_->sync();
  }

  // Drops from the memory buffer or the spool: at most one summary line a second.
  void noteDrops() {
    bool spoolDrops = spool_ && spool_->droppedCount() != spoolDropsSeen_;
    if (dropLogArmed_ ||
        (!spoolDrops && heldRecentDrops_ == 0 && buf_.droppedCount() == bufDropsSeen_))
      return;
    dropLogArmed_ = true;
    dropLog_.expires_after(std::chrono::seconds(1));
    dropLog_.async_wait([w = weak_from_this()](boost::system::error_code) {
      auto c = w.lock();
      if (!c) return;
      c->dropLogArmed_ = false;
      c->logDrops();
    });
  }
  void logDrops() {
    bufDropsSeen_ = buf_.droppedCount();
    if (auto n = buf_.takeRecentDrops() + std::exchange(heldRecentDrops_, 0))
      logf("MQTT buffer full: {} readings dropped in the last second", n);
    if (!spool_) return;
    spoolDropsSeen_ = spool_->droppedCount();
    if (auto n = spool_->takeRecentDrops())
      logf("Spool: {} readings dropped in the last second to keep spool-size", n);
  }

  void makePaho(const std::string& uri) {
    auto w = weak_from_this();
    paho_ = std::make_unique<Paho>(w, ex_, clientsMade_ + 1, uri);
    ++clientsMade_;
    mqtt::create_options co(MQTTVERSION_5);
    // Paho holds at most the in-flight window; our own buffer holds the rest.
    co.set_max_buffered_messages(static_cast<int>(options_.maxInflight) + 100);
    auto& cli =
        *(paho_->cli = std::make_unique<mqtt::async_client>(uri, settings_.clientId, co, nullptr));
    const PahoId f = paho_->id;
    Executor e = ex_;
    cli.set_connection_lost_handler([w, e, f](const std::string& cause) {
      std::string why = cause.empty() ? "connection lost" : cause;
      post(w, e, f, [why](PahoClient& c) { c.onSilentClose(why); });
    });
    cli.set_disconnected_handler([w, e, f](const mqtt::properties&, mqtt::ReasonCode rc) {
      int code = static_cast<int>(rc);
      std::string why = "disconnected by broker: " + reasonText(code);
      post(w, e, f, [code, why](PahoClient& c) { c.onBrokerDisconnect(code, why); });
    });
    cli.set_message_callback([w, e, f, limit = inbound_](mqtt::const_message_ptr msg) {
      if (!msg) return;
      // Judged before anything is copied; the pass travels with the message to the loop.
      auto props = static_cast<std::size_t>(std::max(0, msg->get_properties().c_struct().length));
      auto pass = limit->admit(msg->get_topic().size() + msg->get_payload().size() + props);
      if (!pass) return;
      const auto& mp = msg->get_properties();
      MqttReplyProps reply;
      if (mp.contains(mqtt::property::RESPONSE_TOPIC))
        reply.responseTopic = mqtt::get<std::string>(mp, mqtt::property::RESPONSE_TOPIC);
      if (mp.contains(mqtt::property::CORRELATION_DATA))
        reply.correlationData = mqtt::get<std::string>(mp, mqtt::property::CORRELATION_DATA);
      reply.retained = msg->is_retained();
      const auto& p = msg->get_payload();
      post(w, e, f,
           [topic = msg->get_topic(), payload = Bytes(p.begin(), p.end()), qos = msg->get_qos(),
            props = propsText(mp), reply = std::move(reply), pass = std::move(*pass)](
               PahoClient& c) { c.onMessage(topic, payload, qos, props, reply); });
    });
  }

  void buildOptions() {
    mqtt::connect_options& opts = paho_->opts = mqtt::connect_options();
    opts.set_mqtt_version(MQTTVERSION_5);
    opts.set_clean_start(settings_.cleanStart);
    opts.set_keep_alive_interval(attempt_.keepAlive);
    opts.set_connect_timeout(options_.connectTimeout);
    opts.set_automatic_reconnect(false);  // one retry policy: ours
    if (!settings_.username.empty()) opts.set_user_name(settings_.username);
    if (!settings_.password.empty()) opts.set_password(settings_.password);
    // Set on the finished options: the builder's properties() crashes in Paho 1.2.0.
    // The broker drops what is larger than maxPacketSize instead of sending it: nobody who may
    // publish on a subscribed topic can make this process hold a huge payload.
    opts.set_properties(
        {{mqtt::property::SESSION_EXPIRY_INTERVAL, static_cast<int32_t>(settings_.sessionExpiry)},
         {mqtt::property::MAXIMUM_PACKET_SIZE, static_cast<int32_t>(settings_.maxPacketSize)}});
    if (const auto& w = settings_.will)
      opts.set_will(mqtt::will_options(w->topic, w->payload, w->qos, w->retain));
    if (settings_.tls) {
      mqtt::ssl_options ssl;
      if (!settings_.caFile.empty()) ssl.set_trust_store(settings_.caFile);
      if (!settings_.certFile.empty()) ssl.set_key_store(settings_.certFile);
      if (!settings_.keyFile.empty()) ssl.set_private_key(settings_.keyFile);
      ssl.set_enable_server_cert_auth(true);
      ssl.set_verify(true);  // the certificate must name the host we connect to
      opts.set_ssl(std::move(ssl));
    }
  }

  void startAttempt() {
    if (!want_ || phase_ != Phase::Idle) return;
    attempt_ = *want_;
    // Never a fall-back to plain TCP when TLS is asked for.
    auto uri =
        fmt::format("{}://{}:{}", settings_.tls ? "ssl" : "tcp", attempt_.host, attempt_.port);
    phase_ = Phase::Connecting;
    if (spool_ && !brokerAway_) {
      // A broker that does not answer holds an attempt for the whole connect time-out: after
      // a second it counts as away, and what waits goes to disk.
      slowAttempt_.expires_after(SLOW_ATTEMPT);
      slowAttempt_.async_wait([w = weak_from_this()](boost::system::error_code ec) {
        auto c = w.lock();
        if (!c || ec || c->phase_ != Phase::Connecting) return;
        c->brokerAway_ = true;
        c->spoolWaiting();
      });
    }
    try {
      if (!paho_ || paho_->uri != uri || renew_) {
        // Idle: disconnected, or its connection lost and the callback that said so returned
        // at least a back-off ago.
        paho_.reset();
        renew_ = false;
        makePaho(uri);
      }
      buildOptions();
      paho_->cli->connect(paho_->opts, nullptr, paho_->connectL);
    } catch (const std::exception& e) {
      phase_ = Phase::Idle;
      attemptFailed(e.what());
    }
  }

  // A little jitter, so that a fleet of gateways does not come back in step.
  std::chrono::milliseconds scheduleAttempt() {
    auto spread = backoff_.count() / 5;
    auto delay = backoff_ - std::chrono::milliseconds(spread > 0 ? jitter_() % (spread + 1) : 0);
    backoff_ = std::min(backoff_ * 2, options_.reconnectMax);
    retry_.expires_after(delay);
    retry_.async_wait([w = weak_from_this()](boost::system::error_code ec) {
      if (auto c = w.lock(); c && !ec) c->startAttempt();
    });
    return delay;
  }

  // Two clients with one identifier take the session from each other in turn, for ever; the
  // broker's reason (or, without one, `silentCloses` closes in a row) is the only trace of it.
  // Said at most once a minute.
  void noteTakeOver(std::size_t silentCloses = 0) {
    auto now = Clock::now();
    if (takeOverTold_ && now - *takeOverTold_ < TAKE_OVER_LOG_PERIOD) return;
    takeOverTold_ = now;
    const std::string remedy =
        "Give each gateway on this broker a client identifier of its own ([MQTT] client-id)";
    if (silentCloses == 0)
      logf(
          "MQTT broker {} closed the connection: another client connected with the same client "
          "identifier '{}' and took the session over. {}",
          where(), escapeControl(settings_.clientId), remedy);
    else
      logf(
          "MQTT broker {} closed the connection {} times within a minute without a reason, "
          "taking us back at once each time: another client with the same client identifier "
          "'{}' may be taking the session over. {}",
          where(), silentCloses, escapeControl(settings_.clientId), remedy);
  }

  // Runs one handshake of our own on a thread of its own, then reports the attempt.
  void probeTls(const std::string& text) {
    auto seq = ++probeSeq_;
    TlsProbeTarget target{attempt_.host, attempt_.port, settings_.caFile, settings_.certFile,
                          settings_.keyFile};
    auto limit = std::min<std::chrono::milliseconds>(options_.connectTimeout, PROBE_LIMIT);
    startProbe();
    try {
      std::thread([w = weak_from_this(), ex = ex_, target, text, seq, limit] {
        std::string reason;
        try {
          reason = tlsFailureReason(target, limit);
        } catch (const std::exception& e) {
          reason = e.what();
        }
        asio::post(ex, [w, text, reason, seq] {
          if (auto c = w.lock()) c->onTlsProbed(seq, text, reason);
        });
        endProbe();
      }).detach();
    } catch (const std::system_error&) {
      endProbe();
      attemptFailed(text);
    }
  }

  void attemptFailed(const std::string& why) {
    failedSinceClose_ = true;
    brokerAway_ = true;
    spoolWaiting();
    if (!want_) return;
    auto delay = scheduleAttempt();
    logf("MQTT broker {} not reachable; retrying in {:.1f} s ({})", where(),
         std::chrono::duration<double>(delay).count(), escapeControl(why));
    handler("on_connect_failed", on_connect_failed, why);
  }

  void closePaho() {
    phase_ = Phase::Closing;
    try {
      paho_->cli->disconnect(0, nullptr, paho_->disconnectL);
    } catch (const std::exception&) {
      onClosed();
    }
  }

  // Paho may still be at work in it: never freed (see finishMqttClients).
  void abandonPaho() {
    requeue(false);
    (void)paho_.release();
    ++clientsLeft;
    phase_ = Phase::Idle;
  }

  // What was in flight goes back to the buffer. Paho keeps it too, and would send it again
  // itself on its next connection (the session carries it), outside the buffer's order and
  // its poison check: such a Paho client is replaced at the next attempt.
  void requeue(bool brokerClosed) {
    tokens_.clear();
    renew_ = renew_ || buf_.inflight() > 0;
    for (auto& p : buf_.requeue(brokerClosed))
      logf(
          "MQTT publication to {} ({} bytes) set aside: the broker closed the connection twice "
          "while it was in flight",
          escapeControl(p.topic), p.payload.size());
  }

  // Hands publications to Paho while connected and the window has room.
  void drain() {
    if (phase_ == Phase::Connected) fillFromSpool();
    while (phase_ == Phase::Connected) {
      auto next = buf_.takeNext(options_.maxInflight);
      if (!next) break;
      auto [seq, p] = *next;
      if (buf_.inflight() == 1) lastProgress_ = Clock::now();  // the wait starts now
      try {
        auto msg = mqtt::make_message(p->topic, p->payload, p->qos, p->retain);
        mqtt::properties props;
        if (!p->correlation.empty()) props.add({mqtt::property::CORRELATION_DATA, p->correlation});
        if (p->expiry)
          props.add({mqtt::property::MESSAGE_EXPIRY_INTERVAL, static_cast<int>(p->expiry)});
        if (props.size()) msg->set_properties(props);
        auto tok = paho_->cli->publish(msg, nullptr, paho_->publishL);
        tokens_.emplace(tok.get(), std::pair{tok, seq});
      } catch (const mqtt::exception& e) {
        int rc = e.get_return_code();
        if (rc == MQTTASYNC_DISCONNECTED || rc == MQTTASYNC_MAX_BUFFERED_MESSAGES) {
          buf_.untake(seq);
          break;
        }
        publishLog_.log(fmt::format("MQTT publication to {} dropped: {}",
                                    shortened(escapeControl(p->topic)), e.what()));
        buf_.refused(seq);
      }
    }
  }

  static constexpr int TAKEN_OVER = 0x8E;  // reason code "Session taken over"
  static constexpr std::chrono::minutes TAKE_OVER_LOG_PERIOD{1};
  static constexpr std::chrono::milliseconds PROBE_LIMIT{5000};
  static constexpr std::chrono::seconds SLOW_ATTEMPT{1};
  // Refused or failed publications: one per message at most, and the broker may refuse every
  // one (an ACL against a sensor's topic, or a reply topic a requester picked).
  static constexpr std::size_t PUBLISH_LINES_PER_SECOND = 5;

  Executor ex_;
  MqttSettings settings_;
  std::optional<Clock::time_point> takeOverTold_;
  static constexpr std::chrono::minutes SILENT_ROW{1};
  static constexpr std::size_t SILENT_ROW_CLOSES = 3;
  std::vector<Clock::time_point> silentCloses_;  // within the last SILENT_ROW
  bool failedSinceClose_ = false;
  std::uint64_t probeSeq_ = 0;
  std::uint64_t settingsVersion_ = 0;
  PahoOptions options_;
  std::unique_ptr<Spool> spool_;  // outlives buf_, whose releases it hears
  std::uint64_t spoolDropsSeen_ = 0, bufDropsSeen_ = 0;
  // Since the last connect: an attempt failed or went unanswered, or a connection was lost.
  bool brokerAway_ = false;
  std::unique_ptr<asio::thread_pool> syncWorker_;  // goes first: joined before the spool goes
  bool syncing_ = false;
  MqttBuffer buf_;
  std::deque<Publication> held_;  // behind the spool, which stopped
  std::size_t heldBytes_ = 0;
  std::uint64_t heldDropped_ = 0, heldRecentDrops_ = 0;
  std::unique_ptr<Paho> paho_;
  bool renew_ = false;  // disconnected, or its session holds publications in flight
  std::uint64_t clientsMade_ = 0;
  Phase phase_ = Phase::Idle;
  std::optional<Target> want_;  // what open() asked for, until disconnect()
  Target attempt_;              // what the current attempt or connection is for
  asio::steady_timer retry_, flush_, dropLog_, syncTimer_, slowAttempt_;
  LogThrottle publishLog_;
  std::shared_ptr<InboundLimit> inbound_;  // shared with the library's message callback
  bool dropLogArmed_ = false, syncArmed_ = false;
  std::chrono::milliseconds backoff_;
  std::minstd_rand jitter_;
  Clock::time_point connectedAt_, lastProgress_ = Clock::now();
  Waiters connectWaiters_, roomWaiters_;
  std::shared_ptr<asio::steady_timer> closeWaiter_;
  // Publications handed to the current Paho client: acknowledgements are matched here, by the
  // token Paho reports, never through a pointer-sized context.
  std::unordered_map<const mqtt::token*, std::pair<mqtt::delivery_token_ptr, std::uint64_t>>
      tokens_;
};

template <typename F>
void post(const std::weak_ptr<PahoClient>& w, Executor ex, PahoId from, F f) {
  asio::post(ex, [w, from, f = std::move(f)]() mutable {
    if (auto c = w.lock(); c && c->paho() == from) f(*c);
  });
}

void Listener::report(const mqtt::token& tok, bool ok) {
  int rc = tok.get_return_code();
  int reason = static_cast<int>(tok.get_reason_code());
  std::string props = "[]";
  switch (kind) {
    case PUBLISH:
      return post(client, ex, from,
                  [t = &tok, ok, rc, reason](PahoClient& c) { c.onPublished(t, ok, rc, reason); });
    case CONNECT: {
      bool session = false;
      std::string text;
      try {
        if (ok) {
          auto rsp = tok.get_connect_response();
          session = rsp.is_session_present();
          props = propsText(rsp.get_properties());
        }
      } catch (...) {
      }
      if (!ok) text = reason != 0 ? reasonText(reason) : mqtt::exception::error_str(rc);
      if (!ok && text.empty()) text = fmt::format("error {}", rc);
      return post(client, ex, from,
                  [=](PahoClient& c) { c.onConnectResult(ok, text, session, reason, props); });
    }
    case SUBSCRIBE: {
      std::vector<int> granted;
      try {
        if (ok) {
          auto rsp = tok.get_subscribe_response();
          for (auto r : rsp.get_reason_codes()) granted.push_back(static_cast<int>(r));
          props = propsText(rsp.get_properties());
        }
      } catch (...) {
      }
      if (!ok)
        granted.assign(tok.get_topics() ? tok.get_topics()->size() : 1, reason ? reason : 0x80);
      return post(client, ex, from, [mid = tok.get_message_id(), granted, props](PahoClient& c) {
        c.onSubscribed(mid, granted, props);
      });
    }
    case DISCONNECT:
      return post(client, ex, from, [](PahoClient& c) { c.onClosed(); });
  }
}

}  // namespace

bool finishMqttClients() {
  std::unique_lock lk(probeMutex);
  // Every network step of a probe is bounded, so this wait is short; a broker that drips its
  // handshake out could hold one longer, and then the process leaves without cleaning up.
  bool probesEnded =
      probeDone.wait_for(lk, std::chrono::seconds(16), [] { return probesRunning == 0; });
  return probesEnded && clientsLeft.load() == 0;
}

std::shared_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options) {
  return std::make_shared<PahoClient>(ex, std::move(settings), options);
}

}  // namespace ostrel
