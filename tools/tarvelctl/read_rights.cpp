#include "tools/tarvelctl/read_rights.h"

#include <algorithm>

namespace tarvel::ctl {
namespace {

// The rights that let a file's data be read: FILE_READ_DATA, GENERIC_READ
// and GENERIC_ALL (the generic ones as the file mapping maps them).
constexpr std::uint32_t kReadRights = 0x00000001u | 0x80000000u | 0x10000000u;

struct Account {
  const char* name;
  std::vector<std::string> sids;
};

const std::vector<Account>& Accounts() {
  // Everyone, Authenticated Users, Users and Local, then what sets each apart.
  static const std::vector<Account> accounts = {
      {"LocalService", {"S-1-5-19", "S-1-5-6", "S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-2-0"}},
      {"NetworkService", {"S-1-5-20", "S-1-5-6", "S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-2-0"}},
      {"Users", {"S-1-5-4", "S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-2-0"}},
  };
  return accounts;
}

bool CanRead(const FileAccess& access, const Account& account) {
  if (!access.has_list) return true;
  for (const AccessEntry& entry : access.entries) {
    if ((entry.mask & kReadRights) == 0) continue;
    if (std::find(account.sids.begin(), account.sids.end(), entry.sid) == account.sids.end()) {
      continue;
    }
    return entry.allows;
  }
  return false;
}

}  // namespace

std::vector<std::string> AccountsThatCannotRead(const FileAccess& access) {
  std::vector<std::string> names;
  if (!access.known) return names;
  for (const Account& account : Accounts()) {
    if (!CanRead(access, account)) names.push_back(account.name);
  }
  return names;
}

std::string ReadRightsWarning(const std::string& path) {
  const std::vector<std::string> names = AccountsThatCannotRead(ReadFileAccess(path));
  if (names.empty()) return "";
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return "warning: " + list + " cannot read " + path +
         ": when a program of such an account starts the filter, the lists stay off until "
         "another program tries again; let Users read the file";
}

}  // namespace tarvel::ctl
