#include "tools/tarvelctl/category_commands.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "filter/category_match.h"
#include "filter/host.h"
#include "filter/url_match.h"
#include "state/categories.h"
#include "tools/tarvelctl/category_files.h"
#include "tools/tarvelctl/live_change.h"
#include "tools/tarvelctl/machine_texts.h"
#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

constexpr char kOlderModule[] = "the running tarvel.dll has no categories (an older module)";
constexpr char kNameRule[] = "a category's name is 1 to 32 letters, digits, '-' and '_'";

// --- the running filter's table and the folder ------------------------------------

// How often a copy of the table is tried while a writer is inside it.
constexpr int kTableReads = 10000;

bool CopyTable(const LiveFilter& live, CategoryTable* table) {
  const SharedExtensions* extensions = live.Extensions();
  const SharedCategories* shared = live.Categories();
  if (extensions == nullptr || shared == nullptr) return false;
  for (int i = 0; i < kTableReads; ++i) {
    if (ReadCategoryTable(extensions->categories_generation, *shared, table)) return true;
  }
  return false;
}

const CategoryTable::Entry* EntryOf(const CategoryTable& table, const std::string& name) {
  for (std::size_t i = 0; i < table.count; ++i) {
    if (name == table.entries[i].name) return &table.entries[i];
  }
  return nullptr;
}

std::string Resolved(Machine& machine, const std::string& folder) {
  return machine.FullPath(machine.Expand(folder));
}

// The folder a filter reads from its next start: catdir (this program's
// own view first), else the default.
std::string StartFolder(Machine& machine) {
  for (CatalogKind view : machine.SettingsViews()) {
    char folder[settings::kTextBytes] = {};
    if (machine.Settings(view).ReadPath(settings::kCategoryFolder, folder, sizeof folder) == 1) {
      return Resolved(machine, folder);
    }
  }
  return Resolved(machine, kDefaultCategoryFolder);
}

// The folder a running filter's table names, else StartFolder.
std::string TableFolder(Machine& machine, const CategoryTable& table) {
  return table.folder[0] != '\0' ? Resolved(machine, table.folder) : StartFolder(machine);
}

// This program's own filter as the category commands see it.
struct OwnFilter {
  std::unique_ptr<LiveFilter> live;  // running, else null
  Outcome outcome;                   // what OpenFilter made of it
  bool has_table = false;            // the module holds categories and the table was read
  CategoryTable table;
  std::string folder;  // where it reads its categories from: its table's, else StartFolder
};

void OpenOwn(Machine& machine, const Invocation& in, OwnFilter* own) {
  own->live = OpenFilter(machine, in, &own->outcome);
  own->has_table = own->live != nullptr && CopyTable(*own->live, &own->table);
  own->folder = own->has_table ? TableFolder(machine, own->table) : StartFolder(machine);
}

std::vector<CategoryFileEntry> FilesIn(Machine& machine, const std::string& folder) {
  std::vector<FolderFile> files;
  std::string error;
  machine.file_steps().ListFolder(folder, &files, &error);
  return CategoryFilesIn(files);
}

// The newest file of exactly `name`, as the filter takes a slot of serial 0.
const CategoryFileEntry* Newest(const std::vector<CategoryFileEntry>& files,
                                const std::string& name) {
  const CategoryFileEntry* newest = nullptr;
  for (const CategoryFileEntry& e : files) {
    if (e.name == name && (newest == nullptr || e.serial > newest->serial)) newest = &e;
  }
  return newest;
}

// --- cats and catdir ------------------------------------------------------------

std::vector<std::string> NamesIn(const char* text) {
  std::vector<std::string> names;
  std::string name;
  for (const char* p = text;; ++p) {
    if (*p == ',' || *p == ';' || *p == ' ' || *p == '\t' || *p == '\0') {
      if (!name.empty()) names.push_back(name);
      name.clear();
      if (*p == '\0') break;
    } else {
      name += *p;
    }
  }
  return names;
}

std::vector<std::string> CatsOf(SettingsStore& store) {
  char text[settings::kTextBytes] = {};
  if (store.ReadPath(settings::kCategories, text, sizeof text) != 1) return {};
  return NamesIn(text);
}

bool NamedInCats(Machine& machine, const std::string& name) {
  for (CatalogKind view : machine.SettingsViews()) {
    const std::vector<std::string> names = CatsOf(machine.Settings(view));
    if (std::find(names.begin(), names.end(), name) != names.end()) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ",") + n;
  return text;
}

