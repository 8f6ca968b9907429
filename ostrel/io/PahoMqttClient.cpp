#include "ostrel/io/PahoMqttClient.hpp"

#include <mqtt/async_client.h>

#include <atomic>
#include <cctype>
#include <deque>
#include <mutex>
#include <optional>
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

struct Pending {
  std::string topic;
  std::string payload;
  int qos;
  bool retain;
  std::string correlation;  // MQTT 5 correlation data; empty: none
};

class PahoMqttClient;

// Everything Paho's threads may reach. Paho's callbacks only post work onto the loop; that
// work finds the client through `owner`, which the client clears (on the loop) when it goes.
struct State : std::enable_shared_from_this<State> {
  State(Executor e, MqttSettings s, PahoOptions o)
      : ex(e), settings(std::move(s)), options(o), reconnectTimer(e), connectWatchdog(e) {}

  Executor ex;
  MqttSettings settings;
  PahoOptions options;
  PahoMqttClient* owner = nullptr;  // loop thread only
  std::atomic<bool> closed{false};  // set before the Paho client is destroyed

  std::unique_ptr<mqtt::async_client> cli;
  std::string serverUri;
  std::string where;  // host:port for messages
  mqtt::connect_options connOpts;

  // Loop thread only.
  bool everConnected = false;
  bool stopping = false;
  bool connecting = false;
  asio::steady_timer reconnectTimer;
  // Ends a connect attempt that Paho never reports on (see startConnect).
  asio::steady_timer connectWatchdog;
  std::chrono::seconds backoff{1};
  std::shared_ptr<asio::steady_timer> connectWaiter;
  std::optional<std::string> connectError;  // set (empty on success) when the attempt ended
  bool connectEnded = false;
  std::shared_ptr<asio::steady_timer> disconnectWaiter;

  std::atomic<bool> connected{false};
  // Added to a failed TLS connect's reason, which Paho gives only as "Failure". Written on the
  // loop before the first attempt's thread starts; read by the failure callbacks.
  std::string tlsHint;

  // Publication buffer and flow control; publish() may come from any thread.
  mutable std::mutex m;
  std::deque<Pending> queue;
  std::size_t inflight = 0;
  std::uintptr_t generation = 1;  // completions of an older connection do not count
  MqttStats counters;

  template <typename F>
  void postToLoop(F f) {
    if (closed) return;
    asio::post(ex, [w = weak_from_this(), f = std::move(f)]() mutable {
      auto s = w.lock();
      if (s && !s->closed) f(*s);
    });
  }

  struct ConnectListener : mqtt::iaction_listener {
    State* s;
    explicit ConnectListener(State* st) : s(st) {}
    void on_success(const mqtt::token& tok) override {
      bool session = false;
      std::string props = "[]";
      try {
        auto rsp = tok.get_connect_response();
        session = rsp.is_session_present();
        props = propsText(rsp.get_properties());
      } catch (...) {
      }
      int rc = static_cast<int>(tok.get_reason_code());
      s->postToLoop([session, rc, props](State& st) { st.onConnected(session, rc, props); });
    }
    void on_failure(const mqtt::token& tok) override {
      int rc = tok.get_return_code();
      int reason = static_cast<int>(tok.get_reason_code());
      std::string text = reason != 0 ? reasonText(reason) : mqtt::exception::error_str(rc);
      if (text.empty()) text = fmt::format("error {}", rc);
      if (rc == MQTTASYNC_FAILURE) text += s->tlsHint;
      s->postToLoop([text](State& st) { st.onConnectFailed(text); });
    }
  } connectListener{this};

  struct SubscribeListener : mqtt::iaction_listener {
    State* s;
    explicit SubscribeListener(State* st) : s(st) {}
    void on_success(const mqtt::token& tok) override {
      std::vector<int> granted;
      std::string props = "[]";
      try {
        auto rsp = tok.get_subscribe_response();
        for (auto rc : rsp.get_reason_codes()) granted.push_back(static_cast<int>(rc));
        props = propsText(rsp.get_properties());
      } catch (...) {
      }
      int mid = tok.get_message_id();
      s->postToLoop([mid, granted, props](State& st) { st.onSubscribed(mid, granted, props); });
    }
    void on_failure(const mqtt::token& tok) override {
      int reason = static_cast<int>(tok.get_reason_code());
      if (reason == 0) reason = 0x80;  // refused, no reason given
      auto topics = tok.get_topics();
      std::vector<int> granted(topics ? topics->size() : 1, reason);
      int mid = tok.get_message_id();
      s->postToLoop([mid, granted](State& st) { st.onSubscribed(mid, granted, "[]"); });
    }
  } subscribeListener{this};

