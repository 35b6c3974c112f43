// tarvelctl_filecatalog.exe: tarvelctl.exe with the Winsock catalogs and
// lookup values of a file (%ProgramData%\Tarvel-test\catalog.txt, see
// tarvelctl_file_catalog.h) in place of the system's, for testing an
// installer package under Wine, whose catalog functions are stubs.
// Everything else (registry settings, files, tarvel.dll) is the machine's.
// It is its own program: the shipped tarvelctl.exe has no such mode. Each
// run appends its command line and exit code to runs.txt beside the
// catalog, so a test sees what an installer ran.
#include <windows.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/testing/tarvelctl_file_catalog.h"
#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/win/windows_machine.h"

namespace tarvel::ctl {
namespace {

// This machine with the file's catalogs.
class FileCatalogMachine final : public Machine {
 public:
  FileCatalogMachine(Machine& real, testing::FileCatalog& catalogs)
      : real_(real), catalogs_(catalogs) {}

  Catalog& catalog() override { return catalogs_; }
  LowerPaths& lower_paths() override { return catalogs_; }
  CatalogKind OwnKind() override { return real_.OwnKind(); }
  bool IsWow64() override { return real_.IsWow64(); }
  bool IsAdministrator() override { return real_.IsAdministrator(); }
  Clock& clock() override { return real_.clock(); }
  FileSteps& file_steps() override { return real_.file_steps(); }
  std::vector<CatalogKind> SettingsViews() override { return real_.SettingsViews(); }
  SettingsStore& Settings(CatalogKind view) override { return real_.Settings(view); }
  PolicyRegistry& policy_registry() override { return real_.policy_registry(); }
  std::vector<std::string> Resolve(const std::string& host) override { return real_.Resolve(host); }
  std::string ProgramFolder() override { return real_.ProgramFolder(); }
  std::string FullPath(const std::string& path) override { return real_.FullPath(path); }
  std::string Expand(const std::string& path) override { return real_.Expand(path); }
  std::unique_ptr<LiveFilter> LoadFilter(const std::string& path, std::string* error) override {
    return real_.LoadFilter(path, error);
  }
  std::unique_ptr<LoopbackProbe> ListenOnLoopback(int port, bool* busy,
                                                  std::string* error) override {
    return real_.ListenOnLoopback(port, busy, error);
  }
  ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args) override {
    return real_.RunProgram(path, args);
  }

 private:
  Machine& real_;
  testing::FileCatalog& catalogs_;
};

}  // namespace
}  // namespace tarvel::ctl

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  using namespace tarvel::ctl;
  Console console{std::cout, std::cerr};
  Machine& real = ThisMachine();
  testing::FileCatalog catalogs;
  const std::string error = catalogs.Load(real.Expand("%ProgramData%\\Tarvel-test\\catalog.txt"));
  if (!error.empty()) return Fail(console, "the test catalog cannot be read: " + error);
  FileCatalogMachine machine(real, catalogs);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Shell shell(AllCommands(machine),
                    "This is a test build: its Winsock catalogs are those of the file\n"
                    "%ProgramData%\\Tarvel-test\\catalog.txt, not the system's.");
  const int code = shell.Run(args, console);
  std::cout.flush();
  CreateDirectoryA(real.Expand("%ProgramData%\\Tarvel-test").c_str(), nullptr);
  std::ofstream runs(real.Expand("%ProgramData%\\Tarvel-test\\runs.txt"), std::ios::app);
  runs << GetCommandLineA() << " => " << code << "\n";
  return code;
}
