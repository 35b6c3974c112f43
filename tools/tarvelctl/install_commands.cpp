#include "tools/tarvelctl/install_commands.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "filter/ascii.h"
#include "tools/tarvelctl/browser_policies.h"
#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/install_record.h"
#include "tools/tarvelctl/list_commands.h"
#include "tools/tarvelctl/list_file.h"
#include "tools/tarvelctl/machine_texts.h"
#include "tools/tarvelctl/patterns.h"
#include "tools/tarvelctl/pe.h"
#include "tools/tarvelctl/read_rights.h"

namespace tarvel::ctl {
namespace {

// The module for one catalog: named by option or found beside tarvelctl.exe
// (the package keeps the 64-bit files in x64\ and the 32-bit ones in x86\).
std::string ModuleFor(Machine& machine, const Invocation& in, CatalogKind kind, std::string* path) {
  const bool own = kind == machine.OwnKind();
  const std::string option = own ? "--dll" : "--dll32";
  if (in.Has(option)) {
    *path = machine.FullPath(in.Value(option));
  } else {
    *path =
        machine.FullPath(machine.ProgramFolder() + (own ? "tarvel.dll" : "..\\x86\\tarvel.dll"));
  }
  const std::string which = KindName(kind) + " tarvel.dll";
  if (!IsTarvelModulePath(*path)) {
    return *path + ": the module's file must be named tarvel.dll, the name it registers under";
  }
  if (path->size() > kMaxLowerPath) return *path + ": the path is longer than 259 characters";
  std::string bytes;
  std::string error;
  switch (ReadWholeFile(*path, &bytes, &error)) {
    case FileRead::kMissing:
      return "no " + which + " at " + *path + " (name it with " + option + " PATH)";
    case FileRead::kFailed:
      return error;
    case FileRead::kOk:
      break;
  }
  const std::uint16_t wanted = kind == CatalogKind::k64 ? kMachineX64 : kMachineX86;
  if (PeMachine(bytes) != wanted) return *path + " is not a " + KindName(kind) + " Windows module";
  return "";
}

// The first list file named in the settings (those in `replaced` aside)
// that an account that may set the filter up cannot read, as a refusal; ""
// when there is none.
std::string UnreadableListFile(Machine& machine, const std::set<std::string>& replaced) {
  for (CatalogKind view : machine.SettingsViews()) {
    for (const char* name : {settings::kWhiteListPath, settings::kBlackListPath}) {
      char path[settings::kTextBytes] = {};
      if (replaced.count(name) != 0 ||
          machine.Settings(view).ReadPath(name, path, sizeof path) != 1 || path[0] == '\0') {
        continue;
      }
      const std::string warning = ReadRightsWarning(path);
      if (!warning.empty()) return "install refused: " + warning.substr(warning.find(' ') + 1);
    }
  }
  return "";
}

constexpr char kDataFolder[] = "%ProgramData%\\Tarvel";
constexpr char kBackupSuffix[] = ".before-install";

// %ProgramData%\Tarvel, or a file in it.
std::string DataPath(Machine& machine, const std::string& name = "") {
  const std::string path = name.empty() ? kDataFolder : std::string(kDataFolder) + "\\" + name;
  return machine.FullPath(machine.Expand(path));
}

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

bool SamePath(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ToLowerAscii(x) == ToLowerAscii(y);
         });
}

// "for 64-bit and 32-bit programs", as config set says it.
std::string ForPrograms(Machine& machine) {
  if (machine.SettingsViews().size() == 1) return "for " + ProgramsOf(machine, machine.OwnKind());
  std::string views;
  for (CatalogKind view : machine.SettingsViews()) {
    views += (views.empty() ? "" : " and ") + KindName(view);
  }
  return "for " + views + " programs";
}

std::string WriteEverywhere(Machine& machine, const std::string& name, const std::string& value) {
  const bool flag = name != settings::kWhiteListPath && name != settings::kBlackListPath;
  for (CatalogKind view : machine.SettingsViews()) {
    SettingsStore& store = machine.Settings(view);
    const int written = flag ? store.WriteFlag(name.c_str(), value == "1" ? 1 : 0)
                             : store.WritePath(name.c_str(), value.c_str());
    if (written != 1) {
      return "cannot write " + name + " under HKLM\\Software\\Tarvel (" + KindName(view) + " view)";
    }
  }
  return "";
}