  struct PublishListener : mqtt::iaction_listener {
    State* s;
    explicit PublishListener(State* st) : s(st) {}
    void on_success(const mqtt::token& tok) override { done(tok, true); }
    void on_failure(const mqtt::token& tok) override { done(tok, false); }
    void done(const mqtt::token& tok, bool ok) {
      auto gen = reinterpret_cast<std::uintptr_t>(tok.get_user_context());
      auto* dt = dynamic_cast<const mqtt::delivery_token*>(&tok);
      auto msg = dt ? dt->get_message() : nullptr;
      int qos = msg ? msg->get_qos() : 0;
      std::string topic = msg ? msg->get_topic() : std::string("?");
      int rc = tok.get_return_code();
      int reason = static_cast<int>(tok.get_reason_code());
      s->postToLoop([=](State& st) { st.onPublished(gen, ok, qos, topic, rc, reason); });
    }
  } publishListener{this};

  struct DisconnectListener : mqtt::iaction_listener {
    State* s;
    explicit DisconnectListener(State* st) : s(st) {}
    void on_success(const mqtt::token&) override { wake(); }
    void on_failure(const mqtt::token&) override { wake(); }
    void wake() {
      s->postToLoop([](State& st) {
        if (st.disconnectWaiter) st.disconnectWaiter->cancel();
      });
    }
  } disconnectListener{this};

  void installCallbacks() {
    std::weak_ptr<State> w = weak_from_this();
    auto lost = [w](const std::string& cause) {
      if (auto s = w.lock()) {
        std::string why = cause.empty() ? "connection lost" : cause;
        s->postToLoop([why](State& st) { st.onConnectionLost(why); });
      }
    };
    cli->set_connection_lost_handler(lost);
    // The broker ended the session with a DISCONNECT packet.
    cli->set_disconnected_handler([w](const mqtt::properties&, mqtt::ReasonCode rc) {
      if (auto s = w.lock()) {
        std::string why = "disconnected by broker: " + reasonText(static_cast<int>(rc));
        s->postToLoop([why](State& st) { st.onConnectionLost(why); });
      }
    });
    cli->set_message_callback([w](mqtt::const_message_ptr msg) {
      auto s = w.lock();
      if (!s || !msg) return;
      const auto& p = msg->get_payload();
      Bytes payload(p.begin(), p.end());
      MqttReplyProps reply;
      const auto& mp = msg->get_properties();
      if (mp.contains(mqtt::property::RESPONSE_TOPIC))
        reply.responseTopic = mqtt::get<std::string>(mp, mqtt::property::RESPONSE_TOPIC);
      if (mp.contains(mqtt::property::CORRELATION_DATA))
        reply.correlationData = mqtt::get<std::string>(mp, mqtt::property::CORRELATION_DATA);
      s->postToLoop([topic = msg->get_topic(), payload = std::move(payload), qos = msg->get_qos(),
                     props = propsText(mp), reply = std::move(reply)](State& st) {
        st.onMessage(topic, payload, qos, props, reply);
      });
    });
  }

