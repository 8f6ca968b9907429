#include "ostrel/hat/CipherLink.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ostrel/base/Log.hpp"

using namespace ostrel;
namespace fs = std::filesystem;

namespace {

class CipherLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldMask_ = ::umask(022);
    dir = fs::temp_directory_path() /
          ("ostrel-cipherlink-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    setLogSink([this](std::string_view l) { lines.emplace_back(l); });
  }
  void TearDown() override {
    setLogSink({});
    fs::remove_all(dir);
    ::umask(oldMask_);
  }

  // 44 bytes: local startup counter, key 0x10..0x2f, peer startup and message counters.
  static Bytes statusBytes(std::uint32_t localSc, std::uint32_t peerSc, std::uint32_t peerMc) {
    Bytes b;
    putBe32(b, localSc);
    for (int i = 0; i < 32; ++i) b.push_back(static_cast<std::uint8_t>(0x10 + i));
    putBe32(b, peerSc);
    putBe32(b, peerMc);
    return b;
  }
  std::string path(const std::string& name) const { return (dir / name).string(); }
  void write(const std::string& name, const Bytes& b) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  Bytes read(const std::string& name) const {
    std::ifstream f(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  }

  fs::path dir;
  std::vector<std::string> lines;
  mode_t oldMask_ = 022;
};

}  // namespace

TEST_F(CipherLinkTest, LoadsStatusFileOnceAndLogs) {
  write("42.status", statusBytes(7, 0x01020304, 65536));
  CipherLink link(1, -80, dir.string());
  EXPECT_TRUE(link.nodeFilePath.empty());
  ASSERT_TRUE(link.setupEncryptionForNode("42"));
  EXPECT_EQ(link.local.startupCounter, 7u);
  EXPECT_EQ(link.peer.startupCounter, 0x01020304u);
  EXPECT_EQ(link.peer.messageCounter, 65536u);
  EXPECT_EQ(link.peer.uid, 42u);
  ASSERT_EQ(link.encryptionKey.size(), 32u);
  EXPECT_EQ(link.encryptionKey.front(), 0x10);
  EXPECT_EQ(link.encryptionKey.back(), 0x2f);
  EXPECT_EQ(link.nodeFilePath, path("42.status"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Read local startup counter 7, encryption key with 32 bytes, peer startup counter "
            "16909060, peer msg counter 65536 for node 42 from storage");
  // Same UID again: no second read, even with the file gone.
  fs::remove(path("42.status"));
  EXPECT_TRUE(link.setupEncryptionForNode(42));
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(CipherLinkTest, RefusesBadUidsAndMissingFiles) {
  CipherLink link(1, -80, dir.string());
  EXPECT_THROW(link.setupEncryptionForNode("abc"), std::invalid_argument);
  EXPECT_FALSE(link.setupEncryptionForNode("-5"));
  EXPECT_FALSE(link.setupEncryptionForNode(" 7"));
  EXPECT_FALSE(link.setupEncryptionForNode("99"));
  EXPECT_FALSE(link.setupEncryptionForNode(0LL));  // 0 is looked up like any other UID
  EXPECT_FALSE(link.setupEncryptionForNode("4294967296"));
  EXPECT_FALSE(link.setupEncryptionForNode("123456789012345678901234567890"));
  EXPECT_FALSE(link.setupEncryptionForNode("-123456789012345678901234567890"));
  EXPECT_THROW(link.setupEncryptionForNode("12345678901234567890123456789x"),
               std::invalid_argument);
  fs::create_directory(path("5.status"));
  EXPECT_FALSE(link.setupEncryptionForNode("5"));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "-5 must be a number",
                       " 7 must be a number",
                       path("99.status") + " is not a file",
                       path("0.status") + " is not a file",
                       "4294967296 is not a valid node UID",
                       "123456789012345678901234567890 is not a valid node UID",
                       "-123456789012345678901234567890 must be a number",
                       path("5.status") + " is not a file",
                   }));
  EXPECT_TRUE(link.nodeFilePath.empty());
  EXPECT_FALSE(fs::exists(path("99.status")));
}

