#pragma once
// Privilege drop to the service account, and the checks that the directories the daemon writes
// to are writable by that account. The account database sits behind an interface for tests.
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

struct AccountDb {
  virtual ~AccountDb() = default;
  virtual unsigned getuid() = 0;
  virtual std::optional<unsigned> userId(const std::string& name) = 0;
  virtual std::optional<unsigned> groupId(const std::string& name) = 0;
  virtual std::vector<unsigned> groupsWithMember(const std::string& name) = 0;
  virtual int setgroups(const std::vector<unsigned>& gids) = 0;
  virtual int setgid(unsigned gid) = 0;
  virtual int setuid(unsigned uid) = 0;
};
AccountDb& systemAccounts();
void dropRootPrivileges(AccountDb& db = systemAccounts(), const std::string& account = "qrd");
// The state directory must exist and be writable by the account the daemon runs as; throws an
// error naming the directory and the reason.
void checkStateDir(const std::string& dir, AccountDb& db = systemAccounts(),
                   const std::string& account = "qrd");
// The same for any directory the daemon writes to; `what` names it in the error.
void checkWritableDir(const std::string& dir, const std::string& what,
                      AccountDb& db = systemAccounts(), const std::string& account = "qrd");

}  // namespace ostrel