// Adds `name` to cats in every settings view, or takes it out; `changed`
// tells whether any view changed. Nothing is written when a view's new
// value would not fit. "" or why not.
std::string ChangeCats(Machine& machine, const std::string& name, bool add, bool* changed,
                       std::ostream& out) {
  *changed = false;
  std::vector<std::pair<CatalogKind, std::vector<std::string>>> writes;
  for (CatalogKind view : machine.SettingsViews()) {
    std::vector<std::string> names = CatsOf(machine.Settings(view));
    const auto found = std::find(names.begin(), names.end(), name);
    if (add == (found != names.end())) continue;
    if (add) {
      names.push_back(name);
    } else {
      names.erase(found);
    }
    if (names.size() > kCategoriesMax) {
      return "cats names " + std::to_string(kCategoriesMax) +
             " categories already, as many as the filter holds";
    }
    if (Joined(names).size() > settings::kTextBytes - 1) {
      return "cats would be longer than 259 characters";
    }
    writes.push_back({view, names});
  }
  for (const auto& [view, names] : writes) {
    SettingsStore& store = machine.Settings(view);
    const int written = names.empty()
                            ? store.DeleteValue(settings::kCategories)
                            : store.WritePath(settings::kCategories, Joined(names).c_str());
    if (written != 1) {
      return "cannot write cats under HKLM\\Software\\Tarvel (" + KindName(view) + " view)";
    }
    *changed = true;
  }
  if (*changed) {
    const std::string now = Joined(CatsOf(machine.Settings(machine.SettingsViews().front())));
    out << "cats = " << (now.empty() ? "(none)" : now) << " under HKLM\\Software\\Tarvel\n";
  }
  return "";
}

std::string WriteFolderSetting(Machine& machine, const std::string& folder, std::ostream& out) {
  if (folder.size() > settings::kTextBytes - 1) {
    return "the folder's path is longer than 259 characters: " + folder;
  }
  for (CatalogKind view : machine.SettingsViews()) {
    if (machine.Settings(view).WritePath(settings::kCategoryFolder, folder.c_str()) != 1) {
      return "cannot write catdir under HKLM\\Software\\Tarvel (" + KindName(view) + " view)";
    }
  }
  out << "catdir = " << folder << " under HKLM\\Software\\Tarvel\n";
  return "";
}

// --- what a category is now --------------------------------------------------------

struct CategoryRow {
  std::string name;
  bool active = false;
  bool counted = false;  // `blocks` holds the running filter's count
  std::uint64_t blocks = 0;
  const CategoryFileEntry* file = nullptr;  // the file it uses, when found
  bool checked = false;                     // that file passes every check
  std::uint32_t domains = 0;
  std::string off;  // why it is off; "" when on
};

std::string ProblemText(CategoryProblem problem) {
  switch (problem) {
    case CategoryProblem::kNoFile:
      return "a program could not open its file";
    case CategoryProblem::kRefused:
      return "a program refused its file";
    case CategoryProblem::kNoMapping:
      return "a program could not map its file (address space or rights)";
    case CategoryProblem::kNone:
      break;
  }
  return "";
}

// The file a category uses (its serial, 0 for the newest), checked as the
// filter checks it; kept in `loaded` when given.
void CheckFileOf(Machine& machine, const std::string& folder,
                 const std::vector<CategoryFileEntry>& files, std::uint32_t serial,
                 CategoryRow* row, LoadedCategory* loaded = nullptr) {
  for (const CategoryFileEntry& e : files) {
    if (e.name == row->name && e.serial == serial) row->file = &e;
  }
  if (serial == 0) row->file = Newest(files, row->name);
  if (row->file == nullptr) {
    row->off = serial == 0
                   ? "the folder holds no file of it"
                   : "no file " + CategoryFileName(row->name.c_str(), serial) + " in the folder";
    return;
  }
  LoadedCategory own_copy;
  LoadedCategory& file = loaded != nullptr ? *loaded : own_copy;
  const std::string path = InFolder(folder, row->file->file.name);
  if (LoadCategoryFile(machine.file_steps(), path, row->name, &file) != FileRead::kOk) {
    row->off = "its file " + row->file->file.name + " cannot be read";
  } else if (!file.view.valid()) {
    row->off = "its file " + row->file->file.name + " is refused: " + file.refusal;
  } else {
    row->checked = true;
    row->domains = file.view.count;
  }
}

