// Dropping root to the service account after the hat has been reset.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "ostrel/sys/Privileges.hpp"

#include "ostrel/base/Log.hpp"

namespace ostrel {

namespace {
class SystemAccounts : public AccountDb {
 public:
  unsigned getuid() override { return ::getuid(); }
  std::optional<unsigned> userId(const std::string& name) override {
    passwd* pw = ::getpwnam(name.c_str());
    if (!pw) return std::nullopt;
    return pw->pw_uid;
  }
  std::optional<unsigned> groupId(const std::string& name) override {
    group* gr = ::getgrnam(name.c_str());
    if (!gr) return std::nullopt;
    return gr->gr_gid;
  }
  std::vector<unsigned> groupsWithMember(const std::string& name) override {
    std::vector<unsigned> out;
    ::setgrent();
    while (group* gr = ::getgrent()) {
      for (char** m = gr->gr_mem; m && *m; ++m)
        if (name == *m) {
          out.push_back(gr->gr_gid);
          break;
        }
    }
    ::endgrent();
    return out;
  }
  int setgroups(const std::vector<unsigned>& gids) override {
    std::vector<gid_t> g(gids.begin(), gids.end());
    return ::setgroups(g.size(), g.data());
  }
  int setgid(unsigned gid) override { return ::setgid(gid); }
  int setuid(unsigned uid) override { return ::setuid(uid); }
};
}  // namespace

AccountDb& systemAccounts() {
  static SystemAccounts db;
  return db;
}

void dropRootPrivileges(AccountDb& db, const std::string& account) {
  if (db.getuid() != 0) return;
  try {
    auto uid = db.userId(account);
    if (!uid) throw std::runtime_error(fmt::format("no user '{}'", account));
    auto gid = db.groupId(account);
    if (!gid) throw std::runtime_error(fmt::format("no group '{}'", account));
    auto suppl = db.groupsWithMember(account);
    if (db.setgroups(suppl) != 0)
      throw std::system_error(errno, std::generic_category(), "setgroups");
    if (db.setgid(*gid) != 0) throw std::system_error(errno, std::generic_category(), "setgid");
    if (db.setuid(*uid) != 0) throw std::system_error(errno, std::generic_category(), "setuid");
  } catch (...) {
    log("Could not set effective group/user id");
    throw;
  }
  if (db.getuid() == 0)
    throw std::runtime_error(fmt::format("still running as root after switching to '{}'", account));
  log("Dropped root privileges");
}

void checkStateDir(const std::string& dir, AccountDb& db, const std::string& account) {
  checkWritableDir(dir, "state directory", db, account);
}

void checkWritableDir(const std::string& dir, const std::string& what, AccountDb& db,
                      const std::string& account) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0)
    throw std::runtime_error(
        fmt::format("{} {} is not usable: {}", what, dir, std::strerror(errno)));
  if (!S_ISDIR(st.st_mode))
    throw std::runtime_error(fmt::format("{} {} is not a directory", what, dir));
  struct statvfs vfs {};
  if (::statvfs(dir.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
    throw std::runtime_error(fmt::format("{} {} is on a read-only file system", what, dir));

  if (db.getuid() != 0) {
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
      throw std::runtime_error(fmt::format("{} {} is not writable by this process: {}", what, dir,
                                           std::strerror(errno)));
    return;
  }
  // Started as root: judge by the account the daemon drops to, with the kernel's rule (the owner's
  // bits for the owner, the group's for a member, the others' for the rest). An unknown account
  // is reported by the privilege drop itself.
  auto uid = db.userId(account);
  auto gid = db.groupId(account);
  if (!uid || !gid || *uid == 0) return;
  bool ok;
  if (st.st_uid == *uid) {
    ok = (st.st_mode & S_IWUSR) && (st.st_mode & S_IXUSR);
  } else {
    auto groups = db.groupsWithMember(account);
    bool member =
        st.st_gid == *gid || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    ok = member ? (st.st_mode & S_IWGRP) && (st.st_mode & S_IXGRP)
                : (st.st_mode & S_IWOTH) && (st.st_mode & S_IXOTH);
  }
  if (!ok)
    throw std::runtime_error(
        fmt::format("{} {} is not writable by the account '{}'", what, dir, account));
}

}  // namespace ostrel
