// The Windows commands end to end over a fake machine: fake catalogs and
// registry views, a shared block edited by the real list code, real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "state/url_list.h"
#include "tests/testing/tarvelctl_fake_machine.h"
#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/list_file.h"
#include "tools/tarvelctl/pe.h"

namespace tarvel::ctl {
namespace {

namespace fs = std::filesystem;
using tarvel::testing::StoredFlag;
using testing::FakeMachine;
using testing::FakeWindows;
using testing::ListBytes;
using testing::StoredPath;

constexpr CatalogKind k64 = CatalogKind::k64;
constexpr CatalogKind k32 = CatalogKind::k32;

class MachineCommands : public ::testing::Test {
 protected:
  // The package as it ships: the other kind's tarvelctl.exe beside this one.
  MachineCommands() : m_(folder_.path()) { m_.AddOtherTool(); }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    const Shell shell(AllCommands(m_), "");
    return shell.Run(args, console);
  }
  void Install() {
    ASSERT_EQ(Run({"install"}), kExitOk) << err_.str();
    m_.windows.calls.clear();
    m_.windows.steps = 0;
  }
  // The list paths set in both views, as config set leaves them.
  void SetLists(const std::string& white, const std::string& black) {
    ASSERT_EQ(Run({"config", "set", "whitelib", white}), kExitOk) << err_.str();
    ASSERT_EQ(Run({"config", "set", "blacklib", black}), kExitOk) << err_.str();
  }
  std::string Entry(ListKind kind, int slot) const {
    const UrlList list = ListOf(*m_.block, kind);
    return std::string(list.entries[slot], EntryLength(list.entries[slot]));
  }