// The rows of the running table's categories, in slot order.
std::vector<CategoryRow> ActiveRows(Machine& machine, const SharedCategories& shared,
                                    const CategoryTable& table, const std::string& folder,
                                    const std::vector<CategoryFileEntry>& files) {
  std::vector<CategoryRow> rows;
  for (std::size_t i = 0; i < table.count; ++i) {
    const CategoryTable::Entry& e = table.entries[i];
    const CategorySlot& slot = shared.slots[e.slot];
    CategoryRow row;
    row.name = e.name;
    row.active = true;
    row.counted = true;
    row.blocks = CategoryBlocks(slot);
    CheckFileOf(machine, folder, files, e.serial, &row);
    if (row.off.empty()) row.off = ProblemText(CategoryProblemOf(slot));
    rows.push_back(row);
  }
  return rows;
}

// --- changing the running filter -------------------------------------------------------

void NoteNotJudged(const FilterState* state, std::ostream& out) {
  if (state == nullptr) return;
  if (IsOn(state->white_only)) {
    out << "Note: white-only mode is on, so categories play no part until it is off.\n";
  } else if (!IsOn(state->lists_ready)) {
    out << "Note: a list file did not load when the filter started, so no host is judged, by "
           "a category either, until it starts anew with both list files loading.\n";
  }
}

Outcome PublishOwn(Machine& machine, OwnFilter& own, const std::string& name, std::uint32_t serial,
                   bool persisted, std::ostream& out) {
  LiveFilter& live = *own.live;
  const int result = live.SetCategory(name.c_str(), serial);
  if (result == -1) {
    return Failed(std::string(kOlderModule) + (persisted ? "; the settings are written" : ""));
  }
  if (RefusedByLock(live, result)) return Failed(kNeedsRights);
  if (result != 1) {
    if (own.has_table && own.table.count >= kCategoriesMax && EntryOf(own.table, name) == nullptr) {
      return Failed("the running filter holds " + std::to_string(kCategoriesMax) +
                    " categories, as many as it takes; remove one first");
    }
    return Failed("the running filter's table of categories stayed busy; try again");
  }
  out << "category " << name << " uses " << CategoryFileName(name.c_str(), serial)
      << " in the running filter (" << ProgramsOf(machine, machine.OwnKind()) << ")\n";
  NoteNotJudged(live.State(), out);
  return {};
}

Outcome RemoveOwn(Machine& machine, LiveFilter& live, const std::string& name, bool persisted,
                  std::ostream& out) {
  const int result = live.RemoveCategory(name.c_str());
  if (result == -1) {
    return Failed(std::string(kOlderModule) + (persisted ? "; the settings are written" : ""));
  }
  if (RefusedByLock(live, result)) return Failed(kNeedsRights);
  const std::string programs = ProgramsOf(machine, machine.OwnKind());
  if (result != 1) {
    out << "category " << name << " is not active in the running filter of " << programs << '\n';
    if (!persisted) return {Took::kNo, "category " + name + " is not active in it", true};
    return {};
  }
  out << "category " << name << " removed from the running filter (" << programs << ")\n";
  return {};
}

// The end of a change over the filters it reaches: the other kind's takes
// `command` through its tarvelctl. `none_took`: no filter took it.
int FinishChange(Machine& machine, const Invocation& in, const std::vector<std::string>& command,
                 bool persisted, const std::string& not_in, const Outcome& own, Console& console,
                 bool* none_took) {
  if (!ReachesOtherFilter(machine, in)) {
    *none_took = own.took != Took::kYes;
    return FinishOwn(in, own, console);
  }
  const Outcome other = ChangeOtherFilter(machine, in, command, persisted, not_in, console.out);
  *none_took = own.took != Took::kYes && other.took != Took::kYes;
  return FinishBoth(machine, in, own, other, console);
}

void SayDeleted(const std::string& folder, const std::vector<std::string>& deleted,
                const std::vector<std::string>& failures, std::ostream& out) {
  for (const std::string& name : deleted) out << "deleted " << InFolder(folder, name) << '\n';
  for (const std::string& failure : failures) {
    out << "Note: cannot delete " << InFolder(folder, failure)
        << "; the next update or remove tries again.\n";
  }
}

// The checks every changing command makes first; "" or the usage error.
std::string UsageProblem(Machine& machine, const Invocation& in, const std::string& command,
                         int* code) {
  const std::string& name = in.operands[0];
  *code = kExitUsage;
  if (!IsCategoryName(name.c_str())) return Quoted(name) + " is no category name: " + kNameRule;
  if (in.Has("--folder") && !in.Has("--persist")) {
    return "--folder sets where the filter reads categories from its next start; give it with "
           "--persist";
  }
  *code = kExitFailed;
  if (in.Has("--persist") && !machine.IsAdministrator()) {
    return NeedsAdministrator(command + " --persist");
  }
  return "";
}

