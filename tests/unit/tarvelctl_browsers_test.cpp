// tarvelctl browsers over the fake machine's registry: apply and remove
// round trips, the administrator's own values kept, a failure at any write
// undone, and what status says.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "tests/testing/tarvelctl_fake_machine.h"
#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/browser_policies.h"
#include "tools/tarvelctl/commands.h"

namespace tarvel::ctl {
namespace {

using testing::FakeMachine;
using testing::FakePolicyRegistry;

constexpr CatalogKind k64 = CatalogKind::k64;
constexpr CatalogKind k32 = CatalogKind::k32;
constexpr char kChrome[] = "Software\\Policies\\Google\\Chrome";
constexpr char kEdge[] = "Software\\Policies\\Microsoft\\Edge";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Browsers : public ::testing::Test {
 protected:
  Browsers() : m_(folder_.path()) {}

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    return Shell(AllCommands(m_), "").Run(args, console);
  }
  RegValue Value(CatalogKind view, const std::string& key, const std::string& name) {
    return m_.policies.Read(view, key, name);
  }

  tarvel::testing::TempFolder folder_;
  FakeMachine m_;
  std::ostringstream out_, err_;
};

TEST_F(Browsers, ApplySetsEveryPolicyInBothViewsAndRemoveTakesThemAllBack) {
  const auto before = m_.policies.values;
  ASSERT_EQ(Run({"browsers", "apply"}), kExitOk) << err_.str();
  for (CatalogKind view : {k64, k32}) {
    for (const BrowserPolicy& p : PlannedPolicies(SafeLevel::kStrict, SafeLevel::kModerate)) {
      EXPECT_EQ(Value(view, p.key, p.name), p.value) << p.browser << " " << p.name;
    }
  }
  EXPECT_EQ(Value(k64, kEdge, "ForceBingSafeSearch"), RegValue::Number(2));
  EXPECT_EQ(Value(k64, kChrome, "ForceYouTubeRestrict"), RegValue::Number(1));
  const auto applied = m_.policies.values;
  ASSERT_EQ(Run({"browsers", "apply"}), kExitOk);
  EXPECT_EQ(m_.policies.values, applied) << "a second apply changed something";
  ASSERT_EQ(Run({"browsers", "remove"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.policies.values, before);
}

TEST_F(Browsers, TheAdministratorsOwnValuesStay) {
  m_.policies.values[{k64, kChrome, "QuicAllowed"}] = RegValue::Number(1);
  m_.policies.values[{k64, kEdge, "DnsOverHttpsMode"}] = RegValue::Text("automatic");
  const auto before = m_.policies.values;
  ASSERT_EQ(Run({"browsers", "apply"}), kExitOk);
  EXPECT_NE(out_.str().find("Chrome QuicAllowed is 1, set by other means: left as it is"),
            std::string::npos)
      << out_.str();
  EXPECT_EQ(Value(k64, kChrome, "QuicAllowed"), RegValue::Number(1));
  ASSERT_EQ(Run({"browsers", "show"}), kExitOk);
  EXPECT_NE(out_.str().find("Chrome   QuicAllowed = 1 (set by other means)"), std::string::npos)
      << out_.str();
  EXPECT_NE(out_.str().find("Chrome   NetworkServiceSandboxEnabled = 0 (set by tarvelctl)"),
            std::string::npos);
  ASSERT_EQ(Run({"browsers", "remove"}), kExitOk);
  EXPECT_EQ(m_.policies.values, before);
}

// A later apply with a level off takes the earlier apply's value back.
TEST_F(Browsers, LevelsChangeAndOffRemoves) {
  ASSERT_EQ(Run({"browsers", "apply", "--youtube", "strict"}), kExitOk);
  EXPECT_EQ(Value(k64, kEdge, "ForceYouTubeRestrict"), RegValue::Number(2));
  ASSERT_EQ(Run({"browsers", "apply", "--youtube", "off", "--safesearch", "moderate"}), kExitOk);
  EXPECT_EQ(Value(k64, kEdge, "ForceYouTubeRestrict").kind, RegValue::Kind::kAbsent);
  EXPECT_EQ(Value(k32, kEdge, "ForceBingSafeSearch"), RegValue::Number(1));
}

TEST_F(Browsers, AFailureAtAnyWriteLeavesNothingHalfApplied) {
  m_.policies.values[{k64, kChrome, "QuicAllowed"}] = RegValue::Number(1);
  ASSERT_EQ(Run({"browsers", "apply"}), kExitOk);
  const auto applied = m_.policies.values;
  const int steps = m_.policies.steps;
  ASSERT_EQ(Run({"browsers", "remove"}), kExitOk);
  const auto removed = m_.policies.values;
  const int remove_steps = m_.policies.steps - steps;
  struct Row {
    const char* command;
    int steps;
    const std::map<FakePolicyRegistry::Place, RegValue>& from;
  };
  for (const Row& row : {Row{"apply", steps, removed}, Row{"remove", remove_steps, applied}}) {
    for (int step = 1; step <= row.steps; ++step) {
      SCOPED_TRACE(std::string(row.command) + " fails at step " + std::to_string(step));
      m_.policies.values = row.from;
      m_.policies.steps = 0;
      m_.policies.fail_at = step;
      EXPECT_EQ(Run({"browsers", row.command}), kExitFailed);
      m_.policies.fail_at = 0;
      EXPECT_EQ(m_.policies.values, row.from);
    }
  }
}

TEST_F(Browsers, RefusalsWriteNothing) {
  struct Row {
    const char* name;
    std::vector<std::string> command;
    bool admin;
    int code;
  };
  const Row rows[] = {
      {"BadLevel", {"browsers", "apply", "--safesearch", "high"}, true, kExitUsage},
      {"NotAdministratorApply", {"browsers", "apply"}, false, kExitFailed},
      {"NotAdministratorRemove", {"browsers", "remove"}, false, kExitFailed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_.admin = row.admin;
    EXPECT_EQ(Run(row.command), row.code);
    EXPECT_TRUE(m_.policies.values.empty());
    EXPECT_EQ(err_.str().find('\n'), err_.str().size() - 1) << "one line: " << err_.str();
  }
}

// status: whether the policies are applied, and a warning for an installed
// Chrome or Edge whose network service stays sandboxed.
TEST_F(Browsers, StatusWarnsOfASandboxedNetworkService) {
  m_.policies.keys.insert(
      {k64, "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\chrome.exe"});
  ASSERT_EQ(Run({"status"}), kExitOk);
  EXPECT_NE(out_.str().find("browser policies: not applied (tarvelctl browsers apply)\n"
                            "warning: Chrome's traffic may bypass tarvel: run tarvelctl browsers "
                            "apply\n"),
            std::string::npos)
      << out_.str();
  EXPECT_EQ(out_.str().find("Edge's traffic"), std::string::npos);
  ASSERT_EQ(Run({"browsers", "apply"}), kExitOk);
  ASSERT_EQ(Run({"status"}), kExitOk);
  EXPECT_EQ(out_.str().find("may bypass tarvel"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("browser policies: applied ("), std::string::npos);
}

// --- The hosts file's SafeSearch block ----------------------------------------------

struct HostsRow {
  const char* name;
  std::string hosts;
};

class HostsBlock : public ::testing::TestWithParam<HostsRow> {};

TEST_P(HostsBlock, AddedReplacedAndTakenOutByteForByte) {
  const std::string& hosts = GetParam().hosts;
  const std::string added = HostsWithBlock(hosts, {"1.2.3.4 www.google.com"});
  EXPECT_EQ(added.rfind(hosts, 0), 0u) << "the file's own bytes changed";
  const bool crlf =
      hosts.find("\r\n") != std::string::npos || hosts.find('\n') == std::string::npos;
  EXPECT_NE(added.find(crlf ? "1.2.3.4 www.google.com\r\n" : "1.2.3.4 www.google.com\n"),
            std::string::npos);
  const std::string replaced = HostsWithBlock(added, {"5.6.7.8 www.bing.com"});
  EXPECT_EQ(replaced.find("www.google.com"), std::string::npos);
  EXPECT_EQ(HostsWithBlock(replaced, {}), hosts);
  EXPECT_EQ(HostsWithBlock(hosts, {}), hosts) << "no block, nothing taken";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HostsBlock,
    ::testing::Values(HostsRow{"NoFile", ""},
                      HostsRow{"WindowsLineEndings",
                               "# Copyright (c) Microsoft\r\n127.0.0.1 localhost\r\n"
                               "10.0.0.5 intranet.school\r\n"},
                      HostsRow{"UnixLineEndings", "127.0.0.1 localhost\n"},
                      HostsRow{"NoLineEndAtTheEnd", "127.0.0.1 localhost\r\n10.0.0.5 nas"},
                      HostsRow{"BlankLinesKept", "\r\n\r\n127.0.0.1 localhost\r\n\r\n"}),
    [](const ::testing::TestParamInfo<HostsRow>& info) { return std::string(info.param.name); });

TEST_F(Browsers, HostsLinesAppliedAndRemovedWithTheAdministratorsLinesKept) {
  const std::string hosts = (folder_.path() / "hosts").string();
  const std::string own = "# hosts\r\n10.0.0.5 intranet.school\r\n";
  { std::ofstream(hosts, std::ios::binary) << own; }
  m_.addresses["forcesafesearch.google.com"] = {"216.239.38.120"};
  m_.addresses["strict.bing.com"] = {"204.79.197.220"};
  m_.addresses["safe.duckduckgo.com"] = {"52.250.41.2"};
  m_.addresses["restrictmoderate.youtube.com"] = {"216.239.38.119", "2001:4860:4802:32::78"};
  ASSERT_EQ(Run({"browsers", "apply", "--hosts", hosts}), kExitOk) << err_.str();
  std::string bytes = ReadAll(hosts);
  EXPECT_EQ(bytes.rfind(own, 0), 0u);
  EXPECT_NE(bytes.find("216.239.38.120 www.google.com\r\n"), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("2001:4860:4802:32::78 youtubei.googleapis.com\r\n"), std::string::npos);
  ASSERT_EQ(Run({"browsers", "show", "--hosts", hosts}), kExitOk);
  EXPECT_NE(out_.str().find(": 13 (set by tarvelctl)"), std::string::npos) << out_.str();
  ASSERT_EQ(Run({"browsers", "remove", "--hosts", hosts}), kExitOk) << err_.str();
  EXPECT_EQ(ReadAll(hosts), own);
  EXPECT_TRUE(m_.policies.values.empty());
}

// A SafeSearch host that cannot be resolved: the policies are applied, no
// hosts line is written, and the command says so.
TEST_F(Browsers, UnresolvedSafeSearchHostWritesNoHostsLines) {
  const std::string hosts = (folder_.path() / "hosts").string();
  { std::ofstream(hosts, std::ios::binary) << "127.0.0.1 localhost\r\n"; }
  m_.addresses["forcesafesearch.google.com"] = {"216.239.38.120"};
  ASSERT_EQ(Run({"browsers", "apply", "--hosts", hosts}), kExitOk);
  EXPECT_NE(out_.str().find("cannot resolve "), std::string::npos) << out_.str();
  EXPECT_EQ(ReadAll(hosts), "127.0.0.1 localhost\r\n");
  EXPECT_FALSE(m_.policies.values.empty());
}

// A hosts file that cannot be written undoes the registry's changes.
TEST_F(Browsers, HostsThatCannotBeWrittenUndoesTheRegistry) {
  const std::string hosts = (folder_.path() / "hosts-folder").string();
  std::filesystem::create_directory(hosts);
  m_.addresses["restrictmoderate.youtube.com"] = {"216.239.38.119"};
  EXPECT_EQ(Run({"browsers", "apply", "--safesearch", "off", "--hosts", hosts}), kExitFailed);
  EXPECT_TRUE(m_.policies.values.empty()) << "the registry was left half applied";
}

}  // namespace
}  // namespace tarvel::ctl
