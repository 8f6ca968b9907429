#include "ostrel/io/PahoMqttClient.hpp"

#include <mqtt/async_client.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

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

struct State;

// One Paho client: one connection attempt and, once it succeeds, that connection. Its generation
// number tells its events from those of every other attempt: a late answer to an attempt that
// was given up can never act on the current one. It is freed only where no Paho call can be
// inside it: on the thread that made the blocking call, or on the graveyard thread.
struct Conn : std::enable_shared_from_this<Conn> {
  Conn(Executor e, std::weak_ptr<State> s, std::uint64_t g) : ex(e), state(std::move(s)), gen(g) {}

  const Executor ex;
  const std::weak_ptr<State> state;
  const std::uint64_t gen;
  mqtt::connect_options opts;  // used in place: a copy loses its properties in Paho 1.2
  // Added to a failed TLS connect's reason, which Paho gives only as "Failure".
  std::string tlsHint;
  // What the client was made for; a spare is used again only for the same.
  std::string uri;
  int keepAlive = 0;
  // Set by the thread that made the connect call once that call has returned.
  std::atomic<bool> callReturned{false};

  // Runs `f(state, gen)` on the loop if the client still exists (once it is gone, the loop may be
  // gone too). Called on Paho's threads; holds the state only weakly, so that it is never
  // released there.
  template <typename F>
  void post(F f) const {
    if (state.expired()) return;
    asio::post(ex, [w = state, g = gen, f = std::move(f)]() mutable {
      if (auto s = w.lock()) f(*s, g);
    });
  }

  struct Listener : mqtt::iaction_listener {
    enum Kind { CONNECT, SUBSCRIBE, PUBLISH };
    Listener(Conn* c, Kind k) : conn(c), kind(k) {}
    Conn* conn;
    Kind kind;
    void on_success(const mqtt::token& tok) override;
    void on_failure(const mqtt::token& tok) override;
    void done(const mqtt::token& tok, bool ok);  // publications
  };
  // Declared before the client, so that they outlive it: Paho calls them until it is gone.
  Listener connectListener{this, Listener::CONNECT};
  Listener subscribeListener{this, Listener::SUBSCRIBE};
  Listener publishListener{this, Listener::PUBLISH};
  std::unique_ptr<mqtt::async_client> cli;
};

// A client that goes during static destruction, after the graveyard, is freed in place.
std::atomic<bool> graveyardGone{false};
// Connect calls still running on their own threads (see startConnect).
std::atomic<int> connectCallsRunning{0};