// --- add, update, publish, remove ---------------------------------------------------------

int Compile(Machine& machine, const Invocation& in, Console& console, bool update) {
  const std::string command = update ? "category update" : "category add";
  int code = kExitOk;
  const std::string usage = UsageProblem(machine, in, command, &code);
  if (!usage.empty()) return Fail(console, usage, code);
  const std::string& name = in.operands[0];
  const bool persist = in.Has("--persist");
  FileSteps& steps = machine.file_steps();

  // A list that cannot be read changes nothing.
  CategoryBuild build;
  std::string error = CompileCategory(
      steps, name, std::vector<std::string>(in.operands.begin() + 1, in.operands.end()), &build);
  for (const std::string& line : DescribeCompile(build)) console.out << line << '\n';
  if (!error.empty()) return Fail(console, error);

  OwnFilter own;
  OpenOwn(machine, in, &own);
  const bool reaches = ReachesOtherFilter(machine, in);
  if (own.outcome.took != Took::kYes && !reaches && (!persist || own.outcome.took == Took::kNo)) {
    return FinishOwn(in, own.outcome, console);
  }
  // The running filter's folder, and the one it reads from its next start
  // when the settings are written and name another.
  std::vector<std::string> folders = {own.folder};
  const std::string start =
      in.Has("--folder") ? machine.FullPath(in.Value("--folder")) : StartFolder(machine);
  if (persist && start != own.folder) {
    if (own.has_table) {
      folders.push_back(start);
    } else {
      folders = {start};
    }
  }

  bool has_files = false;
  for (const std::string& folder : folders) {
    has_files = has_files || !FilesOf(FilesIn(machine, folder), name).empty();
  }
  const bool active = own.has_table && EntryOf(own.table, name) != nullptr;
  const bool known = active || has_files || NamedInCats(machine, name);
  if (!update && known) {
    return Fail(console, "category " + name + " exists (" +
                             (active      ? "active in the running filter"
                              : has_files ? "it has files in " + folders.front()
                                          : "cats names it") +
                             "); update it with \"tarvelctl category update\"");
  }
  if (update && !known) {
    return Fail(console, "there is no category " + name +
                             " to update (none is active, named in "
                             "cats or has files in " +
                             folders.front() + "); make it with \"tarvelctl category add\"");
  }

  std::vector<std::pair<std::string, std::uint32_t>> written;  // path, serial
  const auto undo = [&](const std::string& failure) {
    for (const auto& [path, serial] : written) static_cast<void>(steps.Remove(path));
    return Fail(console, failure);
  };
  for (const std::string& folder : folders) {
    std::uint32_t serial = 0;
    std::string path;
    error = WriteNewCategoryFile(steps, folder, name, build.bytes, &serial, &path);
    if (!error.empty()) return undo(error);
    written.push_back({path, serial});
    console.out << "compiled " << name << ": " << build.domains << " domains, "
                << SizeText(build.bytes.size()) << ", into " << path << '\n';
  }
  std::string().swap(build.bytes);
  if (persist) {
    bool changed = false;
    error = ChangeCats(machine, name, true, &changed, console.out);
    if (error.empty() && in.Has("--folder"))
      error = WriteFolderSetting(machine, start, console.out);
    if (!error.empty()) return undo(error);
  }

  if (own.live) {
    if (own.has_table || own.live->Categories() == nullptr) {
      own.outcome = PublishOwn(machine, own, name, written.front().second, persist, console.out);
    } else {
      own.outcome = Failed("the running filter's table of categories stayed busy; try again");
    }
  }
  bool none_took = false;
  code = FinishChange(machine, in, {"category", "publish", name}, persist, "", own.outcome, console,
                      &none_took);
  if (code == kExitOk && !in.Has(kOwnOnly)) {
    // Every filter names the new file now, or takes the newest at its start;
    // under --own-only the other kind's filter may still name an old one.
    for (std::size_t i = 0; i < folders.size(); ++i) {
      std::vector<std::string> failures;
      const std::vector<std::string> deleted =
          DeleteCategoryFiles(steps, folders[i], name, written[i].second, &failures);
      SayDeleted(folders[i], deleted, failures, console.out);
    }
  } else if (none_took && !persist) {
    // Nothing names the new file; a later add starts from scratch.
    for (const auto& [path, serial] : written) static_cast<void>(steps.Remove(path));
  }
  return code;
}

