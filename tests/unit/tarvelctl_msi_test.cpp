// What an installer package runs tarvelctl for, over a fake machine: install
// with settings given as options, the record of a run with its commit and
// rollback, an upgrade in place, the retiring of an older version's modules
// and the purge.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/testing/tarvelctl_fake_machine.h"
#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/install_record.h"
#include "tools/tarvelctl/list_file.h"
#include "tools/tarvelctl/pe.h"

namespace tarvel::ctl {
namespace {

namespace fs = std::filesystem;
using tarvel::testing::StoredFlag;
using testing::FakeMachine;
using testing::ListBytes;
using testing::PeImage;
using testing::StoredPath;

constexpr CatalogKind k64 = CatalogKind::k64;
constexpr CatalogKind k32 = CatalogKind::k32;

class InstallerRuns : public ::testing::Test {
 protected:
  InstallerRuns() : m_(folder_.path()) {
    for (const auto& [sub, machine] : {std::pair{"x64", kMachineX64}, {"x86", kMachineX86}}) {
      fs::create_directories(folder_.path() / "2.0" / sub);
      folder_.Write(std::string("2.0/") + sub + "/tarvel.dll", PeImage(machine));
    }
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    return Shell(AllCommands(m_), "").Run(args, console);
  }
  // The package's command line with every property left out, for a version
  // folder; `more` puts options in place of some.
  std::vector<std::string> PackageInstall(const std::string& version,
                                          std::map<std::string, std::string> more = {}) {
    std::vector<std::string> args = {"install", "--replace", "--record"};
    args.push_back("--dll");
    args.push_back(Module(version, "x64"));
    args.push_back("--dll32");
    args.push_back(Module(version, "x86"));
    for (const char* option : {"--white-only", "--smart", "--https", "--lock", "--blacklist",
                               "--whitelist", "--browser-policies"}) {
      args.push_back(option);
      args.push_back(more[option]);
    }
    return args;
  }
  std::string Module(const std::string& version, const char* sub) const {
    return (version.empty() ? folder_.path() : folder_.path() / version).string() + "/" + sub +
           "/tarvel.dll";
  }
  std::string TarvelPath(CatalogKind kind) {
    return m_.windows.paths[kind][kTarvelLayeredGuid.ToString()];
  }
  std::string Data(const std::string& name) const {
    return folder_.Path("cwd/%ProgramData%/Tarvel/" + name);
  }
  std::string Setting(CatalogKind view, const std::string& name) {
    const auto& values = m_.keys[view].values;
    const auto it = values.find(name);
    return it == values.end() ? "absent" : it->second;
  }
  bool Recorded() {
    return m_.policies.Read(k64, kRecordKey, kRecordName).kind != RegValue::Kind::kAbsent;
  }

