#include "ostrel/gateway/Settings.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

const char* kValid =
    "[UART]\ndevice = /dev/serial0\nspeed = 115200\n"
    "[MQTT]\nhost = localhost\nport = 1883\nkeepalive = 60\nusername =\npassword =\n"
    "[TIME]\nsync-interval = 900\nntp-check-interval-min = 5\nntp-check-interval-max = 300\n"
    "[LOG]\nsensor-rtc-offset = no\nfailed-decrypt = yes\n"
    "[RADIO]\nrssi-threshold = -98\n";

Config with(const std::vector<std::pair<std::string, std::string>>& changes) {
  auto c = Config::fromString(kValid, "gw.ini");
  for (const auto& [where, value] : changes) {
    auto slash = where.find('/');
    c.set(where.substr(0, slash), where.substr(slash + 1), value);
  }
  return c;
}

// The message of the ConfigError `checkSettings` throws; empty when it accepts.
std::string refusal(const Config& c) {
  try {
    checkSettings(c);
    return "";
  } catch (const ConfigError& e) {
    return e.what();
  }
}

struct Bound {
  const char* key;  // "SECTION/key"
  const char* value;
  bool accepted;
};

}  // namespace

TEST(Settings, TheShippedExampleIsAccepted) {
  auto c = Config::load(std::string(OSTREL_SOURCE_DIR) + "/packaging/ostrel.conf");
  EXPECT_EQ(refusal(c), "");
}

TEST(Settings, NumericKeysAreCheckedAgainstTheirRanges) {
  const Bound bounds[] = {
      {"MQTT/port", "1", true},
      {"MQTT/port", "65535", true},
      {"MQTT/port", "0", false},
      {"MQTT/port", "-1", false},
      {"MQTT/port", "65536", false},
      {"MQTT/keepalive", "65535", true},
      {"MQTT/keepalive", "0", false},
      {"MQTT/keepalive", "-1", false},
      {"MQTT/keepalive", "999999999", false},
      {"MQTT/buffer-size", "4096", true},
      {"MQTT/buffer-size", "134217728", true},
      {"MQTT/buffer-size", "1", false},
      {"MQTT/buffer-size", "4095", false},
      {"MQTT/buffer-size", "134217729", false},
      {"MQTT/buffer-size", "10000000000", false},
      {"MQTT/spool-size", "1048576", true},
      {"MQTT/spool-size", "1048575", false},
      {"MQTT/spool-size", "1099511627777", false},
      {"MQTT/health-interval", "86401", false},
      {"TIME/sync-interval", "0", true},
      {"TIME/sync-interval", "-30", true},  // off, as 0
      {"TIME/sync-interval", "604801", false},
      {"TIME/ntp-check-interval-min", "0", true},
      {"TIME/ntp-check-interval-max", "86401", false},
      {"TIME/ntp-check-interval-min", "301", false},  // above the maximum, 300
      {"TIME/ntp-check-interval-max", "4", false},    // below the minimum, 5
      {"RADIO/rssi-threshold", "0", true},
      {"RADIO/rssi-threshold", "-255", true},
      {"RADIO/rssi-threshold", "1", false},
      {"RADIO/rssi-threshold", "-256", false},
      {"GATEWAY/node-id", "256", false},
      {"HAT/reset-line", "-1", true},
      {"HAT/reset-line", "-2", false},
      {"HAT/reset-pulse-ms", "0", false},
      {"HAT/reset-pulse-ms", "1001", false},
      {"UART/speed", "9600", true},
      {"UART/speed", "12345", false},
      {"UART/speed", "0", false},
  };
  for (const auto& b : bounds) {
    SCOPED_TRACE(std::string(b.key) + " = " + b.value);
    std::string why = refusal(with({{b.key, b.value}}));
    if (b.accepted) {
      EXPECT_EQ(why, "");
    } else {
      std::string key = b.key;
      EXPECT_NE(why.find("'" + key.substr(key.find('/') + 1) + "'"), std::string::npos) << why;
      EXPECT_NE(why.find(b.value), std::string::npos) << why;
    }
  }
}

TEST(Settings, TheSpoolDirectoryIsAnAbsolutePath) {
  EXPECT_EQ(refusal(with({{"MQTT/spool-dir", "/var/spool/ostrel"}})), "");
  for (const char* bad : {"", "spool", "./spool"}) {
    SCOPED_TRACE(bad);
    EXPECT_NE(refusal(with({{"MQTT/spool-dir", bad}})).find("'spool-dir'"), std::string::npos);
  }
}

TEST(Settings, DecoderFilesNeedAnAbsoluteDirectoryAndNoParserLibrary) {
  EXPECT_EQ(refusal(with({{"PARSER/decoders-dir", "/etc/ostrel/decoders.d/"},
                          {"PARSER/publish-raw", "no"}})),
            "");
  const std::pair<std::vector<std::pair<std::string, std::string>>, const char*> refused[] = {
      {{{"PARSER/decoders-dir", "decoders.d"}},
       "'decoders-dir' in section [PARSER] must be an "
       "absolute path"},
      {{{"PARSER/publish-raw", "maybe"}}, "key 'publish-raw' in section [PARSER] is not a boolean"},
      {{{"PARSER/decoders-dir", "/d"}, {"PARSER/library", "/lib/x.so"}},
       "[PARSER] library and decoders-dir are both set; one parser at a time"},
  };
  for (const auto& [keys, why] : refused)
    EXPECT_NE(refusal(with(keys)).find(why), std::string::npos) << refusal(with(keys));
}

