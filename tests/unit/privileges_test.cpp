#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "ostrel/base/Log.hpp"
#include "ostrel/gateway/Gateway.hpp"
#include "tests/support/LogCapture.hpp"

using namespace ostrel;

namespace {

using test::LogCapture;

// An account database that records every change asked of it.
struct FakeAccounts : AccountDb {
  unsigned uid = 0;
  std::map<std::string, unsigned> users{{"qrd", 1001}, {"pi", 1000}};
  std::map<std::string, unsigned> groups{{"qrd", 1500}, {"pi", 1000}, {"dialout", 20}};
  // Group table in database order: gid and member names.
  std::vector<std::pair<unsigned, std::vector<std::string>>> members{
      {20, {"pi", "qrd"}}, {27, {"pi"}}, {997, {"qrd"}}};
  bool refuseSetgroups = false, refuseSetgid = false, refuseSetuid = false;
  bool setuidTakesEffect = true;
  std::vector<std::string> calls;

  unsigned getuid() override { return uid; }
  std::optional<unsigned> userId(const std::string& name) override {
    auto it = users.find(name);
    return it == users.end() ? std::nullopt : std::optional<unsigned>(it->second);
  }
  std::optional<unsigned> groupId(const std::string& name) override {
    auto it = groups.find(name);
    return it == groups.end() ? std::nullopt : std::optional<unsigned>(it->second);
  }
  std::vector<unsigned> groupsWithMember(const std::string& name) override {
    std::vector<unsigned> out;
    for (auto& [gid, names] : members)
      if (std::find(names.begin(), names.end(), name) != names.end()) out.push_back(gid);
    return out;
  }
  int setgroups(const std::vector<unsigned>& gids) override {
    std::string c = "setgroups";
    for (auto g : gids) c += " " + std::to_string(g);
    calls.push_back(c);
    return refused(refuseSetgroups);
  }
  int setgid(unsigned gid) override {
    calls.push_back("setgid " + std::to_string(gid));
    return refused(refuseSetgid);
  }
  int setuid(unsigned id) override {
    calls.push_back("setuid " + std::to_string(id));
    if (refuseSetuid) return refused(true);
    if (setuidTakesEffect) uid = id;
    return 0;
  }

 private:
  static int refused(bool refuse) {
    if (!refuse) return 0;
    errno = EPERM;
    return -1;
  }
};

const std::vector<std::string> kCouldNot = {"Could not set effective group/user id"};

}  // namespace

TEST(Privileges, NormalUserChangesNothing) {
  LogCapture cap;
  FakeAccounts db;
  db.uid = 1000;
  EXPECT_NO_THROW(dropRootPrivileges(db));
  EXPECT_TRUE(db.calls.empty());
  EXPECT_TRUE(cap.lines.empty());
}

TEST(Privileges, DropsToTheServiceAccountInOrder) {
  LogCapture cap;
  FakeAccounts db;
  dropRootPrivileges(db);
  // The group ID comes from the group of that name; groups listing the account are added.
  std::vector<std::string> expected = {"setgroups 20 997", "setgid 1500", "setuid 1001"};
  EXPECT_EQ(db.calls, expected);
  EXPECT_EQ(cap.lines, std::vector<std::string>{"Dropped root privileges"});
}

TEST(Privileges, AccountWithoutSupplementaryGroupsGetsAnEmptyList) {
  LogCapture cap;
  FakeAccounts db;
  db.members = {{20, {"pi"}}, {1500, {}}};
  dropRootPrivileges(db);
  // The primary group is not added just because it is the primary one.
  std::vector<std::string> expected = {"setgroups", "setgid 1500", "setuid 1001"};
  EXPECT_EQ(db.calls, expected);
}

TEST(Privileges, MissingUserOrGroupFailsBeforeAnyChange) {
  for (bool dropUser : {true, false}) {
    LogCapture cap;
    FakeAccounts db;
    (dropUser ? db.users : db.groups).erase("qrd");
    EXPECT_ANY_THROW(dropRootPrivileges(db)) << (dropUser ? "no user" : "no group");
    EXPECT_TRUE(db.calls.empty());
    EXPECT_EQ(cap.lines, kCouldNot);
  }
}

TEST(Privileges, RefusedSetCallFailsWithItsError) {
  struct Case {
    bool FakeAccounts::*refuse;
    std::size_t callsMade;
  };
  for (auto c : {Case{&FakeAccounts::refuseSetgroups, 1}, Case{&FakeAccounts::refuseSetgid, 2},
                 Case{&FakeAccounts::refuseSetuid, 3}}) {
    LogCapture cap;
    FakeAccounts db;
    db.*c.refuse = true;
    try {
      dropRootPrivileges(db);
      ADD_FAILURE() << "no error";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EPERM) << e.what();
    }
    // Nothing is attempted after the refused call.
    EXPECT_EQ(db.calls.size(), c.callsMade);
    EXPECT_EQ(cap.lines, kCouldNot);
  }
}

TEST(Privileges, StillRootAfterwardsFailsWithoutALogLine) {
  LogCapture cap;
  FakeAccounts db;
  db.setuidTakesEffect = false;
  EXPECT_ANY_THROW(dropRootPrivileges(db));
  EXPECT_EQ(db.calls.size(), 3u);
  EXPECT_TRUE(cap.lines.empty());
}

