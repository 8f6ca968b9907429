#include "ostrel/sys/Config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-config-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    auto p = (dir_ / name).string();
    std::ofstream(p) << text;
    return p;
  }

  // Expects a ConfigError whose message names every one of `parts`.
  template <typename F>
  void expectError(F&& f, std::initializer_list<std::string> parts) {
    try {
      f();
      ADD_FAILURE() << "no ConfigError";
    } catch (const ConfigError& e) {
      std::string what = e.what();
      for (const auto& p : parts)
        EXPECT_NE(what.find(p), std::string::npos) << what << " lacks " << p;
    }
  }

  fs::path dir_;
};

const char* kSample =
    "; gateway settings\n"
    "[UART]\n"
    "device = /dev/ttyAMA0\n"
    "speed = 115200\n"
    "\n"
    "[MQTT]\n"
    "host = broker.local\n"
    "port =  1883  \n"
    "keepalive = 010\n"
    "password = s3cr=t\n"
    "\n"
    "[TIME]\n"
    "sync-interval = -30\n"
    "\n"
    "[LOG]\n"
    "failed-decrypt = Yes\n";

}  // namespace

TEST_F(ConfigTest, TypedGettersReadAFile) {
  auto path = write("gw.ini", kSample);
  auto c = Config::load(path);
  EXPECT_EQ(c.path(), path);
  EXPECT_EQ(c.getString("UART", "device"), "/dev/ttyAMA0");
  EXPECT_EQ(c.getInt("UART", "speed"), 115200);
  EXPECT_EQ(c.getInt("MQTT", "port"), 1883);
  EXPECT_EQ(c.getInt("MQTT", "keepalive"), 10);  // decimal, not octal
  EXPECT_EQ(c.getString("MQTT", "password"), "s3cr=t");
  EXPECT_EQ(c.getInt("TIME", "sync-interval"), -30);
  EXPECT_TRUE(c.getBool("LOG", "failed-decrypt"));
  EXPECT_TRUE(c.has("MQTT", "host"));
  EXPECT_FALSE(c.has("MQTT", "user"));
  EXPECT_FALSE(c.has("RADIO", "rssi-threshold"));
}

TEST_F(ConfigTest, NamesAreCaseInsensitive) {
  auto c = Config::load(write("gw.ini", "[Uart]\nDevice = /dev/ttyS0\nSPEED = 9600\n"));
  EXPECT_EQ(c.getString("UART", "device"), "/dev/ttyS0");
  EXPECT_EQ(c.getString("uart", "DEVICE"), "/dev/ttyS0");
  EXPECT_EQ(c.getInt("UaRt", "Speed"), 9600);
}

TEST_F(ConfigTest, BooleanWordsInAnyCase) {
  std::string text = "[LOG]\n";
  const char* yes[] = {"1", "yes", "true", "on", "YES", "True", "oN"};
  const char* no[] = {"0", "no", "false", "off", "NO", "False", "OFF"};
  int i = 0;
  for (auto w : yes) text += "y" + std::to_string(i++) + " = " + w + "\n";
  i = 0;
  for (auto w : no) text += "n" + std::to_string(i++) + " = " + w + "\n";
  auto c = Config::load(write("b.ini", text));
  for (i = 0; i < 7; ++i) {
    EXPECT_TRUE(c.getBool("LOG", "y" + std::to_string(i))) << yes[i];
    EXPECT_FALSE(c.getBool("LOG", "n" + std::to_string(i))) << no[i];
  }
}

TEST_F(ConfigTest, MissingOrMalformedKeysNameFileSectionAndKey) {
  auto path = write("gw.ini",
                    "[UART]\nspeed = 115200baud\nhex = 0x10\nfloat = 1.5\nempty =\n"
                    "[LOG]\nfailed-decrypt = maybe\nsensor-rtc-offset = 2\n");
  auto c = Config::load(path);
  expectError([&] { c.getString("RADIO", "rssi-threshold"); }, {path, "RADIO", "rssi-threshold"});
  expectError([&] { c.getInt("UART", "device"); }, {path, "UART", "device"});
  expectError([&] { c.getInt("UART", "speed"); }, {path, "UART", "speed"});
  expectError([&] { c.getInt("UART", "hex"); }, {path, "UART", "hex"});
  expectError([&] { c.getInt("UART", "float"); }, {path, "UART", "float"});
  expectError([&] { c.getInt("UART", "empty"); }, {path, "UART", "empty"});
  expectError([&] { c.getBool("LOG", "failed-decrypt"); }, {path, "LOG", "failed-decrypt"});
  expectError([&] { c.getBool("LOG", "sensor-rtc-offset"); }, {path, "LOG", "sensor-rtc-offset"});
  expectError([&] { c.getBool("LOG", "missing"); }, {path, "LOG", "missing"});
  EXPECT_EQ(c.getString("UART", "empty"), "");
}

TEST_F(ConfigTest, LongLinesAreRefusedNotTruncated) {
  std::string fits(180, 'x');  // the whole line stays under 200 characters
  auto c = Config::load(write("ok.ini", "[MQTT]\npassword = " + fits + "\n"));
  EXPECT_EQ(c.getString("MQTT", "password"), fits);

  std::string longValue(200, 'y');
  auto path = write("long.ini", "[MQTT]\nhost = h\npassword = " + longValue + "\nport = 1\n");
  expectError([&] { Config::load(path); }, {path});
  // The same for a long comment line: inih would read its tail as a line of its own.
  auto path2 = write("comment.ini", "[MQTT]\n; " + std::string(220, 'c') + "\nhost = h\n");
  expectError([&] { Config::load(path2); }, {path2});
}

TEST_F(ConfigTest, UnreadableFilesAreRefusedNamingThePath) {
  auto missing = (dir_ / "nope.ini").string();
  expectError([&] { Config::load(missing); }, {missing});
  auto sub = dir_ / "a-directory";
  fs::create_directory(sub);
  expectError([&] { Config::load(sub.string()); }, {sub.string()});
  auto broken = write("broken.ini", "[UART\ndevice = x\n");
  expectError([&] { Config::load(broken); }, {broken});
}

TEST_F(ConfigTest, NulBytesAreRefusedNamingTheLine) {
  // inih would stop at the NUL and drop the key after it without a word.
  std::string text = "[MQTT]\nhost = h\n";
  text += std::string("port = 1883\0junk\n", 17);
  text += "tls = yes\n";
  auto path = write("nul.ini", text);
  expectError([&] { Config::load(path); }, {path, "line 3", "NUL"});
}

TEST_F(ConfigTest, OversizedFilesAreRefused) {
  std::string comment = "; " + std::string(150, 'c') + "\n";
  std::string text;
  while (text.size() <= Config::MAX_FILE_SIZE) text += comment;
  auto path = write("big.ini", text);
  expectError([&] { Config::load(path); }, {path, "larger than"});
}

TEST_F(ConfigTest, RangedIntegersNameKeyValueAndBounds) {
  auto c = Config::fromString("[MQTT]\nlow = 0\none = 1\ntop = 65535\nover = 65536\nneg = -1\n",
                              "gw.ini");
  EXPECT_EQ(c.getInt("MQTT", "one", 1, 65535), 1);
  EXPECT_EQ(c.getInt("MQTT", "top", 1, 65535), 65535);
  for (const char* key : {"low", "over", "neg"}) {
    SCOPED_TRACE(key);
    expectError(
        [&] { c.getInt("MQTT", key, 1, 65535); },
        {"gw.ini", key, "[MQTT]", "between 1 and 65535", "got " + c.getString("MQTT", key)});
  }
}
