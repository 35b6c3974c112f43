// The record an install run given --record keeps of what it is about to
// change, so that "install --rollback" puts it back and "install --commit"
// drops it: the REG_SZ value "msirun" under HKLM\Software\Tarvel, in this
// tarvelctl's own registry view. One item a line:
//
//   added                      tarvel was in no catalog before the run
//   replaced                   it was, with the modules of the module lines
//   module 64-bit {GUID} PATH  a provider of tarvel and the module it named
//   setting 32-bit NAME VALUE  a setting the run writes, as it was
//   setting 32-bit NAME        a setting the run writes, which had no value
//   list PATH|BACKUP           a list file the run replaces, its old bytes
//                              kept at BACKUP until the commit
//   list PATH|                 a list file the run makes where none was
//   browsers none              the run sets or removes the browser policies,
//   browsers applied           and tarvelctl had set none, or some, before
#pragma once

#include <string>
#include <vector>

#include "tools/tarvelctl/install.h"

namespace tarvel::ctl {

inline constexpr char kRecordKey[] = "Software\\Tarvel";
inline constexpr char kRecordName[] = "msirun";

struct InstallRecord {
  struct Setting {
    CatalogKind view = CatalogKind::k64;
    std::string name;
    bool present = false;
    std::string value;  // as ReadFlag ("0", "1") or ReadPath gives it
    friend bool operator==(const Setting&, const Setting&) = default;
  };
  struct List {
    std::string path;
    std::string backup;  // "" when no file was there
    friend bool operator==(const List&, const List&) = default;
  };
  enum class Browsers { kUntouched, kNone, kApplied };

  bool added = true;
  std::vector<ModulePath> modules;
  std::vector<Setting> settings;
  std::vector<List> lists;
  Browsers browsers = Browsers::kUntouched;
  friend bool operator==(const InstallRecord&, const InstallRecord&) = default;
};

std::string RecordText(const InstallRecord& record);
// False for a text whose first line is neither "added" nor "replaced", or
// with a line that does not read as above.
bool ParseRecord(const std::string& text, InstallRecord* record);

}  // namespace tarvel::ctl