TEST_F(CipherLinkTest, ShortStatusFileRaisesAndLeavesObjectUnchanged) {
  Bytes b = statusBytes(1, 2, 3);
  b.resize(43);
  write("9.status", b);
  CipherLink link(1, -80, dir.string());
  try {
    link.setupEncryptionForNode("9");
    FAIL() << "no error";
  } catch (const CipherLinkError& e) {
    EXPECT_NE(std::string(e.what()).find(path("9.status")), std::string::npos);
  }
  EXPECT_TRUE(link.nodeFilePath.empty());
  EXPECT_EQ(link.peer.uid, 0u);
  EXPECT_TRUE(link.encryptionKey.empty());
  EXPECT_THROW(link.savePeerState(), CipherLinkError);
}

TEST_F(CipherLinkTest, StoreStateUpdatesCountersInPlace) {
  Bytes original = statusBytes(1, 2, 3);
  write("300.status", original);
  Bytes localData{0xAA, 0xBB, 0xCC, 0xDD};
  Bytes peerData{0x00, 0x00, 0x01, 0x2C, 0, 0, 0, 9, 0x12, 0x34, 0x56, 0x78};
  ASSERT_TRUE(CipherLink::storeState(dir.string(), localData, peerData));
  Bytes now = read("300.status");
  ASSERT_EQ(now.size(), 44u);
  EXPECT_EQ(Bytes(now.begin(), now.begin() + 4), localData);
  EXPECT_EQ(Bytes(now.begin() + 4, now.begin() + 36),
            Bytes(original.begin() + 4, original.begin() + 36));
  EXPECT_EQ(getBe32(now, 36), 9u);
  EXPECT_EQ(getBe32(now, 40), 0x12345678u);
  EXPECT_TRUE(lines.empty());
}

TEST_F(CipherLinkTest, StoreStateNeverCreatesOrCorrupts) {
  Bytes peerData{0, 0, 0, 77, 0, 0, 0, 1, 0, 0, 0, 2};
  EXPECT_FALSE(CipherLink::storeState(dir.string(), Bytes{1, 2, 3, 4}, peerData));
  EXPECT_EQ(lines, std::vector<std::string>{path("77.status") + " is not a file"});
  EXPECT_FALSE(fs::exists(path("77.status")));

  Bytes shortFile(20, 0x55);
  write("77.status", shortFile);
  EXPECT_THROW(CipherLink::storeState(dir.string(), Bytes{1, 2, 3, 4}, peerData), CipherLinkError);
  EXPECT_EQ(read("77.status"), shortFile);
  EXPECT_THROW(CipherLink::storeState(dir.string(), Bytes{1, 2, 3}, peerData), CipherLinkError);
  EXPECT_THROW(CipherLink::storeState(dir.string(), Bytes{1, 2, 3, 4}, Bytes{0, 0, 0, 77}),
               CipherLinkError);
}

TEST_F(CipherLinkTest, LinksAreNeverFollowedAndSaidOnce) {
  // The link points at another node's file, which must keep its content.
  write("other.bin", statusBytes(1, 2, 3));
  const Bytes target = read("other.bin");
  fs::create_symlink(path("other.bin"), path("77.status"));
  Bytes peerData{0, 0, 0, 77, 0, 0, 0, 9, 0, 0, 0, 9};

  CipherLink link(1, -80, dir.string());
  EXPECT_FALSE(link.setupEncryptionForNode("77"));
  EXPECT_TRUE(link.nodeFilePath.empty());
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(CipherLink::storeState(dir.string(), Bytes{9, 9, 9, 9}, peerData));
  EXPECT_EQ(read("other.bin"), target);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind(path("77.status") + " is a symbolic link; it is not followed", 0), 0u)
      << lines[0];

  // A link left at the temporary name of a full rewrite is replaced, not written through.
  write("8.status", statusBytes(41, 5, 6));
  fs::create_symlink(path("other.bin"), path("8.status.tmp"));
  CipherLink eight(1, -80, dir.string());
  ASSERT_TRUE(eight.setupEncryptionForNode("8"));
  EXPECT_EQ(eight.incrementStartupCounter(), 42u);
  EXPECT_EQ(read("other.bin"), target);
  EXPECT_EQ(read("8.status"), statusBytes(42, 5, 6));
  EXPECT_FALSE(fs::is_symlink(path("8.status")));
}

