#include "tools/tarvelctl/command_support.h"

#include <algorithm>

#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/list_commands.h"

namespace tarvel::ctl {
namespace {

std::string Flag(SettingsStore& store, const char* name) {
  std::int32_t value = 0;
  if (store.ReadFlag(name, &value) != 1) return "not set (counts as off)";
  return value == 1 ? "on" : "off";
}

std::string ListPath(SettingsStore& store, const char* name, bool* loads) {
  char path[settings::kTextBytes] = {};
  if (store.ReadPath(name, path, sizeof path) != 1) {
    *loads = false;
    return "not set, so the list does not load";
  }
  return std::string(path) + " (" + DescribeListFileLoad(path, loads) + ")";
}

}  // namespace

std::string NeedsAdministrator(const std::string& command) {
  return command +
         " needs administrator rights: run tarvelctl from an elevated command prompt (Run as "
         "administrator)";
}

std::string NeedsNativeTool(const std::string& command) {
  return "this is the 32-bit tarvelctl on 64-bit Windows, which reaches only the 32-bit catalog; "
         "run " +
         command + " with x64\\tarvelctl.exe";
}

std::string ProgramsOf(Machine& machine, CatalogKind kind) {
  if (machine.catalog().Kinds().size() < 2 && !machine.IsWow64()) return "all programs";
  return KindName(kind) + " programs";
}

std::string FilterModule(Machine& machine, const Invocation& in, std::string* error) {
  if (in.Has("--dll")) return machine.FullPath(in.Value("--dll"));
  std::string path;
  const std::string lookup =
      machine.catalog().ProviderPath(machine.OwnKind(), kTarvelLayeredGuid, &path);
  if (!lookup.empty() || path.empty()) {
    *error = "tarvel is not installed in the " + KindName(machine.OwnKind()) +
             " catalog; name the module with --dll PATH";
    return "";
  }
  return machine.Expand(path);
}

std::vector<std::string> DescribeSettings(Machine& machine, bool* lists_load) {
  std::vector<std::string> lines;
  const std::vector<CatalogKind> views = machine.SettingsViews();
  std::vector<std::string> first;
  *lists_load = true;
  for (CatalogKind view : views) {
    SettingsStore& store = machine.Settings(view);
    bool white = false;
    bool black = false;
    std::vector<std::string> values = {
        "  iswhi     " + Flag(store, settings::kWhiteOnly) + " (white-only mode)",
        "  issma     " + Flag(store, settings::kSmartFilter) + " (smart filter)",
        "  issni     " + Flag(store, settings::kHttpsFilter) + " (HTTPS filter)",
        "  whitelib  " + ListPath(store, settings::kWhiteListPath, &white),
        "  blacklib  " + ListPath(store, settings::kBlackListPath, &black),
    };
    *lists_load = *lists_load && white && black;
    std::string title = "HKLM\\Software\\Tarvel";
    if (views.size() > 1) title += " (" + KindName(view) + " programs)";
    if (view != views.front() && values == first) {
      lines.push_back(title + ": the same");
      continue;
    }
    lines.push_back(title + ":");
    lines.insert(lines.end(), values.begin(), values.end());
    if (first.empty()) first = values;
  }
  if (!*lists_load) {
    lines.push_back("note: the host test stays off while either list file does not load");
  }
  return lines;
}

bool ReachesOtherFilter(Machine& machine, const Invocation& in) {
  if (in.Has(kOwnOnly)) return false;
  return machine.catalog().Kinds().size() > 1 || machine.IsWow64();
}

CatalogKind OtherKind(Machine& machine) {
  return machine.OwnKind() == CatalogKind::k64 ? CatalogKind::k32 : CatalogKind::k64;
}

std::string OtherModuleOption(Machine& machine) {
  return OtherKind(machine) == CatalogKind::k32 ? "--dll32" : "--dll64";
}

std::string OtherTool(Machine& machine) {
  const char* folder = OtherKind(machine) == CatalogKind::k32 ? "x86" : "x64";
  return machine.FullPath(machine.ProgramFolder() + "..\\" + folder + "\\tarvelctl.exe");
}

ProgramRun RunOtherTool(Machine& machine, const Invocation& in, std::vector<std::string> args) {
  args.push_back(kOwnOnly);
  const std::string option = OtherModuleOption(machine);
  if (in.Has(option)) {
    args.push_back("--dll");
    args.push_back(machine.FullPath(in.Value(option)));
  }
  return machine.RunProgram(OtherTool(machine), args);
}

std::string WithoutCarriageReturns(const std::string& text) {
  std::string plain;
  for (char c : text) {
    if (c != '\r') plain += c;
  }
  return plain;
}

std::string FailureOf(const ProgramRun& run) {
  if (!run.started) return run.error;
  std::string line = WithoutCarriageReturns(run.err);
  line = line.substr(0, line.find('\n'));
  const std::string prefix = "tarvelctl: ";
  if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
  if (line.empty()) return "its tarvelctl ended with code " + std::to_string(run.code);
  return line;
}

int ActiveEntries(const FilterState& state, ListKind kind) {
  const UrlList list = ListOf(state, kind);
  const std::int32_t count = std::min(Load(*list.count), kListSlots);
  int active = 0;
  for (std::int32_t i = 0; i < count; ++i) active += Load(list.active[i]) == 1 ? 1 : 0;
  return active;
}

}  // namespace tarvel::ctl
