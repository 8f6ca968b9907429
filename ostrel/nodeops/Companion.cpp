// Boost (through Gateway.hpp) comes first, as the node operations' headers expect.
#include "ostrel/nodeops/Companion.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/Observer.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/gateway/Settings.hpp"
#include "ostrel/mqtt/PahoMqttClient.hpp"
#include "ostrel/nodeops/NodeOps.hpp"
#include "ostrel/sys/Files.hpp"

namespace ostrel::ops {

using json = nlohmann::json;
using namespace std::chrono_literals;

std::optional<CompanionSettings> companionSettings(const Config& config, std::string stateDir,
                                                   const std::string& hostName) {
  if (!config.has("OPS", "enabled") || !config.getBool("OPS", "enabled")) return std::nullopt;
  CompanionSettings s;
  auto broker = brokerSettings(config);
  s.host = broker.host;
  s.port = broker.port;
  s.keepalive = broker.keepalive;
  s.mqtt = broker.login;
  s.mqtt.clientId = gatewayClientId(config, hostName) + "-ops";
  // Requests are answered now or never: one left in a session while the gateway was away
  // would act on a sensor long after its sender gave up.
  s.mqtt.cleanStart = true;
  s.mqtt.sessionExpiry = 0;
  // A retained request is refused whenever it arrives, not only at subscribe time.
  s.mqtt.retainAsPublished = true;
  s.stateDir = std::move(stateDir);
  if (config.has("OPS", "reply-prefix")) {
    s.replyPrefix = config.getString("OPS", "reply-prefix");
    if (s.replyPrefix.empty() || s.replyPrefix.size() > 128 ||
        s.replyPrefix.find_first_of("+#") != std::string::npos || s.replyPrefix.front() == '$')
      throw ConfigError(
          "[OPS] reply-prefix must be a topic prefix of 1 to 128 characters without wildcards "
          "and not starting with $");
  }
  if (config.has("MQTT", "discovery-prefix"))
    s.discoveryPrefix = config.getString("MQTT", "discovery-prefix");
  return s;
}

Companion::Companion(Executor ex, CompanionSettings settings, Enqueue enqueue,
                     MakeClient makeClient)
    : ex_(ex),
      settings_(std::move(settings)),
      enqueue_(std::move(enqueue)),
      makeClient_(std::move(makeClient)),
      wake_(ex, asio::steady_timer::time_point::max()),
      ended_(std::make_shared<asio::steady_timer>(ex, asio::steady_timer::time_point::max())),
      log_(ex) {}

void Companion::start() {
  running_ = true;
  auto self = shared_from_this();
  asio::co_spawn(ex_, run(),
                 asio::bind_cancellation_slot(cancel_.slot(), [self](std::exception_ptr e) {
                   if (e && !self->stopping_) log(describeException(e, "node operations"));
                   self->running_ = false;
                   self->ended_->cancel();
                 }));
}

awaitable<void> Companion::stop() {
  stopping_ = true;
  if (running_) {
    cancel_.emit(asio::cancellation_type::terminal);
    ended_->expires_after(1s);
    co_await ended_->async_wait(asio::as_tuple(use_awaitable));
  }
  if (client_) co_await client_->disconnect();
}

awaitable<void> Companion::run() {
  // Requests name the gateway by the UID the hat announces in its hello.
  for (;;) {
    auto proto = gw().myProtocol;
    if (proto && proto->getGWUID() != 0) {
      gatewayUid_ = std::to_string(proto->getGWUID());
      break;
    }
    co_await gw().changed.wait();
  }
  client_ = makeClient_ ? makeClient_(ex_, settings_.mqtt)
                        : std::shared_ptr<MqttClient>(makePahoMqttClient(ex_, settings_.mqtt));
  std::weak_ptr<Companion> weak = weak_from_this();
  client_->on_connect = [weak](MqttClient& c, const std::string&, const std::string&,
                               const std::string&) {
    auto self = weak.lock();
    if (!self) return;
    MqttClient::Subscriptions subs;
    for (auto& f : requestFilters(self->gatewayUid_)) subs.emplace_back(f, 1);
    c.subscribe(subs);
  };
  client_->on_request = [weak](MqttClient&, const std::string& topic, const Bytes& payload,
                               const MqttReplyProps& props) {
    if (auto self = weak.lock()) self->onRequest(topic, payload, props);
  };
  // The client tries again by itself until stop().
  client_->open(settings_.host, settings_.port, settings_.keepalive);
  co_await client_->waitConnected();
  logf("Node operations: taking requests on gw/{}/node/+/...", gatewayUid_);
  co_await serve();
}

void Companion::onRequest(const std::string& topic, const Bytes& payload,
                          const MqttReplyProps& props) {
  auto target = matchTopic(topic, gatewayUid_);
  if (!target) return;
  // Every answer carries the correlation data back: a long one is never copied.
  const bool longCorrelation = props.correlationData.size() > MAX_CORRELATION_BYTES;
  Request r{*target, topic, {}, {props.responseTopic, {}, props.retained}};
  if (!longCorrelation) r.reply.correlationData = props.correlationData;
  if (auto why = replyRefusal(r)) {
    // Answered where the request came from, so that the requester learns why.
    r.reply.responseTopic.clear();
    answer(r, errorAnswer("the response topic is refused: " + *why));
    return;
  }
  if (longCorrelation) {
    answer(r, errorAnswer(fmt::format(
                  "correlation data of {} bytes is longer than the limit of {} bytes; the "
                  "request was not carried out",
                  props.correlationData.size(), MAX_CORRELATION_BYTES)));
    return;
  }
  // A retained request would be carried out again at every start. The subscriptions keep the
  // retain flag of live publications too, so this holds whenever one arrives.
  if (props.retained) {
    answer(r, errorAnswer("retained requests are not carried out: a request is an event, not "
                          "state; publish it without the retain flag"));
    return;
  }
  // Judged before anything is parsed or copied.
  const std::size_t limit = std::min(MAX_REQUEST_BYTES, requestLimit(target->op));
  if (payload.size() > limit) {
    answer(r, errorAnswer(fmt::format("request of {} bytes is larger than the limit of {} bytes",
                                      payload.size(), limit)));
    return;
  }
  if (pending_.size() >= settings_.maxPending ||
      (!pending_.empty() && pendingBytes_ + payload.size() > settings_.maxPendingBytes)) {
    answer(r, errorAnswer("too many requests waiting; try again later"));
    return;
  }
  r.payload = payload;
  pendingBytes_ += r.payload.size();
  pending_.push_back(std::move(r));
  wake_.cancel();
}

awaitable<void> Companion::serve() {
  for (;;) {
    auto cs = co_await asio::this_coro::cancellation_state;
    if (cs.cancelled() != asio::cancellation_type::none) co_return;
    if (pending_.empty()) {
      wake_.expires_at(asio::steady_timer::time_point::max());
      co_await wake_.async_wait(asio::as_tuple(use_awaitable));
      continue;
    }
    Request r = std::move(pending_.front());
    pending_.pop_front();
    pendingBytes_ -= r.payload.size();
    std::string text;
    try {
      text = co_await carryOut(r);
    } catch (const std::exception& e) {
      text = errorAnswer(e.what());
    }
    answer(r, text);
  }
}

awaitable<std::string> Companion::carryOut(const Request& r) {
  const std::uint32_t uid = r.target.sensorUid;
  switch (r.target.op) {
    case Op::Message: {
      auto m = parseMessage(r.payload, uid);
      std::function<void()> job = [m] { txMessage(m.keyName, m.valueMap); };
      auto err = co_await onWorker(std::move(job));
      co_return err ? errorAnswer(*err) : okAnswer();
    }
    case Op::Config: {
      auto c = parseConfig(r.payload);
      std::function<void()> job = [c] { txSensorConfig(c.keyName, c.config); };
      auto err = co_await onWorker(std::move(job));
      co_return err ? errorAnswer(*err) : okAnswer();
    }
    case Op::PeerMode: {
      int mode = parsePeerMode(r.payload);
      json nodeUid(uid), keep(mode);  // no temporaries in a co_await (GCC 12)
      Bytes got = co_await setPeerModeAnswer(std::move(nodeUid), std::move(keep));
      if (got == toBytes("PMS")) co_return R"({"ok": true, "confirmed": true})";
      json a = {{"ok", false},
                {"error", fmt::format("the hat did not confirm: {}", byteArrayRepr(got))},
                {"errorCode", hexString(got)}};
      co_return a.dump();
    }
    case Op::Firmware:
      co_return co_await startFirmware(r);
    case Op::FirmwareStep:
      co_return co_await stepFirmware(r);
  }
  co_return errorAnswer("unknown operation");
}

awaitable<std::optional<std::string>> Companion::onWorker(std::function<void()> job) {
  enum : int { Queued, Started, Abandoned };
  struct Done {
    explicit Done(Executor e) : timer(e, asio::steady_timer::time_point::max()) {}
    asio::steady_timer timer;
    // Decided once, by whoever comes first: the worker starting the job, or the loop giving up
    // on it. A job given up on never runs, so the requester's answer says what happened.
    std::atomic<int> state{Queued};
    bool finished = false;
    std::optional<std::string> error;
  };
  auto done = std::make_shared<Done>(ex_);
  Executor ex = ex_;
  std::function<void()> wrapped = [job = std::move(job), done, ex] {
    int expected = Queued;
    if (!done->state.compare_exchange_strong(expected, Started)) return;
    std::optional<std::string> error;
    try {
      job();
    } catch (const std::exception& e) {
      error = e.what();
    } catch (...) {
      error = "unknown failure";
    }
    // The answer is made on the loop, which owns the client.
    asio::post(ex, [done, error] {
      done->finished = true;
      done->error = error;
      done->timer.cancel();
    });
  };
  const auto deadline = std::chrono::steady_clock::now() + settings_.jobLimit;
  co_await enqueue_(std::move(wrapped));
  if (!done->finished) {
    done->timer.expires_at(deadline);
    co_await done->timer.async_wait(asio::as_tuple(use_awaitable));
  }
  if (done->finished) co_return done->error;
  int expected = Queued;
  if (done->state.compare_exchange_strong(expected, Abandoned))
    co_return std::string("the transmit worker did not take the request in time; it was not sent");
  // Started just now: what it does is the answer. The serial operations bound their own waits;
  // this bound only keeps a stuck worker from holding every later request.
  done->timer.expires_after(settings_.jobLimit);
  co_await done->timer.async_wait(asio::as_tuple(use_awaitable));
  if (done->finished) co_return done->error;
  co_return std::string("the request was started but has not finished; its outcome is unknown");
}

awaitable<std::string> Companion::startFirmware(const Request& r) {
  FirmwareRequest f = parseFirmware(r.payload);
  const std::string path = settings_.stateDir + "/ops-firmware.hex";
  const std::string fresh = path + ".new";
  // Written (for the owner only) and parsed away from the loop: a bad image is refused before
  // the running transfer is touched.
  auto maxAddr = std::make_shared<long long>(-1);
  std::function<void()> check = [fresh, maxAddr, image = std::move(f.image)] {
    writeWholeFile(fresh, image, {.mode = 0600, .sync = false});
    *maxAddr = IhexImage::load(fresh).maxAddr();
  };
  auto err = co_await onWorker(std::move(check));
  if (!err && f.startAddr > *maxAddr)
    err =
        fmt::format("startAddr {} lies beyond the image (last address {})", f.startAddr, *maxAddr);
  if (!err && ::rename(fresh.c_str(), path.c_str()) != 0)
    err = fmt::format("cannot keep the image: {}", std::strerror(errno));
  if (err) {
    ::unlink(fresh.c_str());
    co_return errorAnswer(*err);
  }
  json valueMap = {{"startAddr", f.startAddr},
                   {"filePath", path},
                   {"msgtype", f.msgtype},
                   {"toNodeUID", r.target.sensorUid},
                   {"authToken", f.authToken}};
  std::string keyName = std::to_string(f.key);
  co_await txBigMessage(std::move(keyName), std::move(valueMap));
  publishStatus();
  co_return okAnswer();
}

awaitable<std::string> Companion::stepFirmware(const Request& r) {
  long long addr = parseStep(r.payload);
  auto& st = flashUpdateStatus();
  if (!st.contains("toNodeUID") || !st.contains("filePath") || !st.contains("authToken"))
    throw BadRequest("no firmware transfer has been started");
  long long target = toInteger(json(st["toNodeUID"].get<long long>()), "toNodeUID");
  if (target != r.target.sensorUid)
    throw BadRequest(fmt::format("the firmware transfer in progress goes to sensor {}", target));
  const auto& bin = st["authToken"].get_binary();
  Bytes token(bin.begin(), bin.end());
  // The caller saw the last chunk acknowledged.
  st["txstatus"] = "SENDING";
  txBigMessageStep(json(addr), st["filePath"].get<std::string>(),
                   json(st["msgId"].get<long long>()), json(st["msgtype"].get<long long>()),
                   json(target), token);
  publishStatus();
  co_return okAnswer();
}

void Companion::publishStatus() {
  const auto& st = flashUpdateStatus();
  auto uid = st.find("toNodeUID");
  if (uid == st.end() || !client_) return;
  client_->publish(fmt::format("gw/{}/node/{}/firmware/status", gatewayUid_, uid->dump()),
                   statusJson(st), 1, true);
}

std::optional<std::string> Companion::replyRefusal(const Request& r) {
  if (r.reply.responseTopic.empty()) return std::nullopt;
  ReplyRules rules;
  rules.filters = requestFilters(gatewayUid_);
  for (const char* cmd : {"setSensorRadioKey/+", "removeSensorRadioKey/+", "setRTCOffset"})
    rules.filters.push_back(fmt::format("gw/{}/{}", gatewayUid_, cmd));
  rules.filters.push_back("tx/#");
  MqttClient::Subscriptions observed;
  observer().addSubscriptions(observed);
  for (auto& [f, qos] : observed) rules.filters.push_back(f);
  // Other gateways' commands and requests too: the broker may let this one write there.
  rules.closedPrefixes = {"tx/", "gw/", "sensors/"};
  if (!settings_.discoveryPrefix.empty())
    rules.closedPrefixes.push_back(settings_.discoveryPrefix + "/");
  rules.prefix = settings_.replyPrefix;
  auto why = refuseReplyTopic(r.reply.responseTopic, r.topic, rules);
  if (why)
    log_.log(fmt::format("Node operations: {}: response topic {} refused: {}", shortened(r.topic),
                         excerpt(r.reply.responseTopic, MAX_LOG_FIELD), *why));
  return why;
}

void Companion::answer(const Request& r, const std::string& text) {
  log_.log(fmt::format("Node operations: {} -> {}", shortened(r.topic), shortened(text)));
  if (!client_) return;
  // The response topic was checked when the request arrived.
  const std::string topic =
      r.reply.responseTopic.empty() ? r.topic + "/response" : r.reply.responseTopic;
  client_->publishReply(topic, text, 1, r.reply.correlationData);
}

}  // namespace ostrel::ops