int Publish(Machine& machine, const Invocation& in, Console& console) {
  int code = kExitOk;
  const std::string usage = UsageProblem(machine, in, "category publish", &code);
  if (!usage.empty()) return Fail(console, usage, code);
  const std::string& name = in.operands[0];
  const bool persist = in.Has("--persist");
  OwnFilter own;
  OpenOwn(machine, in, &own);
  const bool reaches = ReachesOtherFilter(machine, in);
  if (own.outcome.took != Took::kYes && !reaches && (!persist || own.outcome.took == Took::kNo)) {
    return FinishOwn(in, own.outcome, console);
  }
  const std::vector<CategoryFileEntry> files = FilesIn(machine, own.folder);
  const CategoryFileEntry* newest = Newest(files, name);
  if (newest == nullptr) {
    return Fail(console, own.folder + " holds no compiled file of " + name +
                             "; compile one with \"tarvelctl category add\"");
  }
  const std::string path = InFolder(own.folder, newest->file.name);
  LoadedCategory loaded;
  if (LoadCategoryFile(machine.file_steps(), path, name, &loaded) != FileRead::kOk) {
    return Fail(console, "cannot read " + path);
  }
  if (!loaded.view.valid()) return Fail(console, path + " is refused: " + loaded.refusal);
  if (persist) {
    bool changed = false;
    const std::string error = ChangeCats(machine, name, true, &changed, console.out);
    if (!error.empty()) return Fail(console, error);
  }
  if (own.live) {
    own.outcome = PublishOwn(machine, own, name, newest->serial, persist, console.out);
  }
  bool none_took = false;
  return FinishChange(machine, in, {"category", "publish", name}, persist, "", own.outcome, console,
                      &none_took);
}

int Remove(Machine& machine, const Invocation& in, Console& console) {
  int code = kExitOk;
  const std::string usage = UsageProblem(machine, in, "category remove", &code);
  if (!usage.empty()) return Fail(console, usage, code);
  const std::string& name = in.operands[0];
  OwnFilter own;
  OpenOwn(machine, in, &own);
  if (own.outcome.took == Took::kNo && !ReachesOtherFilter(machine, in)) {
    return Fail(console, own.outcome.reason);
  }
  bool persisted = false;
  if (in.Has("--persist")) {
    const std::string error = ChangeCats(machine, name, false, &persisted, console.out);
    if (!error.empty()) return Fail(console, error);
  }
  if (own.live) own.outcome = RemoveOwn(machine, *own.live, name, persisted, console.out);
  bool none_took = false;
  code = FinishChange(machine, in, {"category", "remove", name}, persisted,
                      "category " + name + " is not active in its running filter", own.outcome,
                      console, &none_took);
  // A filter starts with the categories cats names: their files stay. So do
  // they under --own-only, for the other kind's filter.
  if (code == kExitOk && !in.Has(kOwnOnly) && !NamedInCats(machine, name)) {
    std::vector<std::string> folders = {own.folder};
    if (StartFolder(machine) != own.folder) folders.push_back(StartFolder(machine));
    for (const std::string& folder : folders) {
      std::vector<std::string> failures;
      const std::vector<std::string> deleted =
          DeleteCategoryFiles(machine.file_steps(), folder, name, 0, &failures);
      SayDeleted(folder, deleted, failures, console.out);
    }
  }
  return code;
}

// --- list -------------------------------------------------------------------------------

void PrintTable(const std::vector<std::vector<std::string>>& cells, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const auto& row : cells) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  for (const auto& row : cells) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] + 2 - row[i].size(), ' ');
    }
    out << line << '\n';
  }
}