// Paho clients that are no longer used are disconnected and freed here, off the event loop:
// a disconnect waits for the broker, and a client whose connect call is still blocked stays
// alive until that call returns (its thread holds it).
class Graveyard {
 public:
  static Graveyard& instance() {
    static Graveyard g;
    return g;
  }
  void retire(std::shared_ptr<Conn> c, bool disconnect) {
    if (!c) return;
    std::lock_guard lk(m_);
    if (stop_) return;  // at exit, after the graveyard: freed right here
    dead_.push_back({std::move(c), disconnect});
    cv_.notify_all();
  }
  // Waits until every retired client has been freed and no connect call is running, then ends
  // the thread. False when that did not happen within `limit`.
  bool finish(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock lk(m_);
    while (!dead_.empty() || busy_ || connectCallsRunning.load() != 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      cv_.wait_for(lk, 10ms);  // a connect thread that returns does not notify
    }
    stop_ = true;
    cv_.notify_all();
    lk.unlock();
    if (thread_.joinable()) thread_.join();
    return true;
  }
  ~Graveyard() {
    {
      std::lock_guard lk(m_);
      stop_ = true;
      cv_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    graveyardGone = true;
  }

 private:
  struct Item {
    std::shared_ptr<Conn> conn;
    bool disconnect;
  };
  Graveyard() : thread_([this] { run(); }) {}
  void run() {
    std::unique_lock lk(m_);
    for (;;) {
      cv_.wait(lk, [&] { return stop_ || !dead_.empty(); });
      if (dead_.empty()) return;
      Item item = std::move(dead_.front());
      dead_.pop_front();
      busy_ = true;
      lk.unlock();
      if (item.disconnect && item.conn->cli) {
        try {
          if (item.conn->cli->is_connected()) item.conn->cli->disconnect(500)->wait_for(1500ms);
        } catch (...) {
        }
      }
      item.conn.reset();
      lk.lock();
      busy_ = false;
      cv_.notify_all();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Item> dead_;
  bool stop_ = false;
  bool busy_ = false;
  std::thread thread_;
};

void retire(std::shared_ptr<Conn>& c, bool disconnect) {
  if (!graveyardGone) Graveyard::instance().retire(std::move(c), disconnect);
  c.reset();
}

class PahoMqttClient;

// Everything the coroutines and timers of a client share; lives on the event-loop thread.
struct State : std::enable_shared_from_this<State> {
  State(Executor e, MqttSettings s, PahoOptions o)
      : ex(e),
        settings(std::move(s)),
        options(std::move(o)),
        reconnectTimer(e),
        connectWatchdog(e),
        jitter(std::random_device{}()),
        dropLogTimer(e) {
    buf = options.buffer ? options.buffer : std::make_shared<MqttBuffer>(settings.bufferSize);
    if (options.maxInflight == 0) options.maxInflight = 1;
    backoff = options.reconnectMin;
  }

  Executor ex;
  MqttSettings settings;
  PahoOptions options;
  std::shared_ptr<MqttBuffer> buf;
  PahoMqttClient* owner = nullptr;

  std::string serverUri;
  std::string where;  // host:port for messages
  int keepAlive = 60;
  std::shared_ptr<Conn> conn;  // the current attempt or connection
  // A client whose connect Paho refused cleanly, kept for the next attempt (see startConnect).
  std::shared_ptr<Conn> spare;
  std::uint64_t clientsMade = 0;

  bool everConnected = false;
  bool stopping = false;
  bool connecting = false;
  bool connected = false;
  asio::steady_timer reconnectTimer;
  // Ends a connect attempt that Paho never reports on (see startConnect).
  asio::steady_timer connectWatchdog;
  std::chrono::milliseconds backoff;
  std::minstd_rand jitter;
  std::shared_ptr<asio::steady_timer> connectWaiter;
  std::optional<std::string> connectError;  // set (empty on success) when the attempt ended
  bool connectEnded = false;

  // Back-pressure: producers waiting for room, and when the broker last showed progress.
  std::vector<std::shared_ptr<asio::steady_timer>> roomWaiters;
  std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
  asio::steady_timer dropLogTimer;
  bool dropLogArmed = false;

  void wakeRoomWaiters() {
    if (connected && buf->size() >= options.highWater) return;
    for (auto& t : roomWaiters) t->cancel();
  }

  // At most one summary line a second while the buffer sheds readings.
  void noteDrops() {
    if (dropLogArmed) return;
    dropLogArmed = true;
    dropLogTimer.expires_after(1s);
    dropLogTimer.async_wait([w = weak_from_this()](boost::system::error_code ec) {
      auto s = w.lock();
      if (!s) return;
      s->dropLogArmed = false;
      if (ec) return;
      if (auto n = s->buf->takeRecentDrops())
        logf("MQTT buffer full: {} readings dropped in the last second", n);
    });
  }

  void installCallbacks(Conn& c) {
    Conn* cp = &c;  // the callbacks live inside c.cli, so they never outlive c
    c.cli->set_connection_lost_handler([cp](const std::string& cause) {
      std::string why = cause.empty() ? "connection lost" : cause;
      cp->post([why](State& st, std::uint64_t gen) { st.onConnectionLost(gen, why); });
    });
    // The broker ended the session with a DISCONNECT packet.
    c.cli->set_disconnected_handler([cp](const mqtt::properties&, mqtt::ReasonCode rc) {
      std::string why = "disconnected by broker: " + reasonText(static_cast<int>(rc));
      cp->post([why](State& st, std::uint64_t gen) { st.onConnectionLost(gen, why); });
    });
    // Messages count whatever connection brought them: the broker has handed them over.
    c.cli->set_message_callback([cp](mqtt::const_message_ptr msg) {
      if (!msg) return;
      const auto& p = msg->get_payload();
      Bytes payload(p.begin(), p.end());
      MqttReplyProps reply;
      const auto& mp = msg->get_properties();
      if (mp.contains(mqtt::property::RESPONSE_TOPIC))
        reply.responseTopic = mqtt::get<std::string>(mp, mqtt::property::RESPONSE_TOPIC);
      if (mp.contains(mqtt::property::CORRELATION_DATA))
        reply.correlationData = mqtt::get<std::string>(mp, mqtt::property::CORRELATION_DATA);
      cp->post([topic = msg->get_topic(), payload = std::move(payload), qos = msg->get_qos(),
                props = propsText(mp), reply = std::move(reply)](State& st, std::uint64_t) {
        st.onMessage(topic, payload, qos, props, reply);
      });
    });
  }

  void buildOptions(Conn& c) {
    mqtt::connect_options& opts = c.opts;
    opts.set_mqtt_version(MQTTVERSION_5);
    opts.set_clean_start(settings.cleanStart);
    opts.set_keep_alive_interval(keepAlive);
    opts.set_connect_timeout(options.connectTimeout);
    opts.set_automatic_reconnect(false);  // we reconnect ourselves, with our own back-off
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
      // OpenSSL's own reason is out of reach: Paho 1.2's ssl error handler crashes the process.
      c.tlsHint = fmt::format(
          " (TLS: the broker's certificate does not verify against {}, has expired or does not "
          "name the host of {}; or the broker refused the client certificate; or nothing "
          "listens there)",
          settings.caFile.empty() ? "the system's CAs" : settings.caFile, where);
      opts.set_ssl(std::move(ssl));
    }
  }

  // An attempt gets a Paho client of its own unless the previous attempt's client was refused
  // cleanly over plain TCP: each new Paho client takes a slot in OpenSSL's table of ex-data
  // indexes that is never given back (~250 bytes an attempt against a broker that stays away).
  // Over TLS a reused client kept more per attempt than new ones do (~430 against ~70 bytes), so
  // TLS attempts still get new clients. Paho's connect can block for good when it is called just
  // after the broker went away and came back (seen with a broker restart): the call runs on a
  // thread of its own so that it can never wedge the event loop, an attempt that has not ended
  // when the watchdog fires is given up, and its client, never used again, is freed once the
  // call has returned.
  void startConnect() {
    retire(conn, true);
    std::shared_ptr<Conn> c = std::exchange(spare, nullptr);
    if (c && (!c->callReturned || c->uri != serverUri || c->keepAlive != keepAlive))
      retire(c, false);
    if (c) {
      c->callReturned = false;
    } else {
      c = std::make_shared<Conn>(ex, weak_from_this(), buf->newGeneration());
      ++clientsMade;
      mqtt::create_options co(MQTTVERSION_5);
      // Paho holds at most the in-flight window; our own buffer holds the rest.
      co.set_max_buffered_messages(static_cast<int>(options.maxInflight) + 100);
      c->cli = std::make_unique<mqtt::async_client>(serverUri, settings.clientId, co, nullptr);
      c->uri = serverUri;
      c->keepAlive = keepAlive;
      installCallbacks(*c);
      buildOptions(*c);
    }
    conn = c;
    connecting = true;
    ++connectCallsRunning;
    std::thread([c]() mutable {
      try {
        c->cli->connect(c->opts, nullptr, c->connectListener);
      } catch (const std::exception& e) {
        std::string text = e.what();
        c->post([text](State& st, std::uint64_t gen) { st.onConnectFailed(gen, text, false); });
      }
      c->callReturned = true;
      c.reset();  // possibly the last owner: frees the client here, never on the loop
      --connectCallsRunning;
    }).detach();
    auto limit = options.connectWatchdog.count() > 0
                     ? options.connectWatchdog
                     : std::chrono::milliseconds(options.connectTimeout + 2s);
    connectWatchdog.expires_after(limit);
    connectWatchdog.async_wait([w = weak_from_this(), gen = c->gen](boost::system::error_code ec) {
      auto s = w.lock();
      if (ec || !s || !s->connecting || !s->conn || s->conn->gen != gen) return;
      log(fmt::format("MQTT connect to {} got no answer; starting again with a new client",
                      s->where));
      s->onConnectFailed(gen, "no answer to the connect attempt", false);
    });
  }

  void scheduleReconnect() {
    if (stopping || !everConnected || connecting) return;
    // A little jitter, so that gateways that lost the same broker do not return in step.
    auto spread = backoff.count() / 5;
    auto delay = backoff - std::chrono::milliseconds(
                               spread > 0 ? static_cast<long>(jitter() % (spread + 1)) : 0);
    reconnectTimer.expires_after(delay);
    backoff = std::min(backoff * 2, options.reconnectMax);
    reconnectTimer.async_wait([w = weak_from_this()](boost::system::error_code ec) {
      auto s = w.lock();
      if (ec || !s || s->stopping || s->connected || s->connecting) return;
      try {
        s->startConnect();
      } catch (const std::exception& e) {
        log(fmt::format("MQTT reconnect to {} failed: {}", s->where, e.what()));
        s->connecting = false;
        retire(s->conn, false);
        s->scheduleReconnect();
      }
    });
  }

  // Hands publications to Paho while connected and the window has room.
  void drain() {
    if (!connected || !conn) return;
    Conn& c = *conn;
    for (std::size_t n = buf->inflight(c.gen); n < options.maxInflight; ++n) {
      auto out = buf->takeNext(c.gen);
      if (!out) break;
      if (n == 0) lastProgress = std::chrono::steady_clock::now();  // the wait starts now
      const Publication& p = out->pub;
      try {
        auto msg = mqtt::make_message(p.topic, p.payload, p.qos, p.retain);
        if (!p.correlation.empty())
          msg->set_properties(mqtt::properties{{mqtt::property::CORRELATION_DATA, p.correlation}});
        c.cli->publish(msg, reinterpret_cast<void*>(static_cast<std::uintptr_t>(out->seq)),
                       c.publishListener);
      } catch (const mqtt::exception& e) {
        int rc = e.get_return_code();
        if (rc == MQTTASYNC_DISCONNECTED || rc == MQTTASYNC_MAX_BUFFERED_MESSAGES) {
          buf->untake(out->seq, c.gen);
          break;
        }
        buf->refused(out->seq);
        log(fmt::format("MQTT publication to {} dropped: {}", p.topic, e.what()));
      }
    }
  }

  void finishConnectWait(std::optional<std::string> error) {
    connectError = std::move(error);
    connectEnded = true;
    if (connectWaiter) connectWaiter->cancel();
  }

  bool current(std::uint64_t gen) const { return conn && conn->gen == gen; }

  void onConnected(std::uint64_t gen, std::weak_ptr<Conn> which, bool sessionPresent, int rc,
                   const std::string& props);
  // `clean`: Paho itself reported the failure, so the client may serve the next attempt.
  void onConnectFailed(std::uint64_t gen, const std::string& reason, bool clean) {
    if (!connecting || !current(gen)) return;  // an attempt given up before
    connecting = false;
    connectWatchdog.cancel();
    if (clean && !stopping && !settings.tls) {
      retire(spare, false);
      spare = std::move(conn);
      conn.reset();
    } else {
      retire(conn, false);
    }
    if (connectWaiter && !connectEnded) {
      finishConnectWait(fmt::format("MQTT connect to {} failed: {}", where, reason));
      return;
    }
    log(fmt::format("MQTT reconnect to {} failed: {}; next attempt in {} s", where, reason,
                    fmt::format("{:.1f}", backoff.count() / 1000.0)));
    scheduleReconnect();
  }
  void onConnectionLost(std::uint64_t gen, const std::string& why);
  void onMessage(const std::string& topic, const Bytes& payload, int qos, const std::string& props,
                 const MqttReplyProps& reply);
  void onSubscribed(int mid, const std::vector<int>& granted, const std::string& props);
  void onPublished(std::uint64_t gen, std::uint64_t seq, bool ok, const std::string& topic, int rc,
                   int reason) {
    if (ok) {
      buf->delivered(seq);
      lastProgress = std::chrono::steady_clock::now();
    } else if (reason >= 0x80) {
      // The broker refused it: sending it again would be refused again.
      buf->refused(seq);
      log(fmt::format("MQTT publication to {} refused: {}", topic, reasonText(reason)));
    } else {
      // Not sent; it goes out again on this connection, or is requeued when it ends.
      buf->untake(seq, gen);
      if (current(gen) && connected)
        log(fmt::format("MQTT publication to {} failed: {}", topic,
                        mqtt::exception::error_str(rc)));
      return;
    }
    wakeRoomWaiters();
    drain();
  }
};

void Conn::Listener::on_success(const mqtt::token& tok) {
  switch (kind) {
    case CONNECT: {
      bool session = false;
      std::string props = "[]";
      try {
        auto rsp = tok.get_connect_response();
        session = rsp.is_session_present();
        props = propsText(rsp.get_properties());
      } catch (...) {
      }
      int rc = static_cast<int>(tok.get_reason_code());
      conn->post(
          [which = conn->weak_from_this(), session, rc, props](State& st, std::uint64_t gen) {
            st.onConnected(gen, which, session, rc, props);
          });
      break;
    }
    case SUBSCRIBE: {
      std::vector<int> granted;
      std::string props = "[]";
      try {
        auto rsp = tok.get_subscribe_response();
        for (auto rc : rsp.get_reason_codes()) granted.push_back(static_cast<int>(rc));
        props = propsText(rsp.get_properties());
      } catch (...) {
      }
      int mid = tok.get_message_id();
      conn->post([mid, granted, props](State& st, std::uint64_t) {
        st.onSubscribed(mid, granted, props);
      });
      break;
    }
    case PUBLISH:
      done(tok, true);
      break;
  }
}

void Conn::Listener::on_failure(const mqtt::token& tok) {
  switch (kind) {
    case PUBLISH:
      done(tok, false);
      break;
    case CONNECT: {
      int rc = tok.get_return_code();
      int reason = static_cast<int>(tok.get_reason_code());
      std::string text = reason != 0 ? reasonText(reason) : mqtt::exception::error_str(rc);
      if (text.empty()) text = fmt::format("error {}", rc);
      if (rc == MQTTASYNC_FAILURE) text += conn->tlsHint;
      conn->post([text](State& st, std::uint64_t gen) { st.onConnectFailed(gen, text, true); });
      break;
    }
    case SUBSCRIBE: {
      int reason = static_cast<int>(tok.get_reason_code());
      if (reason == 0) reason = 0x80;  // refused, no reason given
      auto topics = tok.get_topics();
      std::vector<int> granted(topics ? topics->size() : 1, reason);
      int mid = tok.get_message_id();
      conn->post([mid, granted](State& st, std::uint64_t) { st.onSubscribed(mid, granted, "[]"); });
      break;
    }
  }
}

void Conn::Listener::done(const mqtt::token& tok, bool ok) {
  auto seq = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tok.get_user_context()));
  auto* dt = dynamic_cast<const mqtt::delivery_token*>(&tok);
  auto msg = dt ? dt->get_message() : nullptr;
  std::string topic = msg ? msg->get_topic() : std::string("?");
  int rc = tok.get_return_code();
  int reason = static_cast<int>(tok.get_reason_code());
  conn->post(
      [=](State& st, std::uint64_t gen) { st.onPublished(gen, seq, ok, topic, rc, reason); });
}

