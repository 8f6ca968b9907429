#include "ostrel/mqtt/Connection.hpp"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "ostrel/base/Log.hpp"
#include "ostrel/mqtt/NoDelay.hpp"
#include "ostrel/mqtt/TlsProbe.hpp"

namespace ostrel {

namespace {

using Blame = MqttBuffer::Blame;

// Links that could not be freed when their owner went: abandoned ones (a close that never
// completed: Paho may still be at work in them, so they are never freed) and ones with a callback
// still running in them (freed by finishMqttClients once quiet). Held, not dropped, so that they
// stay reachable; never destroyed, so that no exit handler frees a Paho client under Paho.
struct LeftLinks {
  std::mutex m;
  std::vector<std::pair<std::unique_ptr<PahoLink>, bool>> links;  // link, abandoned
};
LeftLinks& leftLinks() {
  static auto* left = new LeftLinks;
  return *left;
}
void leave(std::unique_ptr<PahoLink> link, bool abandoned) {
  auto& left = leftLinks();
  std::lock_guard lk(left.m);
  left.links.emplace_back(std::move(link), abandoned);
}

constexpr int TAKEN_OVER = 0x8E;  // reason code "Session taken over"
constexpr std::chrono::minutes TAKE_OVER_LOG_PERIOD{1};
constexpr std::chrono::minutes SILENT_ROW{1};
constexpr std::size_t SILENT_ROW_CLOSES = 3;
constexpr std::chrono::milliseconds PROBE_LIMIT{5000};
// A close without a reason this soon after a refusal is the broker's answer to that refusal.
constexpr std::chrono::seconds AFTER_REFUSAL{5};

// Reason codes of a DISCONNECT that names a packet the broker refused: whatever was in flight
// may be that packet. Any other reason (a take-over, a shutdown, a keep-alive time-out) blames
// nothing we sent.
bool refusal(int reason) {
  switch (reason) {
    case 0x81:  // malformed packet
    case 0x82:  // protocol error
    case 0x87:  // not authorized
    case 0x90:  // topic name invalid
    case 0x93:  // receive maximum exceeded
    case 0x94:  // topic alias invalid
    case 0x95:  // packet too large
    case 0x97:  // quota exceeded
    case 0x99:  // payload format invalid
    case 0x9A:  // retain not supported
    case 0x9B:  // QoS not supported
      return true;
    default:
      return false;
  }
}

}  // namespace

bool finishMqttClients() {
  // Every network step of a probe is bounded, so this wait is short; a broker that drips its
  // handshake out could hold one longer, and then the process leaves without cleaning up.
  bool probesEnded = waitForTlsProbes(std::chrono::seconds(16));
  auto& left = leftLinks();
  std::lock_guard lk(left.m);
  auto busy = [&] {
    return std::any_of(left.links.begin(), left.links.end(),
                       [](auto& l) { return !l.second && !l.first->quiet(); });
  };
  // A callback only posts its event: it ends within moments, however loaded the machine.
  for (int i = 0; i < 200 && busy(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::erase_if(left.links, [](auto& l) { return !l.second && l.first->quiet(); });
  return probesEnded && left.links.empty();
}

Connection::Connection(Executor ex, ConnectionOptions options, Handlers handlers)
    : ex_(ex),
      options_(options),
      on_(std::move(handlers)),
      retry_(ex),
      slow_(ex),
      burial_(ex),
      backoff_(options.reconnectMin),
      jitter_(std::random_device{}()) {}

Connection::~Connection() {
  *alive_ = false;
  on_ = {};
  if (link_ && (phase_ == Phase::Connected || phase_ == Phase::Connecting)) {
    // Not closed first (the daemon always is; a test may not be): the one blocking wait here,
    // bounded.
    if (link_->disconnectNow(std::chrono::seconds(2))) phase_ = Phase::Idle;
  }
  if (phase_ == Phase::Closing || phase_ == Phase::Connecting || phase_ == Phase::Connected) {
    log("MQTT client gone before its disconnect completed; leaving its library client behind");
    phase_ = Phase::Closing;
    abandon();
  }
  retire();
  // A retired link still in a callback is left alone: freeing it would pull Paho's objects from
  // under that callback.
  for (auto& l : retired_)
    if (!l->quiet()) leave(std::move(l), false);
}

std::string Connection::where() const {
  return fmt::format("{}:{}", attempt_.host, attempt_.port);
}

LinkConfig linkConfigOf(const MqttSettings& s) {
  LinkConfig c;
  c.clientId = s.clientId;
  c.cleanStart = s.cleanStart;
  c.sessionExpiry = s.sessionExpiry;
  c.maxPacketSize = s.maxPacketSize;
  c.username = s.username;
  c.password = s.password;
  c.will = s.will;
  c.tls = s.tls;
  c.caFile = s.caFile;
  c.certFile = s.certFile;
  c.keyFile = s.keyFile;
  c.retainAsPublished = s.retainAsPublished;
  return c;
}

void Connection::configure(LinkConfig base) {
  base_ = std::move(base);
  ++settingsVersion_;
}

void Connection::open(const std::string& host, int port, int keepAlive) {
  want_ = Target{host, port, keepAlive, settingsVersion_};
  if (phase_ == Phase::Connected && !(attempt_ == *want_)) return closeLink();
  if (phase_ != Phase::Idle) return;  // the attempt under way ends in startAttempt()
  retry_.cancel();
  backoff_ = options_.reconnectMin;
  startAttempt();
}

void Connection::close() {
  want_.reset();
  reopen_ = false;
  retry_.cancel();
  if (phase_ == Phase::Connected || phase_ == Phase::Connecting) closeLink();
}

void Connection::reconnect() {
  if (phase_ != Phase::Connected) return;
  reopen_ = true;
  closeLink();
}

void Connection::closeLink() {
  phase_ = Phase::Closing;
  link_->disconnect();
}

void Connection::abandon() {
  if (phase_ != Phase::Closing || !link_) return;
  // Paho may still be at work in it: never freed.
  leave(std::move(link_), true);
  phase_ = Phase::Idle;
  if (on_.closed) on_.closed();
}

void Connection::retire() {
  if (!link_) return;
  retired_.push_back(std::move(link_));
  bury();
}

void Connection::bury() {
  std::erase_if(retired_, [](auto& l) { return l->quiet(); });
  if (retired_.empty()) return;
  // A callback still runs inside one: look again shortly.
  burial_.expires_after(std::chrono::milliseconds(100));
  burial_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec) {
    if (!ec && alive.lock()) bury();
  });
}

void Connection::startAttempt() {
  if (!want_ || phase_ != Phase::Idle) return;
  attempt_ = *want_;
  phase_ = Phase::Connecting;
  if (!brokerAway_) {
    // A broker that does not answer holds an attempt for the whole connect time-out: after a
    // moment it counts as away, and the owner sends what waits to disk.
    slow_.expires_after(options_.slowAttempt);
    slow_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec) {
      if (ec || !alive.lock() || phase_ != Phase::Connecting) return;
      brokerAway_ = true;
      if (on_.away) on_.away();
    });
  }
  LinkConfig cfg = base_;
  cfg.host = attempt_.host;
  cfg.port = attempt_.port;
  cfg.keepAlive = attempt_.keepAlive;
  cfg.connectTimeout = options_.connectTimeout;
  cfg.maxBuffered = options_.maxBuffered;
  try {
    if (!link_ || !link_->madeFor(cfg) || renew_) {
      retire();
      renew_ = false;
      const std::uint64_t id = ++linksMade_;
      auto sink = [this, id, alive = std::weak_ptr<bool>(alive_)](LinkEvent& ev) {
        if (alive.lock()) onEvent(id, ev);
      };
      link_ = std::make_unique<PahoLink>(ex_, cfg, sink);
      linkId_ = id;
    }
    link_->connect(cfg);
  } catch (const std::exception& e) {
    phase_ = Phase::Idle;
    attemptFailed(e.what());
  }
}

