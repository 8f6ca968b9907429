// The disk spool: order and flags across segments and restarts, damaged and cut records, the
// size bound, and a disk that refuses writes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "ostrel/mqtt/Spool.hpp"
#include "tests/support/LogCapture.hpp"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("spool-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  Spool::Options opts(std::size_t segment = 1000, std::size_t max = 1 << 20) {
    return {dir_.string(), max, segment};
  }
  static Publication reading(int i) {
    return {fmt::format("sensors/{}/raw", 1000 + i % 7), fmt::format("{{\"n\": {}}}", i), 1,
            i % 5 == 0};
  }
  // Everything the spool hands out, marking each done.
  static std::vector<Publication> drain(Spool& s) {
    std::vector<Publication> out;
    while (auto item = s.next()) {
      out.push_back(item->pub);
      s.done(item->segment);
    }
    return out;
  }
  std::vector<fs::path> segments() {
    std::vector<fs::path> out;
    for (auto& e : fs::directory_iterator(dir_)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }
  static void expectReadings(const std::vector<Publication>& got, std::vector<int> numbers) {
    ASSERT_EQ(got.size(), numbers.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      Publication want = reading(numbers[i]);
      EXPECT_EQ(got[i].topic, want.topic) << i;
      EXPECT_EQ(got[i].payload, want.payload) << i;
      EXPECT_EQ(got[i].qos, want.qos) << i;
      EXPECT_EQ(got[i].retain, want.retain) << i;
    }
  }
  fs::path dir_;
};

std::vector<int> range(int from, int to) {
  std::vector<int> v;
  for (int i = from; i < to; ++i) v.push_back(i);
  return v;
}

TEST_F(SpoolTest, KeepsOrderAndFlagsAcrossSegmentsAndRestartsAndDeletesWhatIsDone) {
  {
    Spool s(opts());
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(s.append(reading(i)));
    EXPECT_TRUE(s.sync());
    EXPECT_EQ(s.waiting(), 100u);
    EXPECT_GT(segments().size(), 3u);
    // Half handed out and done, a few handed out but not done when the process ends.
    for (int i = 0; i < 50; ++i) s.done(s.next()->segment);
    for (int i = 0; i < 3; ++i) s.next();
    EXPECT_EQ(s.records(), 50u);
  }
  // Segments wholly done are gone; the rest is found again, from its segment's first record.
  Spool s(opts());
  auto got = drain(s);
  ASSERT_GE(got.size(), 50u);
  ASSERT_LE(got.size(), 50u + 1000 / 20);
  int first = 100 - static_cast<int>(got.size());
  expectReadings(got, range(first, 100));
  // Appended after what waits, and handed out after it.
  s.append(reading(100));
  expectReadings(drain(s), {100});
  EXPECT_EQ(s.records(), 0u);
  // Once everything is done with, nothing is left on disk, and appending goes on in a new file.
  EXPECT_TRUE(segments().empty());
  ASSERT_TRUE(s.append(reading(101)));
  EXPECT_EQ(segments().size(), 1u);
  expectReadings(drain(s), {101});
  EXPECT_TRUE(segments().empty());
}

TEST_F(SpoolTest, CutAndDamagedRecordsCostOnlyThemselves) {
  {
    Spool s(opts(1 << 20));
    for (int i = 0; i < 10; ++i) s.append(reading(i));
  }
  auto files = segments();
  ASSERT_EQ(files.size(), 1u);
  // One flipped byte in the payload of record 3, and the last record cut short.
  std::size_t rec = encodeSpoolRecord(reading(0)).size();
  {
    std::fstream f(files[0], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(3 * rec + rec - 2));
    f.put('X');
  }
  fs::resize_file(files[0], fs::file_size(files[0]) - 3);
  test::LogCapture cap;
  Spool s(opts(1 << 20));
  expectReadings(drain(s), {0, 1, 2, 4, 5, 6, 7, 8});
  auto lines = cap.snapshot();
  ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
  EXPECT_NE(lines[0].find("bytes of damaged or cut records skipped"), std::string::npos);
  EXPECT_NE(lines[0].find(std::to_string(2 * rec - 3) + " bytes"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("8 publications from an earlier run wait"), std::string::npos);
}

TEST_F(SpoolTest, PastItsBoundTheOldestSegmentGoesAndIsCounted) {
  std::size_t rec = encodeSpoolRecord(reading(0)).size();
  // Ten records a segment, at most about three segments.
  Spool s(opts(10 * rec, 30 * rec));
  for (int i = 0; i < 100; ++i) s.append(reading(i));
  EXPECT_LE(s.bytesOnDisk(), 30 * rec);
  EXPECT_EQ(s.droppedCount(), 100u - s.waiting());
  EXPECT_EQ(s.takeRecentDrops(), s.droppedCount());
  EXPECT_EQ(s.takeRecentDrops(), 0u);
  auto got = drain(s);
  // What is left is the newest, whole segments of it, in order.
  expectReadings(got, range(100 - static_cast<int>(got.size()), 100));
  EXPECT_EQ(got.size() % 10, 0u);
}

TEST_F(SpoolTest, ADiskThatRefusesWritesStopsTheSpoolWithoutTearingARecord) {
  std::size_t rec = encodeSpoolRecord(reading(0)).size();
  // A file size limit makes write() fail (EFBIG) part-way into a record, as a full disk does.
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = old;
  lim.rlim_cur = 5 * rec + rec / 2;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lim), 0);
  test::LogCapture cap;
  int accepted = 0;
  {
    Spool s(opts(1 << 20));
    for (int i = 0; i < 10; ++i) accepted += s.append(reading(i)) ? 1 : 0;
    EXPECT_TRUE(s.stopped());
    EXPECT_FALSE(s.sync());
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(accepted, 5);
  auto lines = cap.snapshot();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("spooling stops"), std::string::npos) << lines[0];
  // What was accepted is whole: read back without a skipped byte.
  Spool s(opts(1 << 20));
  expectReadings(drain(s), range(0, 5));
  EXPECT_EQ(cap.snapshot().size(), 2u);  // only the "wait" line
}