// A setting as the record keeps it.
InstallRecord::Setting ReadSetting(Machine& machine, CatalogKind view, const std::string& name) {
  InstallRecord::Setting s{view, name, false, ""};
  SettingsStore& store = machine.Settings(view);
  if (name == settings::kWhiteListPath || name == settings::kBlackListPath) {
    char path[settings::kTextBytes] = {};
    s.present = store.ReadPath(name.c_str(), path, sizeof path) == 1;
    s.value = path;
  } else {
    std::int32_t value = 0;
    s.present = store.ReadFlag(name.c_str(), &value) == 1;
    s.value = s.present ? std::to_string(value) : "";
  }
  return s;
}

// An option of on|off|1|0 ("" leaves the setting as it is): false for any
// other value.
bool ParseSwitch(const Invocation& in, const std::string& option, std::optional<int>* value) {
  value->reset();
  if (!in.Has(option)) return true;
  const std::string text = in.Value(option);
  if (text == "on" || text == "1") *value = 1;
  if (text == "off" || text == "0") *value = 0;
  return value->has_value() || text.empty();
}

struct ListOption {
  const char* option;
  const char* setting;
  const char* file;  // in %ProgramData%\Tarvel
};
constexpr ListOption kListOptions[] = {{"--blacklist", settings::kBlackListPath, "blacklist.lst"},
                                       {"--whitelist", settings::kWhiteListPath, "whitelist.lst"}};

// A list the run puts in place.
struct NewList {
  const ListOption* option;
  std::string path;   // in %ProgramData%\Tarvel
  std::string bytes;  // the list file
  std::string how;    // "copied from ..." or "imported from ..."
};

// The list file that `source` gives: a list file (as the filter reads it)
// as it is, or a text list imported as "list import" does.
std::string ListFrom(const std::string& source, NewList* list) {
  std::string bytes;
  std::string error;
  switch (ReadWholeFile(source, &bytes, &error)) {
    case FileRead::kMissing:
      return "no file at " + source;
    case FileRead::kFailed:
      return error;
    case FileRead::kOk:
      break;
  }
  const ListFile file = ParseListFile(bytes);
  if (file.header == HeaderState::kValid) {
    list->bytes = bytes;
    list->how =
        "copied from " + source + " (" + Plural(file.entries.size(), "entry", "entries") + ")";
    return "";
  }
  PatternText text;
  error = ReadPatternText(bytes, &text);
  if (!error.empty()) return source + " is neither a tarvel list file nor a text list: " + error;
  if (text.patterns.size() > kMaxLoadedEntries) {
    return source + " holds " + std::to_string(text.patterns.size()) +
           " patterns; the filter loads at most " + std::to_string(kMaxLoadedEntries);
  }
  ListFile made = NewListFile();
  made.entries = text.patterns;
  list->bytes = SerializeListFile(made);
  list->how =
      "imported from " + source + " (" + Plural(text.patterns.size(), "pattern", "patterns") + ")";
  return "";
}

// What an install run is asked to do besides the catalogs.
struct InstallRequest {
  std::map<std::string, std::string> flags;  // setting -> "0" or "1"
  bool lock_given = false;                   // --lock or --unlocked
  std::vector<NewList> lists;
  std::optional<int> browsers;
};

// Reads the settings options; false (with `code`) on a wrong value or a
// list that cannot be read.
bool ReadRequest(Machine& machine, const Invocation& in, InstallRequest* request, Console& console,
                 int* code) {
  const std::pair<const char*, const char*> flags[] = {{"--white-only", settings::kWhiteOnly},
                                                       {"--smart", settings::kSmartFilter},
                                                       {"--https", settings::kHttpsFilter},
                                                       {"--lock", settings::kLocked}};
  for (const auto& [option, setting] : flags) {
    std::optional<int> value;
    if (!ParseSwitch(in, option, &value)) {
      *code = Fail(console, std::string(option) + " takes on, off, 1, 0 or \"\"", kExitUsage);
      return false;
    }
    if (value) request->flags[setting] = std::to_string(*value);
  }
  if (in.Has("--unlocked")) {
    if (request->flags.count(settings::kLocked) != 0) {
      *code = Fail(console, "--unlocked and --lock exclude each other", kExitUsage);
      return false;
    }
    request->flags[settings::kLocked] = "0";
  }
  request->lock_given = request->flags.count(settings::kLocked) != 0;
  if (!ParseSwitch(in, "--browser-policies", &request->browsers)) {
    *code = Fail(console, "--browser-policies takes 1, 0, on, off or \"\"", kExitUsage);
    return false;
  }
  for (const ListOption& option : kListOptions) {
    const std::string source = in.Value(option.option);
    if (source.empty()) continue;
    NewList list{&option, DataPath(machine, option.file), "", ""};
    const std::string error = ListFrom(machine.FullPath(source), &list);
    if (!error.empty()) {
      *code = Fail(console, "install failed, nothing was changed: " + error);
      return false;
    }
    request->lists.push_back(list);
  }
  return true;
}

