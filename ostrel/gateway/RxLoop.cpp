// The serial receive loop: finds message starts, handles the hat's hello, dispatches the rest.
#include <utility>

#include "ostrel/base/Log.hpp"
#include "ostrel/base/LogThrottle.hpp"
#include "ostrel/base/Observer.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/gateway/Settings.hpp"
#include "ostrel/hat/HatProtocolV3.hpp"
#include "ostrel/sys/Files.hpp"

namespace ostrel {

namespace {

bool isCancelled(const asio::cancellation_state& cs) {
  return cs.cancelled() != asio::cancellation_type::none;
}

// A full disk or a power cut never leaves an empty or half-written gateway.uid behind (see
// writeWholeFile). A link in its place is left as it is, and so is what it points to: the gateway
// does not need the file itself, so it goes on without it.
void writeUidFile(const std::string& path, ByteView uid) {
  if (isSymlink(path)) {
    if (!std::exchange(gw().uidLinkTold, true))
      logf("{} is a symbolic link; it is not followed, and the gateway UID is not written", path);
    return;
  }
  writeWholeFile(path, uid);
}

// The hello up to the encryption setup; false (with `refusal` set) when the version byte is
// refused. Throws when the message cannot be decoded or the UID file cannot be written.
awaitable<bool> handleHello(std::shared_ptr<MqttClient> client, const Config& config,
                            const std::string& statusDir,
                            std::shared_ptr<SensorMsgParser> msgParser, std::string& refusal) {
  auto& ser = gw().ser;
  Bytes version = co_await ser->read_async(1);
  if (version.size() != 1 || version[0] < 1 || version[0] > 3) {
    refusal = "Unexpected protocol version " + bytesRepr(version);
    log(refusal);
    co_return false;
  }
  auto ex = co_await asio::this_coro::executor;
  switch (version[0]) {
    case 1:
      gw().myProtocol = std::make_shared<HatProtocolV1>(ser, client, msgParser, statusDir);
      break;
    case 2:
      gw().myProtocol =
          std::make_shared<HatProtocolV2>(ser, client, msgParser, statusDir, config, ex);
      break;
    default:
      gw().myProtocol =
          std::make_shared<HatProtocolV3>(ser, client, msgParser, statusDir, config, ex);
      break;
  }
  auto proto = gw().myProtocol;
  proto->useNodeIds(gw().nodeIds);

  Bytes info = co_await ser->read_async(30);
  if (info.size() < 17)
    throw DecodeError(fmt::format("hat information block of {} bytes is too short", info.size()));
  std::uint32_t fwRevision = getBe32(info, 0);
  std::uint32_t uniqueId = getBe32(info, 4);
  std::string boardType = info[8] == 3 ? "Quorind Gateway Hat" : std::to_string(info[8]);
  std::string hwRev = fmt::format("{}.{}.{}", info[9], info[10], info[11]);
  std::string buildDate = fmt::format("{}.{}.{}", info[12], info[13], info[14] | (info[15] << 8));
  std::string radioFreq = (info[16] & 2) ? "868 MHz" : "433 MHz";
  std::string radioDesc = fmt::format("{}, {} ", radioFreq, (info[16] & 1) ? "H/W" : "W");
  ByteView serialBytes = ByteView(info).subspan(17, std::min<std::size_t>(12, info.size() - 17));
  if (!isAscii(serialBytes))
    throw DecodeError("hat serial number is not ASCII: " + bytesRepr(serialBytes));
  std::string serialNum = toString(serialBytes);

  writeUidFile(statusDir + "/gateway.uid", ByteView(info).subspan(4, 4));
  proto->setGWUID(uniqueId);
  gw().changed.notify();

  observer().onHello(version[0], fwRevision, serialNum, uniqueId);
  observer().beforeConnect(*client, uniqueId);
  // The client connects, and keeps trying, by itself: the hat is set up and its radio woken
  // whatever the broker does, and readings wait in the client's buffer and spool meanwhile.
  auto broker = brokerSettings(config);
  client->open(broker.host, broker.port, broker.keepalive);
  // Retained, so it waits in the client until the first connect.
  client->publish(fmt::format("gw/{}/firmware/revision", uniqueId), std::to_string(fwRevision), 1,
                  true);
  // One log call per line: the log escapes line feeds inside a line.
  log("Gateway Info: ");
  logf("\tFirmware Revision: {}", fwRevision);
  logf("\tUnique ID: {}", uniqueId);
  logf("\tHat Type: {}", boardType);
  logf("\tHardware Revision: {}", hwRev);
  logf("\tBuild Date: {}", buildDate);
  logf("\tS/N: {}", serialNum);
  logf("\tRadio: {}", radioDesc);
  co_return true;
}

// The bootloader's prompt among the bytes the receive loop drops: the hat has reset itself.
class PromptWatch {
 public:
  bool dropped(std::uint8_t b) {
    static constexpr std::string_view kPrompt = "Press";
    matched_ = b == kPrompt[matched_] ? matched_ + 1 : (b == kPrompt[0] ? 1 : 0);
    if (matched_ < kPrompt.size()) return false;
    matched_ = 0;
    return true;
  }
  void clear() { matched_ = 0; }

