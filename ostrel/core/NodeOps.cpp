// Boost (through Gateway.hpp) must come before SRecord's headers.
#include "ostrel/core/NodeOps.hpp"

#include "ostrel/core/Gateway.hpp"
#include "ostrel/io/Log.hpp"

// clang-format off
#include <srecord/input/file/intel.h>
#include <srecord/memory.h>
#include <srecord/quit.h>
// clang-format on

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace ostrel {

using json = nlohmann::json;

namespace {

bool isEmptyMap(const json& m) {
  return m.is_null() || ((m.is_object() || m.is_array()) && m.empty());
}

const json& need(const json& m, const char* key) {
  if (!m.is_object())
    throw std::invalid_argument(fmt::format("expected a map, got {}", m.type_name()));
  auto it = m.find(key);
  if (it == m.end()) throw std::invalid_argument(fmt::format("missing key '{}'", key));
  return *it;
}

double toDouble(const json& v, std::string_view what) {
  if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    try {
      return parseDouble(v.get_ref<const std::string&>());
    } catch (const std::invalid_argument&) {
    }
  }
  throw std::invalid_argument(fmt::format("{} is not a number: {}", what, v.dump()));
}

// A value as the log lines show it: text as it is, numbers in decimal.
std::string plain(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

std::shared_ptr<SerialPort> requirePort() {
  auto port = gw().ser;
  if (!port || !port->isOpen()) throw SerialError("serial port to the hat is not open");
  return port;
}

void sendFrame(const Bytes& frame) {
  auto port = requirePort();
  port->write(frame);
  port->flush();
}

// One component of a packed byte. A component outside 0..255 cannot give a byte in 0..255 once
// OR-ed in, so checking the parts first also keeps the shifts clear of overflow.
struct BytePart {
  long long value;
  int shift;
  const char* name;
};

std::uint8_t packByte(std::initializer_list<BytePart> parts, const char* what) {
  long long result = 0;
  for (const auto& p : parts) {
    if (p.value < 0 || p.value > 0xFF)
      throw EncodeError(fmt::format("{} gives {} and does not fit the {}", p.name, p.value, what));
    result |= p.value << p.shift;
  }
  if (result > 0xFF) throw EncodeError(fmt::format("{} {} does not fit 0..255", what, result));
  return static_cast<std::uint8_t>(result);
}

bool isReadableRegularFile(const std::string& path, bool& exists) {
  struct stat st {};
  exists = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  return exists && ::access(path.c_str(), R_OK) == 0;
}

// SRecord reports errors through a quit object whose default ends the process. This one
// collects the message and throws instead.
class ThrowingQuit : public srecord::quit {
 public:
  void message_v(const char* fmt, va_list ap) override {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    if (!text_.empty()) text_ += "; ";
    text_ += buf;
  }
  [[noreturn]] void exit(int) override {
    throw FirmwareError(text_.empty() ? std::string("Intel HEX reader failed") : text_);
  }

 private:
  std::string text_;
};

// Hands the hat's answer to a waiting setPeerMode. Its type identifies our pending reply.
struct ReplyWait {
  explicit ReplyWait(Executor ex) : timer(ex) {}
  asio::steady_timer timer;
  std::optional<Bytes> reply;
};

struct Deliverer {
  std::shared_ptr<ReplyWait> wait;
  void operator()(Bytes answer) const {
    if (wait->reply) return;
    wait->reply = std::move(answer);
    wait->timer.cancel();
  }
};

bool isOurs(const std::shared_ptr<ReplyWait>& wait) {
  auto& pending = gw().pendingReply;
  if (!pending) return false;
  auto* d = pending->deliver.target<Deliverer>();
  return d && d->wait == wait;
}

// Clears the pending reply on every way out of setPeerMode, unless another operation's reply
// has taken its place.
struct PendingGuard {
  std::shared_ptr<ReplyWait> wait;
  ~PendingGuard() {
    if (isOurs(wait)) gw().pendingReply.reset();
  }
};

}  // namespace

long long toInteger(const json& v, std::string_view what) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<long long>::max()))
      throw std::invalid_argument(fmt::format("{} {} is too large", what, u));
    return static_cast<long long>(u);
  }
  if (v.is_number_integer()) return v.get<long long>();
  if (v.is_number_float()) {
    double d = std::trunc(v.get<double>());
    if (!std::isfinite(d) || std::fabs(d) > 9.0e18)
      throw std::invalid_argument(fmt::format("{} {} is not a usable integer", what, v.dump()));
    return static_cast<long long>(d);
  }
  if (v.is_string()) {
    try {
      return parseInteger(v.get_ref<const std::string&>());
    } catch (const std::invalid_argument&) {
    }
  }
  throw std::invalid_argument(fmt::format("{} is not an integer: {}", what, v.dump()));
}