// The record of the run: the catalogs' modules and every setting, list file
// and policy the run is about to change, as they are. A list file about to
// be replaced is copied aside.
std::string MakeRecord(Machine& machine, const InstallRequest& request,
                       const std::vector<ModulePath>& before, InstallRecord* record) {
  record->added = before.empty();
  record->modules = before;
  std::vector<std::string> names;
  for (const auto& [name, value] : request.flags) names.push_back(name);
  if (!request.lock_given && before.empty()) names.push_back(settings::kLocked);
  for (const NewList& list : request.lists) names.push_back(list.option->setting);
  for (CatalogKind view : machine.SettingsViews()) {
    for (const std::string& name : names)
      record->settings.push_back(ReadSetting(machine, view, name));
  }
  FileSteps& steps = machine.file_steps();
  for (const NewList& list : request.lists) {
    std::string bytes;
    switch (steps.Read(list.path, &bytes)) {
      case FileRead::kMissing:
        record->lists.push_back({list.path, ""});
        break;
      case FileRead::kFailed:
        return "cannot read " + list.path + " to keep it";
      case FileRead::kOk: {
        const std::string backup = list.path + kBackupSuffix;
        const std::string error = ReplaceFileWith(steps, backup, bytes);
        if (!error.empty()) return error;
        record->lists.push_back({list.path, backup});
        break;
      }
    }
  }
  if (request.browsers) {
    record->browsers = BrowserPoliciesApplied(machine) ? InstallRecord::Browsers::kApplied
                                                       : InstallRecord::Browsers::kNone;
  }
  return "";
}

// islck: as asked; else on for a run that puts tarvel into the catalogs
// (a filter that the people it filters can switch off filters nothing),
// unless --lock "" asked to keep a value set before; else as it is.
void WriteLock(Machine& machine, const Invocation& in, const InstallRequest& request, bool added,
               std::ostream& out) {
  int locked = 1;
  if (request.lock_given) {
    locked = request.flags.at(settings::kLocked) == "1" ? 1 : 0;
  } else if (!added) {
    return;
  }
  bool written = false;
  for (CatalogKind view : machine.SettingsViews()) {
    SettingsStore& store = machine.Settings(view);
    std::int32_t value = 0;
    if (!request.lock_given && in.Has("--lock") && store.ReadFlag(settings::kLocked, &value) == 1) {
      continue;
    }
    if (store.WriteFlag(settings::kLocked, locked) != 1) {
      out << "Note: cannot write islck under HKLM\\Software\\Tarvel (" << KindName(view)
          << " view); set it with tarvelctl config set islck on|off.\n";
    }
    written = true;
  }
  if (!written) return;
  out << "islck = "
      << (locked == 1 ? "on: only administrators change the running filter"
                      : "off: every user may change the running filter")
      << '\n';
}