namespace {

// Groups of the system group file that list `name` as a member.
std::vector<gid_t> groupsListing(const std::string& name) {
  std::vector<gid_t> out;
  std::ifstream in("/etc/group");
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, ':')) f.push_back(part);
    if (f.size() < 4) continue;
    std::stringstream ms(f[3]);
    while (std::getline(ms, part, ','))
      if (part == name) out.push_back(static_cast<gid_t>(std::stoul(f[2])));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Runs `body` in a child process and returns its exit status (-1 when it did not exit).
template <typename F>
int inChild(F&& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 98;
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status))
    ADD_FAILURE() << "child ended by signal " << WTERMSIG(status) << " ("
                  << ::strsignal(WTERMSIG(status)) << ")";
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Privileges, RealDropInAChildProcess) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root";
  passwd* pw = ::getpwnam("daemon");
  group* gr = ::getgrnam("daemon");
  if (!pw || !gr) GTEST_SKIP() << "no account and group 'daemon'";
  const uid_t uid = pw->pw_uid;
  const gid_t gid = gr->gr_gid;
  const auto suppl = groupsListing("daemon");

  int rc = inChild([&] {
    std::vector<std::string> lines;
    setLogSink([&](std::string_view l) { lines.emplace_back(l); });
    dropRootPrivileges(systemAccounts(), "daemon");
    if (lines != std::vector<std::string>{"Dropped root privileges"}) return 1;
    if (::getuid() != uid || ::geteuid() != uid) return 2;
    if (::getgid() != gid || ::getegid() != gid) return 3;
    std::vector<gid_t> now(64);
    int n = ::getgroups(static_cast<int>(now.size()), now.data());
    if (n < 0) return 4;
    now.resize(static_cast<std::size_t>(n));
    std::sort(now.begin(), now.end());
    if (now != suppl) return 5;
    // The switch is for good: root cannot be taken back.
    if (::setuid(0) == 0 || ::seteuid(0) == 0) return 6;
    return 0;
  });
  EXPECT_EQ(rc, 0)
      << "1 log, 2 user, 3 group, 4 getgroups, 5 supplementary groups, 6 root regained";
}

TEST(Privileges, RealDropRefusesAnUnknownAccount) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root";
  int rc = inChild([] {
    std::vector<std::string> lines;
    setLogSink([&](std::string_view l) { lines.emplace_back(l); });
    try {
      dropRootPrivileges(systemAccounts(), "ostrel-no-such-account");
      return 1;
    } catch (const std::exception&) {
    }
    if (lines != std::vector<std::string>{"Could not set effective group/user id"}) return 2;
    if (::getuid() != 0 || ::getgid() != 0) return 3;
    return 0;
  });
  EXPECT_EQ(rc, 0) << "1 no error, 2 log, 3 ids changed";
}

namespace {

struct StateDir : ::testing::Test {
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/ostrel-statedir.XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
  std::string errorOf(AccountDb& db, const std::string& d) {
    try {
      checkStateDir(d, db, "qrd");
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(StateDir, MissingOrNotADirectoryIsNamed) {
  FakeAccounts db;
  EXPECT_EQ(errorOf(db, dir + "/gone"),
            "state directory " + dir + "/gone is not usable: No such file or directory");
  std::ofstream(dir + "/file") << "x";
  EXPECT_EQ(errorOf(db, dir + "/file"), "state directory " + dir + "/file is not a directory");
}

TEST_F(StateDir, AsRootTheServiceAccountsRightsDecide) {
  FakeAccounts db;  // uid 0: judged for qrd (uid 1001, group 1500, member of 20 and 997)
  struct Case {
    unsigned owner, group, mode;
    bool ok;
  } cases[] = {
      {1001, 0, 0700, true},  {1001, 1500, 0070, false},  // the owner's bits alone count
      {0, 1500, 0770, true},  {0, 20, 0730, true},        // primary and supplementary group
      {0, 27, 0770, false},   {0, 27, 0777, true},       {0, 0, 0755, false},
      {0, 1500, 0750, false}, {1001, 0, 0600, false},  // no search right
  };
  if (::getuid() != 0) GTEST_SKIP() << "needs root to give the directory away";
  for (const auto& c : cases) {
    ASSERT_EQ(::chown(dir.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
    std::string err = errorOf(db, dir);
    EXPECT_EQ(err.empty(), c.ok) << c.owner << ":" << c.group << " " << std::oct << c.mode << " "
                                 << err;
    if (!c.ok) {
      EXPECT_EQ(err, "state directory " + dir + " is not writable by the account 'qrd'");
    }
  }
}

TEST_F(StateDir, AnUnprivilegedProcessAsksTheKernel) {
  FakeAccounts db;
  db.uid = 1000;
  EXPECT_EQ(errorOf(db, dir), "");
  if (::getuid() == 0) GTEST_SKIP() << "root may write anywhere";
  ::chmod(dir.c_str(), 0500);
  EXPECT_EQ(
      errorOf(db, dir).rfind("state directory " + dir + " is not writable by this process", 0), 0u);
}

}  // namespace
