#include "tools/tarvelctl/setup_commands.h"

#include <functional>
#include <map>

#include "tools/tarvelctl/browser_policies.h"
#include "tools/tarvelctl/category_commands.h"
#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/install_commands.h"
#include "tools/tarvelctl/list_commands.h"
#include "tools/tarvelctl/log_command.h"
#include "tools/tarvelctl/machine_texts.h"
#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

void CatalogStatus(Machine& machine, CatalogKind kind,
                   const std::map<std::string, std::string>& values, std::ostream& out) {
  Catalog& catalog = machine.catalog();
  std::vector<ProtocolRecord> records;
  const std::string error = catalog.Enumerate(kind, &records);
  const std::string title = KindName(kind) + " catalog: ";
  if (!error.empty()) {
    out << title << "cannot be read: " << error << '\n';
    return;
  }
  const TarvelEntries tarvel = FindTarvel(records, [&](const ProtocolRecord& r) {
    if (r.provider_id == kTarvelLayeredGuid) return true;
    std::string path;
    return catalog.ProviderPath(kind, r.provider_id, &path).empty() && IsTarvelModulePath(path);
  });
  if (!tarvel.Installed()) {
    out << title << "tarvel is not installed\n";
    return;
  }
  for (const ProtocolRecord& layered : tarvel.layered) {
    std::string path;
    const std::string error = catalog.ProviderPath(kind, layered.provider_id, &path);
    if (!error.empty()) path = "path unknown: " + error;
    out << title << "tarvel layered entry " << layered.catalog_id << " (" << path << ")\n";
  }
  for (const ProtocolRecord& chain : tarvel.chains) {
    out << "  chain " << chain.catalog_id << " over " << chain.LowerId();
    const auto value = values.find(std::to_string(chain.LowerId()));
    if (value != values.end()) {
      out << " " << AsciiName(chain.name) << ", lookup " << value->second << '\n';
    } else {
      out << ": no lookup value, so its sockets fail with error 10106\n";
    }
  }
  for (const ProtocolRecord& base : tarvel.uncovered) {
    out << "  not layered: " << base.catalog_id << " " << AsciiName(base.name)
        << " (layered and unlayered providers of one family break select)\n";
  }
  for (const ProtocolRecord& over : tarvel.foreign_over) {
    out << "  layered over tarvel: chain " << over.catalog_id << " " << AsciiName(over.name)
        << '\n';
  }
}

void RunningStatus(Machine& machine, const Invocation& in, std::ostream& out) {
  const std::string title = "running filter (" + ProgramsOf(machine, machine.OwnKind()) + "): ";
  std::string error;
  const std::string module = FilterModule(machine, in, &error);
  if (module.empty()) {
    out << title << "not installed\n";
    return;
  }
  std::unique_ptr<LiveFilter> live = machine.LoadFilter(module, &error);
  if (!live) {
    out << title << error << '\n';
    return;
  }
  const FilterState* state = live->State();
  if (state == nullptr) {
    out << title << module << " holds no filter state this tarvelctl knows\n";
    return;
  }
  if (Load(state->attach_counter) <= 1) {
    out << title << "not running (no other program holds " << module << ")\n";
    return;
  }
  const SharedExtensions* extensions = live->Extensions();
  out << title << "white-only mode " << (IsOn(state->white_only) ? "on" : "off")
      << ", smart filter " << (IsOn(state->smart_filter) ? "on" : "off") << ", HTTPS filter "
      << (extensions != nullptr && IsOn(extensions->https_filter) ? "on" : "off") << ", "
      << (extensions != nullptr && IsOn(extensions->locked) ? "locked" : "unlocked") << ", "
      << (IsOn(state->lists_ready) ? "lists loaded"
                                   : "a list file did not load at start, so the host test is off")
      << '\n';
  for (ListKind kind : {ListKind::kWhite, ListKind::kBlack}) {
    const std::int32_t count = Load(*ListOf(*state, kind).count);
    out << "  " << (kind == ListKind::kWhite ? "whitelist" : "blacklist") << ": "
        << ActiveEntries(*state, kind) << " entries, room for " << kListSlots - count
        << " more additions\n";
  }
  out << "  " << DescribeCategories(machine, *live) << '\n';
  const std::string blocked = DescribeBlockCounts(live->Extensions());
  if (!blocked.empty()) out << "  " << blocked << '\n';
}

// The other kind's running filter, as its tarvelctl shows it.
void OtherRunningStatus(Machine& machine, const Invocation& in, std::ostream& out) {
  const ProgramRun run = RunOtherTool(machine, in, {"status"});
  if (run.started && run.code == kExitOk) {
    out << WithoutCarriageReturns(run.out);
    return;
  }
  out << "running filter (" << KindName(OtherKind(machine))
      << " programs): unknown: " << FailureOf(run) << '\n';
}