// The settings, lists and policies of the request, after the catalogs.
std::string ApplyRequest(Machine& machine, const Invocation& in, const InstallRequest& request,
                         bool added, Console& console) {
  for (const auto& [name, value] : request.flags) {
    if (name == settings::kLocked) continue;
    const std::string error = WriteEverywhere(machine, name, value);
    if (!error.empty()) return error;
    console.out << name << " = " << (value == "1" ? "on" : "off") << " " << ForPrograms(machine)
                << '\n';
  }
  WriteLock(machine, in, request, added, console.out);
  if (!request.lists.empty()) {
    const std::string error = machine.file_steps().MakeFolders(DataPath(machine));
    if (!error.empty()) return "cannot make " + DataPath(machine) + ": " + error;
  }
  for (const NewList& list : request.lists) {
    std::string error = ReplaceFileWith(machine.file_steps(), list.path, list.bytes);
    if (error.empty()) error = WriteEverywhere(machine, list.option->setting, list.path);
    if (!error.empty()) return error;
    bool loads = false;
    console.out << list.option->setting << " = " << list.path << " " << ForPrograms(machine) << ", "
                << list.how << ": " << DescribeListFileLoad(list.path, &loads) << '\n';
    const std::string warning = ReadRightsWarning(list.path);
    if (!warning.empty()) console.out << warning << '\n';
  }
  if (request.browsers) {
    std::ostringstream err;
    Console inner{console.out, err};
    const int code = *request.browsers == 1 ? ApplyBrowserPolicies(machine, {}, inner)
                                            : RemoveBrowserPolicies(machine, {}, inner);
    if (code != kExitOk) {
      std::string error = err.str();
      if (error.rfind("tarvelctl: ", 0) == 0) error = error.substr(11);
      while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
      return error;
    }
  }
  return "";
}

RegValue ReadRecordValue(Machine& machine) {
  return machine.policy_registry().Read(machine.SettingsViews().front(), kRecordKey, kRecordName);
}

// install --commit: the run stays; its record and the files kept aside go.
int Commit(Machine& machine, Console& console) {
  const RegValue value = ReadRecordValue(machine);
  InstallRecord record;
  if (value.kind == RegValue::Kind::kAbsent) {
    console.out << "no install record: nothing to commit\n";
    return kExitOk;
  }
  if (value.kind == RegValue::Kind::kText && ParseRecord(value.text, &record)) {
    for (const InstallRecord::List& list : record.lists) {
      if (list.backup.empty()) continue;
      const std::string error = machine.file_steps().Remove(list.backup);
      if (!error.empty()) return Fail(console, "cannot remove " + list.backup + ": " + error);
      console.out << "removed " << list.backup << '\n';
    }
  }
  const std::string error =
      machine.policy_registry().Delete(machine.SettingsViews().front(), kRecordKey, kRecordName);
  if (!error.empty()) return Fail(console, error);
  console.out << "install record removed: the install stays as it is\n";
  return kExitOk;
}

// install --rollback: puts back what the recorded run changed.
int Rollback(Machine& machine, Console& console) {
  const RegValue value = ReadRecordValue(machine);
  if (value.kind == RegValue::Kind::kAbsent) {
    console.out << "no install record: nothing to roll back\n";
    return kExitOk;
  }
  InstallRecord record;
  if (value.kind != RegValue::Kind::kText || !ParseRecord(value.text, &record)) {
    return Fail(console,
                "the install record under HKLM\\Software\\Tarvel (msirun) cannot be read; "
                "it is left as it is");
  }
  std::string failures;
  const auto fail = [&](const std::string& e) { failures += (failures.empty() ? "" : "; ") + e; };
  std::vector<std::string> report;
  // Entries pointed at a module that is gone (the run retired it, then the
  // package failed) would fail every new socket: tarvel comes out instead.
  std::string gone;
  for (const ModulePath& m : record.modules) {
    if (!machine.file_steps().Exists(machine.FullPath(machine.Expand(m.path)))) gone = m.path;
  }
  if (!gone.empty()) {
    report.push_back(gone +
                     " is gone, so tarvel is taken out of the catalogs rather than "
                     "pointed back at it; install it again");
  }
  const std::string error = record.added || !gone.empty()
                                ? UninstallTarvel(machine.catalog(), machine.lower_paths(), &report)
                                : PointTarvelModules(machine.catalog(), record.modules, &report);
  for (const std::string& line : report) console.out << line << '\n';
  if (!error.empty()) fail(error);
  for (const InstallRecord::Setting& s : record.settings) {
    SettingsStore& store = machine.Settings(s.view);
    const bool path = s.name == settings::kWhiteListPath || s.name == settings::kBlackListPath;
    const int done = !s.present ? store.DeleteValue(s.name.c_str())
                     : path     ? store.WritePath(s.name.c_str(), s.value.c_str())
                                : store.WriteFlag(s.name.c_str(), s.value == "1" ? 1 : 0);
    if (done != 1) {
      fail("cannot put back " + s.name + " under HKLM\\Software\\Tarvel (" + KindName(s.view) +
           " view)");
      continue;
    }
    if (s.view == machine.SettingsViews().front()) {
      console.out << s.name << (s.present ? " = " + s.value + " again" : ": no value again")
                  << '\n';
    }
  }
  FileSteps& steps = machine.file_steps();
  for (const InstallRecord::List& list : record.lists) {
    std::string bytes;
    std::string e;
    if (list.backup.empty()) {
      e = steps.Remove(list.path);
      if (e.empty()) console.out << "removed " << list.path << '\n';
    } else if (steps.Read(list.backup, &bytes) != FileRead::kOk) {
      e = "cannot read " + list.backup;
    } else if (e = ReplaceFileWith(steps, list.path, bytes); e.empty()) {
      e = steps.Remove(list.backup);
      if (e.empty()) console.out << list.path << ": the list from before the run is back\n";
    }
    if (!e.empty()) fail(e);
  }
  if (record.browsers == InstallRecord::Browsers::kNone && BrowserPoliciesApplied(machine)) {
    std::ostringstream err;
    Console inner{console.out, err};
    if (RemoveBrowserPolicies(machine, {}, inner) != kExitOk) fail("the browser policies stay");
  } else if (record.browsers == InstallRecord::Browsers::kApplied) {
    console.out
        << "browser policies: tarvelctl had set some before; they stay as the run left them\n";
  }
  if (!failures.empty()) {
    return Fail(console, "rollback incomplete, its record stays: " + failures);
  }
  const std::string removed =
      machine.policy_registry().Delete(machine.SettingsViews().front(), kRecordKey, kRecordName);
  if (!removed.empty()) return Fail(console, removed);
  console.out << "install record removed: the run is rolled back\n";
  return kExitOk;
}