 private:
  std::size_t matched_ = 0;
};

// One turn's look at the hat's silence while running: marks progress while the silence is
// accounted for, asks a hat that can be asked, and says when it should be brought up again.
bool hatGaveUp(LogThrottle& noiseLog) {
  auto now = HatLiveness::Clock::now();
  auto& live = gw().liveness;
  live.heard(gw().ser->lastByteAt());
  // A version-1 hat cannot be asked: its silence is reported, and the loop still counts as moving.
  auto* askable = dynamic_cast<HatProtocolV2*>(gw().myProtocol.get());
  if (!askable || live.withinAllowance(now)) gw().progress.mark(Stage::Running);
  if (!askable) return false;
  switch (live.poll(now)) {
    case HatLiveness::Action::None:
      return false;
    case HatLiveness::Action::Ask:
      try {
        askable->askAlive(HatLiveness::QUESTIONS * live.answerWait());
      } catch (...) {
        // Not asked counts as not answered: a transmit queue that does not move ends the same way.
        noiseLog.log(describeException(std::current_exception(), "hat liveness question"));
      }
      return false;
    case HatLiveness::Action::GiveUp:
      break;
  }
  auto silent = std::chrono::duration_cast<std::chrono::seconds>(live.silentFor(now));
  gw().bringupFailed = fmt::format("no byte from it for {} s and no answer to {} clock reads",
                                   silent.count(), HatLiveness::QUESTIONS);
  gw().bringupCause = BringupFailed::Cause::HatSilent;
  return true;
}

}  // namespace

awaitable<void> processRxMsgs(std::shared_ptr<MqttClient> client, const Config& config,
                              const Args& args, std::string statusDir) {
  auto msgParser = makeSensorMsgParser(config);
  auto cs = co_await asio::this_coro::cancellation_state;
  auto ex = co_await asio::this_coro::executor;
  // A task starts inline: the launcher starts the transmit loop before the hat is read here.
  co_await asio::post(ex, use_awaitable);

  // A restart in the same process: the hat sends no new hello, so the protocol object that
  // exists is moved onto this start's port and client, and the client is connected here.
  if (gw().myProtocol) {
    gw().myProtocol->rebind(gw().ser, client);
    gw().myProtocol->setParser(msgParser);
    auto broker = brokerSettings(config);
    observer().beforeConnect(*client, gw().myProtocol->getGWUID());
    client->open(broker.host, broker.port, broker.keepalive);
  }
  gw().bringupFailed.reset();
  gw().bringupCause = BringupFailed::Cause::Failed;
  gw().liveness.setPeriod(silenceCheckPeriod(config));
  auto& progress = gw().progress;
  progress.mark(gw().myProtocol ? Stage::Running : Stage::WaitingForHello);
  if (gw().myProtocol) gw().broughtUp = true;
  // A hat that does not say hello in time, or whose hello cannot be handled, is brought up again
  // from its reset: the launcher does that once this loop has ended with the cause.
  auto helloDeadline = std::chrono::steady_clock::now() + hooks().helloLimit;
  std::string helloRefusal;
  using Cause = BringupFailed::Cause;
  auto bringUpAgain = [](std::string why, Cause cause) {
    gw().bringupFailed = std::move(why);
    gw().bringupCause = cause;
  };
  PromptWatch promptWatch;

  // Noise on the line repeats these lines without end: keep their volume bounded.
  LogThrottle noiseLog(ex);
  Bytes msgStart;
  msgStart.reserve(2);
  for (;;) {
    bool failed = false;
    bool inHello = false;
    if (progress.stage() == Stage::Running && hatGaveUp(noiseLog)) co_return;
    if (!gw().myProtocol && std::chrono::steady_clock::now() >= helloDeadline) {
      bringUpAgain(
          fmt::format("the hat has not said hello within {} s{}", hooks().helloLimit.count() / 1000,
                      helloRefusal.empty() ? "" : " (" + helloRefusal + ")"),
          Cause::Failed);
      co_return;
    }
    try {
      Bytes b = co_await gw().ser->read_async(1);
      if (!b.empty()) msgStart.push_back(b[0]);
      if (msgStart.size() != 2) continue;

      std::string msgStartStr;
      if (isAscii(msgStart))
        msgStartStr.assign(msgStart.begin(), msgStart.end());
      else
        noiseLog.log("UART communication error: Could not decode msg start");

      // An answer that a waiting operation asked for goes to it, not to the protocol object.
      if (gw().pendingReply && msgStartStr == gw().pendingReply->code) {
        PendingReply reply = std::move(*gw().pendingReply);
        gw().pendingReply.reset();
        Bytes answer = msgStart;
        if (reply.length > 2) {
          Bytes rest = co_await gw().ser->read_async(reply.length - 2);
          append(answer, rest);
        }
        msgStart.clear();
        reply.deliver(std::move(answer));
        continue;
      }

      // No declarations in conditions here: GCC 12 destroys them twice around a co_await.
      std::shared_ptr<HatProtocolV1> proto = gw().myProtocol;
      if (proto) {
        bool handled = co_await proto->processMsg(msgStartStr);
        if (handled) {
          msgStart.clear();
          promptWatch.clear();
          // Backpressure: while the broker acknowledges but lags, leave the bytes with the OS
          // and the hat instead of dropping readings; a stalled broker holds us a second at most.
          co_await client->waitForRoom();
        } else {
          noiseLog.log(fmt::format("Garbage Msg Start: {}", msgStart[0]));
          bool prompt = promptWatch.dropped(msgStart[0]);
          msgStart.erase(msgStart.begin());
          if (prompt) {
            bringUpAgain("the hat's bootloader prompt appeared while running", Cause::HatReset);
            co_return;
          }
        }
      } else if (msgStartStr == "HL") {
        inHello = true;
        bool accepted = co_await handleHello(client, config, statusDir, msgParser, helloRefusal);
        inHello = false;
        msgStart.clear();
        promptWatch.clear();
        if (accepted) {
          // A failed encryption setup is logged and leaves the gateway in this stage: the
          // watchdog stops once it has lasted too long.
          progress.mark(Stage::SettingUp);
          auto created = gw().myProtocol;
          created->onSetupProgress = [] { gw().progress.mark(Stage::SettingUp); };
          co_await created->setupEncryption(args);
          progress.mark(Stage::Running);
          gw().broughtUp = true;
        }
      } else {
        noiseLog.log(fmt::format("Garbage Msg Start: {}", msgStart[0]));
        bool prompt = promptWatch.dropped(msgStart[0]);
        msgStart.erase(msgStart.begin());
        if (prompt) {
          bringUpAgain("the hat's bootloader prompt appeared before its hello", Cause::HatReset);
          co_return;
        }
      }
    } catch (const HatRestarted& e) {
      if (isCancelled(cs)) {
        log("RX: Serial connection cancelled.");
        co_return;
      }
      bringUpAgain(e.what(), Cause::HatReset);
      co_return;
    } catch (const SerialLost& e) {
      if (isCancelled(cs)) {
        log("RX: Serial connection cancelled.");
        co_return;
      }
      // Reading on would only read silence: end the loop, and the gateway starts again once
      // the device is back.
      logf("{}; the gateway stops and waits for the device to come back", e.what());
      gw().serialLost = e.what();
      co_return;
    } catch (...) {
      if (isCancelled(cs)) {
        log("RX: Serial connection cancelled.");
        co_return;
      }
      if (inHello) {
        // The launcher logs the cause with the next attempt.
        bringUpAgain(describeException(std::current_exception(), "hat hello"), Cause::Failed);
        co_return;
      }
      noiseLog.log(describeException(std::current_exception(), "serial receive loop"));
      msgStart.clear();
      failed = true;
    }
    // The pause after a failure sits outside the handler: a coroutine cannot suspend in a catch.
    if (failed) {
      try {
        co_await sleepFor(std::chrono::milliseconds(100));
      } catch (...) {
        log("RX: Serial connection cancelled.");
        co_return;
      }
    }
  }
}

}  // namespace ostrel