  // Paho's connect can block for good when it is called just after the broker went away and
  // came back (seen with a broker restart): the call runs on a thread of its own so that it can
  // never wedge the event loop, and an attempt that has not ended when the watchdog fires is
  // abandoned together with its client; the next attempt starts with a new one.
  void startConnect() {
    connecting = true;
    auto self = shared_from_this();
    mqtt::async_client* c = cli.get();
    // The options are used in place: a copy of connect_options loses its properties in Paho 1.2.
    std::thread([self, c] {
      try {
        c->connect(self->connOpts, nullptr, self->connectListener);
      } catch (const std::exception& e) {
        std::string text = e.what();
        self->postToLoop([text](State& st) { st.onConnectFailed(text); });
      }
    }).detach();
    connectWatchdog.expires_after(options.connectTimeout + std::chrono::seconds(2));
    connectWatchdog.async_wait([w = weak_from_this(), c](boost::system::error_code ec) {
      auto s = w.lock();
      if (ec || !s || s->closed || s->connected || !s->connecting || s->cli.get() != c) return;
      log(fmt::format("MQTT connect to {} got no answer; starting again with a new client",
                      s->where));
      (void)s->cli.release();  // still in use by the blocked call: left to it, never freed
      s->onConnectFailed("no answer to the connect attempt");
    });
  }

  void createClient() {
    mqtt::create_options co(MQTTVERSION_5);
    // Paho buffers at most what we hand it: the in-flight window, plus what was handed just as a
    // connection dropped. Our own buffer holds the rest.
    co.set_max_buffered_messages(static_cast<int>(options.maxInflight) + 100);
    co.set_send_while_disconnected(true, false);
    cli = std::make_unique<mqtt::async_client>(serverUri, settings.clientId, co, nullptr);
    installCallbacks();
  }

  void scheduleReconnect() {
    if (stopping || closed || !everConnected || connecting) return;
    reconnectTimer.expires_after(backoff);
    backoff = std::min(backoff * 2, options.reconnectMax);
    reconnectTimer.async_wait([w = weak_from_this()](boost::system::error_code ec) {
      auto s = w.lock();
      if (ec || !s || s->closed || s->stopping || s->connected || s->connecting) return;
      try {
        if (!s->cli) s->createClient();
        s->startConnect();
      } catch (const std::exception& e) {
        log(fmt::format("MQTT reconnect to {} failed: {}", s->where, e.what()));
        s->connecting = false;
        s->scheduleReconnect();
      }
    });
  }

  // Hands publications to Paho while connected and the window has room.
  void drain() {
    std::vector<std::string> lines;
    {
      std::lock_guard lk(m);
      while (connected && cli && !queue.empty() && inflight < options.maxInflight) {
        Pending& p = queue.front();
        auto msg = mqtt::make_message(p.topic, p.payload, p.qos, p.retain);
        if (!p.correlation.empty())
          msg->set_properties(mqtt::properties{{mqtt::property::CORRELATION_DATA, p.correlation}});
        try {
          cli->publish(msg, reinterpret_cast<void*>(generation), publishListener);
        } catch (const mqtt::exception& e) {
          int rc = e.get_return_code();
          if (rc == MQTTASYNC_DISCONNECTED || rc == MQTTASYNC_MAX_BUFFERED_MESSAGES) break;
          ++counters.dropped;
          lines.push_back(fmt::format("MQTT publication to {} dropped: {}", p.topic, e.what()));
          queue.pop_front();
          continue;
        }
        queue.pop_front();
        ++inflight;
        ++counters.published;
      }
      counters.queued = queue.size();
    }
    for (auto& l : lines) log(l);
  }

  void finishConnectWait(std::optional<std::string> error) {
    connectError = std::move(error);
    connectEnded = true;
    if (connectWaiter) connectWaiter->cancel();
  }

  void onConnected(bool sessionPresent, int rc, const std::string& props);
  void onConnectFailed(const std::string& reason) {
    connecting = false;
    connectWatchdog.cancel();
    if (connectWaiter && !connectEnded) {
      finishConnectWait(fmt::format("MQTT connect to {} failed: {}", where, reason));
      return;
    }
    log(fmt::format("MQTT reconnect to {} failed: {}; next attempt in {} s", where, reason,
                    backoff.count()));
    scheduleReconnect();
  }
  void onConnectionLost(const std::string& why);
  void onMessage(const std::string& topic, const Bytes& payload, int qos, const std::string& props,
                 const MqttReplyProps& reply);
  void onSubscribed(int mid, const std::vector<int>& granted, const std::string& props);
  void onPublished(std::uintptr_t gen, bool ok, int qos, const std::string& topic, int rc,
                   int reason) {
    std::string line;
    {
      std::lock_guard lk(m);
      if (gen == generation && inflight > 0) --inflight;
      if (ok && qos > 0) ++counters.acknowledged;
      if (!ok) {
        ++counters.dropped;
        line = fmt::format("MQTT publication to {} failed: {}", topic,
                           reason != 0 ? reasonText(reason) : mqtt::exception::error_str(rc));
      }
    }
    if (!line.empty()) log(line);
    drain();
  }
};