int Install(Machine& machine, const Invocation& in, Console& console) {
  const bool commit = in.Has("--commit");
  if ((commit || in.Has("--rollback")) && in.options.size() != 1) {
    return Fail(console, "--commit and --rollback take no other option", kExitUsage);
  }
  if (machine.IsWow64()) return Fail(console, NeedsNativeTool("install"));
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("install"));
  if (commit) return Commit(machine, console);
  if (in.Has("--rollback")) return Rollback(machine, console);

  InstallRequest request;
  int code = kExitOk;
  if (!ReadRequest(machine, in, &request, console, &code)) return code;
  if (!in.Has("--force")) {
    std::set<std::string> replaced;
    for (const NewList& list : request.lists) replaced.insert(list.option->setting);
    const std::string refusal = UnreadableListFile(machine, replaced);
    if (!refusal.empty()) return Fail(console, refusal + " (or install with --force)");
  }
  ProviderPaths paths;
  for (CatalogKind kind : machine.catalog().Kinds()) {
    std::string& path = kind == CatalogKind::k64 ? paths.path64 : paths.path32;
    const std::string error = ModuleFor(machine, in, kind, &path);
    if (!error.empty()) return Fail(console, error);
  }
  std::vector<ModulePath> before;
  std::string error = TarvelModules(machine.catalog(), &before);
  if (!error.empty()) return Fail(console, "install failed: " + error);
  const bool replace = !before.empty() && in.Has("--replace");
  const bool recorded = in.Has("--record") && (before.empty() || replace);
  if (recorded) {
    InstallRecord record;
    error = MakeRecord(machine, request, before, &record);
    if (error.empty()) {
      error = machine.policy_registry().Write(machine.SettingsViews().front(), kRecordKey,
                                              kRecordName, RegValue::Text(RecordText(record)));
    }
    if (!error.empty()) return Fail(console, "install failed, nothing was changed: " + error);
    console.out << "install record: msirun under HKLM\\Software\\Tarvel ("
                << (record.added ? "tarvel was in no catalog" : "tarvel's modules before kept")
                << ")\n";
  }
  std::vector<std::string> report;
  const ExpandPath expand = [&machine](const std::string& path) { return machine.Expand(path); };
  error = replace ? ReplaceTarvel(machine.catalog(), machine.lower_paths(), paths, expand, &report)
                  : InstallTarvel(machine.catalog(), machine.lower_paths(), paths, expand, &report);
  if (!error.empty()) return Fail(console, "install failed: " + error);
  for (const std::string& line : report) console.out << line << '\n';
  error = ApplyRequest(machine, in, request, !replace, console);
  if (!error.empty()) {
    return Fail(console, "install incomplete: " + error +
                             (recorded ? "; \"tarvelctl install --rollback\" undoes the run"
                                       : "; tarvel is in the catalogs"));
  }
  if (replace) {
    console.out << "tarvel's entries name the new modules. Programs load them from their next\n"
                   "start; running programs keep the module they hold until they end.\n";
  } else {
    console.out << "tarvel is installed. Programs filter their connections from their next start;\n"
                   "the host test works once both list files load (tarvelctl config set whitelib\n"
                   "PATH, tarvelctl config set blacklib PATH).\n";
  }
  return kExitOk;
}

