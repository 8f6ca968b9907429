#include "apps/ostrel-node/Session.hpp"

#include <fmt/format.h>

#include <random>

#include "ostrel/base/Bytes.hpp"
#include "ostrel/mqtt/TlsProbe.hpp"

namespace ostrel::node {

std::pair<std::string, int> hostPort(const std::string& broker, bool tls) {
  std::string host = broker;
  int port = tls ? 8883 : 1883;
  auto colon = broker.rfind(':');
  if (colon != std::string::npos && broker.find(']', colon) == std::string::npos) {
    host = broker.substr(0, colon);
    port = std::atoi(broker.c_str() + colon + 1);
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return {host, port};
}

template <typename Done>
bool Session::runUntil(Done done, Clock::time_point end) {
  while (!done()) {
    if (Clock::now() >= end) return false;
    ctx_.restart();
    ctx_.run_one_until(end);
  }
  return true;
}

Session::Session(const Options& o) : o_(o) {
  std::random_device rd;
  id_ = fmt::format("ostrel-node-{:08x}{:08x}", rd(), rd());
  // Under a prefix of our own: the gateway answers only outside its own and its command topics,
  // and a broker's ACL can let operators read exactly this tree.
  responseTopic_ = fmt::format("{}/{}/response", o.replyPrefix, id_);
  auto [host, port] = hostPort(o.broker, o.tls);
  config_.host = host;
  config_.port = port;
  config_.clientId = id_;
  config_.cleanStart = true;
  config_.username = o.username;
  config_.password = o.password;
  // The certificate must chain to a trusted CA and name the host we asked for; without
  // --cafile OpenSSL's default paths, the system's CAs.
  config_.tls = o.tls;
  config_.caFile = o.caFile;
  const std::string uri = (o.tls ? "ssl://" : "tcp://") + o.broker;
  std::string failure;
  try {
    link_ = std::make_unique<PahoLink>(ctx_.get_executor(), config_,
                                       [this](LinkEvent& ev) { events_.push_back(std::move(ev)); });
    link_->connect(config_);
    auto end = Clock::now() + std::chrono::seconds(10);
    if (!runUntil([&] { return !events_.empty(); }, end)) {
      failure = "no answer within 10 s";
    } else if (events_.front().kind != LinkEvent::Connected) {
      const LinkEvent& ev = events_.front();
      // The broker's reason when it answered with one (Paho's own text says only "CONNACK
      // return code").
      failure = ev.reason >= 0x80 ? fmt::format(
                                        "the broker refused the connection: {} (reason "
                                        "code {})",
                                        mqttReasonText(ev.reason), ev.reason)
                                  : ev.text;
    }
  } catch (const LinkError& e) {
    failure = e.what();
  }
  if (!failure.empty()) {
    std::string why;
    if (o.tls) why = tlsFailureReason({host, port, o.caFile, {}, {}}, std::chrono::seconds(10));
    throw std::runtime_error(
        why.empty() ? fmt::format("could not connect to {}: {}", uri, failure)
                    : fmt::format("could not connect to {}: {}; nothing was sent", uri, why));
  }
  events_.pop_front();
  subscribe(responseTopic_);
}

Session::~Session() {
  if (link_ && !link_->disconnectNow(std::chrono::seconds(2))) (void)link_.release();
  // Paho may call back once more while it winds down: let that pass before the link goes.
  auto end = Clock::now() + std::chrono::seconds(1);
  while (link_ && !link_->quiet() && Clock::now() < end) ctx_.poll();
}

void Session::subscribe(const std::string& topic) {
  link_->subscribe({{topic, 1}});
  bool acked = false;
  runUntil(
      [&] {
        while (!events_.empty() && !acked) {
          LinkEvent ev = std::move(events_.front());
          events_.pop_front();
          if (ev.kind == LinkEvent::Message)
            early_.push_back({std::move(ev.topic), toString(ev.payload)});
          acked = ev.kind == LinkEvent::Subscribed;
        }
        return acked;
      },
      Clock::now() + std::chrono::seconds(10));
  if (!acked) throw std::runtime_error("no answer to the subscription within 10 s");
}

std::string Session::topic(const std::string& op) const {
  return fmt::format("gw/{}/node/{}/{}", o_.gateway, o_.sensor, op);
}

std::optional<nlohmann::json> Session::request(const std::string& op, const std::string& payload) {
  std::string corr = fmt::format("{}", ++seq_);
  Publication p{topic(op), payload, 1, false, corr, 0, responseTopic_};
  early_.clear();  // whatever came before this request does not answer it
  link_->publish(p);
  auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(o_.timeout * 1000));
  std::optional<nlohmann::json> answer;
  runUntil(
      [&] {
        while (!events_.empty()) {
          LinkEvent ev = std::move(events_.front());
          events_.pop_front();
          if (ev.kind != LinkEvent::Message) continue;  // the PUBACK of `token` among them
          if (ev.topic != responseTopic_) {
            // An acknowledgement can overtake the answer: keep it for the caller.
            early_.push_back({std::move(ev.topic), toString(ev.payload)});
            continue;
          }
          if (ev.reply.correlationData != corr) continue;
          answer = nlohmann::json::parse(toString(ev.payload), nullptr, false);
          return true;
        }
        return false;
      },
      end);
  return answer;
}

std::optional<Received> Session::next(Clock::time_point end) {
  runUntil(
      [&] {
        while (!events_.empty()) {
          LinkEvent ev = std::move(events_.front());
          events_.pop_front();
          if (ev.kind == LinkEvent::Message)
            early_.push_back({std::move(ev.topic), toString(ev.payload)});
        }
        return !early_.empty();
      },
      end);
  if (early_.empty()) return std::nullopt;
  Received r = std::move(early_.front());
  early_.pop_front();
  return r;
}

}  // namespace ostrel::node
