#include "ostrel/mqtt/PahoLink.hpp"

#include <fmt/format.h>
#include <mqtt/async_client.h>

#include <atomic>
#include <unordered_map>

namespace ostrel {

std::string LinkConfig::uri() const {
  return fmt::format("{}://{}:{}", tls ? "ssl" : "tcp", host, port);
}

// What Paho's threads share with the loop: the count of callbacks running, and the way back to
// the link, which the link cuts when it goes.
struct PahoLink::Impl {
  struct Shared {
    std::atomic<int> calls{0};
    std::atomic<std::size_t> messages{0};
    Impl* owner = nullptr;  // read and cleared on the loop only
  };
  // Counts a callback for as long as it runs.
  struct Call {
    explicit Call(Shared& s) : s(s) { ++s.calls; }
    ~Call() { --s.calls; }
    Shared& s;
  };

  struct Listener : mqtt::iaction_listener {
    enum Kind { CONNECT, SUBSCRIBE, PUBLISH, DISCONNECT };
    Listener(Impl& i, Kind k) : shared(i.shared), ex(i.ex), kind(k) {}
    std::shared_ptr<Shared> shared;
    Executor ex;
    Kind kind;
    void on_success(const mqtt::token& tok) override { report(tok, true); }
    void on_failure(const mqtt::token& tok) override { report(tok, false); }
    void report(const mqtt::token& tok, bool ok);
  };

  Impl(Executor e, PahoLink::Sink s)
      : ex(e),
        sink(std::move(s)),
        shared(std::make_shared<Shared>()),
        connectL(*this, Listener::CONNECT),
        subscribeL(*this, Listener::SUBSCRIBE),
        publishL(*this, Listener::PUBLISH),
        disconnectL(*this, Listener::DISCONNECT) {
    shared->owner = this;
  }

  // Runs on the loop: hands `ev` to the sink unless the link is gone meanwhile.
  static void post(const std::shared_ptr<Shared>& shared, Executor ex, LinkEvent ev,
                   const mqtt::token* tok = nullptr) {
    asio::post(ex, [w = std::weak_ptr<Shared>(shared), ev = std::move(ev), tok]() mutable {
      auto s = w.lock();
      if (!s || !s->owner) return;
      Impl& self = *s->owner;
      if (ev.kind == LinkEvent::Published) {
        auto f = self.tokens.find(tok);
        if (f == self.tokens.end()) return;
        ev.token = f->second.second;
        self.tokens.erase(f);
      }
      if (ev.kind == LinkEvent::Message) --s->messages;
      self.sink(ev);
    });
  }

