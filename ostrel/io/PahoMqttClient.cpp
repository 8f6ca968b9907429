// The MQTT client on Eclipse Paho C++: one Paho client, connected and disconnected as the
// gateway starts and stops, made again only when the server address changes.
//
// Threads: everything here runs on the event-loop thread, except the callbacks Paho makes on its
// own threads (Paho C always runs a send and a receive thread of its own; they cannot be
// avoided). Those callbacks only copy what they got and post it to the loop, holding the client
// weakly. The Paho client is destroyed on the loop thread once its disconnect has completed,
// when Paho calls into it no more; one whose disconnect never completes is left alone (see
// finishMqttClients).
#include "ostrel/io/PahoMqttClient.hpp"

#include <mqtt/async_client.h>

#include <atomic>
#include <cctype>
#include <random>
#include <unordered_map>

#include "ostrel/io/Log.hpp"

namespace ostrel {

namespace {

using namespace std::chrono_literals;

std::string reasonText(int rc) {
  if (rc == 0) return "Success";
  return MQTTReasonCode_toString(static_cast<MQTTReasonCodes>(rc));
}

// "RECEIVE_MAXIMUM" -> "receive maximum"
std::string propertyName(int id) {
  const char* raw = MQTTPropertyName(static_cast<MQTTPropertyCodes>(id));
  if (!raw) return fmt::format("property {}", id);
  std::string name(raw);
  for (char& c : name) c = c == '_' ? ' ' : static_cast<char>(std::tolower(c));
  return name;
}

std::string propsText(const mqtt::properties& props) {
  const MQTTProperties& c = props.c_struct();
  std::string out = "[";
  for (int i = 0; i < c.count; ++i) {
    const MQTTProperty& p = c.array[i];
    if (i) out += ", ";
    out += propertyName(p.identifier);
    out += ": ";
    auto data = [](const MQTTLenString& s) {
      return s.data ? std::string(s.data, static_cast<std::size_t>(s.len)) : std::string();
    };
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

struct Core;
using Clock = std::chrono::steady_clock;
std::atomic<int> clientsLeft{0};  // Paho clients abandoned mid-disconnect

struct Paho;
// Runs `f(core)` on the loop if the client still exists and `from` is still its Paho client (one
// given up mid-disconnect has nothing more to say). Called on Paho's threads.
template <typename F>
void post(const std::weak_ptr<Core>& w, Executor ex, const Paho* from, F f);

struct Listener : mqtt::iaction_listener {
  enum Kind { CONNECT, SUBSCRIBE, PUBLISH, DISCONNECT };
  Listener(std::weak_ptr<Core> c, Executor e, const Paho* f, Kind k)
      : core(std::move(c)), ex(e), from(f), kind(k) {}
  std::weak_ptr<Core> core;
  Executor ex;
  const Paho* from;
  Kind kind;
  void on_success(const mqtt::token& tok) override { report(tok, true); }
  void on_failure(const mqtt::token& tok) override { report(tok, false); }
  void report(const mqtt::token& tok, bool ok);
};

// One Paho client and the listeners it calls, which must outlive it.
struct Paho {
  Paho(const std::weak_ptr<Core>& c, Executor e)
      : connectL(c, e, this, Listener::CONNECT),
        subscribeL(c, e, this, Listener::SUBSCRIBE),
        publishL(c, e, this, Listener::PUBLISH),
        disconnectL(c, e, this, Listener::DISCONNECT) {}
  Listener connectL, subscribeL, publishL, disconnectL;
  std::string uri;
  mqtt::connect_options opts;  // used in place: a copy loses its properties in Paho 1.2
  std::unique_ptr<mqtt::async_client> cli;
};

struct Core : std::enable_shared_from_this<Core> {
  Core(Executor e, MqttSettings s, PahoOptions o)
      : ex(e),
        settings(std::move(s)),
        options(o),
        buf(settings.bufferSize),
        retryTimer(e),
        flushTimer(e),
        dropLogTimer(e),
        backoff(o.reconnectMin),
        jitter(std::random_device{}()) {
    if (options.maxInflight == 0) options.maxInflight = 1;
  }

  struct Target {
    std::string host;
    int port = 0;
    int keepAlive = 60;
    std::uint64_t settingsVersion = 0;
    bool operator==(const Target&) const = default;
  };
  enum class Phase { Idle, Connecting, Connected, Closing };

  Executor ex;
  MqttSettings settings;
  std::uint64_t settingsVersion = 0;
  PahoOptions options;
  MqttBuffer buf;
  MqttClient* owner = nullptr;
  std::unique_ptr<Paho> paho;
  bool carried = false;  // its session holds publications in flight (see requeue)
  std::uint64_t clientsMade = 0;
  Phase phase = Phase::Idle;
  std::optional<Target> want;  // what open() asked for, until disconnect()
  Target attempt;              // what the current attempt or connection is for
  asio::steady_timer retryTimer, flushTimer, dropLogTimer;
  bool dropLogArmed = false;
  std::chrono::milliseconds backoff;
  std::minstd_rand jitter;
  Clock::time_point connectedAt, lastProgress = Clock::now();
  std::vector<std::shared_ptr<asio::steady_timer>> connectWaiters, roomWaiters;
  std::shared_ptr<asio::steady_timer> closeWaiter;
  // Publications handed to Paho on the current connection: acknowledgements are matched here,
  // by the token Paho reports, never through a pointer-sized context.
  std::unordered_map<const mqtt::token*, std::pair<mqtt::delivery_token_ptr, std::uint64_t>> tokens;

  std::string where() const { return fmt::format("{}:{}", attempt.host, attempt.port); }

  template <typename F>
  void handler(const char* name, F f) {
    if (auto* self = owner) runHandler(name, [&] { f(*self); });
  }
  static void wake(std::vector<std::shared_ptr<asio::steady_timer>>& ws) {
    for (auto& t : ws) t->cancel();
  }
  void wakeRoomWaiters() {
    if (phase != Phase::Connected || buf.size() < options.highWater) wake(roomWaiters);
  }

  // At most one summary line a second while the buffer sheds publications.
  void noteDrops(std::size_t n) {
    if (n == 0 || dropLogArmed) return;
    dropLogArmed = true;
    dropLogTimer.expires_after(std::chrono::seconds(1));
    dropLogTimer.async_wait([w = weak_from_this()](boost::system::error_code) {
      auto s = w.lock();
      if (!s) return;
      s->dropLogArmed = false;
      if (auto n = s->buf.takeRecentDrops())
        logf("MQTT buffer full: {} readings dropped in the last second", n);
    });
  }

  void push(Publication p) {
    noteDrops(buf.push(std::move(p)));
    drain();
  }

  void makePaho(const std::string& uri) {
    paho = std::make_unique<Paho>(weak_from_this(), ex);
    paho->uri = uri;
    ++clientsMade;
    mqtt::create_options co(MQTTVERSION_5);
    // Paho holds at most the in-flight window; our own buffer holds the rest.
    co.set_max_buffered_messages(static_cast<int>(options.maxInflight) + 100);
    paho->cli = std::make_unique<mqtt::async_client>(uri, settings.clientId, co, nullptr);
    std::weak_ptr<Core> w = weak_from_this();
    Executor e = ex;
    const Paho* f = paho.get();
    paho->cli->set_connection_lost_handler([w, e, f](const std::string& cause) {
      std::string why = cause.empty() ? "connection lost" : cause;
      post(w, e, f, [why](Core& c) { c.onLost(why); });
    });
    // The broker ended the session with a DISCONNECT packet.
    paho->cli->set_disconnected_handler([w, e, f](const mqtt::properties&, mqtt::ReasonCode rc) {
      std::string why = "disconnected by broker: " + reasonText(static_cast<int>(rc));
      post(w, e, f, [why](Core& c) { c.onLost(why); });
    });
    paho->cli->set_message_callback([w, e, f](mqtt::const_message_ptr msg) {
      if (!msg) return;
      const auto& p = msg->get_payload();
      Bytes payload(p.begin(), p.end());
      MqttReplyProps reply;
      const auto& mp = msg->get_properties();
      if (mp.contains(mqtt::property::RESPONSE_TOPIC))
        reply.responseTopic = mqtt::get<std::string>(mp, mqtt::property::RESPONSE_TOPIC);
      if (mp.contains(mqtt::property::CORRELATION_DATA))
        reply.correlationData = mqtt::get<std::string>(mp, mqtt::property::CORRELATION_DATA);
      post(w, e, f,
           [topic = msg->get_topic(), payload = std::move(payload), qos = msg->get_qos(),
            props = propsText(mp), reply = std::move(reply)](Core& c) {
             c.handler("on_message", [&](MqttClient& m) {
               if (m.on_message) m.on_message(m, topic, payload, qos, props);
             });
             // The first handler may have destroyed the client.
             c.handler("on_request", [&](MqttClient& m) {
               if (m.on_request) m.on_request(m, topic, payload, reply);
             });
           });
    });
  }

  void buildOptions() {
    mqtt::connect_options& opts = paho->opts;
    opts = mqtt::connect_options();
    opts.set_mqtt_version(MQTTVERSION_5);
    opts.set_clean_start(settings.cleanStart);
    opts.set_keep_alive_interval(attempt.keepAlive);
    opts.set_connect_timeout(options.connectTimeout);
    opts.set_automatic_reconnect(false);  // one retry policy: ours
    if (!settings.username.empty()) opts.set_user_name(settings.username);
    if (!settings.password.empty()) opts.set_password(settings.password);
    // Set on the finished options: the builder's properties() crashes in Paho 1.2.0.
    mqtt::properties props;
    props.add(mqtt::property(mqtt::property::SESSION_EXPIRY_INTERVAL,
                             static_cast<int32_t>(settings.sessionExpiry)));
    opts.set_properties(props);
    if (settings.will) {
      const auto& w = *settings.will;
      opts.set_will(mqtt::will_options(w.topic, w.payload, w.qos, w.retain));
    }
    if (settings.tls) {
      mqtt::ssl_options ssl;
      if (!settings.caFile.empty()) ssl.set_trust_store(settings.caFile);
      if (!settings.certFile.empty()) ssl.set_key_store(settings.certFile);
      if (!settings.keyFile.empty()) ssl.set_private_key(settings.keyFile);
      ssl.set_enable_server_cert_auth(true);
      ssl.set_verify(true);  // the certificate must name the host we connect to
      opts.set_ssl(std::move(ssl));
    }
  }

  void startAttempt() {
    if (!want || phase != Phase::Idle) return;
    attempt = *want;
    // Never a fall-back to plain TCP when TLS is asked for.
    std::string uri =
        fmt::format("{}://{}:{}", settings.tls ? "ssl" : "tcp", attempt.host, attempt.port);
    phase = Phase::Connecting;
    try {
      if (!paho || paho->uri != uri || carried) {
        // Idle: its disconnect has completed or its connection is lost, and the callback that
        // said so returned at least a back-off ago.
        paho.reset();
        carried = false;
        makePaho(uri);
      }
      buildOptions();
      paho->cli->connect(paho->opts, nullptr, paho->connectL);
    } catch (const std::exception& e) {
      phase = Phase::Idle;
      attemptFailed(e.what());
    }
  }

  // A little jitter, so that a fleet of gateways does not come back in step.
  std::chrono::milliseconds scheduleAttempt() {
    auto spread = backoff.count() / 5;
    auto delay = backoff - std::chrono::milliseconds(spread > 0 ? jitter() % (spread + 1) : 0);
    backoff = std::min(backoff * 2, options.reconnectMax);
    retryTimer.expires_after(delay);
    retryTimer.async_wait([w = weak_from_this()](boost::system::error_code ec) {
      if (auto c = w.lock(); c && !ec) c->startAttempt();
    });
    return delay;
  }

  void attemptFailed(const std::string& why) {
    if (!want) return;
    auto delay = scheduleAttempt();
    logf("MQTT broker {} not reachable; retrying in {:.1f} s ({})", where(),
         std::chrono::duration<double>(delay).count(), escapeControl(why));
    handler("on_connect_failed", [&](MqttClient& m) {
      if (m.on_connect_failed) m.on_connect_failed(m, why);
    });
  }

  void onConnectResult(bool ok, const std::string& text, bool session, int rc,
                       const std::string& props) {
    if (phase == Phase::Closing) {
      // disconnect() came while the attempt ran: end what the attempt made.
      if (ok) return closePaho();
      return onClosed();
    }
    if (phase != Phase::Connecting) return;
    if (!ok) {
      phase = Phase::Idle;
      std::string why = text;
      if (settings.tls && text.find("Failure") != std::string::npos)
        why += fmt::format(
            " (TLS: the broker's certificate does not verify against {}, has expired or does "
            "not name the host of {}; or the broker refused the client certificate; or nothing "
            "listens there)",
            settings.caFile.empty() ? "the system's CAs" : settings.caFile, where());
      return attemptFailed(why);
    }
    phase = Phase::Connected;
    if (!want || !(*want == attempt)) return closePaho();  // asked for something else meanwhile
    connectedAt = lastProgress = Clock::now();
    wake(connectWaiters);
    std::string flags = fmt::format("session present {}", session ? 1 : 0);
    std::string rcText = reasonText(rc);
    handler("on_connect", [&](MqttClient& m) {
      if (m.on_connect) m.on_connect(m, flags, rcText, props);
    });
    drain();
  }

  void onLost(const std::string& why) {
    if (phase != Phase::Connected) return;  // both Paho callbacks may report the same loss
    phase = Phase::Idle;
    requeue(true);
    if (Clock::now() - connectedAt >= options.holdToReset) backoff = options.reconnectMin;
    wakeRoomWaiters();
    handler("on_disconnect", [&](MqttClient& m) {
      if (m.on_disconnect) m.on_disconnect(m, why);
    });
    if (want) scheduleAttempt();
  }

  // What was in flight goes back to the buffer. Paho keeps it too, and would send it again
  // itself on its next connection (the session carries it), outside the buffer's order and
  // its poison check: such a Paho client is replaced at the next attempt.
  void requeue(bool brokerClosed) {
    tokens.clear();
    carried = carried || buf.inflight() > 0;
    for (auto& p : buf.requeue(brokerClosed))
      logf(
          "MQTT publication to {} ({} bytes) set aside: the broker closed the connection twice "
          "while it was in flight",
          escapeControl(p.topic), p.payload.size());
  }

  void closePaho() {
    phase = Phase::Closing;
    try {
      paho->cli->disconnect(0, nullptr, paho->disconnectL);
    } catch (const std::exception&) {
      onClosed();
    }
  }

  // Paho may still be at work in it: never freed (see finishMqttClients); the next attempt
  // makes a new one.
  void abandonPaho() {
    requeue(false);
    (void)paho.release();
    ++clientsLeft;
    phase = Phase::Idle;
  }

  void onClosed() {
    if (phase != Phase::Closing) return;
    phase = Phase::Idle;
    requeue(false);
    if (closeWaiter) closeWaiter->cancel();
    startAttempt();  // opened again meanwhile
  }

  // Hands publications to Paho while connected and the window has room.
  void drain() {
    while (phase == Phase::Connected) {
      auto next = buf.takeNext(options.maxInflight);
      if (!next) break;
      auto [seq, p] = *next;
      if (buf.inflight() == 1) lastProgress = Clock::now();  // the wait starts now
      try {
        auto msg = mqtt::make_message(p->topic, p->payload, p->qos, p->retain);
        mqtt::properties props;
        if (!p->correlation.empty()) props.add({mqtt::property::CORRELATION_DATA, p->correlation});
        if (p->expiry)
          props.add({mqtt::property::MESSAGE_EXPIRY_INTERVAL, static_cast<int>(p->expiry)});
        if (props.size()) msg->set_properties(props);
        auto tok = paho->cli->publish(msg, nullptr, paho->publishL);
        tokens.emplace(tok.get(), std::pair{tok, seq});
      } catch (const mqtt::exception& e) {
        int rc = e.get_return_code();
        if (rc == MQTTASYNC_DISCONNECTED || rc == MQTTASYNC_MAX_BUFFERED_MESSAGES) {
          buf.untake(seq);
          break;
        }
        log(fmt::format("MQTT publication to {} dropped: {}", escapeControl(p->topic), e.what()));
        buf.refused(seq);
      }
    }
  }

  void onPublished(const mqtt::token* t, bool ok, int rc, int reason) {
    auto f = tokens.find(t);
    if (f == tokens.end()) return;  // sent on a connection that has ended
    std::uint64_t seq = f->second.second;
    std::string topic = escapeControl(f->second.first->get_message()->get_topic());
    tokens.erase(f);
    if (ok) {
      buf.delivered(seq);
      lastProgress = Clock::now();
    } else if (reason >= 0x80) {
      // The broker refused it: sending it again would be refused again.
      buf.refused(seq);
      log(fmt::format("MQTT publication to {} refused: {}", topic, reasonText(reason)));
    } else {
      buf.untake(seq);  // not sent; it goes out again
      log(fmt::format("MQTT publication to {} failed: {}", topic, mqtt::exception::error_str(rc)));
    }
    wakeRoomWaiters();
    flushTimer.cancel();
    drain();
  }
};

template <typename F>
void post(const std::weak_ptr<Core>& w, Executor ex, const Paho* from, F f) {
  asio::post(ex, [w, from, f = std::move(f)]() mutable {
    if (auto c = w.lock(); c && c->paho.get() == from) f(*c);
  });
}

void Listener::report(const mqtt::token& tok, bool ok) {
  int rc = tok.get_return_code();
  int reason = static_cast<int>(tok.get_reason_code());
  switch (kind) {
    case PUBLISH:
      post(core, ex, from,
           [t = &tok, ok, rc, reason](Core& c) { c.onPublished(t, ok, rc, reason); });
      break;
    case CONNECT: {
      bool session = false;
      std::string props = "[]", text;
      if (ok) {
        try {
          auto rsp = tok.get_connect_response();
          session = rsp.is_session_present();
          props = propsText(rsp.get_properties());
        } catch (...) {
        }
      } else {
        text = reason != 0 ? reasonText(reason) : mqtt::exception::error_str(rc);
        if (text.empty()) text = fmt::format("error {}", rc);
      }
      post(core, ex, from, [=](Core& c) { c.onConnectResult(ok, text, session, reason, props); });
      break;
    }
    case SUBSCRIBE: {
      std::vector<int> granted;
      std::string props = "[]";
      if (ok) {
        try {
          auto rsp = tok.get_subscribe_response();
          for (auto r : rsp.get_reason_codes()) granted.push_back(static_cast<int>(r));
          props = propsText(rsp.get_properties());
        } catch (...) {
        }
      } else {
        auto topics = tok.get_topics();
        granted.assign(topics ? topics->size() : 1, reason ? reason : 0x80);
      }
      post(core, ex, from, [mid = tok.get_message_id(), granted, props](Core& c) {
        c.handler("on_subscribe", [&](MqttClient& m) {
          if (m.on_subscribe) m.on_subscribe(m, mid, granted, props);
        });
      });
      break;
    }
    case DISCONNECT:
      post(core, ex, from, [](Core& c) { c.onClosed(); });
      break;
  }
}

class PahoMqttClient final : public MqttClient {
 public:
  PahoMqttClient(Executor ex, MqttSettings settings, PahoOptions options)
      : c_(std::make_shared<Core>(ex, std::move(settings), options)) {
    c_->owner = this;
  }

  ~PahoMqttClient() override {
    auto& c = *c_;
    c.owner = nullptr;
    c.want.reset();
    for (auto* t : {&c.retryTimer, &c.flushTimer, &c.dropLogTimer}) t->cancel();
    Core::wake(c.connectWaiters);
    Core::wake(c.roomWaiters);
    if (auto n = c.buf.takeRecentDrops())
      logf("MQTT buffer full: {} readings dropped in the last second", n);
    c.tokens.clear();
    if (c.phase == Core::Phase::Connected || c.phase == Core::Phase::Connecting) {
      // Not disconnected first (the daemon always is; a test may not be): the one blocking
      // wait here, bounded.
      try {
        if (c.paho->cli->disconnect(0)->wait_for(std::chrono::seconds(2)))
          c.phase = Core::Phase::Idle;
      } catch (const std::exception&) {
        c.phase = Core::Phase::Idle;  // Paho says there is no connection
      }
    }
    if (c.phase != Core::Phase::Idle && c.paho) c.abandonPaho();
  }

  void configure(const MqttSettings& s) override {
    auto will = c_->settings.will;
    c_->settings = s;
    if (!c_->settings.will) c_->settings.will = will;
    ++c_->settingsVersion;
    c_->buf.setLimit(s.bufferSize);
  }

  void open(const std::string& host, int port, int keepAliveSeconds) override {
    auto& c = *c_;
    c.want = Core::Target{host, port, keepAliveSeconds, c.settingsVersion};
    if (c.phase == Core::Phase::Connected && !(c.attempt == *c.want)) return c.closePaho();
    if (c.phase != Core::Phase::Idle) return;  // the attempt under way ends in startAttempt()
    c.retryTimer.cancel();
    c.backoff = c.options.reconnectMin;
    c.startAttempt();
  }

  awaitable<void> waitConnected() override { return doWaitConnected(c_); }
  static awaitable<void> doWaitConnected(std::shared_ptr<Core> c) {
    while (c->phase != Core::Phase::Connected) {
      auto t = std::make_shared<asio::steady_timer>(c->ex, asio::steady_timer::time_point::max());
      c->connectWaiters.push_back(t);
      co_await t->async_wait(asio::as_tuple(use_awaitable));
      std::erase(c->connectWaiters, t);
      auto cs = co_await asio::this_coro::cancellation_state;
      if (cs.cancelled() != asio::cancellation_type::none || !c->owner)
        throw boost::system::system_error(asio::error::operation_aborted);
    }
  }

  void subscribe(const Subscriptions& subs) override {
    auto& c = *c_;
    if (c.phase != Core::Phase::Connected)
      throw std::runtime_error("MQTT subscribe while not connected");
    std::vector<std::string> filters;
    mqtt::iasync_client::qos_collection qos;
    for (const auto& [filter, q] : subs) {
      filters.push_back(filter);
      qos.push_back(q);
    }
    try {
      // No per-filter subscribe_options: that vector crashes Paho 1.2.0's subscribeMany.
      c.paho->cli->subscribe(mqtt::string_collection::create(filters), qos, nullptr,
                             c.paho->subscribeL);
    } catch (const mqtt::exception& e) {
      throw std::runtime_error(fmt::format("MQTT subscribe failed: {}", e.what()));
    }
  }

  void publish(const std::string& topic, std::string payload, int qos, bool retain) override {
    c_->push(Publication{topic, std::move(payload), qos, retain, {}, 0});
  }
  void publishReply(const std::string& topic, std::string payload, int qos,
                    const std::string& correlationData) override {
    c_->push(Publication{topic, std::move(payload), qos, false, correlationData, 0});
  }
  void publishExpiring(const std::string& topic, std::string payload, int qos,
                       std::uint32_t expirySeconds) override {
    c_->push(Publication{topic, std::move(payload), qos, true, {}, expirySeconds});
  }

  awaitable<void> waitForRoom() override { return doWaitForRoom(c_); }
  static awaitable<void> doWaitForRoom(std::shared_ptr<Core> c) {
    for (;;) {
      if (c->phase != Core::Phase::Connected || c->buf.size() < c->options.highWater) co_return;
      auto deadline = c->lastProgress + c->options.ackStall;
      if (Clock::now() >= deadline) co_return;
      auto t = std::make_shared<asio::steady_timer>(c->ex, deadline);
      c->roomWaiters.push_back(t);
      co_await t->async_wait(asio::as_tuple(use_awaitable));
      std::erase(c->roomWaiters, t);
      auto cs = co_await asio::this_coro::cancellation_state;
      if (cs.cancelled() != asio::cancellation_type::none)
        throw boost::system::system_error(asio::error::operation_aborted);
    }
  }

  awaitable<void> disconnect() override { return doDisconnect(c_); }
  static awaitable<void> doDisconnect(std::shared_ptr<Core> c) {
    c->want.reset();
    c->retryTimer.cancel();
    bool was = c->phase == Core::Phase::Connected;
    // Up to a second for what is owed to go out and be acknowledged: the last status report
    // ("offline") was queued just before this, and a clean DISCONNECT discards the will that
    // would otherwise say it.
    auto deadline = Clock::now() + std::chrono::seconds(1);
    while (c->phase == Core::Phase::Connected && c->buf.size() > 0 && Clock::now() < deadline) {
      c->drain();
      c->flushTimer.expires_at(deadline);  // cancelled by every acknowledgement
      co_await c->flushTimer.async_wait(asio::as_tuple(use_awaitable));
    }
    if (c->phase == Core::Phase::Connected || c->phase == Core::Phase::Connecting) c->closePaho();
    if (c->phase == Core::Phase::Closing) {
      c->closeWaiter = std::make_shared<asio::steady_timer>(c->ex, std::chrono::seconds(2));
      auto w = c->closeWaiter;
      co_await w->async_wait(asio::as_tuple(use_awaitable));
      if (c->phase == Core::Phase::Closing) {
        log("MQTT disconnect did not complete within 2 s; leaving that library client behind");
        c->abandonPaho();
      }
    }
    c->wakeRoomWaiters();
    if (was)
      c->handler("on_disconnect", [](MqttClient& m) {
        if (m.on_disconnect) m.on_disconnect(m, "client disconnect");
      });
  }

  bool isConnected() const override { return c_->phase == Core::Phase::Connected; }
  void setWill(MqttSettings::Will will) override { c_->settings.will = std::move(will); }
  MqttStats stats() const override {
    const auto& b = c_->buf;
    return {b.deliveredCount(), b.droppedCount(), b.size(), b.bytes(), c_->clientsMade};
  }

 private:
  std::shared_ptr<Core> c_;
};

}  // namespace

bool finishMqttClients() {
  return clientsLeft.load() == 0;
}

std::unique_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options) {
  return std::make_unique<PahoMqttClient>(ex, std::move(settings), options);
}

}  // namespace ostrel
