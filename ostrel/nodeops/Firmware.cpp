// Over-the-air firmware transfer ("TB") from Intel HEX images.
// Boost (through Gateway.hpp) must come before SRecord's headers.
#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "ostrel/nodeops/NodeOps.hpp"
#include "ostrel/nodeops/NodeOpsDetail.hpp"

// clang-format off
#include <srecord/input/file/intel.h>
#include <srecord/memory.h>
#include <srecord/quit.h>
// clang-format on

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ostrel {

using namespace nodeops;

namespace {

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

}  // namespace

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

awaitable<void> txBigMessage(std::string redisKeyName, json valueMap) {
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
  if (hadTarget) co_await setPeerMode(previous, 0);

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
