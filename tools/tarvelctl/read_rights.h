// Who can read a list file. The filter reads the list files in whichever
// program sets its block up first, under that program's account: a service
// running as LocalService or NetworkService, or a user's program. A file
// those accounts cannot read leaves the lists off until another program
// tries again, so tarvelctl warns of it, and install refuses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvel::ctl {

// One entry of a file's access control list, as the platform reads it.
struct AccessEntry {
  bool allows;         // an allow entry, else a deny entry
  std::uint32_t mask;  // the access rights it names
  std::string sid;     // the trustee, as a SID string ("S-1-5-32-545")
};

// A file's discretionary access control list.
struct FileAccess {
  bool known = false;                // false: it could not be read (or this platform has none)
  bool has_list = true;              // false: no list at all, which lets everyone in
  std::vector<AccessEntry> entries;  // in their order, inherit-only entries left out
};

// The names of the accounts among LocalService, NetworkService and Users
// (a standard user) that the list does not let read the file's data, in that
// order; none when the list is not known. Each account stands for the SIDs
// its token holds by default (its own, Everyone, Authenticated Users, Users
// and the logon kind); the entries are walked in order as an access check
// walks them: a deny of reading before any grant denies it.
std::vector<std::string> AccountsThatCannotRead(const FileAccess& access);

// The list of the file at `path` (Windows: GetNamedSecurityInfo); not known
// elsewhere.
FileAccess ReadFileAccess(const std::string& path);

// "" when every account can read the file at `path`, else a sentence that
// names those that cannot and what follows from it.
std::string ReadRightsWarning(const std::string& path);

}  // namespace tarvel::ctl