class PahoMqttClient final : public MqttClient {
 public:
  PahoMqttClient(Executor ex, MqttSettings settings, PahoOptions options)
      : s_(std::make_shared<State>(ex, std::move(settings), options)) {
    if (s_->options.maxInflight == 0) s_->options.maxInflight = 1;
    s_->backoff = s_->options.reconnectMin;
    s_->owner = this;
  }

  ~PahoMqttClient() override {
    auto& s = *s_;
    s.owner = nullptr;
    s.stopping = true;
    s.reconnectTimer.cancel();
    s.connectWatchdog.cancel();
    if (s.connectWaiter) s.connectWaiter->cancel();
    if (s.disconnectWaiter) s.disconnectWaiter->cancel();
    if (s.cli) {
      if (s.cli->is_connected()) {
        try {
          s.cli->disconnect(500)->wait_for(1500ms);
        } catch (...) {
        }
      }
      s.closed = true;
      s.cli.reset();
    }
    s.closed = true;
    std::size_t left;
    {
      std::lock_guard lk(s.m);
      left = s.queue.size();
    }
    if (left) logf("MQTT client closed with {} publications unsent", left);
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
    std::string uri = fmt::format("{}://{}:{}", s->settings.tls ? "ssl" : "tcp", host, port);
    try {
      if (!s->cli || s->serverUri != uri) {
        s->cli.reset();
        s->serverUri = uri;
        s->createClient();
      }
      // Built in place: a copy of connect_options keeps pointers into the original's properties.
      s->connOpts = mqtt::connect_options();
      mqtt::connect_options& opts = s->connOpts;
      opts.set_mqtt_version(MQTTVERSION_5);
      opts.set_clean_start(s->settings.cleanStart);
      opts.set_keep_alive_interval(keepAliveSeconds);
      opts.set_connect_timeout(s->options.connectTimeout);
      opts.set_automatic_reconnect(false);  // we reconnect ourselves, with our own back-off
      if (!s->settings.username.empty()) opts.set_user_name(s->settings.username);
      if (!s->settings.password.empty()) opts.set_password(s->settings.password);
      // Set on the finished options: the builder's properties() crashes in Paho 1.2.0.
      mqtt::properties props;
      props.add(mqtt::property(mqtt::property::SESSION_EXPIRY_INTERVAL,
                               static_cast<int32_t>(s->settings.sessionExpiry)));
      opts.set_properties(props);
      if (s->settings.will) {
        const auto& w = *s->settings.will;
        opts.set_will(mqtt::will_options(w.topic, w.payload, w.qos, w.retain));
      }
      if (s->settings.tls) {
        mqtt::ssl_options ssl;
        if (!s->settings.caFile.empty()) ssl.set_trust_store(s->settings.caFile);
        if (!s->settings.certFile.empty()) ssl.set_key_store(s->settings.certFile);
        if (!s->settings.keyFile.empty()) ssl.set_private_key(s->settings.keyFile);
        ssl.set_enable_server_cert_auth(true);
        ssl.set_verify(true);  // the certificate must name the host we connect to
        // OpenSSL's own reason is out of reach: Paho 1.2's ssl error handler crashes the process.
        // Set once: an abandoned attempt's callback may still read it.
        if (s->tlsHint.empty())
          s->tlsHint = fmt::format(
              " (TLS: the broker's certificate does not verify against {}, has expired or does not "
              "name {}; or the broker refused the client certificate; or nothing listens there)",
              s->settings.caFile.empty() ? "the system's CAs" : s->settings.caFile, host);
        opts.set_ssl(std::move(ssl));
      }

      s->connectWaiter =
          std::make_shared<asio::steady_timer>(s->ex, asio::steady_timer::time_point::max());
      s->connectEnded = false;
      s->connectError.reset();
      s->startConnect();
    } catch (const mqtt::exception& e) {
      s->connecting = false;
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
    if (!s.cli || !s.connected) throw std::runtime_error("MQTT subscribe while not connected");
    std::vector<std::string> filters;
    mqtt::iasync_client::qos_collection qos;
    for (const auto& [filter, q] : subs) {
      filters.push_back(filter);
      qos.push_back(q);
    }
    try {
      // No per-filter subscribe_options: that vector crashes Paho 1.2.0's subscribeMany.
      s.cli->subscribe(mqtt::string_collection::create(filters), qos, nullptr, s.subscribeListener);
    } catch (const mqtt::exception& e) {
      throw std::runtime_error(fmt::format("MQTT subscribe failed: {}", e.what()));
    }
  }

  void publish(const std::string& topic, std::string payload, int qos, bool retain) override {
    enqueue(Pending{topic, std::move(payload), qos, retain, {}});
  }

  void publishReply(const std::string& topic, std::string payload, int qos,
                    const std::string& correlationData) override {
    enqueue(Pending{topic, std::move(payload), qos, false, correlationData});
  }

  void enqueue(Pending p) {
    const std::string topic = p.topic;
    auto& s = *s_;
    bool full = false;
    std::size_t waiting = 0;
    {
      std::lock_guard lk(s.m);
      if (s.queue.size() >= s.options.maxBuffered) {
        full = true;
        ++s.counters.dropped;
        waiting = s.queue.size();
      } else {
        s.queue.push_back(std::move(p));
        s.counters.queued = s.queue.size();
      }
    }
    if (full) {
      logf("MQTT buffer full ({} waiting): dropped publication to {}", waiting, topic);
      return;
    }
    s.drain();
  }

  awaitable<void> disconnect() override { return doDisconnect(s_); }

  static awaitable<void> doDisconnect(std::shared_ptr<State> s) {
    s->stopping = true;
    s->reconnectTimer.cancel();
    bool was = s->connected.exchange(false);
    {
      std::lock_guard lk(s->m);
      ++s->generation;
      s->inflight = 0;
    }
    if (s->cli && s->cli->is_connected()) {
      auto waiter = std::make_shared<asio::steady_timer>(s->ex, 2s);
      s->disconnectWaiter = waiter;
      bool started = true;
      try {
        // Give publications already in flight up to a second to be acknowledged.
        s->cli->disconnect(1000, nullptr, s->disconnectListener);
      } catch (...) {
        started = false;
      }
      if (started) co_await waiter->async_wait(asio::as_tuple(use_awaitable));
      if (s->disconnectWaiter == waiter) s->disconnectWaiter.reset();
    }
    if (was && s->owner) {
      auto* self = s->owner;
      runHandler("on_disconnect", [&] {
        if (self->on_disconnect) self->on_disconnect(*self, "client disconnect");
      });
    }
  }

  bool isConnected() const override { return s_->connected; }

  void setWill(MqttSettings::Will will) override { s_->settings.will = std::move(will); }

  MqttStats stats() const override {
    std::lock_guard lk(s_->m);
    MqttStats st = s_->counters;
    st.queued = s_->queue.size();
    st.inflight = s_->inflight;
    return st;
  }

 private:
  std::shared_ptr<State> s_;
};

void State::onConnected(bool sessionPresent, int rc, const std::string& props) {
  connecting = false;
  connectWatchdog.cancel();
  if (stopping) {
    // disconnect() came while this attempt was under way.
    try {
      cli->disconnect(0);
    } catch (...) {
    }
    if (connectWaiter && !connectEnded) finishConnectWait("MQTT connect abandoned");
    return;
  }
  connected = true;
  everConnected = true;
  backoff = options.reconnectMin;
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

void State::onConnectionLost(const std::string& why) {
  if (!connected.exchange(false)) return;  // both Paho callbacks may report the same loss
  {
    std::lock_guard lk(m);
    ++generation;
    inflight = 0;
  }
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

std::unique_ptr<MqttClient> makePahoMqttClient(Executor ex, MqttSettings settings,
                                               PahoOptions options) {
  return std::make_unique<PahoMqttClient>(ex, std::move(settings), options);
}

}  // namespace ostrel
