// The hat's clock: "ST", "RT", the 8-byte time stamp, sensor clock drift and the "SR" trim.
#include <cmath>

#include "ostrel/base/Log.hpp"
#include "ostrel/hat/HatProtocolV2.hpp"

namespace ostrel {

using namespace std::chrono;

Bytes HatProtocolV2::encodeDate(UtcTime now) {
  auto dp = floor<days>(now);
  year_month_day ymd{dp};
  hh_mm_ss hms{now - dp};
  weekday wd{dp};
  auto us = hms.subseconds().count();
  long long ms = std::llrint(std::nearbyint(static_cast<double>(us) / 1000.0));
  Bytes f = toBytes("ST");
  putU8(f, wd.iso_encoding(), "weekday");
  putU8(f, unsigned(ymd.day()), "day");
  putU8(f, unsigned(ymd.month()), "month");
  putU8(f, int(ymd.year()) - 1900, "year");
  putU8(f, hms.hours().count(), "hour");
  putU8(f, hms.minutes().count(), "minute");
  putU8(f, hms.seconds().count(), "second");
  putBe16(f, ms, "milliseconds");
  return f;
}

void HatProtocolV2::txDate() {
  writeFrame(encodeDate(time_point_cast<microseconds>(system_clock::now())));
}

void HatProtocolV2::rxDate() {
  log("Requesting Date/Time from Radio Hat");
  writeFrame(toBytes("RT"));
}

// A BCD byte: its hex digits read as a decimal number.
static int bcd(std::uint8_t b, const char* field) {
  if ((b >> 4) > 9 || (b & 15) > 9)
    throw DecodeError(fmt::format("hat time stamp: {} byte 0x{:02x} is not BCD", field, b));
  return (b >> 4) * 10 + (b & 15);
}

std::optional<UtcTime> HatProtocolV2::parseDate(ByteView payload) {
  if (payload.size() != 8)
    throw DecodeError(fmt::format("hat time stamp needs 8 bytes, got {}", payload.size()));
  if (std::all_of(payload.begin(), payload.end(), [](auto b) { return b == 0; }))
    return std::nullopt;
  int yearVal = 1900 + 10 * (payload[0] >> 4) + (payload[0] & 15);
  int mon = bcd(payload[1], "month");
  int d = bcd(payload[2], "day");
  int sec = bcd(payload[3], "second");
  int min = bcd(payload[4], "minute");
  int hr = bcd(payload[5], "hour");
  int ms = getBe16(payload, 6);
  year_month_day ymd{std::chrono::year{yearVal}, std::chrono::month{unsigned(mon)},
                     std::chrono::day{unsigned(d)}};
  if (!ymd.ok() || hr > 23 || min > 59 || sec > 59 || ms > 999)
    throw DecodeError(fmt::format("hat time stamp is not a valid date: {}", bytesRepr(payload)));
  return UtcTime{sys_days{ymd}} + hours{hr} + minutes{min} + seconds{sec} + milliseconds{ms};
}

void HatProtocolV2::askAlive(steady_clock::duration window) {
  quietTimeUntil_ = steady_clock::now() + window;
  scheduleTx([this] { writeFrame(toBytes("RT")); });
}

awaitable<void> HatProtocolV2::handleTime() {
  Bytes stamp = co_await readExactly(8, "hat time");
  if (steady_clock::now() < quietTimeUntil_) co_return;
  auto dt = parseDate(stamp);
  if (!dt) {
    log("HAT Time unknown.");
    co_return;
  }
  logf("HAT Time: {}", isoUtc(*dt));
  if (timeSyncer) timeSyncer->setSystemTime(*dt);
}

void HatProtocolV2::calculateSensorRTCOffset(std::uint32_t senderUID) {
  calculateSensorRTCOffset(senderUID, nowMillis());
}

void HatProtocolV2::calculateSensorRTCOffset(std::uint32_t senderUID, long long rxUnixTimeMillis) {
  auto count = numRxPerSender.find(senderUID);
  if (count == numRxPerSender.end() || count->second <= 1) return;
  auto start = time4hMinSender.find(senderUID);
  if (start == time4hMinSender.end()) {
    time4hMinSender[senderUID] = rxUnixTimeMillis;
    return;
  }
  long long diff = rxUnixTimeMillis - start->second;
  // Nothing to divide by within the same millisecond; the reading itself is still published.
  if (diff == 0) return;
  constexpr long long SLOT = 30000;
  long long multiplier = diff / SLOT;
  long long rem = diff % SLOT;
  if (rem < 0) {
    rem += SLOT;
    --multiplier;
  }
  if (rem > 500) ++multiplier;
  long long deviation = multiplier * SLOT - diff;
  double ppm = roundTo2(static_cast<double>(deviation) * 1000000.0 / static_cast<double>(diff));
  logf("Sensor #{}: RTC offset {} ppm (4h), deviation {}, time window {} ms", senderUID,
       floatRepr(ppm), deviation, diff);
  if (diff > 14400000) time4hMinSender[senderUID] = rxUnixTimeMillis;
}

bool HatProtocolV2::rtcOffsetFits(double rtcOffsetPPM) {
  double calc = std::nearbyint(rtcOffsetPPM * 10000 / 32);
  return std::isfinite(calc) && calc >= -32768.0 && calc <= 32767.0;
}

void HatProtocolV2::setRTCOffset(double rtcOffsetPPM) {
  double calc = std::nearbyint(rtcOffsetPPM * 10000 / 32);
  if (!rtcOffsetFits(rtcOffsetPPM)) {
    logf("RTC offset too big: {} ppm", floatRepr(rtcOffsetPPM));
    return;
  }
  Bytes f = toBytes("SR");
  putS16(f, static_cast<long long>(calc), "RTC offset");
  logf("Sending RTC offset adjustment command: {} ppm", floatRepr(rtcOffsetPPM));
  writeFrame(f);
}

}  // namespace ostrel
