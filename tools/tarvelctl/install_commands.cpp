#include "tools/tarvelctl/install_commands.h"

#include <functional>

#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/machine_texts.h"
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

// The first list file named in the settings that an account that may set
// the filter up cannot read, as a refusal; "" when there is none.
std::string UnreadableListFile(Machine& machine) {
  for (CatalogKind view : machine.SettingsViews()) {
    for (const char* name : {settings::kWhiteListPath, settings::kBlackListPath}) {
      char path[settings::kTextBytes] = {};
      if (machine.Settings(view).ReadPath(name, path, sizeof path) != 1 || path[0] == '\0') {
        continue;
      }
      const std::string warning = ReadRightsWarning(path);
      if (!warning.empty()) return "install refused: " + warning.substr(warning.find(' ') + 1);
    }
  }
  return "";
}

int Install(Machine& machine, const Invocation& in, Console& console) {
  if (machine.IsWow64()) return Fail(console, NeedsNativeTool("install"));
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("install"));
  if (!in.Has("--force")) {
    const std::string refusal = UnreadableListFile(machine);
    if (!refusal.empty()) return Fail(console, refusal + " (or install with --force)");
  }
  ProviderPaths paths;
  for (CatalogKind kind : machine.catalog().Kinds()) {
    std::string& path = kind == CatalogKind::k64 ? paths.path64 : paths.path32;
    const std::string error = ModuleFor(machine, in, kind, &path);
    if (!error.empty()) return Fail(console, error);
  }
  std::vector<std::string> report;
  const std::string error = InstallTarvel(
      machine.catalog(), machine.lower_paths(), paths,
      [&machine](const std::string& path) { return machine.Expand(path); }, &report);
  if (!error.empty()) return Fail(console, "install failed: " + error);
  for (const std::string& line : report) console.out << line << '\n';
  // A filter that the people it filters can switch off filters nothing:
  // locked unless asked otherwise.
  const int locked = in.Has("--unlocked") ? 0 : 1;
  for (CatalogKind view : machine.SettingsViews()) {
    if (machine.Settings(view).WriteFlag(settings::kLocked, locked) != 1) {
      console.out << "Note: cannot write islck under HKLM\\Software\\Tarvel (" << KindName(view)
                  << " view); set it with tarvelctl config set islck on|off.\n";
    }
  }
  console.out << "islck = "
              << (locked == 1 ? "on: only administrators change the running filter"
                              : "off: every user may change the running filter")
              << '\n';
  console.out << "tarvel is installed. Programs filter their connections from their next start;\n"
                 "the host test works once both list files load (tarvelctl config set whitelib\n"
                 "PATH, tarvelctl config set blacklib PATH).\n";
  return kExitOk;
}

int Uninstall(Machine& machine, const Invocation&, Console& console) {
  if (machine.IsWow64()) return Fail(console, NeedsNativeTool("uninstall"));
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("uninstall"));
  std::vector<std::string> report;
  const std::string error = UninstallTarvel(machine.catalog(), machine.lower_paths(), &report);
  for (const std::string& line : report) console.out << line << '\n';
  if (!error.empty()) return Fail(console, "uninstall incomplete: " + error);
  console.out << "Programs that hold tarvel.dll keep it until they end; restart Windows to have\n"
                 "it unloaded everywhere. The settings under HKLM\\Software\\Tarvel and the list\n"
                 "files stay.\n";
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
          {"--unlocked", "--force"},
          {{"--dll", "PATH"}, {"--dll32", "PATH"}},
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
          "rights.\n",
          std::bind(Install, std::ref(m), _1, _2)};
}

CommandSpec UninstallCommand(Machine& m) {
  using std::placeholders::_1;
  using std::placeholders::_2;
  return {"uninstall",
          "",
          0,
          0,
          {},
          {},
          "remove tarvel.dll from the Winsock catalogs and its lookup values",
          "Removes every catalog entry of tarvel.dll in every catalog, then the lookup values\n"
          "that no remaining chain needs. Safe to run again, and after an interrupted install.\n"
          "Settings and list files stay. Needs administrator rights. If Winsock is left\n"
          "broken all the same, \"netsh winsock reset\" and a restart restore the catalog.\n",
          std::bind(Uninstall, std::ref(m), _1, _2)};
}

}  // namespace tarvel::ctl