  Executor ex;
  PahoLink::Sink sink;
  std::shared_ptr<Shared> shared;
  Listener connectL, subscribeL, publishL, disconnectL;
  mqtt::connect_options opts;  // used in place: a copy loses its properties in Paho 1.2
  std::unique_ptr<mqtt::async_client> cli;
  // Publications handed to Paho: acknowledgements are matched by the token Paho reports, kept
  // alive here until then, never through a pointer-sized context.
  std::unordered_map<const mqtt::token*, std::pair<mqtt::delivery_token_ptr, std::uint64_t>> tokens;
  std::uint64_t nextToken = 1;
};

void PahoLink::Impl::Listener::report(const mqtt::token& tok, bool ok) {
  Call c(*shared);
  LinkEvent ev{};
  ev.ok = ok;
  ev.rc = tok.get_return_code();
  ev.reason = static_cast<int>(tok.get_reason_code());
  ev.props = "[]";
  switch (kind) {
    case PUBLISH:
      ev.kind = LinkEvent::Published;
      return post(shared, ex, std::move(ev), &tok);
    case CONNECT:
      ev.kind = ok ? LinkEvent::Connected : LinkEvent::ConnectFailed;
      try {
        if (ok) {
          auto rsp = tok.get_connect_response();
          ev.sessionPresent = rsp.is_session_present();
          ev.props = mqttPropsText(rsp.get_properties().c_struct());
          ev.limits = mqttBrokerLimits(rsp.get_properties().c_struct());
        }
      } catch (...) {
      }
      if (!ok) {
        // A CONNACK's refusal may come as the return code, with no reason code beside it.
        if (ev.reason == 0 && ev.rc >= 0x80) ev.reason = ev.rc;
        ev.text = ev.reason != 0 ? mqttReasonText(ev.reason) : mqtt::exception::error_str(ev.rc);
        if (ev.text.empty()) ev.text = fmt::format("error {}", ev.rc);
      }
      return post(shared, ex, std::move(ev));
    case SUBSCRIBE:
      ev.kind = LinkEvent::Subscribed;
      ev.mid = tok.get_message_id();
      try {
        if (ok) {
          auto rsp = tok.get_subscribe_response();
          for (auto r : rsp.get_reason_codes()) ev.granted.push_back(static_cast<int>(r));
          ev.props = mqttPropsText(rsp.get_properties().c_struct());
        }
      } catch (...) {
      }
      if (!ok)
        ev.granted.assign(tok.get_topics() ? tok.get_topics()->size() : 1,
                          ev.reason ? ev.reason : 0x80);
      return post(shared, ex, std::move(ev));
    case DISCONNECT:
      ev.kind = LinkEvent::Closed;
      return post(shared, ex, std::move(ev));
  }
}

PahoLink::PahoLink(Executor ex, LinkConfig config, Sink sink)
    : impl_(std::make_unique<Impl>(ex, std::move(sink))), config_(std::move(config)) {
  mqtt::create_options co(MQTTVERSION_5);
  co.set_max_buffered_messages(config_.maxBuffered);
  try {
    impl_->cli = std::make_unique<mqtt::async_client>(config_.uri(), config_.clientId, co, nullptr);
  } catch (const mqtt::exception& e) {
    throw LinkError(e.what(), e.get_return_code(), false);
  }
  auto shared = impl_->shared;
  auto& cli = *impl_->cli;
  cli.set_connection_lost_handler([shared, ex](const std::string& cause) {
    Impl::Call c(*shared);
    LinkEvent ev{};
    ev.kind = LinkEvent::Lost;
    ev.reason = -1;
    ev.text = cause.empty() ? "connection lost" : cause;
    Impl::post(shared, ex, std::move(ev));
  });
  cli.set_disconnected_handler([shared, ex](const mqtt::properties&, mqtt::ReasonCode rc) {
    Impl::Call c(*shared);
    LinkEvent ev{};
    ev.kind = LinkEvent::Lost;
    ev.reason = static_cast<int>(rc);
    ev.text = "disconnected by broker: " + mqttReasonText(ev.reason);
    Impl::post(shared, ex, std::move(ev));
  });
  cli.set_message_callback([shared, ex, limit = config_.inbound](mqtt::const_message_ptr msg) {
    Impl::Call c(*shared);
    if (!msg) return;
    LinkEvent ev{};
    ev.kind = LinkEvent::Message;
    const auto& mp = msg->get_properties();
    if (limit) {
      // Judged before anything is copied; the pass travels with the message to the loop.
      auto props = static_cast<std::size_t>(std::max(0, mp.c_struct().length));
      auto pass = limit->admit(msg->get_topic().size() + msg->get_payload().size() + props);
      if (!pass) return;
      ev.pass.emplace(std::move(*pass));
    }
    ev.reply = mqttReplyProps(mp.c_struct());
    ev.reply.retained = msg->is_retained();
    ev.topic = msg->get_topic();
    const auto& p = msg->get_payload();
    ev.payload.assign(p.begin(), p.end());
    ev.qos = msg->get_qos();
    ev.props = mqttPropsText(mp.c_struct());
    ++shared->messages;
    Impl::post(shared, ex, std::move(ev));
  });
}

PahoLink::~PahoLink() {
  impl_->shared->owner = nullptr;  // events still on their way to the loop are dropped
}

void PahoLink::connect(const LinkConfig& c) {
  mqtt::connect_options& opts = impl_->opts = mqtt::connect_options();
  opts.set_mqtt_version(MQTTVERSION_5);
  opts.set_clean_start(c.cleanStart);
  opts.set_keep_alive_interval(c.keepAlive);
  opts.set_connect_timeout(c.connectTimeout);
  opts.set_automatic_reconnect(false);  // one retry policy: the caller's
  if (!c.username.empty()) opts.set_user_name(c.username);
  if (!c.password.empty()) opts.set_password(c.password);
  // Set on the finished options: the builder's properties() crashes in Paho 1.2.0. With a
  // maximum packet size the broker drops what is larger instead of sending it.
  mqtt::properties props;
  if (c.sessionExpiry)
    props.add({mqtt::property::SESSION_EXPIRY_INTERVAL, static_cast<int32_t>(c.sessionExpiry)});
  if (c.maxPacketSize)
    props.add({mqtt::property::MAXIMUM_PACKET_SIZE, static_cast<int32_t>(c.maxPacketSize)});
  if (c.receiveMaximum)
    props.add({mqtt::property::RECEIVE_MAXIMUM, static_cast<int16_t>(c.receiveMaximum)});
  if (props.size()) opts.set_properties(props);
  if (const auto& w = c.will)
    opts.set_will(mqtt::will_options(w->topic, w->payload, w->qos, w->retain));
  if (c.tls) {
    mqtt::ssl_options ssl;
    if (!c.caFile.empty()) ssl.set_trust_store(c.caFile);
    if (!c.certFile.empty()) ssl.set_key_store(c.certFile);
    if (!c.keyFile.empty()) ssl.set_private_key(c.keyFile);
    ssl.set_enable_server_cert_auth(true);
    ssl.set_verify(true);  // the certificate must name the host we connect to
    opts.set_ssl(std::move(ssl));
  }
  try {
    impl_->cli->connect(opts, nullptr, impl_->connectL);
  } catch (const mqtt::exception& e) {
    throw LinkError(e.what(), e.get_return_code(), false);
  }
}

void PahoLink::subscribe(const MqttClient::Subscriptions& subs) {
  std::vector<std::string> filters;
  mqtt::iasync_client::qos_collection qos;
  for (const auto& [filter, q] : subs) filters.push_back(filter), qos.push_back(q);
  try {
    if (config_.retainAsPublished) {
      for (std::size_t i = 0; i < filters.size(); ++i)
        impl_->cli->subscribe(filters[i], qos[i], nullptr, impl_->subscribeL,
                              mqtt::subscribe_options(false, true));
    } else {
      impl_->cli->subscribe(mqtt::string_collection::create(filters), qos, nullptr,
                            impl_->subscribeL);
    }
  } catch (const mqtt::exception& e) {
    throw LinkError(fmt::format("MQTT subscribe failed: {}", e.what()), e.get_return_code(), false);
  }
}

std::uint64_t PahoLink::publish(const Publication& p) {
  try {
    auto msg = mqtt::make_message(p.topic, p.payload, p.qos, p.retain);
    mqtt::properties props;
    if (!p.correlation.empty()) props.add({mqtt::property::CORRELATION_DATA, p.correlation});
    if (!p.responseTopic.empty()) props.add({mqtt::property::RESPONSE_TOPIC, p.responseTopic});
    if (p.expiry) props.add({mqtt::property::MESSAGE_EXPIRY_INTERVAL, static_cast<int>(p.expiry)});
    if (props.size()) msg->set_properties(props);
    auto tok = impl_->cli->publish(msg, nullptr, impl_->publishL);
    auto id = impl_->nextToken++;
    impl_->tokens.emplace(tok.get(), std::pair{tok, id});
    return id;
  } catch (const mqtt::exception& e) {
    int rc = e.get_return_code();
    throw LinkError(e.what(), rc,
                    rc == MQTTASYNC_DISCONNECTED || rc == MQTTASYNC_MAX_BUFFERED_MESSAGES);
  }
}

void PahoLink::disconnect() {
  try {
    impl_->cli->disconnect(0, nullptr, impl_->disconnectL);
  } catch (const mqtt::exception&) {
    // Not connected: nothing to close, and Paho calls nothing back.
    LinkEvent ev{};
    ev.kind = LinkEvent::Closed;
    Impl::post(impl_->shared, impl_->ex, std::move(ev));
  }
}

bool PahoLink::disconnectNow(std::chrono::milliseconds limit) {
  try {
    return impl_->cli->disconnect(0)->wait_for(limit);
  } catch (const mqtt::exception&) {
    return true;  // Paho says there is no connection
  }
}

bool PahoLink::quiet() const {
  return impl_->shared->calls.load() == 0;
}

std::size_t PahoLink::messagesWaiting() const {
  return impl_->shared->messages.load();
}

}  // namespace ostrel