long long keyNumber(std::string_view redisKeyName) {
  auto colon = redisKeyName.rfind(':');
  auto text = colon == std::string_view::npos ? redisKeyName : redisKeyName.substr(colon + 1);
  try {
    return parseInteger(text);
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(fmt::format("key number of '{}' is not decimal", redisKeyName));
  }
}

std::uint8_t crcsum(ByteView data) {
  unsigned sum = 0;
  for (auto b : data) sum += b;
  return static_cast<std::uint8_t>((~sum + 1) & 0xFF);
}

Bytes makeTxFrame(long long keyNum, long long toid, ByteView payload) {
  Bytes f;
  append(f, std::string_view("TX"));
  putU8(f, static_cast<long long>(payload.size()) + 6, "TX length");
  putBe16(f, keyNum, "key number");
  putBe32(f, toid, "toid");
  append(f, payload);
  return f;
}

Bytes makePpFrame(long long keyNum, ByteView record) {
  Bytes f;
  append(f, std::string_view("PP"));
  putU8(f, static_cast<long long>(record.size()) + 4, "PP length");
  putBe32(f, keyNum, "key number");
  append(f, record);
  return f;
}

Bytes makeTbFrame(long long msgId, long long ackTimeout, long long toNodeId, ByteView dataChunk) {
  Bytes f;
  append(f, std::string_view("TB"));
  putU8(f, static_cast<long long>(dataChunk.size()) + 4, "TB length");
  putU8(f, msgId, "msgId");
  putU8(f, ackTimeout / 10, "ackTimeout / 10");
  putU8(f, toNodeId, "toNodeId");
  append(f, dataChunk);
  f.push_back(crcsum(ByteView(f).subspan(2)));
  return f;
}

Bytes makePmFrame(long long nodeId, long long keepPeerInRx) {
  Bytes f;
  append(f, std::string_view("PM"));
  putU8(f, nodeId, "node ID");
  putU8(f, keepPeerInRx, "keepPeerInRx");
  return f;
}

// ---- Node messages ----

Bytes txMsg2Bytes(const json& msg) {
  Bytes out;
  if (isEmptyMap(msg)) return out;
  long long type = toInteger(need(msg, "msgtype"), "msgtype");
  switch (type) {
    case 11:
      putU8(out, type, "msgtype");
      putBe16(out, toInteger(need(msg, "outputLevel"), "outputLevel"), "outputLevel");
      break;
    case 10:
      putU8(out, type, "msgtype");
      putU8(out, toInteger(need(msg, "waterTemp"), "waterTemp"), "waterTemp");
      break;
    case 204:
      putU8(out, type, "msgtype");
      break;
    default:
      break;
  }
  return out;
}

void txMessage(std::string_view redisKeyName, const json& valueMap) {
  if (isEmptyMap(valueMap)) return;
  Bytes payload = txMsg2Bytes(valueMap);
  if (payload.empty()) return;
  long long toid = toInteger(need(valueMap, "toid"), "toid");
  Bytes frame = makeTxFrame(keyNumber(redisKeyName), toid, payload);
  sendFrame(frame);
  logf("Sent message to node with ID {} of length {}", toid, payload.size() + 5);
}

// ---- Sensor configuration ----