// Takes the modules of a package folder away: now, or at the next restart
// where a program holds one, with the folders that then hold nothing. A
// module a catalog still names stays: every new socket would fail without
// it.
std::string Retire(Machine& machine, const std::string& folder, std::ostream& out) {
  std::vector<ModulePath> named;
  std::string error = TarvelModules(machine.catalog(), &named);
  if (!error.empty()) return "cannot tell which modules the catalogs name: " + error;
  const std::string root = machine.FullPath(folder);
  std::vector<std::pair<std::string, std::string>> modules;  // module, its folder
  for (const char* sub : {"x64", "x86"}) {
    const std::string module = machine.FullPath(folder + "\\" + sub + "\\tarvel.dll");
    for (const ModulePath& m : named) {
      if (SamePath(machine.FullPath(machine.Expand(m.path)), module)) {
        return module + " stays: the " + KindName(m.kind) + " catalog names it";
      }
    }
    modules.push_back({module, machine.FullPath(folder + "\\" + sub)});
  }
  FileSteps& steps = machine.file_steps();
  bool marked = false;
  for (const auto& [module, sub] : modules) {
    switch (steps.RemoveNowOrAtRestart(module, &error)) {
      case FileSteps::Removal::kNow:
        out << "removed " << module << '\n';
        break;
      case FileSteps::Removal::kMissing:
        out << "no " << module << ": nothing to remove\n";
        break;
      case FileSteps::Removal::kFailed:
        return error;
      case FileSteps::Removal::kAtRestart:
        // Its folder after it, as the restart takes the marks in order.
        if (steps.RemoveNowOrAtRestart(sub, &error) == FileSteps::Removal::kFailed) return error;
        out << module << " is in use: it and its folder go at the next restart\n";
        marked = true;
        break;
    }
  }
  if (marked) {
    if (steps.RemoveNowOrAtRestart(root, &error) == FileSteps::Removal::kFailed) return error;
    out << root << " goes at the next restart too, if nothing else is in it by then\n";
  }
  return "";
}

// Whether the catalogs name tarvel's modules, none of them in `folder`:
// another version serves, and the removal of `folder`'s version is an
// upgrade's. Windows Installer tells its removal so by UPGRADINGPRODUCTCODE;
// Wine's msiexec does not set it, and the catalog says so everywhere.
bool AnotherVersionServes(Machine& machine, const std::string& folder) {
  std::vector<ModulePath> named;
  if (!TarvelModules(machine.catalog(), &named).empty() || named.empty()) return false;
  for (const char* sub : {"x64", "x86"}) {
    const std::string module = machine.FullPath(folder + "\\" + sub + "\\tarvel.dll");
    for (const ModulePath& m : named) {
      if (SamePath(machine.FullPath(machine.Expand(m.path)), module)) return false;
    }
  }
  return true;
}

// Removes `folder` and everything in it; counts the files removed now and
// those marked for the next restart.
std::string RemoveTree(Machine& machine, const std::string& folder, int* now, int* later) {
  FileSteps& steps = machine.file_steps();
  std::vector<std::string> names;
  std::string error;
  if (steps.ListFolders(folder, &names, &error) == FileRead::kFailed) return error;
  for (const std::string& name : names) {
    error = RemoveTree(machine, machine.FullPath(folder + "\\" + name), now, later);
    if (!error.empty()) return error;
  }
  std::vector<FolderFile> files;
  if (steps.ListFolder(folder, &files, &error) == FileRead::kFailed) return error;
  for (const FolderFile& file : files) {
    switch (steps.RemoveNowOrAtRestart(machine.FullPath(folder + "\\" + file.name), &error)) {
      case FileSteps::Removal::kFailed:
        return error;
      case FileSteps::Removal::kAtRestart:
        ++*later;
        break;
      default:
        ++*now;
        break;
    }
  }
  if (steps.RemoveNowOrAtRestart(folder, &error) == FileSteps::Removal::kFailed) return error;
  return "";
}