// A little jitter, so that a fleet of gateways does not come back in step.
std::chrono::milliseconds Connection::scheduleAttempt() {
  auto spread = backoff_.count() / 5;
  auto delay = backoff_ - std::chrono::milliseconds(spread > 0 ? jitter_() % (spread + 1) : 0);
  backoff_ = std::min(backoff_ * 2, options_.reconnectMax);
  retry_.expires_after(delay);
  retry_.async_wait([this, alive = std::weak_ptr<bool>(alive_)](boost::system::error_code ec) {
    if (!ec && alive.lock()) startAttempt();
  });
  return delay;
}

void Connection::attemptFailed(const std::string& why) {
  failedSinceClose_ = true;
  brokerAway_ = true;
  if (!want_) return;
  auto delay = scheduleAttempt();
  logf("MQTT broker {} not reachable; retrying in {:.1f} s ({})", where(),
       std::chrono::duration<double>(delay).count(), escapeControl(why));
  if (on_.attemptFailed) on_.attemptFailed(why);
}

void Connection::onEvent(std::uint64_t from, LinkEvent& ev) {
  bury();
  if (from != linkId_) return;  // a retired link's late word
  switch (ev.kind) {
    case LinkEvent::Connected:
    case LinkEvent::ConnectFailed:
      return onConnectResult(ev);
    case LinkEvent::Lost:
      return onLost(ev);
    case LinkEvent::Closed:
      return onClosed();
    default:
      if (phase_ == Phase::Connected && on_.event) on_.event(ev);
  }
}