Bytes getSensorConfig(const json& config) {
  Bytes out;
  if (isEmptyMap(config)) return out;
  long long type = toInteger(need(config, "sensorType"), "sensorType");
  long long sleepCycles = toInteger(need(config, "sleepCycles"), "sleepCycles");
  long long useLed = toInteger(need(config, "useLed"), "useLed");
  long long txPower = toInteger(need(config, "txPower"), "txPower");
  std::uint8_t general =
      packByte({{sleepCycles, 0, "sleepCycles"}, {useLed, 7, "useLed"}, {txPower, 4, "txPower"}},
               "general byte");

  if (type == 3) {
    long long pre = toInteger(need(config, "vcselPeriodPreRange"), "vcselPeriodPreRange");
    long long fin = toInteger(need(config, "vcselPeriodFinalRange"), "vcselPeriodFinalRange");
    std::uint8_t range = packByte(
        {{pre - 11, 5, "vcselPeriodPreRange - 11"}, {fin - 7, 2, "vcselPeriodFinalRange - 7"}},
        "range byte");
    // The product is formed in double precision before the fraction is dropped (0.29 -> 28).
    double rate = toDouble(need(config, "signalRateLimit"), "signalRateLimit") * 100.0;
    if (!std::isfinite(rate) || rate <= -1.0 || rate >= 256.0)
      throw EncodeError(fmt::format("signalRateLimit x 100 = {} does not fit 0..255", rate));
    long long budget =
        toInteger(need(config, "measurementTimingBudget"), "measurementTimingBudget");
    out.push_back(general);
    putU8(out, static_cast<long long>(std::trunc(rate)), "signalRateLimit x 100");
    out.push_back(range);
    putU8(out, budget, "measurementTimingBudget");
  } else if (type == 1 || type == 5) {
    long long delay =
        toInteger(need(config, "preBatteryMeasurementDelayMin"), "preBatteryMeasurementDelayMin");
    out.push_back(general);
    putBe16(out, delay, "preBatteryMeasurementDelayMin");
  }
  return out;
}

void txSensorConfig(std::string_view redisKeyName, const json& config) {
  if (isEmptyMap(config)) return;
  Bytes record = getSensorConfig(config);
  if (record.empty()) {
    // An empty record would tell the sensor nothing; do not send a bare frame.
    logf("No sensor config layout for sensor type {}; nothing sent",
         toInteger(need(config, "sensorType"), "sensorType"));
    return;
  }
  Bytes frame = makePpFrame(keyNumber(redisKeyName), record);
  sendFrame(frame);
  logf("Sent sensor config from channel {} to Gateway Hat", redisKeyName);
}

// ---- UID to radio node ID ----

namespace {
Uid2Id& uid2idMut() {
  static Uid2Id map;
  return map;
}
}  // namespace

const Uid2Id& uid2id() {
  return uid2idMut();
}

void setNodeId(long long uid, int nodeId) {
  for (auto& [u, id] : uid2idMut()) {
    if (u == uid) {
      id = nodeId;
      return;
    }
  }
  uid2idMut().emplace_back(uid, nodeId);
}

void removeNodeId(long long uid) {
  std::erase_if(uid2idMut(), [uid](const auto& e) { return e.first == uid; });
}

void clearNodeIds() {
  uid2idMut().clear();
}

std::string uid2idRepr() {
  std::string s = "{";
  bool first = true;
  for (const auto& [u, id] : uid2id()) {
    if (!first) s += ", ";
    first = false;
    s += fmt::format("{}: {}", u, id);
  }
  return s + "}";
}

int getNodeIdFromUID(const json& uid) {
  long long u = toInteger(uid, "UID");
  for (const auto& [k, id] : uid2id())
    if (k == u) return id;
  return UNREGISTERED_NODE_ID;
}