class PahoMqttClient final : public MqttClient {
 public:
  PahoMqttClient(Executor ex, MqttSettings settings, PahoOptions options)
      : s_(std::make_shared<State>(ex, std::move(settings), std::move(options))) {
    s_->owner = this;
  }

  // Never waits: the Paho client is disconnected and freed on the graveyard thread, and what it
  // had in flight stays in the buffer for whoever uses the buffer next.
  ~PahoMqttClient() override {
    auto& s = *s_;
    s.owner = nullptr;
    s.stopping = true;
    s.connected = false;
    s.connecting = false;
    s.reconnectTimer.cancel();
    s.connectWatchdog.cancel();
    s.dropLogTimer.cancel();
    if (s.connectWaiter) s.connectWaiter->cancel();
    for (auto& t : s.roomWaiters) t->cancel();
    if (s.conn) {
      s.buf->requeue(s.conn->gen);
      retire(s.conn, true);
    }
    retire(s.spare, false);
    if (auto n = s.buf->takeRecentDrops())
      logf("MQTT buffer full: {} readings dropped in the last second", n);
  }

  // The coroutines hold the shared state, never `this`: the client may go while they wait.
  awaitable<void> connect(std::string host, int port, int keepAliveSeconds) override {
    return doConnect(s_, std::move(host), port, keepAliveSeconds);
  }