// This program's own filter's categories and the other files in its
// folder; when it is not running, what it starts with from the settings.
int ListOwn(Machine& machine, const Invocation& in, Console& console) {
  std::string error;
  const std::string module = FilterModule(machine, in, &error);
  if (module.empty()) return Fail(console, error);
  const std::unique_ptr<LiveFilter> live = machine.LoadFilter(module, &error);
  if (!live) return Fail(console, error);
  if (live->Categories() == nullptr) return Fail(console, kOlderModule);
  // Loading it here counted one attach; more means other programs hold it.
  const FilterState* state = live->State();
  const bool running = state == nullptr || Load(state->attach_counter) > 1;
  CategoryTable table;
  if (running && !CopyTable(*live, &table)) {
    return Fail(console, "the running filter's table of categories stayed busy; try again");
  }
  const std::string folder = running ? TableFolder(machine, table) : StartFolder(machine);
  const std::vector<CategoryFileEntry> files = FilesIn(machine, folder);
  std::vector<CategoryRow> rows;
  if (running) rows = ActiveRows(machine, *live->Categories(), table, folder, files);
  const auto listed = [&rows](const std::string& name) {
    return std::any_of(rows.begin(), rows.end(), [&](const auto& r) { return r.name == name; });
  };
  // Without a running filter: the categories cats names, as it would start.
  if (!running) {
    for (const std::string& name : CatsOf(machine.Settings(machine.SettingsViews().front()))) {
      if (listed(name) || !IsCategoryName(name.c_str())) continue;
      CategoryRow row;
      row.name = name;
      row.active = true;
      CheckFileOf(machine, folder, files, 0, &row);
      rows.push_back(row);
    }
  }
  for (const CategoryFileEntry& e : files) {
    if (listed(e.name)) continue;
    CategoryRow row;
    row.name = e.name;
    CheckFileOf(machine, folder, files, 0, &row);
    rows.push_back(row);
  }
  console.out << "folder: " << folder << '\n';
  if (!running) {
    console.out << "The filter is not running; it starts with the categories cats names.\n";
  }
  if (rows.empty()) {
    console.out << "No category is active and the folder holds no compiled file.\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> cells = {
      {"name", "domains", "size", "date", "blocks", "state"}};
  for (const CategoryRow& row : rows) {
    const std::string when = running ? "" : " at its start";
    std::string state =
        row.active ? (row.off.empty() ? "on" + when : "off" + when + ": " + row.off) : "not active";
    if (!row.active && !row.off.empty()) state += " (" + row.off + ")";
    cells.push_back({row.name, row.checked ? std::to_string(row.domains) : "-",
                     row.file != nullptr ? SizeText(row.file->file.size) : "-",
                     row.file != nullptr
                         ? FormatLocalTime(machine.clock(), row.file->file.modified, false)
                         : "-",
                     row.counted ? std::to_string(row.blocks) : "-", state});
  }
  PrintTable(cells, console.out);
  return kExitOk;
}

int List(Machine& machine, const Invocation& in, Console& console) {
  if (!ReachesOtherFilter(machine, in)) return ListOwn(machine, in, console);
  int shown = 0;
  console.out << KindName(machine.OwnKind()) << " programs:\n";
  std::ostringstream failure;
  Console own_console{console.out, failure};
  if (ListOwn(machine, in, own_console) == kExitOk) {
    ++shown;
  } else {
    std::string reason = failure.str();
    const std::string prefix = "tarvelctl: ";
    if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
    console.out << "  cannot be shown: " << reason.substr(0, reason.find('\n')) << '\n';
  }
  console.out << KindName(OtherKind(machine)) << " programs:\n";
  const ProgramRun run = RunOtherTool(machine, in, {"category", "list"});
  if (run.started && run.code == kExitOk) {
    console.out << WithoutCarriageReturns(run.out);
    ++shown;
  } else {
    console.out << "  cannot be shown: " << FailureOf(run) << '\n';
  }
  return shown > 0 ? kExitOk : Fail(console, "no filter's categories could be shown");
}

// --- test -------------------------------------------------------------------------------