awaitable<void> setPeerMode(json nodeUID, json keepPeerInRx, ReplyPath path) {
  int nodeId = getNodeIdFromUID(nodeUID);
  long long mode = toInteger(keepPeerInRx, "keepPeerInRx");
  Bytes frame = makePmFrame(nodeId, mode);
  auto port = requirePort();

  Bytes answer;
  if (path == ReplyPath::Direct) {
    port->write(frame);
    port->flush();
    answer = co_await port->read_async(3);
  } else {
    if (gw().pendingReply)
      throw std::runtime_error(fmt::format(
          "cannot set keep-peer-in-rx mode: an answer \"{}\" from the hat is awaited already",
          gw().pendingReply->code));
    auto wait = std::make_shared<ReplyWait>(co_await asio::this_coro::executor);
    // Registered before the frame goes out, so that a quick answer is not taken for garbage.
    gw().pendingReply = PendingReply{"PM", 3, Deliverer{wait}};
    PendingGuard guard{wait};
    port->write(frame);
    port->flush();
    if (!wait->reply) {
      wait->timer.expires_after(port->readTimeout());
      co_await wait->timer.async_wait(asio::as_tuple(use_awaitable));
    }
    if (!wait->reply) {
      auto cs = co_await asio::this_coro::cancellation_state;
      if (cs.cancelled() != asio::cancellation_type::none)
        throw boost::system::system_error(asio::error::operation_aborted);
    }
    if (wait->reply) answer = *wait->reply;
  }

  if (answer == toBytes("PMS"))
    logf("Set keep-peer-in-rx mode for node ID {} to {}", nodeId, mode);
  else
    logf(
        "Failed to set keep-peer-in-rx mode for node ID {} to {} - node not registered. Error "
        "code: {}",
        nodeId, mode, byteArrayRepr(answer));
}

// ---- Firmware images ----

IhexImage IhexImage::load(const std::string& path) {
  bool exists = false;
  // SRecord ends the process on a file it cannot open: check first.
  if (!isReadableRegularFile(path, exists))
    throw FirmwareError(fmt::format("cannot read firmware image {}: {}", path,
                                    exists ? std::strerror(EACCES) : "not a regular file"));
  auto mem = std::make_shared<srecord::memory>();
  ThrowingQuit quitter;  // outlives the input below
  try {
    srecord::input::pointer in = srecord::input_file_intel::create(path);
    in->set_quit(quitter);
    mem->reader(in, srecord::defcon_ignore, srecord::defcon_fatal_error);
  } catch (const FirmwareError& e) {
    throw FirmwareError(
        fmt::format("firmware image {} is not valid Intel HEX: {}", path, e.what()));
  }
  unsigned long first = 0;
  unsigned char probe[1];
  std::size_t n = sizeof probe;
  if (!mem->find_next_data(first, probe, n))
    throw FirmwareError(fmt::format("firmware image {} holds no data", path));
  // The upper bound is one past the highest address with data.
  unsigned long top = mem->get_upper_bound() - 1;
  if (top > 0xFFFF)
    throw FirmwareError(fmt::format(
        "firmware image {} holds data at 0x{:X}, beyond the 16-bit chunk address", path, top));
  IhexImage img;
  img.mem_ = std::move(mem);
  img.minAddr_ = static_cast<long long>(first);
  img.maxAddr_ = static_cast<long long>(top);
  return img;
}

Bytes IhexImage::read(long long start, std::size_t size) const {
  Bytes out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    auto addr = static_cast<unsigned long>(start) + i;
    out.push_back(mem_ && start >= 0 && mem_->set_p(addr)
                      ? static_cast<std::uint8_t>(mem_->get(addr))
                      : std::uint8_t{0xFF});
  }
  return out;
}

std::map<std::string, IhexImage>& ihexCache() {
  static std::map<std::string, IhexImage> cache;
  return cache;
}

nlohmann::ordered_json& flashUpdateStatus() {
  static nlohmann::ordered_json status = nlohmann::ordered_json::object();
  return status;
}

// ---- Firmware transfer ----

void txBigMessageChunk(long long toNodeId, long long msgId, ByteView dataChunk,
                       long long ackTimeout) {
  sendFrame(makeTbFrame(msgId, ackTimeout, toNodeId, dataChunk));
  auto& st = flashUpdateStatus();
  st["txstatus"] = "ACK_WAIT";
  auto it = st.find("numSent");
  long long sent = it == st.end() || !it->is_number_integer() ? 0 : it->get<long long>();
  st["numSent"] = sent + 1;
}