  static awaitable<void> doConnect(std::shared_ptr<State> s, std::string host, int port,
                                   int keepAliveSeconds) {
    if (s->connected) co_return;
    if (s->connecting) throw std::runtime_error("MQTT connect already in progress");
    s->stopping = false;
    s->where = fmt::format("{}:{}", host, port);
    // Never a fall-back to plain TCP when TLS is asked for.
    s->serverUri = fmt::format("{}://{}:{}", s->settings.tls ? "ssl" : "tcp", host, port);
    s->keepAlive = keepAliveSeconds;
    s->connectWaiter =
        std::make_shared<asio::steady_timer>(s->ex, asio::steady_timer::time_point::max());
    s->connectEnded = false;
    s->connectError.reset();
    try {
      s->startConnect();
    } catch (const mqtt::exception& e) {
      s->connecting = false;
      retire(s->conn, false);
      s->connectWaiter.reset();
      throw std::runtime_error(fmt::format("MQTT connect to {} failed: {}", s->where, e.what()));
    }
    auto waiter = s->connectWaiter;
    co_await waiter->async_wait(asio::as_tuple(use_awaitable));
    if (s->connectWaiter == waiter) s->connectWaiter.reset();
    if (!s->connectEnded) throw boost::system::system_error(asio::error::operation_aborted);
    if (s->connectError) throw std::runtime_error(*s->connectError);
  }