int Status(Machine& machine, const Invocation& in, Console& console) {
  if (in.Has(kOwnOnly)) {
    RunningStatus(machine, in, console.out);
    return kExitOk;
  }
  std::map<std::string, std::string> values;
  for (CatalogKind view : machine.catalog().Kinds()) {
    std::map<std::string, std::string> of_view;
    if (machine.lower_paths().Read(view, &of_view).empty())
      values.insert(of_view.begin(), of_view.end());
  }
  for (CatalogKind kind : machine.catalog().Kinds()) {
    CatalogStatus(machine, kind, values, console.out);
  }
  console.out << "lookup values under HKLM\\" << kLowerPathsKey << ": " << values.size() << '\n';
  bool lists_load = false;
  for (const std::string& line : DescribeSettings(machine, &lists_load))
    console.out << line << '\n';
  for (const std::string& line : BrowserStatusLines(machine)) console.out << line << '\n';
  RunningStatus(machine, in, console.out);
  if (ReachesOtherFilter(machine, in)) OtherRunningStatus(machine, in, console.out);
  return kExitOk;
}

int ConfigShow(Machine& machine, const Invocation&, Console& console) {
  bool lists_load = false;
  for (const std::string& line : DescribeSettings(machine, &lists_load))
    console.out << line << '\n';
  return kExitOk;
}

int ConfigSet(Machine& machine, const Invocation& in, Console& console) {
  const std::string& name = in.operands[0];
  const std::string& value = in.operands[1];
  const bool flag = name == settings::kWhiteOnly || name == settings::kSmartFilter ||
                    name == settings::kHttpsFilter || name == settings::kLocked;
  const bool path = name == settings::kWhiteListPath || name == settings::kBlackListPath;
  if (!flag && !path) {
    return Fail(console,
                "no setting \"" + name + "\": iswhi, issma, issni, islck, whitelib or blacklib",
                kExitUsage);
  }
  if (flag && value != "on" && value != "off") {
    return Fail(console, name + " takes on or off, not \"" + value + "\"", kExitUsage);
  }
  const std::string stored = path ? machine.FullPath(value) : value;
  if (path && stored.size() > kMaxLowerPath) {
    return Fail(console, "the path is longer than 259 characters: " + stored);
  }
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("config set"));
  std::string views;
  for (CatalogKind view : machine.SettingsViews()) {
    SettingsStore& store = machine.Settings(view);
    const int written = flag ? store.WriteFlag(name.c_str(), value == "on" ? 1 : 0)
                             : store.WritePath(name.c_str(), stored.c_str());
    if (written != 1) {
      return Fail(console, "cannot write " + name + " under HKLM\\Software\\Tarvel (" +
                               KindName(view) + " view)");
    }
    views += (views.empty() ? "" : " and ") + KindName(view);
  }
  views = machine.SettingsViews().size() == 1 ? ProgramsOf(machine, machine.OwnKind())
                                              : views + " programs";
  console.out << name << " = " << stored << " for " << views << '\n';
  if (path) {
    bool loads = false;
    console.out << stored << ": " << DescribeListFileLoad(stored, &loads) << '\n';
  }
  console.out
      << "The filter reads its settings when it starts, that is when a program loads\n"
         "tarvel.dll while no other holds it; the live commands change the running filter.\n";
  return kExitOk;
}

}  // namespace

std::vector<CommandSpec> SetupCommands(Machine& m) {
  using std::placeholders::_1;
  using std::placeholders::_2;
  std::vector<CommandSpec> commands;
  commands.push_back(InstallCommand(m));
  commands.push_back(UninstallCommand(m));
  commands.push_back(
      {"status",
       "",
       0,
       0,
       {kOwnOnly},
       {{"--dll", "PATH"}, {OtherModuleOption(m), "PATH"}},
       "show catalog entries, lookup values, settings, list files and the running filters",
       "The running filter is the shared state of the programs that hold tarvel.dll (the\n"
       "installed module, or --dll PATH). On 64-bit Windows 64-bit and 32-bit programs\n"
       "each have one; the other kind's is shown by its tarvelctl.exe in the package\n"
       "(x64\\ and x86\\; its module: the installed one, or " +
           OtherModuleOption(m) +
           " PATH).\n"
           "--own-only shows only the running filter of this tarvelctl's kind.\n",
       std::bind(Status, std::ref(m), _1, _2)});
  commands.push_back(
      {"config show",
       "",
       0,
       0,
       {},
       {},
       "show the settings under HKLM\\Software\\Tarvel",
       "Shows iswhi, issma, issni and islck, whitelib and blacklib with whether their\n"
       "list files load, and catdir and cats, the category folder and the categories\n"
       "taken at start (tarvelctl category add --persist sets them).\n",
       std::bind(ConfigShow, std::ref(m), _1, _2)});
  commands.push_back(
      {"config set",
       "NAME VALUE",
       2,
       2,
       {},
       {},
       "set iswhi, issma, issni or islck on|off, or whitelib or blacklib to a list file",
       "  tarvelctl config set iswhi on|off      white-only mode\n"
       "  tarvelctl config set issma on|off      smart filter (phrase test)\n"
       "  tarvelctl config set issni on|off      HTTPS filter (TLS server names, no QUIC)\n"
       "  tarvelctl config set islck on|off      only administrators change the running filter\n"
       "  tarvelctl config set whitelib PATH     the whitelist file\n"
       "  tarvelctl config set blacklib PATH     the blacklist file\n"
       "The filter reads them when it starts. On 64-bit Windows both registry views are\n"
       "written, so 32-bit programs see the same settings. Needs administrator rights.\n",
       std::bind(ConfigSet, std::ref(m), _1, _2)});
  return commands;
}

}  // namespace tarvel::ctl