  tarvel::testing::TempFolder folder_;  // before m_, which lives in it
  FakeMachine m_;
  std::ostringstream out_;
  std::ostringstream err_;
};

// --- install and uninstall ----------------------------------------------------

TEST_F(MachineCommands, InstallTakesTheModulesOfThePackage) {
  ASSERT_EQ(Run({"install"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.windows.paths[k64][kTarvelLayeredGuid.ToString()], folder_.Path("x64/tarvel.dll"));
  EXPECT_EQ(m_.windows.paths[k32][kTarvelLayeredGuid.ToString()], folder_.Path("x86/tarvel.dll"));
  EXPECT_EQ(err_.str(), "");
  EXPECT_NE(out_.str().find("tarvel is installed."), std::string::npos);
  EXPECT_EQ(m_.windows.state.values[k64].size(), 6u);
}

struct InstallRefusal {
  const char* name;
  std::function<void(FakeMachine&, const fs::path&)> setup;
  std::vector<std::string> args;
  std::string error;  // $ stands for the package folder
};

class InstallRefusals : public MachineCommands,
                        public ::testing::WithParamInterface<InstallRefusal> {};

TEST_P(InstallRefusals, OneLineAndNoChange) {
  GetParam().setup(m_, folder_.path());
  const auto before = m_.windows.State();
  const auto expand = [&](std::string text) {
    for (std::size_t at; (at = text.find('$')) != std::string::npos;) {
      text.replace(at, 1, folder_.path().string());
    }
    return text;
  };
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) args.push_back(expand(arg));
  EXPECT_EQ(Run(args), kExitFailed);
  const std::string error = expand(GetParam().error);
  EXPECT_EQ(err_.str(), "tarvelctl: " + error + "\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(m_.windows.State(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallRefusals,
    ::testing::Values(
        InstallRefusal{"NotAdministrator",
                       [](FakeMachine& m, const fs::path&) { m.admin = false; },
                       {"install"},
                       "install needs administrator rights: run tarvelctl from an elevated "
                       "command prompt (Run as administrator)"},
        InstallRefusal{"ThirtyTwoBitToolOn64BitWindows",
                       [](FakeMachine& m, const fs::path&) {
                         m.wow64 = true;
                         m.own = k32;
                       },
                       {"install"},
                       "this is the 32-bit tarvelctl on 64-bit Windows, which reaches only the "
                       "32-bit catalog; run install with x64\\tarvelctl.exe"},
        InstallRefusal{
            "No32BitModule",
            [](FakeMachine&, const fs::path& f) { fs::remove(f / "x86" / "tarvel.dll"); },
            {"install"},
            "no 32-bit tarvel.dll at $/x86/tarvel.dll (name it with --dll32 PATH)"},
        InstallRefusal{"WrongMachine",
                       [](FakeMachine&, const fs::path& f) {
                         std::ofstream(f / "x86" / "tarvel.dll", std::ios::binary)
                             << testing::PeImage(kMachineX64);
                       },
                       {"install"},
                       "$/x86/tarvel.dll is not a 32-bit Windows module"},
        InstallRefusal{"NotAModule",
                       [](FakeMachine&, const fs::path& f) {
                         std::ofstream(f / "x64" / "tarvel.dll") << "text";
                       },
                       {"install"},
                       "$/x64/tarvel.dll is not a 64-bit Windows module"},
        InstallRefusal{"OtherFileName",
                       [](FakeMachine&, const fs::path&) {},
                       {"install", "--dll", "$/x64/filter.dll"},
                       "$/x64/filter.dll: the module's file must be named tarvel.dll, the name "
                       "it registers under"},
        InstallRefusal{"AlreadyInstalled",
                       [](FakeMachine& m, const fs::path&) {
                         std::vector<std::string> r;
                         EXPECT_EQ(
                             InstallTarvel(m.windows, m.windows, {"a\\tarvel.dll", "b\\tarvel.dll"},
                                           m.windows.Expander(), &r),
                             "");
                       },
                       {"install"},
                       "install failed: tarvel is already in the 64-bit catalog; run \"tarvelctl "
                       "uninstall\" first"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MachineCommands, InstallReportsARollback) {
  m_.windows.fail_at = 13;  // the one-call installation, after the twelve values
  EXPECT_EQ(Run({"install"}), kExitFailed);
  EXPECT_EQ(err_.str(),
            "tarvelctl: install failed: WSCInstallProviderAndChains64_32: error 10055; nothing "
            "was changed\n");
  EXPECT_EQ(m_.windows.State(), FakeWindows::Windows64().State());
}

TEST_F(MachineCommands, UninstallReportsAndRepeats) {
  Install();
  EXPECT_EQ(Run({"uninstall"}), kExitOk);
  EXPECT_EQ(out_.str(),
            "64-bit catalog: removed 7 entries\n32-bit catalog: removed 7 entries\n"
            "lookup values: removed 6\n"
            "Programs that hold tarvel.dll keep it until they end; restart Windows to have\n"
            "it unloaded everywhere. The settings under HKLM\\Software\\Tarvel and the list\n"
            "files stay.\n");
  EXPECT_EQ(Run({"uninstall"}), kExitOk);
  EXPECT_EQ(out_.str().substr(0, 24), "tarvel is in no catalog\n");
  m_.admin = false;
  EXPECT_EQ(Run({"uninstall"}), kExitFailed);
}

// --- settings ------------------------------------------------------------------

TEST_F(MachineCommands, ConfigSetWritesBothViewsInStoredForm) {
  ASSERT_EQ(Run({"config", "set", "iswhi", "on"}), kExitOk) << err_.str();
  ASSERT_EQ(Run({"config", "set", "issma", "off"}), kExitOk);
  ASSERT_EQ(Run({"config", "set", "issni", "on"}), kExitOk);
  ASSERT_EQ(Run({"config", "set", "whitelib", "lists/white.tvl"}), kExitOk);
  EXPECT_EQ(
      out_.str().substr(0, out_.str().find('\n')),
      "whitelib = " + folder_.Path("cwd/lists/white.tvl") + " for 64-bit and 32-bit programs");
  for (CatalogKind view : {k64, k32}) {
    EXPECT_EQ(m_.keys[view].values["iswhi"], StoredFlag('1'));
    EXPECT_EQ(m_.keys[view].values["issma"], StoredFlag('0'));
    EXPECT_EQ(m_.keys[view].values["issni"], StoredFlag('1'));
    EXPECT_EQ(m_.keys[view].values["whitelib"], StoredPath(folder_.Path("cwd/lists/white.tvl")));
  }
}

struct ConfigRefusal {
  const char* name;
  std::vector<std::string> args;
  int code;
  std::string error;
};

class ConfigRefusals : public MachineCommands,
                       public ::testing::WithParamInterface<ConfigRefusal> {};

TEST_P(ConfigRefusals, WriteNothing) {
  m_.admin = GetParam().name != std::string("NotAdministrator");
  EXPECT_EQ(Run(GetParam().args), GetParam().code);
  EXPECT_EQ(err_.str(), "tarvelctl: " + GetParam().error + "\n");
  EXPECT_TRUE(m_.keys[k64].values.empty());
  EXPECT_TRUE(m_.keys[k32].values.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConfigRefusals,
    ::testing::Values(
        ConfigRefusal{"UnknownName",
                      {"config", "set", "path", "x"},
                      kExitUsage,
                      "no setting \"path\": iswhi, issma, issni, islck, whitelib or blacklib"},
        ConfigRefusal{"FlagValue",
                      {"config", "set", "issma", "1"},
                      kExitUsage,
                      "issma takes on or off, not \"1\""},
        ConfigRefusal{"LongPath",
                      {"config", "set", "blacklib", "/" + std::string(259, 'p')},
                      kExitFailed,
                      "the path is longer than 259 characters: /" + std::string(259, 'p')},
        ConfigRefusal{"NotAdministrator",
                      {"config", "set", "iswhi", "on"},
                      kExitFailed,
                      "config set needs administrator rights: run tarvelctl from an elevated "
                      "command prompt (Run as administrator)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MachineCommands, ConfigShowTellsWhetherTheListsLoad) {
  folder_.Write("white.tvl", ListBytes({"a.example", "b.example"}));
  SetLists(folder_.Path("white.tvl"), folder_.Path("black.tvl"));
  ASSERT_EQ(Run({"config", "set", "issma", "on"}), kExitOk);
  for (CatalogKind view : {k64, k32}) {
    m_.keys[view].values["catdir"] = StoredPath("D:\\lists");
    m_.keys[view].values["cats"] = StoredPath("gambling,adult");
  }
  EXPECT_EQ(Run({"config", "show"}), kExitOk);
  EXPECT_EQ(out_.str(),
            "HKLM\\Software\\Tarvel (64-bit programs):\n"
            "  iswhi     not set (counts as off) (white-only mode)\n"
            "  issma     on (smart filter)\n"
            "  issni     not set (counts as off) (HTTPS filter)\n"
            "  islck     not set (counts as off) (changes by administrators only)\n"
            "  whitelib  " +
                folder_.Path("white.tvl") +
                " (loads: 2 entries)\n"
                "  blacklib  " +
                folder_.Path("black.tvl") + " (does not load: no file at " +
                folder_.Path("black.tvl") +
                ")\n"
                "  catdir    D:\\lists\n"
                "  cats      gambling,adult\n"
                "HKLM\\Software\\Tarvel (32-bit programs): the same\n"
                "note: the host test stays off while either list file does not load\n");
}

TEST_F(MachineCommands, StatusOfAnInstalledFilter) {
  Install();
  folder_.Write("white.tvl", ListBytes({}));
  folder_.Write("black.tvl", ListBytes({"x.example"}));
  SetLists(folder_.Path("white.tvl"), folder_.Path("black.tvl"));
  tarvel::AddUrl(*m_.block, ListKind::kBlack, "x.example");
  m_.block->smart_filter = 1;
  m_.extensions->https_filter = 1;
  m_.windows.state.values[k64].erase("1003");
  m_.windows.state.values[k32].erase("1003");
  EXPECT_EQ(Run({"status"}), kExitOk);
  const std::string out = out_.str();
  EXPECT_NE(
      out.find("64-bit catalog: tarvel layered entry 1020 (" + folder_.Path("x64/tarvel.dll") +
               ")\n"
               "  chain 1021 over 1001 MSAFD Tcpip [TCP/IP], lookup "
               "%SystemRoot%\\system32\\mswsock.dll\n"),
      std::string::npos)
      << out;
  EXPECT_NE(out.find("  chain 1023 over 1003: no lookup value, so its sockets fail with error "
                     "10106\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("lookup values under HKLM\\SYSTEM\\CurrentControlSet\\Services\\WinSock2\\"
                     "tarvel.dll: 5\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("running filter (64-bit programs): white-only mode off, smart filter on, "
                     "HTTPS filter on, unlocked, lists loaded\n"
                     "  whitelist: 0 entries, room for 2000 more additions\n"
                     "  blacklist: 1 entries, room for 1999 more additions\n"
                     "  categories: none\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(m_.loaded, std::vector<std::string>{folder_.Path("x64/tarvel.dll")});
}

TEST_F(MachineCommands, StatusOfNoInstall) {
  EXPECT_EQ(Run({"status"}), kExitOk);
  EXPECT_EQ(
      out_.str(),
      "64-bit catalog: tarvel is not installed\n32-bit catalog: tarvel is not installed\n"
      "lookup values under HKLM\\SYSTEM\\CurrentControlSet\\Services\\WinSock2\\tarvel.dll: 0\n"
      "HKLM\\Software\\Tarvel (64-bit programs):\n"
      "  iswhi     not set (counts as off) (white-only mode)\n"
      "  issma     not set (counts as off) (smart filter)\n"
      "  issni     not set (counts as off) (HTTPS filter)\n"
      "  islck     not set (counts as off) (changes by administrators only)\n"
      "  whitelib  not set, so the list does not load\n"
      "  blacklib  not set, so the list does not load\n"
      "  catdir    not set (%ProgramData%\\Tarvel\\categories)\n"
      "  cats      not set (no category at start)\n"
      "HKLM\\Software\\Tarvel (32-bit programs): the same\n"
      "note: the host test stays off while either list file does not load\n"
      "browser policies: not applied (tarvelctl browsers apply)\n"
      "running filter (64-bit programs): not installed\n"
      "running filter (32-bit programs): not installed\n");
}

// --- live control ----------------------------------------------------------------

TEST_F(MachineCommands, BlockAndUnblockReachTheRunningFilter) {
  Install();
  EXPECT_EQ(Run({"block", "ads.example"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(),
            "blocked \"ads.example\" in the running filter (64-bit programs)\n"
            "blocked \"ads.example\" in the running filter (32-bit programs)\n"
            "The change lasts while some program holds tarvel.dll; add --persist to keep it.\n");
  EXPECT_EQ(m_.runs,
            (std::vector<std::vector<std::string>>{
                {folder_.Path("x86/tarvelctl.exe"), "block", "ads.example", "--own-only"}}));
  for (FilterState* block : {m_.block.get(), m_.other->block.get()}) {
    EXPECT_EQ(block->black_count, 1);
    EXPECT_EQ(std::string(block->black_entries[0]), "ads.example");
  }
  // Again: no second slot.
  EXPECT_EQ(Run({"block", "ads.example"}), kExitOk);
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "\"ads.example\" is already in the running blacklist of 64-bit programs");
  EXPECT_EQ(m_.block->black_count, 1);
  EXPECT_EQ(m_.other->block->black_count, 1);

  EXPECT_EQ(Run({"unblock", "ADS.example"}), kExitFailed);
  EXPECT_EQ(out_.str(),
            "\"ADS.example\" is not in the running blacklist of 64-bit programs (entries compare "
            "exactly; it holds \"ads.example\")\n"
            "\"ADS.example\" is not in the running blacklist of 32-bit programs (entries compare "
            "exactly; it holds \"ads.example\")\n");
  EXPECT_EQ(err_.str(),
            "tarvelctl: no running filter took the change: 64-bit programs: \"ADS.example\" is not "
            "in its running blacklist; 32-bit programs: \"ADS.example\" is not in its running "
            "list\n");
  EXPECT_EQ(Run({"unblock", "ads.example"}), kExitOk);
  EXPECT_EQ(m_.block->black_active[0], 0);
  EXPECT_EQ(m_.other->block->black_active[0], 0);
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "unblocked \"ads.example\" in the running filter (64-bit programs)");
}

TEST_F(MachineCommands, AllowGoesToTheWhitelistWithTheNamedModules) {
  const std::vector<std::string> modules = {"--dll", "C:\\t\\tarvel.dll", "--dll32",
                                            "C:\\t32\\tarvel.dll"};
  std::vector<std::string> args = {"allow", "ok.example"};
  args.insert(args.end(), modules.begin(), modules.end());
  EXPECT_EQ(Run(args), kExitOk) << err_.str();
  EXPECT_EQ(Entry(ListKind::kWhite, 0), "ok.example");
  EXPECT_EQ(m_.loaded, std::vector<std::string>{folder_.Path("cwd/C:/t/tarvel.dll")});
  EXPECT_EQ(m_.other->loaded, std::vector<std::string>{folder_.Path("cwd/C:/t32/tarvel.dll")});
  EXPECT_EQ(m_.other->block->white_count, 1);
  args[0] = "disallow";
  EXPECT_EQ(Run(args), kExitOk);
  EXPECT_EQ(m_.block->white_active[0], 0);
  EXPECT_EQ(m_.other->block->white_active[0], 0);
}

struct LiveRefusal {
  const char* name;
  std::function<void(FakeMachine&)> setup;
  std::vector<std::string> args;
  int code;
  std::string error;
};

class LiveRefusals : public MachineCommands, public ::testing::WithParamInterface<LiveRefusal> {};

// Over this program's own filter alone.
TEST_P(LiveRefusals, OneLine) {
  Install();
  GetParam().setup(m_);
  const auto before = std::make_unique<FilterState>(*m_.block);
  std::vector<std::string> args = GetParam().args;
  args.push_back("--own-only");
  EXPECT_EQ(Run(args), GetParam().code);
  EXPECT_TRUE(m_.runs.empty());
  EXPECT_EQ(err_.str(), "tarvelctl: " + GetParam().error + "\n");
  EXPECT_EQ(std::memcmp(before.get(), m_.block.get(), sizeof(FilterState)), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LiveRefusals,
    ::testing::Values(
        LiveRefusal{"LongPattern",
                    [](FakeMachine&) {},
                    {"block", std::string(101, 'h')},
                    kExitUsage,
                    "\"" + std::string(101, 'h') +
                        "\": pattern of 101 characters; a list entry holds at most 100"},
        LiveRefusal{"EmptyAllow",
                    [](FakeMachine&) {},
                    {"allow", ""},
                    kExitUsage,
                    "\"\": empty pattern (as a whitelist entry it would let every host through)"},
        LiveRefusal{"BlankInside",
                    [](FakeMachine&) {},
                    {"block", "a b"},
                    kExitUsage,
                    "\"a b\": pattern holds a blank, control or non-ASCII character, which no "
                    "host name holds"},
        LiveRefusal{"ListFull",
                    [](FakeMachine& m) { m.block->black_count = 2000; },
                    {"block", "x.example"},
                    kExitFailed,
                    "the running blacklist is full: it takes 2000 additions until the filter "
                    "starts anew"},
        LiveRefusal{"NotRunning",
                    [](FakeMachine& m) { m.block->attach_counter = 1; },
                    {"block", "x.example"},
                    kExitNotRunning,
                    "no other program holds tarvel.dll, so the filter is not running and a live "
                    "change would end with this command; add --persist to change what it starts "
                    "from"},
        LiveRefusal{"NotInstalled",
                    [](FakeMachine& m) {
                      std::vector<std::string> r;
                      EXPECT_EQ(UninstallTarvel(m.windows, m.windows, &r), "");
                    },
                    {"smart", "on"},
                    kExitFailed,
                    "tarvel is not installed in the 64-bit catalog; name the module with --dll "
                    "PATH"},
        LiveRefusal{"LoadFails",
                    [](FakeMachine& m) { m.load_error = "cannot load X: error 193"; },
                    {"white-only", "on"},
                    kExitFailed,
                    "cannot load X: error 193"},
        LiveRefusal{"FlagValue",
                    [](FakeMachine&) {},
                    {"white-only", "yes"},
                    kExitUsage,
                    "white-only takes on or off, not \"yes\""},
        LiveRefusal{"NoListFileSet",
                    [](FakeMachine&) {},
                    {"block", "x.example", "--persist"},
                    kExitFailed,
                    "no blacklist file is set; set one with \"tarvelctl config set blacklib "
                    "PATH\""},
        LiveRefusal{"PersistFlagNeedsAdmin",
                    [](FakeMachine& m) { m.admin = false; },
                    {"smart", "off", "--persist"},
                    kExitFailed,
                    "smart --persist needs administrator rights: run tarvelctl from an elevated "
                    "command prompt (Run as administrator)"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- both filters of 64-bit Windows ----------------------------------------------

// A change that one of the two running filters did not take.
struct OneFilterMissed {
  const char* name;
  std::function<void(FakeMachine&)> setup;
  std::vector<std::string> args;
  bool own_changed;
  bool other_changed;
  std::string error;
};

class OneFilterMissedRows : public MachineCommands,
                            public ::testing::WithParamInterface<OneFilterMissed> {};

TEST_P(OneFilterMissedRows, SaysWhichTookItAndFails) {
  Install();
  GetParam().setup(m_);
  const auto own_before = std::make_unique<FilterState>(*m_.block);
  const auto other_before = std::make_unique<FilterState>(m_.other ? *m_.other->block : *m_.block);
  EXPECT_EQ(Run(GetParam().args), kExitFailed);
  std::string error = GetParam().error;
  const std::size_t tool = error.find("{tool}");
  if (tool != std::string::npos) error.replace(tool, 6, folder_.Path("x86/tarvelctl.exe"));
  EXPECT_EQ(err_.str(), "tarvelctl: " + error + "\n");
  const auto changed = [](const FilterState& before, const FilterState& now) {
    return std::memcmp(&before, &now, sizeof(FilterState)) != 0;
  };
  EXPECT_EQ(changed(*own_before, *m_.block), GetParam().own_changed);
  if (m_.other) {
    EXPECT_EQ(changed(*other_before, *m_.other->block), GetParam().other_changed);
  }
  // Nothing said to be done that was not.
  if (!GetParam().own_changed) {
    EXPECT_EQ(out_.str().find("64-bit programs)\n"), std::string::npos);
  }
  if (!GetParam().other_changed) {
    EXPECT_EQ(out_.str().find("32-bit programs)\n"), std::string::npos) << out_.str();
  }
}

const std::string kNotRunning =
    "not running, so a live change would end with this command (add --persist to change what it "
    "starts from)";

INSTANTIATE_TEST_SUITE_P(
    Rows, OneFilterMissedRows,
    ::testing::Values(
        OneFilterMissed{"OtherToolMissing",
                        [](FakeMachine& m) { m.other.reset(); },
                        {"block", "x.example"},
                        true,
                        false,
                        "only the filter of 64-bit programs took the change; 32-bit programs: "
                        "cannot run {tool}: The system cannot find the file specified. (error "
                        "2)"},
        OneFilterMissed{
            "OtherNotRunning",
            [](FakeMachine& m) { m.other->block->attach_counter = 1; },
            {"allow", "x.example"},
            true,
            false,
            "only the filter of 64-bit programs took the change; 32-bit programs: " + kNotRunning},
        OneFilterMissed{"OtherListFull",
                        [](FakeMachine& m) { m.other->block->black_count = 2000; },
                        {"block", "x.example"},
                        true,
                        false,
                        "only the filter of 64-bit programs took the change; 32-bit programs: the "
                        "running blacklist is full: it takes 2000 additions until the filter "
                        "starts anew"},
        OneFilterMissed{
            "OwnNotRunning",
            [](FakeMachine& m) { m.block->attach_counter = 1; },
            {"smart", "on"},
            false,
            true,
            "only the filter of 32-bit programs took the change; 64-bit programs: " + kNotRunning},
        OneFilterMissed{"OwnLoadFails",
                        [](FakeMachine& m) { m.load_error = "cannot load X: error 193"; },
                        {"white-only", "on"},
                        false,
                        true,
                        "only the filter of 32-bit programs took the change; 64-bit programs: "
                        "cannot load X: error 193"},
        OneFilterMissed{"NeitherRunning",
                        [](FakeMachine& m) {
                          m.block->attach_counter = 1;
                          m.other->block->attach_counter = 1;
                        },
                        {"block", "x.example"},
                        false,
                        false,
                        "no running filter took the change: 64-bit programs: " + kNotRunning +
                            "; 32-bit programs: " + kNotRunning}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MachineCommands, OwnOnlyLeavesTheOtherFilter) {
  Install();
  EXPECT_EQ(Run({"block", "x.example", "--own-only"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(), "blocked \"x.example\" in the running filter (64-bit programs)\n");
  EXPECT_EQ(m_.block->black_count, 1);
  EXPECT_TRUE(m_.runs.empty());
  EXPECT_EQ(Run({"unblock", "y.example", "--own-only"}), kExitNotInList);
}

// A 32-bit tarvelctl on 64-bit Windows reaches the 64-bit filter the same way.
TEST_F(MachineCommands, TheX86ToolReachesThe64BitFilter) {
  Install();
  m_.own = k32;
  m_.wow64 = true;
  m_.AddOtherTool();
  EXPECT_EQ(Run({"white-only", "on", "--dll", "x86\\tarvel.dll", "--dll64", "x64\\tarvel.dll"}),
            kExitOk)
      << err_.str();
  EXPECT_EQ(m_.runs.back(),
            (std::vector<std::string>{folder_.Path("x64/tarvelctl.exe"), "white-only", "on",
                                      "--own-only", "--dll", folder_.Path("cwd/x64/tarvel.dll")}));
  EXPECT_EQ(m_.block->white_only, 1);
  EXPECT_EQ(m_.other->block->white_only, 1);
}

TEST_F(MachineCommands, StatusShowsBothRunningFilters) {
  Install();
  tarvel::AddUrl(*m_.other->block, ListKind::kWhite, "w.example");
  m_.other->block->white_only = 1;
  EXPECT_EQ(Run({"status"}), kExitOk);
  EXPECT_NE(out_.str().find("running filter (32-bit programs): white-only mode on, smart filter "
                            "off, HTTPS filter off, unlocked, lists loaded\n  whitelist: 1 "
                            "entries, room for 1999 more "
                            "additions\n  blacklist: 0 entries, room for 2000 more additions\n"
                            "  categories: none\n"),
            std::string::npos)
      << out_.str();
  m_.other->block->attach_counter = 1;
  EXPECT_EQ(Run({"status", "--own-only"}), kExitOk);
  EXPECT_EQ(out_.str().find("running filter (32-bit programs)"), std::string::npos);
  EXPECT_EQ(Run({"status"}), kExitOk);
  EXPECT_NE(out_.str().find("running filter (32-bit programs): not running (no other program "
                            "holds " +
                            folder_.Path("x86/tarvel.dll") + ")\n"),
            std::string::npos)
      << out_.str();
  m_.other.reset();
  EXPECT_EQ(Run({"status"}), kExitOk);
  EXPECT_NE(out_.str().find("running filter (32-bit programs): unknown: cannot run " +
                            folder_.Path("x86/tarvelctl.exe")),
            std::string::npos)
      << out_.str();
}

TEST_F(MachineCommands, PersistUpdatesTheListFile) {
  Install();
  folder_.Write("black.tvl", ListBytes({"old.example"}));
  SetLists(folder_.Path("white.tvl"), folder_.Path("black.tvl"));
  EXPECT_EQ(Run({"block", "new.example", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(folder_.Read("black.tvl"), ListBytes({"old.example", "new.example"}));
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "\"new.example\" added to " + folder_.Path("black.tvl"));
  EXPECT_EQ(Entry(ListKind::kBlack, 0), "new.example");

  EXPECT_EQ(Run({"unblock", "old.example", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(folder_.Read("black.tvl"), ListBytes({"new.example"}));
  // Not in the running lists, but taken out of the file: success.
  for (const char* kind : {"64", "32"}) {
    EXPECT_NE(out_.str().find("\"old.example\" is not in the running blacklist of " +
                              std::string(kind) + "-bit programs\n"),
              std::string::npos)
        << out_.str();
  }

  // A whitelist file that does not exist yet is made.
  EXPECT_EQ(Run({"allow", "ok.example", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(folder_.Read("white.tvl"), ListBytes({"ok.example"}));
}

TEST_F(MachineCommands, PersistWhileNotRunningChangesTheFileOnly) {
  Install();
  SetLists(folder_.Path("white.tvl"), folder_.Path("black.tvl"));
  m_.block->attach_counter = 1;
  m_.other->block->attach_counter = 1;
  EXPECT_EQ(Run({"block", "x.example", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(folder_.Read("black.tvl"), ListBytes({"x.example"}));
  EXPECT_EQ(m_.block->black_count, 0);
  EXPECT_EQ(m_.other->block->black_count, 0);
  EXPECT_EQ(out_.str(), "\"x.example\" added to " + folder_.Path("black.tvl") +
                            "\nNote: the filter of 64-bit programs is not running; it starts "
                            "from the files and settings.\n"
                            "Note: the filter of 32-bit programs is not running; it starts "
                            "from the files and settings.\n");
  // The other tarvelctl writes nothing itself.
  ASSERT_EQ(m_.runs.size(), 1u);
  EXPECT_EQ(std::count(m_.runs[0].begin(), m_.runs[0].end(), "--persist"), 0);
}

TEST_F(MachineCommands, PersistRefusesFilesTheFilterWouldNotLoad) {
  Install();
  SetLists(folder_.Path("white.tvl"), folder_.Path("black.tvl"));
  folder_.Write("black.tvl", "not a list at all, just words");
  EXPECT_EQ(Run({"block", "x.example", "--persist"}), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: " + folder_.Path("black.tvl") +
                            " is not a tarvel list file (no header: the file does not start with "
                            "TARVELINTERNETFILTER (upper case)); it was not changed\n");
  std::vector<std::string> full;
  for (int i = 0; i < 2000; ++i) full.push_back("h" + std::to_string(i));
  folder_.Write("black.tvl", ListBytes(full));
  EXPECT_EQ(Run({"block", "x.example", "--persist"}), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: " + folder_.Path("black.tvl") +
                            " already holds 2000 entries; the filter loads at most 2000\n");
  EXPECT_EQ(m_.block->black_count, 0);
}

TEST_F(MachineCommands, FlagsAndTheirNotes) {
  Install();
  EXPECT_EQ(Run({"white-only", "on"}), kExitOk);
  EXPECT_EQ(m_.block->white_only, 1);
  EXPECT_NE(out_.str().find("Note: the whitelist is empty, so every request that names a host "
                            "is blocked.\n"),
            std::string::npos);
  m_.block->lists_ready = 0;
  EXPECT_EQ(Run({"white-only", "on"}), kExitOk);
  EXPECT_NE(out_.str().find("white-only mode has no effect until it starts anew"),
            std::string::npos);
  EXPECT_EQ(Run({"smart", "on", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.block->smart_filter, 1);
  EXPECT_EQ(m_.keys[k64].values["issma"], StoredFlag('1'));
  EXPECT_EQ(m_.keys[k32].values["issma"], StoredFlag('1'));
  EXPECT_EQ(Run({"smart", "off"}), kExitOk);
  EXPECT_EQ(m_.block->smart_filter, 0);
  EXPECT_EQ(m_.keys[k64].values["issma"], StoredFlag('1'));
}

// A locked filter refuses every live change from a caller without the
// rights: the command says why and fails; the lock's own switch asks for
// the rights whether it is on or off.
TEST_F(MachineCommands, LockedFilterRefusesCallersWithoutRights) {
  Install();
  struct Row {
    const char* name;
    std::vector<std::string> command;
    bool locked;
  };
  const Row rows[] = {
      {"Block", {"block", "y.example", "--own-only"}, true},
      {"Unblock", {"unblock", "x.example", "--own-only"}, true},
      {"HttpsOff", {"https", "off", "--own-only"}, true},
      {"WhiteOnlyOff", {"white-only", "off", "--own-only"}, true},
      {"LockOff", {"lock", "off", "--own-only"}, true},
      {"LockOnWhileUnlocked", {"lock", "on", "--own-only"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_.admin = true;
    tarvel::AddUrl(*m_.block, ListKind::kBlack, "x.example");
    m_.block->white_only = 1;
    m_.extensions->https_filter = 1;
    m_.extensions->locked = row.locked ? 1 : 0;
    const FilterState before = *m_.block;
    m_.admin = false;
    EXPECT_EQ(Run(row.command), kExitFailed);
    EXPECT_NE(err_.str().find("needs administrator rights"), std::string::npos) << err_.str();
    EXPECT_EQ(std::memcmp(&before, m_.block.get(), sizeof before), 0) << "the filter changed";
    EXPECT_EQ(m_.extensions->https_filter, 1);
    EXPECT_EQ(m_.extensions->locked, row.locked ? 1 : 0);
  }
  m_.admin = true;
  EXPECT_EQ(Run({"lock", "off", "--own-only"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.extensions->locked, 0);
  EXPECT_EQ(Run({"status", "--own-only"}), kExitOk);
  EXPECT_NE(out_.str().find(", unlocked, "), std::string::npos);
}

// install locks the filter from its next start unless told otherwise.
TEST_F(MachineCommands, InstallWritesTheLock) {
  Install();
  EXPECT_EQ(m_.keys[k64].values["islck"], StoredFlag('1'));
  EXPECT_EQ(m_.keys[k32].values["islck"], StoredFlag('1'));
  EXPECT_EQ(Run({"uninstall"}), kExitOk);
  EXPECT_EQ(Run({"install", "--unlocked"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.keys[k64].values["islck"], StoredFlag('0'));
  EXPECT_EQ(Run({"config", "set", "islck", "on"}), kExitOk);
  EXPECT_EQ(m_.keys[k32].values["islck"], StoredFlag('1'));
}

TEST_F(MachineCommands, HttpsFilterLiveAndPersisted) {
  Install();
  EXPECT_EQ(Run({"https", "on", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.extensions->https_filter, 1);
  EXPECT_EQ(m_.other->extensions->https_filter, 1);
  EXPECT_EQ(m_.keys[k64].values["issni"], StoredFlag('1'));
  EXPECT_EQ(m_.keys[k32].values["issni"], StoredFlag('1'));
  EXPECT_NE(out_.str().find("HTTPS filter on in the running filter (64-bit programs)\n"),
            std::string::npos)
      << out_.str();
  m_.block->lists_ready = 0;
  EXPECT_EQ(Run({"https", "on"}), kExitOk);
  EXPECT_NE(out_.str().find("no server name is judged until it starts anew"), std::string::npos);
  EXPECT_EQ(Run({"https", "off"}), kExitOk);
  EXPECT_EQ(m_.extensions->https_filter, 0);
  EXPECT_EQ(m_.keys[k64].values["issni"], StoredFlag('1'));
  EXPECT_EQ(Run({"https", "yes"}), kExitUsage);
  EXPECT_EQ(m_.extensions->https_filter, 0);
  m_.extensions.reset();  // an older tarvel.dll
  EXPECT_EQ(Run({"https", "on"}), kExitFailed);
  EXPECT_EQ(err_.str().substr(err_.str().rfind("tarvelctl:")),
            "tarvelctl: only the filter of 32-bit programs took the change; 64-bit programs: the "
            "running tarvel.dll has no HTTPS filter (an older module)\n");
}

TEST(PeImage, MachineAndSections) {
  std::string image = testing::PeImage(kMachineX86);
  EXPECT_EQ(PeMachine(image), kMachineX86);
  EXPECT_EQ(PeMachine(image.substr(0, 0x44)), 0);
  EXPECT_EQ(PeMachine("MZ"), 0);
  EXPECT_EQ(PeMachine(""), 0);
  // Two sections after an optional header of 0xF0 bytes.
  image[0x46] = 2;
  image[0x54] = static_cast<char>(0xF0);
  const std::size_t table = 0x44 + 20 + 0xF0;
  image.replace(table, 5, ".text");
  image.replace(table + 40, 8, ".inidata");
  image[table + 40 + 8] = 0x10;   // size 0x10
  image[table + 40 + 13] = 0x20;  // rva 0x2000
  std::uint32_t rva = 0;
  std::uint32_t size = 0;
  EXPECT_TRUE(FindPeSection(image, ".inidata", &rva, &size));
  EXPECT_EQ(rva, 0x2000u);
  EXPECT_EQ(size, 0x10u);
  EXPECT_FALSE(FindPeSection(image, ".data", &rva, &size));
  EXPECT_FALSE(FindPeSection(image.substr(0, table + 60), ".inidata", &rva, &size));
}

}  // namespace
}  // namespace tarvel::ctl