// %ProgramData%\Tarvel and HKLM\Software\Tarvel, in every view; before them
// the browser policies, whose record goes with the key.
std::string Purge(Machine& machine, std::ostream& out) {
  if (BrowserPoliciesApplied(machine)) {
    std::ostringstream err;
    Console inner{out, err};
    if (RemoveBrowserPolicies(machine, {}, inner) != kExitOk) {
      return "the browser policies tarvelctl set stay, and so does everything else: " + err.str();
    }
  }
  const std::string folder = DataPath(machine);
  if (!machine.file_steps().Exists(folder)) {
    out << "no " << folder << ": nothing to remove\n";
  } else {
    int now = 0;
    int later = 0;
    const std::string error = RemoveTree(machine, folder, &now, &later);
    if (!error.empty()) return error;
    out << "removed " << folder << " (" << Plural(static_cast<std::size_t>(now), "file", "files");
    if (later > 0) out << "; " << later << " in use go at the next restart";
    out << ")\n";
  }
  for (CatalogKind view : machine.SettingsViews()) {
    const std::string error = machine.policy_registry().RemoveKey(view, kRecordKey);
    if (!error.empty()) return error;
    out << "removed HKLM\\Software\\Tarvel (" << KindName(view) << " view)\n";
  }
  return "";
}

int Uninstall(Machine& machine, const Invocation& in, Console& console) {
  bool keep = in.Has("--keep-installed");
  if (keep && !in.Has("--retire")) {
    return Fail(console, "--keep-installed goes with --retire DIR", kExitUsage);
  }
  if (keep && in.Has("--purge")) {
    return Fail(console, "--keep-installed and --purge exclude each other", kExitUsage);
  }
  if (in.Has("--retire") && in.Value("--retire").empty()) {
    return Fail(console, "--retire needs a folder", kExitUsage);
  }
  if (machine.IsWow64()) return Fail(console, NeedsNativeTool("uninstall"));
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("uninstall"));
  if (!keep && !in.Has("--purge") && in.Has("--retire") &&
      AnotherVersionServes(machine, in.Value("--retire"))) {
    console.out << "the catalogs name another version's modules: only "
                << machine.FullPath(in.Value("--retire")) << " is retired\n";
    keep = true;
  }
  if (!keep) {
    std::vector<std::string> report;
    const std::string error = UninstallTarvel(machine.catalog(), machine.lower_paths(), &report);
    for (const std::string& line : report) console.out << line << '\n';
    if (!error.empty()) return Fail(console, "uninstall incomplete: " + error);
  }
  if (in.Has("--retire")) {
    const std::string error = Retire(machine, in.Value("--retire"), console.out);
    if (!error.empty()) return Fail(console, "uninstall incomplete: " + error);
  }
  if (in.Has("--purge")) {
    const std::string error = Purge(machine, console.out);
    if (!error.empty()) return Fail(console, "uninstall incomplete: " + error);
  }
  if (keep) return kExitOk;
  console.out << "Programs that hold tarvel.dll keep it until they end; restart Windows to have\n"
                 "it unloaded everywhere.";
  if (!in.Has("--purge")) {
    console.out << " The settings under HKLM\\Software\\Tarvel and the list\nfiles stay.";
  }
  console.out << '\n';
  return kExitOk;
}

}  // namespace