  tarvel::testing::TempFolder folder_;  // before m_, which lives in it
  FakeMachine m_;
  std::ostringstream out_;
  std::ostringstream err_;
};

// --- settings given as options ---------------------------------------------------

TEST_F(InstallerRuns, EmptyOptionsLeaveTheSettings) {
  for (CatalogKind view : {k64, k32}) {
    m_.keys[view].key_exists = true;
    m_.keys[view].values = {{"iswhi", StoredFlag('1')},
                            {"islck", StoredFlag('0')},
                            {"blacklib", StoredPath("C:\\lists\\black.lst")}};
  }
  const auto before = m_.keys[k32].values;
  ASSERT_EQ(Run(PackageInstall("")), kExitOk) << err_.str();
  EXPECT_EQ(TarvelPath(k64), Module("", "x64"));
  EXPECT_EQ(m_.keys[k64].values, before);
  EXPECT_EQ(m_.keys[k32].values, before);
  EXPECT_EQ(m_.policies.Read(k64, "Software\\Policies\\Google\\Chrome", "QuicAllowed").kind,
            RegValue::Kind::kAbsent);
}

TEST_F(InstallerRuns, AFreshInstallLocksWhereNoLockWasSet) {
  ASSERT_EQ(Run(PackageInstall("")), kExitOk) << err_.str();
  EXPECT_EQ(Setting(k64, "islck"), StoredFlag('1'));
  EXPECT_EQ(Setting(k32, "islck"), StoredFlag('1'));
  EXPECT_EQ(Setting(k64, "iswhi"), "absent");
}

TEST_F(InstallerRuns, FlagOptionsWriteBothViews) {
  ASSERT_EQ(Run(PackageInstall("", {{"--white-only", "on"},
                                    {"--smart", "0"},
                                    {"--https", "1"},
                                    {"--lock", "off"},
                                    {"--browser-policies", "1"}})),
            kExitOk)
      << err_.str();
  for (CatalogKind view : {k64, k32}) {
    EXPECT_EQ(Setting(view, "iswhi"), StoredFlag('1'));
    EXPECT_EQ(Setting(view, "issma"), StoredFlag('0'));
    EXPECT_EQ(Setting(view, "issni"), StoredFlag('1'));
    EXPECT_EQ(Setting(view, "islck"), StoredFlag('0'));
    EXPECT_EQ(m_.policies.Read(view, "Software\\Policies\\Google\\Chrome", "QuicAllowed"),
              RegValue::Number(0));
  }
  EXPECT_NE(out_.str().find("iswhi = on for 64-bit and 32-bit programs\n"), std::string::npos);
  EXPECT_NE(out_.str().find("islck = off: every user may change the running filter\n"),
            std::string::npos);
}

struct UsageRow {
  const char* name;
  std::vector<std::string> args;
  std::string error;
};

class InstallerUsage : public InstallerRuns, public ::testing::WithParamInterface<UsageRow> {};

TEST_P(InstallerUsage, OneLineAndNoChange) {
  const auto before = m_.windows.State();
  EXPECT_EQ(Run(GetParam().args), kExitUsage);
  EXPECT_EQ(err_.str(), "tarvelctl: " + GetParam().error + "\n");
  EXPECT_EQ(m_.windows.State(), before);
  EXPECT_FALSE(Recorded());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallerUsage,
    ::testing::Values(UsageRow{"FlagOfAnotherWord",
                               {"install", "--smart", "yes"},
                               "--smart takes on, off, 1, 0 or \"\""},
                      UsageRow{"LockTwice",
                               {"install", "--unlocked", "--lock", "on"},
                               "--unlocked and --lock exclude each other"},
                      UsageRow{"CommitWithMore",
                               {"install", "--commit", "--record"},
                               "--commit and --rollback take no other option"},
                      UsageRow{"KeepWithoutRetire",
                               {"uninstall", "--keep-installed"},
                               "--keep-installed goes with --retire DIR"},
                      UsageRow{"KeepAndPurge",
                               {"uninstall", "--retire", "x", "--keep-installed", "--purge"},
                               "--keep-installed and --purge exclude each other"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- list files ------------------------------------------------------------------

struct ListRow {
  const char* name;
  std::string source;  // the file handed over
  std::string placed;  // the list file made of it
  std::string how;
};

class InstallerLists : public InstallerRuns, public ::testing::WithParamInterface<ListRow> {};

TEST_P(InstallerLists, PlacedUnderProgramDataAndNamed) {
  folder_.Write("cwd/given", GetParam().source);
  ASSERT_EQ(Run(PackageInstall("", {{"--blacklist", "given"}})), kExitOk) << err_.str();
  EXPECT_EQ(folder_.Read("cwd/%ProgramData%/Tarvel/blacklist.lst"), GetParam().placed);
  for (CatalogKind view : {k64, k32}) {
    EXPECT_EQ(Setting(view, "blacklib"), StoredPath(Data("blacklist.lst")));
    EXPECT_EQ(Setting(view, "whitelib"), "absent");
  }
  std::string how = GetParam().how;
  how.replace(how.find('$'), 1, folder_.Path("cwd"));
  EXPECT_NE(out_.str().find("blacklib = " + Data("blacklist.lst") +
                            " for 64-bit and 32-bit programs, " + how + ": loads: 2 entries\n"),
            std::string::npos)
      << out_.str();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallerLists,
    ::testing::Values(ListRow{"TextImported", "# blocked\nbad.example\n\n0.0.0.0 worse.example\n",
                              ListBytes({"bad.example", "worse.example"}),
                              "imported from $/given (2 patterns)"},
                      ListRow{"ListFileCopied", ListBytes({"a.example", "b.example"}) + "tail",
                              ListBytes({"a.example", "b.example"}) + "tail",
                              "copied from $/given (2 entries)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstallerRuns, AListThatIsNeitherChangesNothing) {
  folder_.Write("cwd/given", std::string("TARVELINTERNETFILTER\x01", 21));
  EXPECT_EQ(Run(PackageInstall("", {{"--whitelist", "given"}})), kExitFailed);
  EXPECT_EQ(err_.str().rfind(
                "tarvelctl: install failed, nothing was changed: " + folder_.Path("cwd/given") +
                    " is neither a tarvel list file nor a text list: line 1: ",
                0),
            0u)
      << err_.str();
  EXPECT_EQ(m_.windows.State(), testing::FakeWindows::Windows64().State());
  EXPECT_FALSE(Recorded());
}

// --- the record, its commit and its rollback -----------------------------------

TEST_F(InstallerRuns, AnAddedInstallRollsBackToNothing) {
  const auto catalogs = m_.windows.State();
  folder_.Write("cwd/given", "bad.example\n");
  ASSERT_EQ(Run(PackageInstall("", {{"--blacklist", "given"}, {"--smart", "on"}})), kExitOk)
      << err_.str();
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "install record: msirun under HKLM\\Software\\Tarvel (tarvel was in no catalog)");
  ASSERT_EQ(Run({"install", "--rollback"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.windows.State(), catalogs);
  EXPECT_EQ(m_.keys[k64].values, (std::map<std::string, std::string>{}));
  EXPECT_EQ(m_.keys[k32].values, (std::map<std::string, std::string>{}));
  EXPECT_FALSE(fs::exists(Data("blacklist.lst")));
  EXPECT_FALSE(Recorded());
  EXPECT_NE(out_.str().find("64-bit catalog: removed 7 entries\n"), std::string::npos);
}

TEST_F(InstallerRuns, AnUpgradeRollsBackToTheOldModulesAndSettings) {
  folder_.Write("cwd/old", "old.example\n");
  folder_.Write("cwd/new", "new.example\n");
  ASSERT_EQ(Run(PackageInstall("", {{"--blacklist", "old"}, {"--browser-policies", "1"}})),
            kExitOk);
  ASSERT_EQ(Run({"install", "--commit"}), kExitOk);
  ASSERT_EQ(Run({"config", "set", "islck", "off"}), kExitOk);
  const auto catalogs = m_.windows.State();
  const auto paths = m_.windows.paths;
  const auto settings = m_.keys;
  const std::string old_list = folder_.Read("cwd/%ProgramData%/Tarvel/blacklist.lst");

  ASSERT_EQ(
      Run(PackageInstall(
          "2.0", {{"--blacklist", "new"}, {"--white-only", "on"}, {"--browser-policies", "0"}})),
      kExitOk)
      << err_.str();
  EXPECT_EQ(m_.windows.State(), catalogs);  // ids and order kept
  EXPECT_EQ(TarvelPath(k32), Module("2.0", "x86"));
  EXPECT_EQ(Setting(k64, "islck"), StoredFlag('0'));  // --lock "" on an upgrade
  EXPECT_EQ(Setting(k32, "iswhi"), StoredFlag('1'));
  EXPECT_TRUE(fs::exists(Data("blacklist.lst.before-install")));

  ASSERT_EQ(Run({"install", "--rollback"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.windows.State(), catalogs);
  EXPECT_EQ(m_.windows.paths, paths);
  for (CatalogKind view : {k64, k32}) EXPECT_EQ(m_.keys[view].values, settings.at(view).values);
  EXPECT_EQ(folder_.Read("cwd/%ProgramData%/Tarvel/blacklist.lst"), old_list);
  EXPECT_FALSE(fs::exists(Data("blacklist.lst.before-install")));
  EXPECT_FALSE(Recorded());
  EXPECT_NE(out_.str().find("browser policies: tarvelctl had set some before; they stay as the "
                            "run left them\n"),
            std::string::npos);
}

// An upgrade whose package retired the old modules and then failed.
TEST_F(InstallerRuns, ARollbackToModulesThatAreGoneTakesTarvelOut) {
  ASSERT_EQ(Run(PackageInstall("")), kExitOk);
  ASSERT_EQ(Run({"install", "--commit"}), kExitOk);
  ASSERT_EQ(Run(PackageInstall("2.0")), kExitOk);
  fs::remove(Module("", "x86"));
  ASSERT_EQ(Run({"install", "--rollback"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            Module("", "x86") +
                " is gone, so tarvel is taken out of the catalogs rather than pointed back at it; "
                "install it again");
  EXPECT_EQ(m_.windows.State(), testing::FakeWindows::Windows64().State());
}

TEST_F(InstallerRuns, ACommitKeepsTheRunAndDropsTheRecord) {
  folder_.Write("cwd/list", "a.example\n");
  ASSERT_EQ(Run(PackageInstall("", {{"--whitelist", "list"}})), kExitOk);
  ASSERT_EQ(Run(PackageInstall("2.0", {{"--whitelist", "list"}})), kExitOk);
  const auto catalogs = m_.windows.State();
  const auto settings = m_.keys;
  ASSERT_EQ(Run({"install", "--commit"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(), "removed " + Data("whitelist.lst.before-install") +
                            "\ninstall record removed: the install stays as it is\n");
  EXPECT_EQ(m_.windows.State(), catalogs);
  EXPECT_EQ(TarvelPath(k64), Module("2.0", "x64"));
  for (CatalogKind view : {k64, k32}) EXPECT_EQ(m_.keys[view].values, settings.at(view).values);
  EXPECT_FALSE(Recorded());
}

TEST_F(InstallerRuns, WithoutARecordNothingHappens) {
  for (const char* finish : {"--commit", "--rollback"}) {
    const auto catalogs = m_.windows.State();
    ASSERT_EQ(Run({"install", finish}), kExitOk) << err_.str();
    EXPECT_EQ(out_.str(), std::string("no install record: nothing to ") +
                              (finish == std::string("--commit") ? "commit" : "roll back") + "\n");
    EXPECT_EQ(m_.windows.State(), catalogs);
  }
}

TEST(InstallRecordText, RoundTripsEveryLine) {
  InstallRecord record;
  record.added = false;
  record.modules = {{k64, kTarvelLayeredGuid, "C:\\Program Files\\Tarvel\\1.0\\x64\\tarvel.dll"},
                    {k32, kTarvelChainGuid, "%ProgramFiles%\\T\\x86\\tarvel.dll"}};
  record.settings = {{k64, "islck", true, "0"},
                     {k32, "blacklib", true, "C:\\Program Data\\b.lst"},
                     {k32, "iswhi", false, ""}};
  record.lists = {{"C:\\D\\blacklist.lst", "C:\\D\\blacklist.lst.before-install"},
                  {"C:\\D\\whitelist.lst", ""}};
  record.browsers = InstallRecord::Browsers::kNone;
  const std::string text = RecordText(record);
  EXPECT_EQ(
      text,
      "replaced\n"
      "module 64-bit {F311CA08-328F-407E-A63F-DCD52C2FAB4C} C:\\Program "
      "Files\\Tarvel\\1.0\\x64\\tarvel.dll\n"
      "module 32-bit {9E47F067-0FAC-41C5-A26C-5E4B6AACD714} %ProgramFiles%\\T\\x86\\tarvel.dll\n"
      "setting 64-bit islck 0\n"
      "setting 32-bit blacklib C:\\Program Data\\b.lst\n"
      "setting 32-bit iswhi\n"
      "list C:\\D\\blacklist.lst|C:\\D\\blacklist.lst.before-install\n"
      "list C:\\D\\whitelist.lst|\n"
      "browsers none\n");
  InstallRecord read;
  ASSERT_TRUE(ParseRecord(text, &read));
  EXPECT_EQ(read, record);
  for (const char* wrong : {"", "kept\n", "added\nmodule 64-bit {F311CA08} x\n", "added\nmore\n"}) {
    EXPECT_FALSE(ParseRecord(wrong, &read)) << wrong;
  }
}

// --- retiring a version's modules, and the purge -------------------------------

TEST_F(InstallerRuns, RetireRemovesFreeModulesAndMarksHeldOnes) {
  ASSERT_EQ(Run(PackageInstall("")), kExitOk);
  ASSERT_EQ(Run(PackageInstall("2.0")), kExitOk);
  const auto catalogs = m_.windows.State();
  const auto settings = m_.keys;
  m_.files.held.insert(Module("", "x86"));
  ASSERT_EQ(Run({"uninstall", "--retire", folder_.path().string(), "--keep-installed"}), kExitOk)
      << err_.str();
  const std::string root = folder_.path().string();
  EXPECT_EQ(out_.str(), "removed " + Module("", "x64") + "\n" + Module("", "x86") +
                            " is in use: it and its folder go at the next restart\n" + root +
                            " goes at the next restart too, if nothing else is in it by then\n");
  EXPECT_FALSE(fs::exists(Module("", "x64")));
  // The module first, then its folder, then theirs.
  EXPECT_EQ(m_.files.marked, (std::vector<std::string>{Module("", "x86"), root + "/x86", root}));
  EXPECT_EQ(m_.windows.State(), catalogs);
  for (CatalogKind view : {k64, k32}) EXPECT_EQ(m_.keys[view].values, settings.at(view).values);
}

TEST_F(InstallerRuns, RetireLeavesAModuleTheCatalogNames) {
  ASSERT_EQ(Run(PackageInstall("2.0")), kExitOk);
  EXPECT_EQ(Run({"uninstall", "--retire", (folder_.path() / "2.0").string(), "--keep-installed"}),
            kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: uninstall incomplete: " + Module("2.0", "x64") +
                            " stays: the 64-bit catalog names it\n");
  EXPECT_TRUE(fs::exists(Module("2.0", "x64")));
  EXPECT_TRUE(fs::exists(Module("2.0", "x86")));
  // A whole uninstall takes the entries out first.
  ASSERT_EQ(Run({"uninstall", "--retire", (folder_.path() / "2.0").string()}), kExitOk);
  EXPECT_FALSE(fs::exists(Module("2.0", "x64")));
  EXPECT_EQ(m_.windows.State(), testing::FakeWindows::Windows64().State());
}

// An older version's removal that nothing marks as an upgrade's (Wine's
// msiexec sets no UPGRADINGPRODUCTCODE): the catalogs name the newer
// version's modules, so only the older folder goes.
TEST_F(InstallerRuns, RetireOfAnOlderVersionKeepsTheNewerInstalled) {
  ASSERT_EQ(Run(PackageInstall("")), kExitOk);
  ASSERT_EQ(Run(PackageInstall("2.0")), kExitOk);
  const auto catalogs = m_.windows.State();
  ASSERT_EQ(Run({"uninstall", "--retire", folder_.path().string()}), kExitOk) << err_.str();
  EXPECT_EQ(m_.windows.State(), catalogs);
  EXPECT_FALSE(fs::exists(Module("", "x64")));
  EXPECT_TRUE(fs::exists(Module("2.0", "x64")));
}

TEST_F(InstallerRuns, PurgeRemovesTheDataTheSettingsAndThePolicies) {
  folder_.Write("cwd/list", "a.example\n");
  ASSERT_EQ(Run(PackageInstall("", {{"--whitelist", "list"}, {"--browser-policies", "1"}})),
            kExitOk);
  ASSERT_EQ(Run({"install", "--commit"}), kExitOk);
  fs::create_directories(Data("categories"));
  folder_.Write("cwd/%ProgramData%/Tarvel/categories/ads.1.tvcat", "held");
  m_.files.held.insert(folder_.Path("cwd/%ProgramData%/Tarvel/categories/ads.1.tvcat"));
  ASSERT_EQ(Run({"uninstall", "--purge"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("removed " + folder_.Path("cwd/%ProgramData%/Tarvel") +
                            " (1 file; 1 in use go at the next restart)\n"
                            "removed HKLM\\Software\\Tarvel (64-bit view)\n"
                            "removed HKLM\\Software\\Tarvel (32-bit view)\n"),
            std::string::npos)
      << out_.str();
  EXPECT_FALSE(fs::exists(Data("whitelist.lst")));
  EXPECT_EQ(m_.files.marked.back(), folder_.Path("cwd/%ProgramData%/Tarvel"));
  EXPECT_EQ(m_.keys[k64].values, (std::map<std::string, std::string>{}));
  EXPECT_EQ(m_.keys[k32].values, (std::map<std::string, std::string>{}));
  EXPECT_EQ(m_.policies.values, (decltype(m_.policies.values){}));
}

}  // namespace
}  // namespace tarvel::ctl