TEST_F(CipherLinkTest, FileOperationsPutTheProcessCreationMaskBack) {
  mode_t before = ::umask(0022);
  write("300.status", statusBytes(1, 2, 3));
  Bytes peerData{0x00, 0x00, 0x01, 0x2C, 0, 0, 0, 9, 0x12, 0x34, 0x56, 0x78};
  ASSERT_TRUE(CipherLink::storeState(dir.string(), Bytes{1, 2, 3, 4}, peerData));
  CipherLink link(1, -80, dir.string());
  ASSERT_TRUE(link.setupEncryptionForNode("300"));
  link.incrementStartupCounter();
  EXPECT_EQ(::umask(before), 0022u);
}

TEST_F(CipherLinkTest, SavePeerStateReplacesFileReadOnly) {
  CipherLink link(1, -80, dir.string());
  try {
    link.incrementStartupCounter();
    FAIL() << "no error";
  } catch (const CipherLinkError& e) {
    EXPECT_STREQ(e.what(),
                 "You have to call setupEncryptionForNode before calling incrementStartupCounter");
  }
  write("8.status", statusBytes(41, 5, 6));
  ASSERT_TRUE(link.setupEncryptionForNode("8"));
  link.peer.messageCounter = 1000;
  write("8.status.tmp", Bytes{1});  // left over from an interrupted run
  ::chmod(path("8.status.tmp").c_str(), 0400);
  EXPECT_EQ(link.incrementStartupCounter(), 42u);
  EXPECT_TRUE(link.local.startupMode);
  Bytes expected = statusBytes(42, 5, 1000);
  EXPECT_EQ(read("8.status"), expected);
  EXPECT_FALSE(fs::exists(path("8.status.tmp")));
  struct stat st {};
  ASSERT_EQ(::stat(path("8.status").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  // A second load of the new content by a fresh object reads back the same state.
  CipherLink again(1, -80, dir.string());
  ASSERT_TRUE(again.setupEncryptionForNode("8"));
  EXPECT_EQ(again.local.startupCounter, 42u);
  EXPECT_EQ(again.peer.messageCounter, 1000u);
}

TEST_F(CipherLinkTest, CounterMaintenance) {
  CipherLink link(1, -80, dir.string());
  link.local.messageCounter = 1;
  link.incrementMessageCounter();
  EXPECT_EQ(link.local.messageCounter, 2u);
  EXPECT_FALSE(link.local.bigMsgCounterMode);
  link.local.messageCounter = 65535;
  link.incrementMessageCounter();
  EXPECT_EQ(link.local.messageCounter, 65536u);
  EXPECT_TRUE(link.local.bigMsgCounterMode);

  link.local.startupMode = true;
  link.switchLocalModesOff(3);  // first call only clears the acknowledgement error
  EXPECT_FALSE(link.local.ackTxError);
  EXPECT_TRUE(link.local.startupMode);
  EXPECT_TRUE(link.local.bigMsgCounterMode);
  link.switchLocalModesOff(3);
  EXPECT_FALSE(link.local.startupMode);
  EXPECT_FALSE(link.local.bigMsgCounterMode);
}

TEST_F(CipherLinkTest, SetupFromStartupPacket) {
  write("258.status", statusBytes(1, 2, 3));
  CipherLink link(1, -80, dir.string());
  CipherLink::RadioPacket plain{{0, 0, 1, 2, 9}, CipherLink::RFM69_CTL_BIG_MSG_COUNTER};
  EXPECT_FALSE(link.setupEncryptionFromMsg(plain));
  EXPECT_TRUE(link.nodeFilePath.empty());
  CipherLink::RadioPacket startup{{0, 0, 1, 2, 9}, CipherLink::RFM69_CTL_STARTUP};
  EXPECT_TRUE(link.setupEncryptionFromMsg(startup));
  EXPECT_EQ(link.peer.uid, 258u);
  CipherLink::RadioPacket cut{{0, 1}, CipherLink::RFM69_CTL_STARTUP};
  EXPECT_THROW(link.setupEncryptionFromMsg(cut), DecodeError);
}
