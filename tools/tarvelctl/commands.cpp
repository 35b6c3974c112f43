#include "tools/tarvelctl/commands.h"

#include "tools/tarvelctl/browser_policies.h"
#include "tools/tarvelctl/category_commands.h"
#include "tools/tarvelctl/list_commands.h"
#include "tools/tarvelctl/live_commands.h"
#include "tools/tarvelctl/log_command.h"
#include "tools/tarvelctl/selftest_command.h"
#include "tools/tarvelctl/setup_commands.h"

namespace tarvel::ctl {

std::vector<CommandSpec> AllCommands(Machine& machine) {
  std::vector<CommandSpec> all = SetupCommands(machine);
  for (CommandSpec& c : LiveCommands(machine)) all.push_back(std::move(c));
  all.push_back(LogCommand(machine));
  all.push_back(SelfTestCommand(machine));
  for (CommandSpec& c : ListCommands()) all.push_back(std::move(c));
  for (CommandSpec& c : CategoryCommands(machine)) all.push_back(std::move(c));
  for (CommandSpec& c : BrowserCommands(machine)) all.push_back(std::move(c));
  return all;
}

}  // namespace tarvel::ctl