// Syncing in steps, as the client does off the loop: a job takes every unsynced file (full
// segments too) and the directory once a segment was made; a failed job stops the spool with one
// line and leaves what is on disk readable.
TEST_F(SpoolTest, SyncJobsTakeEveryUnsyncedFileOnceAndAFailureStopsTheSpool) {
  std::size_t rec = encodeSpoolRecord(reading(0)).size();
  test::LogCapture cap;
  {
    Spool s(opts(3 * rec));
    EXPECT_FALSE(s.takeSyncJob());
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(s.append(reading(i)));  // two full segments, one open
    auto job = s.takeSyncJob();
    ASSERT_TRUE(job);
    std::size_t files = 0, dirs = 0;
    for (auto [fd, dir] : job->fds) (dir ? dirs : files) += 1;
    EXPECT_EQ(files, 3u);
    EXPECT_EQ(dirs, 1u);
    EXPECT_FALSE(s.syncDue());
    EXPECT_EQ(Spool::runSyncJob(*job), 0);
    EXPECT_TRUE(job->fds.empty());
    EXPECT_FALSE(s.takeSyncJob());

    ASSERT_TRUE(s.append(reading(7)));  // into the open segment: that file alone
    job = s.takeSyncJob();
    ASSERT_TRUE(job);
    ASSERT_EQ(job->fds.size(), 1u);
    EXPECT_FALSE(job->fds[0].second);
    Spool::SyncJob broken{{{-1, false}}};
    s.syncFailed(Spool::runSyncJob(broken));
    EXPECT_TRUE(s.stopped());
    EXPECT_FALSE(s.append(reading(8)));
    EXPECT_EQ(Spool::runSyncJob(*job), 0);  // a job under way when the spool stopped still ends
  }
  auto lines = cap.snapshot();
  ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
  EXPECT_NE(lines[0].find("cannot sync"), std::string::npos) << lines[0];
  Spool again(opts(3 * rec));
  expectReadings(drain(again), range(0, 8));
}

// What is not a segment of ours, or cannot be read, is left alone, and new segments never take
// its name: the spool keeps working around it.
TEST_F(SpoolTest, ForeignAndUnreadableNamesAreLeftAloneAndNeverReused) {
  fs::create_directory(dir_ / "00000000000000000007.spool");  // not a file
  {
    std::ofstream big(dir_ / "00000000000000000003.spool");  // larger than any segment of ours
    big.seekp(5 * 1024 * 1024);
    big << 'x';
  }
  std::ofstream(dir_ / "99999999999999999999.spool") << "past 64 bits";
  test::LogCapture cap;
  Spool s(opts());
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(s.append(reading(i))) << i;
  EXPECT_FALSE(s.stopped());
  ASSERT_TRUE(s.sync());
  expectReadings(drain(s), range(0, 30));
  auto lines = cap.snapshot();
  EXPECT_EQ(lines.size(), 2u) << testing::PrintToString(lines);  // the two files left alone
  EXPECT_TRUE(fs::exists(dir_ / "00000000000000000003.spool"));
  EXPECT_TRUE(fs::exists(dir_ / "99999999999999999999.spool"));
}

TEST_F(SpoolTest, OneProcessAtATime) {
  Spool first(opts());
  try {
    Spool second(opts());
    ADD_FAILURE() << "a second spool on the same directory was opened";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("in use by another process"), std::string::npos)
        << e.what();
  }
}

// A file full of headers that each claim the largest body and fail their checksum: searching it
// costs a bounded number of checksums per byte, not one large one per byte.
TEST_F(SpoolTest, SearchingPastDamageStaysLinear) {
  std::string rec = encodeSpoolRecord(reading(1));
  std::string fake = rec.substr(0, 4);
  for (std::uint32_t len = Spool::MAX_RECORD, i = 0; i < 4; ++i)
    fake.push_back(char(len >> (8 * i)));
  fake += std::string(4, '\0');
  std::string file;
  while (file.size() < 3 * 1024 * 1024) file += fake;
  file += rec;
  std::ofstream(dir_ / "00000000000000000001.spool", std::ios::binary) << file;
  test::LogCapture cap;
  auto t0 = std::chrono::steady_clock::now();
  Spool s(opts());
  auto took = std::chrono::steady_clock::now() - t0;
  // Linear: a few passes over 3 MiB. The unbounded search checksummed 256 KiB at each of
  // 262,144 headers: 64 GiB, minutes even on a fast machine.
  EXPECT_LT(took, std::chrono::seconds(20));
  ASSERT_EQ(cap.snapshot().size(), 1u) << testing::PrintToString(cap.snapshot());
  EXPECT_NE(cap.snapshot()[0].find("bytes of damaged or cut records skipped"), std::string::npos);
}

}  // namespace
}  // namespace ostrel