CommandSpec InstallCommand(Machine& m) {
  using std::placeholders::_1;
  using std::placeholders::_2;
  return {"install",
          "",
          0,
          0,
          {"--unlocked", "--force", "--replace", "--record", "--commit", "--rollback"},
          {{"--dll", "PATH"},
           {"--dll32", "PATH"},
           {"--white-only", "on|off"},
           {"--smart", "on|off"},
           {"--https", "on|off"},
           {"--lock", "on|off"},
           {"--blacklist", "PATH"},
           {"--whitelist", "PATH"},
           {"--browser-policies", "1|0"}},
          "layer tarvel.dll over the IPv4 and IPv6 providers of the Winsock catalogs",
          "Installs tarvel.dll over every base provider of IPv4 and IPv6 (TCP, UDP and raw),\n"
          "one chain each, ahead of the base entries, and writes the lookup values under\n"
          "HKLM\\SYSTEM\\CurrentControlSet\\Services\\WinSock2\\tarvel.dll through which it finds\n"
          "the provider beneath. On 64-bit Windows both catalogs are set up: the 64-bit\n"
          "module (default: tarvel.dll beside tarvelctl.exe, or --dll PATH) for 64-bit programs\n"
          "and the 32-bit module (default: ..\\x86\\tarvel.dll, or --dll32 PATH) for 32-bit ones.\n"
          "The catalogs name the modules where they are, so put the package in its lasting\n"
          "place (for example C:\\Program Files\\Tarvel) first. A failure part-way undoes\n"
          "what was done. It also sets islck on, so that only administrators change the\n"
          "running filter; --unlocked sets it off. It refuses a list file that LocalService,\n"
          "NetworkService or Users cannot read (the filter loads the lists under the account\n"
          "of whichever program starts first) unless --force is given. Needs administrator\n"
          "rights.\n"
          "\n"
          "--replace: where tarvel is installed already (an earlier version), its entries are\n"
          "pointed at the given modules in place: the catalog order, the chains and other\n"
          "providers stay, and islck stays as it is unless --lock is given.\n"
          "--white-only, --smart, --https, --lock on|off|1|0 write iswhi, issma, issni, islck\n"
          "in both registry views; \"\" leaves the setting as it is (and for --lock on a new\n"
          "install, a value set before; where there is none, islck is set on).\n"
          "--blacklist, --whitelist PATH: a list file, copied, or a text list, imported (the\n"
          "list holds exactly its patterns), into %ProgramData%\\Tarvel\\blacklist.lst or\n"
          "whitelist.lst, which blacklib or whitelib then names; \"\" leaves it as it is.\n"
          "--browser-policies 1|0: as browsers apply (its defaults) or browsers remove.\n"
          "--record keeps what the run is about to change under HKLM\\Software\\Tarvel\n"
          "(msirun) first; then \"install --commit\" drops that record, and \"install\n"
          "--rollback\" puts back what the run changed: tarvel uninstalled where it was in no\n"
          "catalog, else its entries pointed at the modules they named (where one of those is\n"
          "gone, tarvel uninstalled), and the settings, list files and browser policies\n"
          "(where tarvelctl had set none) as they were.\n",
          std::bind(Install, std::ref(m), _1, _2)};
}

CommandSpec UninstallCommand(Machine& m) {
  using std::placeholders::_1;
  using std::placeholders::_2;
  return {"uninstall",
          "",
          0,
          0,
          {"--purge", "--keep-installed"},
          {{"--retire", "DIR"}},
          "remove tarvel.dll from the Winsock catalogs and its lookup values",
          "Removes every catalog entry of tarvel.dll in every catalog, then the lookup values\n"
          "that no remaining chain needs. Safe to run again, and after an interrupted install.\n"
          "Settings and list files stay. Needs administrator rights. If Winsock is left\n"
          "broken all the same, \"netsh winsock reset\" and a restart restore the catalog.\n"
          "\n"
          "--retire DIR then removes DIR\\x64\\tarvel.dll and DIR\\x86\\tarvel.dll; one that a\n"
          "program holds goes at the next restart instead, with its folders once empty (no\n"
          "restart is asked for). A module a catalog still names stays, and the command fails.\n"
          "When the catalogs name another folder's modules (a newer version took over), the\n"
          "retiring is all it does, as with --keep-installed.\n"
          "--keep-installed: the retiring alone, catalogs, settings and lists untouched (an\n"
          "upgrade's removal of the older version's folder).\n"
          "--purge also removes the browser policies tarvelctl set, %ProgramData%\\Tarvel (list\n"
          "files, categories) and HKLM\\Software\\Tarvel in every registry view.\n",
          std::bind(Uninstall, std::ref(m), _1, _2)};
}

}  // namespace tarvel::ctl