  void subscribe(const Subscriptions& subs) override {
    auto& s = *s_;
    if (!s.conn || !s.connected) throw std::runtime_error("MQTT subscribe while not connected");
    std::vector<std::string> filters;
    mqtt::iasync_client::qos_collection qos;
    for (const auto& [filter, q] : subs) {
      filters.push_back(filter);
      qos.push_back(q);
    }
    try {
      // No per-filter subscribe_options: that vector crashes Paho 1.2.0's subscribeMany.
      s.conn->cli->subscribe(mqtt::string_collection::create(filters), qos, nullptr,
                             s.conn->subscribeListener);
    } catch (const mqtt::exception& e) {
      throw std::runtime_error(fmt::format("MQTT subscribe failed: {}", e.what()));
    }
  }

  void publish(const std::string& topic, std::string payload, int qos, bool retain) override {
    auto& s = *s_;
    if (s.buf->push(Publication{topic, std::move(payload), qos, retain, {}})) s.noteDrops();
    s.drain();
  }

  void publishReply(const std::string& topic, std::string payload, int qos,
                    const std::string& correlationData) override {
    auto& s = *s_;
    if (s.buf->push(Publication{topic, std::move(payload), qos, false, correlationData}))
      s.noteDrops();
    s.drain();
  }

  awaitable<void> waitForRoom() override { return doWaitForRoom(s_); }

