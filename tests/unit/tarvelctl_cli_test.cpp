#include "tools/tarvelctl/cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace tarvel::ctl {
namespace {

// A shell of three made-up commands that record how they were called.
class ShellTest : public ::testing::Test {
 protected:
  ShellTest()
      : shell_({{"block",
                 "HOST",
                 1,
                 1,
                 {"--persist"},
                 {{"--dll", "PATH"}},
                 "block a host",
                 "Adds HOST.\n",
                 Recording()},
                {"list new", "FILE", 1, 1, {}, {}, "make a list", "", Recording()},
                {"list check", "FILE", 1, 1, {}, {}, "check a list", "", Recording()},
                {"status", "", 0, 0, {}, {}, "show everything", "", Recording()}},
               "A note.") {}

  std::function<int(const Invocation&, Console&)> Recording() {
    return [this](const Invocation& in, Console&) {
      last_ = in;
      ++calls_;
      return 7;
    };
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    return shell_.Run(args, console);
  }

  Shell shell_;
  Invocation last_;
  int calls_ = 0;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(ShellTest, RunsCommandWithOperandsAndOptions) {
  EXPECT_EQ(Run({"block", "--persist", "a.example", "--dll", "C:\\t.dll"}), 7);
  EXPECT_EQ(last_.operands, std::vector<std::string>{"a.example"});
  EXPECT_TRUE(last_.Has("--persist"));
  EXPECT_EQ(last_.Value("--dll"), "C:\\t.dll");
  EXPECT_EQ(Run({"block", "--dll=x.dll", "--", "--odd"}), 7);
  EXPECT_EQ(last_.operands, std::vector<std::string>{"--odd"});
  EXPECT_EQ(last_.Value("--dll"), "x.dll");
  EXPECT_EQ(Run({"list", "new", "f"}), 7);
  EXPECT_EQ(last_.operands, std::vector<std::string>{"f"});
}

struct UsageRow {
  const char* name;
  std::vector<std::string> args;
  std::string error;
};

class ShellUsage : public ShellTest, public ::testing::WithParamInterface<UsageRow> {};

TEST_P(ShellUsage, OneLineAndExitTwo) {
  const UsageRow& row = GetParam();
  EXPECT_EQ(Run(row.args), kExitUsage);
  EXPECT_EQ(err_.str(), "tarvelctl: " + row.error + "\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(calls_, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ShellUsage,
    ::testing::Values(
        UsageRow{"NoCommand", {}, "no command given; see \"tarvelctl help\""},
        UsageRow{"Unknown", {"frob"}, "unknown command \"frob\"; see \"tarvelctl help\""},
        UsageRow{"UnknownInGroup",
                 {"list", "frob"},
                 "unknown command \"list frob\"; see \"tarvelctl help list\""},
        UsageRow{"GroupAlone", {"list"}, "unknown command; see \"tarvelctl help list\""},
        UsageRow{"MissingOperand",
                 {"block"},
                 "missing arguments (usage: tarvelctl block HOST [--persist] [--dll PATH])"},
        UsageRow{"ExtraOperand",
                 {"block", "a", "b"},
                 "unexpected argument \"b\" (usage: tarvelctl block HOST [--persist] [--dll "
                 "PATH])"},
        UsageRow{"UnknownOption",
                 {"status", "--persist"},
                 "unknown option --persist (usage: tarvelctl status)"},
        UsageRow{"FlagWithValue",
                 {"block", "a", "--persist=1"},
                 "unknown option --persist=1 (usage: tarvelctl block HOST [--persist] [--dll "
                 "PATH])"},
        UsageRow{"MissingValue",
                 {"block", "a", "--dll"},
                 "--dll needs PATH (usage: tarvelctl block HOST [--persist] [--dll PATH])"},
        UsageRow{"HelpOfUnknown", {"help", "frob"}, "no command \"frob\"; see \"tarvelctl help\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ShellTest, HelpListsCommandsAndTheNote) {
  EXPECT_EQ(Run({"help"}), kExitOk);
  EXPECT_EQ(out_.str(),
            "tarvelctl installs, configures and controls the tarvel web filter (tarvel.dll).\n\n"
            "usage: tarvelctl COMMAND [ARGUMENTS] [OPTIONS]\n\ncommands:\n"
            "  block       block a host\n"
            "  list new    make a list\n"
            "  list check  check a list\n"
            "  status      show everything\n"
            "\n\"tarvelctl COMMAND --help\" describes one command.\n"
            "Exit codes: 0 success, 1 the command failed, 2 wrong usage.\n"
            "A note.\n");
  EXPECT_EQ(err_.str(), "");
}

TEST_F(ShellTest, CommandHelpInEveryForm) {
  const std::string expected =
      "usage: tarvelctl block HOST [--persist] [--dll PATH]\n\nblock a host\n\nAdds HOST.\n";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"block", "--help"}, {"block", "x", "-h"}, {"help", "block"}, {"block", "/?"}}) {
    EXPECT_EQ(Run(args), kExitOk);
    EXPECT_EQ(out_.str(), expected);
  }
  EXPECT_EQ(calls_, 0);
}

TEST_F(ShellTest, GroupHelp) {
  EXPECT_EQ(Run({"list", "--help"}), kExitOk);
  EXPECT_EQ(out_.str().substr(0, 60),
            "tarvelctl list commands:\n  list new    make a list\n  list ch");
  EXPECT_EQ(out_.str().find("status"), std::string::npos);
}

TEST_F(ShellTest, ExceptionBecomesOneLine) {
  Shell shell({{"boom",
                "",
                0,
                0,
                {},
                {},
                "fails",
                "",
                [](const Invocation&, Console&) -> int { throw std::runtime_error("no memory"); }}},
              "");
  Console console{out_, err_};
  EXPECT_EQ(shell.Run({"boom"}, console), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: internal error: no memory\n");
}

}  // namespace
}  // namespace tarvel::ctl
