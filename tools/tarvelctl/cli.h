// The command-line shell of tarvelctl: a table of commands, each with its
// operands, options and help; "help", "COMMAND --help", exit codes, and one
// line on the error stream for every failure.
#pragma once

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace tarvel::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the command could not do its work
inline constexpr int kExitUsage = 2;   // wrong command line
// How a live command given --own-only tells the tarvelctl that ran it what
// became of a change it could not make (see running_filters.h): the filter
// is not running, or the host to remove is not in its running list.
inline constexpr int kExitNotRunning = 3;
inline constexpr int kExitNotInList = 4;

struct Console {
  std::ostream& out;
  std::ostream& err;
};

// The parsed command line of one command.
struct Invocation {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;  // "--persist" -> "", "--dll" -> "PATH"

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  std::string Value(const std::string& option) const {
    auto it = options.find(option);
    return it == options.end() ? std::string() : it->second;
  }
};

struct CommandSpec {
  std::string name;      // one or two words: "status", "list import"
  std::string operands;  // as shown in the usage line: "TEXT FILE"
  int min_operands = 0;
  int max_operands = 0;
  std::vector<std::string> flags;                           // "--force"
  std::vector<std::pair<std::string, std::string>> valued;  // {"--dll", "PATH"}
  std::string summary;                                      // one line for "help"
  std::string help;                                         // shown by --help
  std::function<int(const Invocation&, Console&)> run;
};

// Writes "tarvelctl: MESSAGE" as one line on the error stream; returns `code`.
int Fail(Console& console, const std::string& message, int code = kExitFailed);

class Shell {
 public:
  // `note` closes the general help (what this build holds).
  Shell(std::vector<CommandSpec> commands, std::string note);

  // Runs the command named by `args` (without the program name) and returns
  // its exit code.
  int Run(const std::vector<std::string>& args, Console& console) const;

 private:
  const CommandSpec* Find(const std::vector<std::string>& args, std::size_t* words) const;
  bool IsGroup(const std::string& word) const;
  int Help(const std::vector<std::string>& topic, Console& console) const;
  void PrintCommandHelp(const CommandSpec& command, std::ostream& out) const;
  std::string Usage(const CommandSpec& command) const;

  std::vector<CommandSpec> commands_;
  std::string note_;
};

}  // namespace tarvel::ctl