int Test(Machine& machine, const Invocation& in, Console& console) {
  const std::string& asked = in.operands[0];
  // The host exactly as a request's Host header gives it to the filter.
  const std::string header = "Host: " + asked;
  const Host host = ExtractHost(header.data(), header.size());
  if (host.length == 0) return Fail(console, "no host to test", kExitUsage);
  const std::string judged(host.text, host.length);
  std::string error;
  const std::string module = FilterModule(machine, in, &error);
  if (module.empty()) return Fail(console, error);
  const std::unique_ptr<LiveFilter> live = machine.LoadFilter(module, &error);
  if (!live) return Fail(console, error);
  if (live->Categories() == nullptr) return Fail(console, kOlderModule);
  const FilterState* state = live->State();
  const bool running = state != nullptr && Load(state->attach_counter) > 1;
  std::ostream& out = console.out;
  if (judged != asked)
    out << "The filter judges " << Quoted(asked) << " as " << Quoted(judged) << ".\n";

  // The categories in the order the filter looks them up.
  std::vector<std::pair<std::string, std::uint32_t>> categories;  // name, serial
  std::string folder;
  CategoryTable table;
  if (running) {
    if (!CopyTable(*live, &table)) {
      return Fail(console, "the running filter's table of categories stayed busy; try again");
    }
    folder = TableFolder(machine, table);
    for (std::size_t i = 0; i < table.count; ++i) {
      categories.push_back({table.entries[i].name, table.entries[i].serial});
    }
  } else {
    folder = StartFolder(machine);
    out << "The filter is not running: the newest file of each category in " << folder << ".\n";
  }
  const std::vector<CategoryFileEntry> files = FilesIn(machine, folder);
  if (!running) {
    for (const CategoryFileEntry& e : files) {
      if (categories.empty() || categories.back().first != e.name)
        categories.push_back({e.name, 0});
    }
  }
  if (running && IsOn(state->white_only)) {
    const bool white = MatchUrlList(ListOf(*state, ListKind::kWhite), host) == 1;
    out << "White-only mode is on, so categories play no part: " << Quoted(judged)
        << (white ? " passes, as the whitelist matches it.\n"
                  : " is blocked, as the whitelist does not match it.\n");
    return kExitOk;
  }
  std::string blocked_by;
  for (const auto& [name, serial] : categories) {
    CategoryRow row;
    row.name = name;
    LoadedCategory loaded;
    CheckFileOf(machine, folder, files, serial, &row, &loaded);
    if (!row.off.empty()) {
      out << "  " << name << ": off (" << row.off << "), not looked up\n";
      continue;
    }
    const std::int64_t entry = MatchCategory(loaded.view, host.text, host.length);
    if (entry < 0) {
      out << "  " << name << ": no entry\n";
      continue;
    }
    const std::string domain = CategoryDomain(loaded.view, static_cast<std::uint32_t>(entry));
    out << "  " << name << ": under the entry " << domain << '\n';
    if (blocked_by.empty()) blocked_by = name + " (entry " + domain + ")";
  }
  if (categories.empty()) out << "No category is active.\n";
  if (running && MatchUrlList(ListOf(*state, ListKind::kBlack), host) == 1) {
    out << Quoted(judged) << " is blocked by the blacklist, which comes before every category.\n";
  } else if (blocked_by.empty()) {
    if (!categories.empty()) out << Quoted(judged) << " falls under no category.\n";
  } else if (running && MatchUrlList(ListOf(*state, ListKind::kWhite), host) == 1) {
    out << Quoted(judged) << " passes: the whitelist matches it, an exception to every "
        << "category.\n";
  } else {
    out << Quoted(judged) << " is blocked by the category " << blocked_by << ".\n";
  }
  return kExitOk;
}

}  // namespace

std::string DescribeCategories(Machine& machine, const LiveFilter& live) {
  const SharedCategories* shared = live.Categories();
  if (shared == nullptr) return "categories: none in this tarvel.dll (an older module)";
  CategoryTable table;
  if (!CopyTable(live, &table)) return "categories: unknown (their table stayed busy)";
  if (table.count == 0) return "categories: none";
  const std::string folder = TableFolder(machine, table);
  const std::vector<CategoryFileEntry> files = FilesIn(machine, folder);
  std::string text;
  for (const CategoryRow& row : ActiveRows(machine, *shared, table, folder, files)) {
    text += (text.empty() ? "" : ", ") + row.name +
            (row.off.empty() ? " (" + std::to_string(row.domains) + " domains)"
                             : " (off: " + row.off + ")");
  }
  return "categories: " + text;
}