  static awaitable<void> doWaitForRoom(std::shared_ptr<State> s) {
    for (;;) {
      if (!s->connected || s->buf->size() < s->options.highWater) co_return;
      auto deadline = s->lastProgress + s->options.ackStall;
      if (std::chrono::steady_clock::now() >= deadline) co_return;
      auto t = std::make_shared<asio::steady_timer>(s->ex, deadline);
      s->roomWaiters.push_back(t);
      co_await t->async_wait(asio::as_tuple(use_awaitable));
      std::erase(s->roomWaiters, t);
      auto cs = co_await asio::this_coro::cancellation_state;
      if (cs.cancelled() != asio::cancellation_type::none)
        throw boost::system::system_error(asio::error::operation_aborted);
    }
  }

  awaitable<void> disconnect() override { return doDisconnect(s_); }

  static awaitable<void> doDisconnect(std::shared_ptr<State> s) {
    s->stopping = true;
    s->reconnectTimer.cancel();
    s->connectWatchdog.cancel();
    if (s->connected && s->conn) {
      // Up to a second for what is owed to go out and be acknowledged, queued publications
      // included: the last status report ("offline") was queued just before this, and a clean
      // DISCONNECT discards the will that would otherwise say it. The DISCONNECT itself goes out
      // on the graveyard thread.
      auto gen = s->conn->gen;
      auto deadline = std::chrono::steady_clock::now() + 1s;
      asio::steady_timer tick(s->ex);
      while (s->connected && s->current(gen) && s->buf->size() > 0 &&
             std::chrono::steady_clock::now() < deadline) {
        s->drain();
        tick.expires_after(5ms);
        co_await tick.async_wait(asio::as_tuple(use_awaitable));
      }
    }
    bool was = std::exchange(s->connected, false);
    s->connecting = false;
    s->wakeRoomWaiters();
    // Taken out at once: whatever this connection reports from now on is stale.
    std::shared_ptr<Conn> c = std::move(s->conn);
    s->conn.reset();
    if (s->connectWaiter && !s->connectEnded) s->finishConnectWait("MQTT connect abandoned");
    if (c) {
      s->buf->requeue(c->gen);  // what the broker did not acknowledge is owed again
      retire(c, was);
    }
    if (was && s->owner) {
      auto* self = s->owner;
      runHandler("on_disconnect", [&] {
        if (self->on_disconnect) self->on_disconnect(*self, "client disconnect");
      });
    }
  }

