#include "tools/tarvelctl/cli.h"

#include <algorithm>
#include <exception>

namespace tarvel::ctl {
namespace {

bool IsHelpWord(const std::string& word) {
  return word == "--help" || word == "-h" || word == "/?";
}

std::string FirstWord(const std::string& name) { return name.substr(0, name.find(' ')); }

}  // namespace

int Fail(Console& console, const std::string& message, int code) {
  console.err << "tarvelctl: " << message << '\n';
  console.err.flush();
  return code;
}

Shell::Shell(std::vector<CommandSpec> commands, std::string note)
    : commands_(std::move(commands)), note_(std::move(note)) {}

const CommandSpec* Shell::Find(const std::vector<std::string>& args, std::size_t* words) const {
  for (std::size_t n : {2u, 1u}) {
    if (args.size() < n) continue;
    std::string name = args[0];
    if (n == 2) name += " " + args[1];
    for (const CommandSpec& command : commands_) {
      if (command.name == name) {
        *words = n;
        return &command;
      }
    }
  }
  return nullptr;
}

bool Shell::IsGroup(const std::string& word) const {
  return std::any_of(commands_.begin(), commands_.end(), [&](const CommandSpec& c) {
    return c.name.size() > word.size() && FirstWord(c.name) == word;
  });
}

std::string Shell::Usage(const CommandSpec& command) const {
  std::string usage = "tarvelctl " + command.name;
  if (!command.operands.empty()) usage += " " + command.operands;
  for (const std::string& flag : command.flags) usage += " [" + flag + "]";
  for (const auto& [option, value] : command.valued) usage += " [" + option + " " + value + "]";
  return usage;
}

void Shell::PrintCommandHelp(const CommandSpec& command, std::ostream& out) const {
  out << "usage: " << Usage(command) << "\n\n" << command.summary << "\n";
  if (!command.help.empty()) out << "\n" << command.help;
  if (!command.help.empty() && command.help.back() != '\n') out << '\n';
}

int Shell::Help(const std::vector<std::string>& topic, Console& console) const {
  if (!topic.empty()) {
    std::size_t words = 0;
    if (const CommandSpec* command = Find(topic, &words); command != nullptr) {
      PrintCommandHelp(*command, console.out);
      return kExitOk;
    }
    if (!IsGroup(topic[0])) {
      return Fail(console, "no command \"" + topic[0] + "\"; see \"tarvelctl help\"", kExitUsage);
    }
  }
  const std::string group = topic.empty() ? std::string() : topic[0];
  std::size_t width = 0;
  for (const CommandSpec& c : commands_) width = std::max(width, c.name.size());
  std::ostream& out = console.out;
  if (group.empty()) {
    out << "tarvelctl installs, configures and controls the tarvel web filter (tarvel.dll).\n\n"
        << "usage: tarvelctl COMMAND [ARGUMENTS] [OPTIONS]\n\ncommands:\n";
  } else {
    out << "tarvelctl " << group << " commands:\n";
  }
  for (const CommandSpec& c : commands_) {
    if (!group.empty() && FirstWord(c.name) != group) continue;
    out << "  " << c.name << std::string(width + 2 - c.name.size(), ' ') << c.summary << '\n';
  }
  out << "\n\"tarvelctl COMMAND --help\" describes one command.\n"
      << "Exit codes: 0 success, 1 the command failed, 2 wrong usage.\n";
  if (group.empty() && !note_.empty()) out << note_ << '\n';
  return kExitOk;
}

int Shell::Run(const std::vector<std::string>& args, Console& console) const {
  if (args.empty()) return Fail(console, "no command given; see \"tarvelctl help\"", kExitUsage);
  if (args[0] == "help" || IsHelpWord(args[0])) {
    return Help(std::vector<std::string>(args.begin() + 1, args.end()), console);
  }
  std::size_t words = 0;
  const CommandSpec* command = Find(args, &words);
  if (command == nullptr) {
    if (IsGroup(args[0])) {
      if (args.size() > 1 && IsHelpWord(args[1])) return Help({args[0]}, console);
      const std::string given = args.size() > 1 ? " \"" + args[0] + " " + args[1] + "\"" : "";
      return Fail(console, "unknown command" + given + "; see \"tarvelctl help " + args[0] + "\"",
                  kExitUsage);
    }
    return Fail(console, "unknown command \"" + args[0] + "\"; see \"tarvelctl help\"", kExitUsage);
  }

  Invocation invocation;
  bool options_ended = false;
  for (std::size_t i = words; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_ended && IsHelpWord(arg)) {
      PrintCommandHelp(*command, console.out);
      return kExitOk;
    }
    if (!options_ended && arg == "--") {
      options_ended = true;
      continue;
    }
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      invocation.operands.push_back(arg);
      continue;
    }
    const std::size_t equals = arg.find('=');
    const std::string option = arg.substr(0, equals);
    const bool is_flag =
        std::find(command->flags.begin(), command->flags.end(), option) != command->flags.end();
    const auto valued = std::find_if(command->valued.begin(), command->valued.end(),
                                     [&](const auto& v) { return v.first == option; });
    if (is_flag && equals == std::string::npos) {
      invocation.options[option] = "";
    } else if (valued != command->valued.end()) {
      if (equals != std::string::npos) {
        invocation.options[option] = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        invocation.options[option] = args[++i];
      } else {
        return Fail(console,
                    option + " needs " + valued->second + " (usage: " + Usage(*command) + ")",
                    kExitUsage);
      }
    } else {
      return Fail(console, "unknown option " + arg + " (usage: " + Usage(*command) + ")",
                  kExitUsage);
    }
  }
  const int count = static_cast<int>(invocation.operands.size());
  if (count < command->min_operands) {
    return Fail(console, "missing arguments (usage: " + Usage(*command) + ")", kExitUsage);
  }
  if (count > command->max_operands) {
    return Fail(console,
                "unexpected argument \"" + invocation.operands[command->max_operands] +
                    "\" (usage: " + Usage(*command) + ")",
                kExitUsage);
  }
  try {
    return command->run(invocation, console);
  } catch (const std::exception& e) {
    return Fail(console, std::string("internal error: ") + e.what());
  }
}

}  // namespace tarvel::ctl