std::vector<CommandSpec> CategoryCommands(Machine& m) {
  const std::string other = OtherModuleOption(m);
  const std::string filters =
      "On 64-bit Windows 64-bit and 32-bit programs each have a running filter with a\n"
      "table of categories of its own; the command changes both, the other through the\n"
      "tarvelctl.exe of the other kind in the package (its module: the installed one, or\n" +
      other +
      " PATH), and says which took the change. --own-only changes only the filter\n"
      "of this tarvelctl's kind; it exits 3 when that one is not running.\n";
  const std::string persist =
      "The change lasts while some program holds tarvel.dll; with --persist (needs\n"
      "administrator rights) the name is also written to cats under\n"
      "HKLM\\Software\\Tarvel, from which the filter starts.\n";
  const std::string compile_help =
      "Reads the text lists (hosts files: \"0.0.0.0 host\", \"127.0.0.1 a b\"; plain\n"
      "domains, one a line; adblock rules \"||domain^\"; \"*.domain\"; comments after '#',\n"
      "'!' or ';'), reports what was read and skipped, and compiles their domains (each\n"
      "once, none under another of them) into a new file NAME.SERIAL.tvcat in the\n"
      "running filter's categories folder (when none runs: catdir, else\n"
      "%ProgramData%\\Tarvel\\categories), made where missing, with a serial above every\n"
      "file of NAME there: a file a filter maps is never rewritten. Then the running\n"
      "filters use the new file from their next verdict, and the older files of NAME\n"
      "are deleted (a file still mapped goes when its last program lets it go; none\n"
      "under --own-only, as the other kind's filter may use one). A host\n"
      "falls under a category when it is one of its domains or a name under one.\n"
      "--folder DIR (with --persist) writes DIR to catdir, the folder the filter reads\n"
      "from its next start, and compiles into it too.\n\n";
  const std::vector<std::string> changing = {"--persist", kOwnOnly};
  const std::vector<std::pair<std::string, std::string>> modules = {{"--dll", "PATH"},
                                                                    {other, "PATH"}};
  std::vector<CommandSpec> commands;
  commands.push_back(
      {"category add",
       "NAME TEXTFILE...",
       2,
       1 << 16,
       changing,
       {{"--folder", "DIR"}, {"--dll", "PATH"}, {other, "PATH"}},
       "compile text lists into a new category and make it active",
       "NAME is 1 to 32 letters, digits, '-' and '_'. add refuses a name that is active,\n"
       "named in cats or has files in the folder: that one takes \"category update\".\n\n" +
           compile_help + persist + filters,
       [&m](const Invocation& in, Console& c) { return Compile(m, in, c, false); }});
  commands.push_back(
      {"category update",
       "NAME TEXTFILE...",
       2,
       1 << 16,
       changing,
       {{"--folder", "DIR"}, {"--dll", "PATH"}, {other, "PATH"}},
       "compile text lists anew into a category and switch the filters to it",
       "update refuses a name that is neither active, nor named in cats, nor has files\n"
       "in the folder: that one takes \"category add\". Programs filtering meanwhile judge\n"
       "each request by the old file or the new one, never by neither. To keep a\n"
       "category current, run update as a scheduled task over the lists downloaded.\n\n" +
           compile_help + persist + filters,
       [&m](const Invocation& in, Console& c) { return Compile(m, in, c, true); }});
  commands.push_back(
      {"category publish", "NAME", 1, 1, changing, modules,
       "make the newest compiled file of a category in the folder active",
       "Checks the newest file NAME.SERIAL.tvcat in the running filter's categories\n"
       "folder as the filter does and makes the running filters use it: for a file\n"
       "compiled elsewhere (\"tarvelctl category compile\") and put into the folder.\n\n" +
           persist + filters,
       [&m](const Invocation& in, Console& c) { return Publish(m, in, c); }});
  commands.push_back(
      {"category remove", "NAME", 1, 1, changing, modules,
       "take a category out of the running filters",
       "The running filters stop using the category from their next verdict. Its files\n"
       "are deleted unless cats still names it (without --persist the filter takes it\n"
       "up again at its next start, from them) or --own-only is given.\n\n" +
           persist + filters + "It exits 4 under --own-only when the category is not active.\n",
       [&m](const Invocation& in, Console& c) { return Remove(m, in, c); }});
  commands.push_back(
      {"category list",
       "",
       0,
       0,
       {kOwnOnly},
       modules,
       "show the categories: domains, file size and date, blocks so far, on or off",
       "One line per category of the running filter, then the compiled files in its\n"
       "folder that are not active: its name, its number of domains, the size and date\n"
       "of the file it uses, the blocks it made since it became active, and whether it\n"
       "is on, or off and why (a file missing, refused by the checks, or one that a\n"
       "program could not map). When the filter is not running, the categories cats\n"
       "names, as it would start with them. On 64-bit Windows both filters' tables are\n"
       "shown, each under its title; --own-only shows only this tarvelctl's kind's.\n",
       [&m](const Invocation& in, Console& c) { return List(m, in, c); }});
  commands.push_back(
      {"category test",
       "HOST",
       1,
       1,
       {},
       {{"--dll", "PATH"}},
       "tell which category and entry a host falls under, and what the filter does",
       "Looks HOST up, as the filter takes it from a request (a leading \"www.\" dropped),\n"
       "in every active category of the running filter (when none runs, in the newest\n"
       "file of each category in the folder): the entry it falls under in each, and\n"
       "whether the filter blocks it: the blacklist comes first, a whitelist entry that\n"
       "matches it is an exception to every category, and in white-only mode categories\n"
       "play no part.\n",
       [&m](const Invocation& in, Console& c) { return Test(m, in, c); }});
  for (CommandSpec& c : CategoryFileCommands(m.file_steps())) commands.push_back(std::move(c));
  return commands;
}

}  // namespace tarvel::ctl