  bool isConnected() const override { return s_->connected; }

  void setWill(MqttSettings::Will will) override {
    s_->settings.will = std::move(will);
    retire(s_->spare, false);  // its connect options carry the old will
  }

  MqttStats stats() const override {
    MqttStats st;
    st.published = s_->buf->deliveredCount();
    st.dropped = s_->buf->droppedCount();
    st.buffered = s_->buf->size();
    st.bufferedBytes = s_->buf->bytes();
    st.clientsMade = s_->clientsMade;
    return st;
  }

 private:
  std::shared_ptr<State> s_;
};

void State::onConnected(std::uint64_t gen, std::weak_ptr<Conn> which, bool sessionPresent, int rc,
                        const std::string& props) {
  if (!current(gen) || stopping) {
    // An attempt given up before (watchdog, disconnect) got through after all: end it.
    if (auto c = which.lock()) retire(c, true);
    if (current(gen)) {
      connecting = false;
      connectWatchdog.cancel();
      retire(conn, true);
      if (connectWaiter && !connectEnded) finishConnectWait("MQTT connect abandoned");
    }
    return;
  }
  connecting = false;
  connectWatchdog.cancel();
  connected = true;
  everConnected = true;
  backoff = options.reconnectMin;
  lastProgress = std::chrono::steady_clock::now();
  if (connectWaiter && !connectEnded) finishConnectWait(std::nullopt);
  if (auto* self = owner) {
    std::string flags = fmt::format("session present {}", sessionPresent ? 1 : 0);
    std::string rcText = reasonText(rc);
    runHandler("on_connect", [&] {
      if (self->on_connect) self->on_connect(*self, flags, rcText, props);
    });
  }
  drain();
}

void State::onConnectionLost(std::uint64_t gen, const std::string& why) {
  // Both Paho callbacks may report the same loss; an old connection's loss is no news.
  if (!current(gen) || !connected) return;
  connected = false;
  if (buf->requeue(gen)) noteDrops();
  retire(conn, false);
  wakeRoomWaiters();
  if (auto* self = owner) {
    runHandler("on_disconnect", [&] {
      if (self->on_disconnect) self->on_disconnect(*self, why);
    });
  }
  scheduleReconnect();
}

void State::onMessage(const std::string& topic, const Bytes& payload, int qos,
                      const std::string& props, const MqttReplyProps& reply) {
  if (auto* self = owner) {
    runHandler("on_message", [&] {
      if (self->on_message) self->on_message(*self, topic, payload, qos, props);
    });
  }
  // The first handler may have destroyed the client.
  if (auto* self = owner) {
    runHandler("on_request", [&] {
      if (self->on_request) self->on_request(*self, topic, payload, reply);
    });
  }
}

void State::onSubscribed(int mid, const std::vector<int>& granted, const std::string& props) {
  if (auto* self = owner) {
    runHandler("on_subscribe", [&] {
      if (self->on_subscribe) self->on_subscribe(*self, mid, granted, props);
    });
  }
}

}  // namespace

bool finishMqttClients(std::chrono::milliseconds limit) {
  if (graveyardGone) return true;
  return Graveyard::instance().finish(limit);
}

std::unique_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options) {
  return std::make_unique<PahoMqttClient>(ex, std::move(settings), options);
}

}  // namespace ostrel
