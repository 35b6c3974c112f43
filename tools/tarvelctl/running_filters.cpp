#include "tools/tarvelctl/running_filters.h"

#include <algorithm>

#include "tools/tarvelctl/install.h"

namespace tarvel::ctl {

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

int ActiveEntries(const FilterState& state, ListKind kind) {
  const UrlList list = ListOf(state, kind);
  const std::int32_t count = std::min(Load(*list.count), kListSlots);
  int active = 0;
  for (std::int32_t i = 0; i < count; ++i) active += Load(list.active[i]) == 1 ? 1 : 0;
  return active;
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

}  // namespace tarvel::ctl