void txBigMessageStep(const json& startAddr, const std::string& filePath, const json& msgId,
                      const json& msgtype, const json& toNodeUID, ByteView authTokenBytes) {
  auto& cache = ihexCache();
  auto& st = flashUpdateStatus();
  auto it = cache.find(filePath);
  if (it == cache.end()) {
    bool exists = false;
    if (filePath.empty()) return;
    isReadableRegularFile(filePath, exists);
    if (!exists) return;
    IhexImage image = IhexImage::load(filePath);
    it = cache.emplace(filePath, std::move(image)).first;
    st["maxAddr"] = it->second.maxAddr();
  }
  const IhexImage& image = it->second;
  const long long maxAddr = image.maxAddr();

  long long addr = toInteger(startAddr, "startAddr");
  if (addr < 0) throw std::invalid_argument(fmt::format("startAddr {} is negative", addr));
  long long id = toInteger(msgId, "msgId");
  long long type = toInteger(msgtype, "msgtype");
  if (type < 0 || type > 0xFF)
    throw EncodeError(fmt::format("msgtype {} does not fit 0..255", type));
  int nodeId = getNodeIdFromUID(toNodeUID);

  int chunksSent = 0;
  while (addr <= maxAddr && chunksSent < 1) {
    long long ackTimeout = addr == 0 ? FIRST_ACK_TIMEOUT : ACK_TIMEOUT;
    auto size = static_cast<long long>(addr > 0 ? CHUNK_SIZE : FIRST_CHUNK_SIZE);
    size = std::min(size, maxAddr - addr + 1);
    Bytes chunk{CHUNK_DATA};
    putBe16(chunk, addr, "chunk address");
    append(chunk, image.read(addr, static_cast<std::size_t>(size)));
    txBigMessageChunk(nodeId, id, chunk, ackTimeout);
    addr += size;
    ++chunksSent;
  }

  auto status = st.find("txstatus");
  if (addr > maxAddr && status != st.end() && status->is_string() && *status == "SENDING") {
    Bytes closing{CHUNK_CLOSE};
    append(closing, authTokenBytes);
    txBigMessageChunk(nodeId, id, closing, ACK_TIMEOUT);
    log("Sent last data chunk.");
  }
}

awaitable<void> txBigMessage(std::string redisKeyName, json valueMap, ReplyPath path) {
  if (isEmptyMap(valueMap)) co_return;
  long long msgId = keyNumber(redisKeyName);
  auto& st = flashUpdateStatus();

  // The previous transfer is discarded: its image and its target's keep-in-receive mode.
  if (auto f = st.find("filePath"); f != st.end() && f->is_string())
    ihexCache().erase(f->get<std::string>());
  // No declarations in conditions around a co_await: GCC 12 mishandles their lifetime.
  json previous;
  bool hadTarget = st.contains("toNodeUID");
  if (hadTarget) previous = st["toNodeUID"];
  if (hadTarget) co_await setPeerMode(previous, 0, path);

  st = nlohmann::ordered_json::object();
  auto seconds = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch());
  st["startTime"] = seconds.count();
  st["startAddr"] = need(valueMap, "startAddr");
  st["filePath"] = need(valueMap, "filePath");
  st["msgtype"] = need(valueMap, "msgtype");
  st["toNodeUID"] = need(valueMap, "toNodeUID");
  const json& tokenText = need(valueMap, "authToken");
  if (!tokenText.is_string()) throw std::invalid_argument("authToken is not hex text");
  Bytes token = fromHex(tokenText.get<std::string>());
  st["authToken"] = nlohmann::ordered_json::binary(token);
  st["msgId"] = msgId;
  st["txstatus"] = "SENDING";
  st["numSent"] = 0;
  st["noAckError"] = 0;
  st["crcError"] = 0;
  st["tryOnMsgReceive"] = 0;
  st["abortOnNoAck"] = 0;

  const json& uid = valueMap["toNodeUID"];
  logf("Starting flash procedure to UID {} with network ID {} ...", plain(uid),
       getNodeIdFromUID(uid));
  log(uid2idRepr());

  const json& file = valueMap["filePath"];
  if (!file.is_string()) throw std::invalid_argument("filePath is not text");
  txBigMessageStep(valueMap["startAddr"], file.get<std::string>(), msgId, valueMap["msgtype"], uid,
                   token);
}

}  // namespace ostrel