TEST(Settings, ClientIdOverridesTheHostNameDefault) {
  EXPECT_EQ(gatewayClientId(with({}), "raspberrypi"), "ostrel-raspberrypi");
  EXPECT_EQ(gatewayClientId(with({{"MQTT/client-id", "kitchen-gw"}}), "raspberrypi"), "kitchen-gw");
  EXPECT_EQ(refusal(with({{"MQTT/client-id", "kitchen-gw"}})), "");
  for (const char* bad : {"", "two words", "tab\there"}) {
    SCOPED_TRACE(bad);
    EXPECT_NE(refusal(with({{"MQTT/client-id", bad}})).find("client-id"), std::string::npos);
  }
  EXPECT_NE(refusal(with({{"MQTT/client-id", std::string(MAX_CLIENT_ID + 1, 'x')}})), "");
}

TEST(Settings, TlsFilesMustBeReadableRegularFiles) {
  char tmpl[] = "/tmp/ostrel-settings-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  fs::path dir = tmpl;
  std::ofstream(dir / "ca.crt") << "x";
  std::ofstream(dir / "client.crt") << "x";
  std::ofstream(dir / "client.key") << "x";
  const std::string ca = (dir / "ca.crt").string(), cert = (dir / "client.crt").string(),
                    key = (dir / "client.key").string(), missing = (dir / "gone.key").string();
  auto tls = [&](std::vector<std::pair<std::string, std::string>> keys) {
    keys.emplace_back("MQTT/tls", "yes");
    return refusal(with(keys));
  };
  EXPECT_EQ(tls({{"MQTT/ca-file", ca}, {"MQTT/cert-file", cert}, {"MQTT/key-file", key}}), "");
  // Named but TLS off: not read at all.
  EXPECT_EQ(refusal(with({{"MQTT/key-file", missing}})), "");

  std::string why = tls({{"MQTT/cert-file", cert}, {"MQTT/key-file", missing}});
  EXPECT_NE(why.find("key-file " + missing + " cannot be read"), std::string::npos) << why;
  why = tls({{"MQTT/ca-file", dir.string()}});
  EXPECT_NE(why.find("ca-file " + dir.string() + " is not a regular file"), std::string::npos)
      << why;
  why = tls({{"MQTT/key-file", key}});
  EXPECT_NE(why.find("key-file is set without cert-file"), std::string::npos) << why;
  if (::geteuid() != 0) {  // root reads whatever the mode says
    ::chmod(key.c_str(), 0);
    why = tls({{"MQTT/cert-file", cert}, {"MQTT/key-file", key}});
    EXPECT_NE(why.find("key-file " + key + " cannot be read"), std::string::npos) << why;
  }
  fs::remove_all(dir);
}

// Warnings go on; contradictions stop with exit status 2. Both name the file and the line.
TEST(Settings, WarningsAndContradictionsNameTheLine) {
  const std::pair<std::string, std::string> cases[] = {
      // after kValid's 18 lines
      {"[MQTT]\nprot = 1\n", "gw.ini, line 20: unknown key 'prot' in section [MQTT]"},
      {"[MQTT]\n", "gw.ini, line 19: section [MQTT] appears again (first on line 4)"},
      {"[RADIO]\nrssi-threshold = -90\n",
       "line 20: key 'rssi-threshold' in section [RADIO] is "
       "set again (first on line 18)"},
      {"[Prot]\nx = 1\n", "gw.ini, line 19: unknown section [Prot]"},
      {"[TIME]\nntp-check-interval-min = 400\n",
       "gw.ini, line 20: key 'ntp-check-interval-min' in section [TIME] (400) is above"},
      {"[MQTT]\ntls = yes\ncert-file = /etc/hostname\n",
       "gw.ini, line 21: [MQTT] cert-file is set without key-file"}};
  for (const auto& [tail, says] : cases) {
    auto config = Config::fromString(std::string(kValid) + tail, "gw.ini");
    std::string text = refusal(config);
    const bool contradiction = says.find("above") + says.find("without") != 2 * std::string::npos;
    EXPECT_EQ(text.empty(), !contradiction) << text;  // warnings go on, contradictions stop
    for (const auto& w : configWarnings(config)) text += w + "\n";
    EXPECT_NE(text.find(says), std::string::npos) << text;
  }
  std::string many = kValid;
  for (int i = 0; i < 100; ++i) many += "[X" + std::to_string(i) + "]\n";
  auto lots = configWarnings(Config::fromString(many, "gw.ini"));
  ASSERT_EQ(lots.size(), 21u);  // bounded
  EXPECT_EQ(lots.back(), "configuration file gw.ini: 80 more warnings left out");
}