void Connection::onConnectResult(LinkEvent& ev) {
  const bool ok = ev.kind == LinkEvent::Connected;
  if (phase_ == Phase::Closing) return ok ? closeLink() : onClosed();  // close() came meanwhile
  if (phase_ != Phase::Connecting) return;
  if (!ok) {
    phase_ = Phase::Idle;
    // Without a reason code the broker never answered: over TLS, find out why.
    if (base_.tls && ev.reason == 0) {
      auto seq = ++probeSeq_;
      TlsProbeTarget target{attempt_.host, attempt_.port, base_.caFile, base_.certFile,
                            base_.keyFile};
      auto limit = std::min<std::chrono::milliseconds>(options_.connectTimeout, PROBE_LIMIT);
      auto done = [this, seq, text = ev.text,
                   alive = std::weak_ptr<bool>(alive_)](const std::string& reason) {
        // Only the attempt probed is reported: open() may have started another meanwhile.
        if (!alive.lock() || seq != probeSeq_ || phase_ != Phase::Idle) return;
        attemptFailed(reason.empty() ? text : text + "; TLS: " + reason);
      };
      if (probeTls(ex_, target, limit, done)) return;
    }
    return attemptFailed(ev.text);
  }
  phase_ = Phase::Connected;
  if (!want_ || !(*want_ == attempt_)) return closeLink();  // asked for another meanwhile
  brokerAway_ = false;
  connectedAt_ = Clock::now();
  setNoDelayOnSocketsTo(attempt_.port);
  if (on_.connected) on_.connected(ev);
}

void Connection::onLost(LinkEvent& ev) {
  if (phase_ != Phase::Connected) return;  // both Paho callbacks may report the same loss
  auto now = Clock::now();
  Blame blame = Blame::None;
  if (ev.reason >= 0) {
    // The broker said why, in a DISCONNECT.
    if (ev.reason == TAKEN_OVER) noteTakeOver();
    silentCloses_.clear();
    if (refusal(ev.reason)) blame = Blame::Refusal;
  } else if (lastRefusal_ && now - *lastRefusal_ < AFTER_REFUSAL) {
    // mosquitto 2.0 closes the connection after refusing a publication it answered already.
    silentCloses_.clear();
  } else {
    blame = Blame::Silent;
    // Some brokers (mosquitto 2.0) close a taken-over connection without the reason: closes in
    // a row, each followed by a connect that works at once, are that pattern. A lost network
    // fails the next connect and breaks the row.
    if (failedSinceClose_) silentCloses_.clear();
    failedSinceClose_ = false;
    std::erase_if(silentCloses_, [&](Clock::time_point t) { return now - t > SILENT_ROW; });
    silentCloses_.push_back(now);
    if (silentCloses_.size() >= SILENT_ROW_CLOSES) noteTakeOver(silentCloses_.size());
  }
  phase_ = Phase::Idle;
  brokerAway_ = true;
  // Paho's session keeps what was in flight and would send it again itself on its next
  // connection, outside the owner's order: a new link for the next attempt.
  renew_ = true;
  if (now - connectedAt_ >= options_.holdToReset) backoff_ = options_.reconnectMin;
  if (on_.lost) on_.lost(ev.text, blame);
  if (want_) scheduleAttempt();
}

void Connection::onClosed() {
  if (phase_ != Phase::Closing) return;
  phase_ = Phase::Idle;
  // Paho takes the next connect of a client it has disconnected only at its threads' next turn,
  // a second later: the next attempt gets a new link.
  renew_ = true;
  if (on_.closed) on_.closed();
  if (std::exchange(reopen_, false)) {
    retry_.cancel();
    backoff_ = options_.reconnectMin;
  }
  startAttempt();  // opened again meanwhile, or reconnect()
}

// Two clients with one identifier take the session from each other in turn, for ever; the
// broker's reason (or, without one, `silentCloses` closes in a row) is the only trace of it.
// Said at most once a minute.
void Connection::noteTakeOver(std::size_t silentCloses) {
  auto now = Clock::now();
  if (takeOverTold_ && now - *takeOverTold_ < TAKE_OVER_LOG_PERIOD) return;
  takeOverTold_ = now;
  const std::string remedy =
      "Give each gateway on this broker a client identifier of its own ([MQTT] client-id)";
  if (silentCloses == 0)
    logf(
        "MQTT broker {} closed the connection: another client connected with the same client "
        "identifier '{}' and took the session over. {}",
        where(), escapeControl(base_.clientId), remedy);
  else
    logf(
        "MQTT broker {} closed the connection {} times within a minute without a reason, taking "
        "us back at once each time: another client with the same client identifier '{}' may be "
        "taking the session over. {}",
        where(), silentCloses, escapeControl(base_.clientId), remedy);
}

}  // namespace ostrel
