// tarvelctl.exe: installs, configures and controls tarvel.dll on Windows.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/win/windows_machine.h"

int main(int argc, char** argv) {
  // A module that fails to load must give an error, not a dialog box.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const tarvel::ctl::Shell shell(tarvel::ctl::AllCommands(tarvel::ctl::ThisMachine()), "");
  tarvel::ctl::Console console{std::cout, std::cerr};
  const int code = shell.Run(args, console);
  std::cout.flush();
  return code;
}
