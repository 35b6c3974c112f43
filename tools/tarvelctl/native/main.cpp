// tarvelctl for Linux and other POSIX systems: the list commands and the
// category file commands, to prepare list and category files away from the
// Windows machines that use them.
#include <iostream>
#include <string>
#include <vector>

#include "tools/tarvelctl/category_files.h"
#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/list_commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<tarvel::ctl::CommandSpec> commands = tarvel::ctl::ListCommands();
  for (tarvel::ctl::CommandSpec& c :
       tarvel::ctl::CategoryFileCommands(tarvel::ctl::PlatformFileSteps())) {
    commands.push_back(std::move(c));
  }
  const tarvel::ctl::Shell shell(
      std::move(commands),
      "This build holds the list commands and category compile and check only; install,\n"
      "status, config and the live commands come with tarvelctl.exe for Windows.");
  tarvel::ctl::Console console{std::cout, std::cerr};
  return shell.Run(args, console);
}
