// tarvelctl for Linux and other POSIX systems: the list commands, to prepare
// list files away from the Windows machines that use them.
#include <iostream>
#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/list_commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const tarvel::ctl::Shell shell(
      tarvel::ctl::ListCommands(),
      "This build holds the list commands only; install, status, config and the live\n"
      "commands come with tarvelctl.exe for Windows.");
  tarvel::ctl::Console console{std::cout, std::cerr};
  return shell.Run(args, console);
}
