// Install and uninstall over a fake catalog laid out like a current Windows.
#include "tools/tarvelctl/install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/testing/tarvelctl_fakes.h"

namespace tarvel::ctl {
namespace {

using testing::FakeWindows;
using testing::Snapshot;

constexpr CatalogKind k64 = CatalogKind::k64;
constexpr CatalogKind k32 = CatalogKind::k32;

const ProviderPaths kPaths{"C:\\Program Files\\Tarvel\\x64\\tarvel.dll",
                           "C:\\Program Files\\Tarvel\\x86\\tarvel.dll"};

std::vector<std::uint32_t> Ids(const std::vector<ProtocolRecord>& records) {
  std::vector<std::uint32_t> ids;
  for (const ProtocolRecord& r : records) ids.push_back(r.catalog_id);
  return ids;
}

const ProtocolRecord& ById(const std::vector<ProtocolRecord>& records, std::uint32_t id) {
  return *std::find_if(records.begin(), records.end(),
                       [&](const ProtocolRecord& r) { return r.catalog_id == id; });
}

std::map<std::string, std::string> MswsockValues() {
  std::map<std::string, std::string> values;
  for (int id = 1001; id <= 1006; ++id) values[std::to_string(id)] = testing::kMswsock;
  return values;
}

TEST(InstallTarvel, SeparatelyLayersEveryIpBaseProviderAndOrdersChainsFirst) {
  FakeWindows w = FakeWindows::Windows64();
  w.with_chains = false;
  const Snapshot before = w.State();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  EXPECT_EQ(w.violations, std::vector<std::string>{});

  // 64-bit: layered 1020, chains 1021..1026 over 1001..1006, then the rest
  // in its old order, the foreign chain 1011 first among them.
  const auto& c64 = w.state.catalogs[k64];
  EXPECT_EQ(Ids(c64), (std::vector<std::uint32_t>{1021, 1022, 1023, 1024, 1025, 1026, 1011, 1001,
                                                  1002, 1003, 1004, 1005, 1006, 1007, 1010, 1020}));
  const ProtocolRecord& layered = ById(c64, 1020);
  EXPECT_EQ(layered.provider_id, kTarvelLayeredGuid);
  EXPECT_EQ(layered.chain_length, 0);
  EXPECT_EQ(layered.provider_flags, kPflHidden);
  EXPECT_EQ(layered.name, u"Tarvel web filter");
  for (std::uint32_t base = 1001; base <= 1006; ++base) {
    const ProtocolRecord& chain = ById(c64, base + 20);
    ProtocolRecord expected = ById(before.catalogs.at(k64), base);
    expected.provider_id = kTarvelChainGuid;
    expected.catalog_id = base + 20;
    expected.chain_length = 2;
    expected.chain = {1020, base};
    expected.name = u"Tarvel over " + expected.name;
    EXPECT_EQ(chain, expected) << base;
  }
  // 32-bit: its own ids, the 32-bit module.
  EXPECT_EQ(Ids(w.state.catalogs[k32]).front(), 1031u);
  EXPECT_EQ(w.paths[k32][kTarvelLayeredGuid.ToString()], kPaths.path32);
  EXPECT_EQ(w.paths[k64][kTarvelChainGuid.ToString()], kPaths.path64);
  EXPECT_EQ(ById(w.state.catalogs[k32], 1031).chain[0], 1030u);

  EXPECT_EQ(w.state.values[k64], MswsockValues());
  EXPECT_EQ(w.state.values[k32], MswsockValues());
  for (CatalogKind kind : {k64, k32}) {
    EXPECT_EQ(w.categories[kind][kTarvelLayeredGuid.ToString()], kTarvelCategories);
    EXPECT_EQ(w.categories[kind][kTarvelChainGuid.ToString()], kTarvelCategories);
  }
  ASSERT_EQ(report.size(), 17u);
  EXPECT_EQ(report[0],
            "64-bit catalog: tarvel layered entry 1020, and chains ahead of the base providers:");
  EXPECT_EQ(report[1], "  1021 over 1001 Tarvel over MSAFD Tcpip [TCP/IP]");
  EXPECT_EQ(
      report[14],
      "lookup values: 6 under HKLM\\SYSTEM\\CurrentControlSet\\Services\\WinSock2\\tarvel.dll");
  EXPECT_EQ(report[15],
            "note: chain 1011 Foo over [TCP/IP] of another layered provider now stands "
            "behind tarvel's chain, so new sockets of its protocol pass tarvel only");
}

TEST(InstallTarvel, ValuesComeBeforeTheCatalogChanges) {
  FakeWindows w = FakeWindows::Windows64();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  // Twelve writes (six values, two views), then the one-call installation.
  ASSERT_GE(w.calls.size(), 13u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(w.calls[i].substr(0, 6), "Write ") << i;
  EXPECT_EQ(w.calls[12], "InstallWithChains " + kTarvelLayeredGuid.ToString());
  EXPECT_EQ(w.violations, std::vector<std::string>{});
  EXPECT_EQ(Ids(w.state.catalogs[k64]).size(), 16u);
}

// The values keep their references: each program expands them itself. One
// whose expansion just fits the module's 511 characters is written.
TEST(InstallTarvel, LookupValuesStayUnexpandedUpToTheModulesRoom) {
  FakeWindows w = FakeWindows::Windows64();
  w.environment["SystemRoot"] = "C:\\" + std::string(487, 'r');
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  EXPECT_EQ(w.state.values[k64], MswsockValues());
}

struct Strategy {
  const char* name;
  bool with_chains;
  bool windows32;
  bool partial;
};

class InstallRollback : public ::testing::TestWithParam<Strategy> {
 protected:
  FakeWindows Make() const {
    FakeWindows w = GetParam().windows32 ? FakeWindows::Windows32() : FakeWindows::Windows64();
    w.with_chains = GetParam().with_chains;
    w.partial_install = GetParam().partial;
    return w;
  }
};

// A failure injected at each changing step leaves the catalogs and the
// values exactly as they were, and never a chain without its value.
TEST_P(InstallRollback, EveryStepUndoneCompletely) {
  FakeWindows clean = Make();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(clean, clean, kPaths, clean.Expander(), &report), "");
  const int steps = clean.steps;
  ASSERT_GT(steps, 5);
  for (int step = 1; step <= steps; ++step) {
    FakeWindows w = Make();
    w.state.values[w.Kinds()[0]]["1001"] = "C:\\old\\mswsock.dll";  // a leftover value
    w.state.key_exists[w.Kinds()[0]] = true;
    const Snapshot before = w.State();
    w.fail_at = step;
    report.clear();
    const std::string error = InstallTarvel(w, w, kPaths, w.Expander(), &report);
    SCOPED_TRACE("failing " + w.calls[step - 1]);
    EXPECT_NE(error.find("; nothing was changed"), std::string::npos) << error;
    EXPECT_EQ(w.State(), before);
    EXPECT_EQ(w.violations, std::vector<std::string>{});
    EXPECT_EQ(report, std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, InstallRollback,
                         ::testing::Values(Strategy{"Separately64", false, false, false},
                                           Strategy{"Separately32", false, true, false},
                                           Strategy{"WithChains64", true, false, false},
                                           Strategy{"WithChainsHalfDone64", true, false, true},
                                           Strategy{"WithChains32", true, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InstallTarvel, FailedUndoKeepsValuesAndSaysToUninstall) {
  FakeWindows clean = FakeWindows::Windows64();
  clean.with_chains = false;
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(clean, clean, kPaths, clean.Expander(), &report), "");
  FakeWindows w = FakeWindows::Windows64();
  w.with_chains = false;
  // The last catalog step fails, and so does the first step of its undo.
  const auto order = std::find(clean.calls.begin(), clean.calls.end(), "WriteOrder 32-bit");
  w.fail_at = static_cast<int>(order - clean.calls.begin()) + 1;
  w.fail_again_at = w.fail_at + 1;
  EXPECT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report),
            "32-bit catalog: WSCWriteProviderOrder: error 10055; undoing it failed too (32-bit "
            "catalog: WSCDeinstallProvider: error 10055), so run \"tarvelctl uninstall\" to "
            "clean up");
  EXPECT_EQ(w.violations, std::vector<std::string>{});
  EXPECT_EQ(w.state.values[k32], MswsockValues());
  // The 64-bit catalog was still taken back.
  EXPECT_EQ(w.state.catalogs[k64], FakeWindows::Windows64().state.catalogs[k64]);
  w.fail_at = w.fail_again_at = 0;
  EXPECT_EQ(UninstallTarvel(w, w, &report), "");
  EXPECT_EQ(w.State(), FakeWindows::Windows64().State());
}

struct Refusal {
  const char* name;
  std::function<void(FakeWindows&)> setup;
  std::string error;
};

class InstallRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(InstallRefusal, ChangesNothing) {
  FakeWindows w = FakeWindows::Windows64();
  GetParam().setup(w);
  const Snapshot before = w.State();
  std::vector<std::string> report;
  EXPECT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), GetParam().error);
  EXPECT_EQ(w.steps, 0);
  EXPECT_EQ(w.State(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallRefusal,
    ::testing::Values(
        Refusal{"AlreadyInstalled",
                [](FakeWindows& w) {
                  std::vector<std::string> r;
                  EXPECT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &r), "");
                  w.steps = 0;
                },
                "tarvel is already in the 64-bit catalog; run \"tarvelctl uninstall\" first"},
        Refusal{"ModulesDifferBetweenCatalogs",
                [](FakeWindows& w) {
                  w.paths[k32][testing::kMsafdIpv6.ToString()] = "%SystemRoot%\\syswow64\\x.dll";
                },
                "catalog entry 1004 names two different modules in the two catalogs "
                "(%SystemRoot%\\system32\\mswsock.dll, %SystemRoot%\\syswow64\\x.dll); one "
                "lookup value cannot serve both"},
        Refusal{"ModulePathTooLong",
                [](FakeWindows& w) {
                  w.paths[k64][testing::kMsafdIpv4.ToString()] = "C:\\" + std::string(257, 'a');
                },
                "the module path of base provider 1001 MSAFD Tcpip [TCP/IP] of the 64-bit catalog "
                "is longer than 259 characters: C:\\" +
                    std::string(257, 'a')},
        Refusal{
            "ExpandedModulePathTooLong",
            [](FakeWindows& w) { w.environment["SystemRoot"] = "C:\\" + std::string(488, 'r'); },
            "the module path of base provider 1001 MSAFD Tcpip [TCP/IP] of the 64-bit catalog "
            "is 512 characters long once expanded, more than the 511 tarvel.dll loads: C:\\" +
                std::string(488, 'r') + "\\system32\\mswsock.dll"},
        Refusal{"NoWayToInstall",
                [](FakeWindows& w) {
                  w.with_chains = false;
                  w.separate = false;
                },
                "this Windows has neither WSCInstallProviderAndChains nor a way to install into "
                "the 64-bit catalog alone"},
        Refusal{"NoIpProviders",
                [](FakeWindows& w) {
                  auto& c = w.state.catalogs[k32];
                  c.erase(std::remove_if(c.begin(), c.end(),
                                         [](const ProtocolRecord& r) {
                                           return r.IsBase() && r.address_family != 32;
                                         }),
                          c.end());
                },
                "the 32-bit catalog holds no IPv4 or IPv6 base provider"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UninstallTarvel, RestoresTheCatalogsAndRemovesTheKey) {
  for (bool with_chains : {false, true}) {
    FakeWindows w = FakeWindows::Windows64();
    w.with_chains = with_chains;
    const Snapshot before = w.State();
    std::vector<std::string> report;
    ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
    w.calls.clear();
    report.clear();
    ASSERT_EQ(UninstallTarvel(w, w, &report), "");
    EXPECT_EQ(w.State(), before) << with_chains;
    EXPECT_EQ(w.violations, std::vector<std::string>{});
    // Chains go before the layered entry, in each catalog, before any value.
    const Guid chain_guid = with_chains ? testing::kSystemChainGuid : kTarvelChainGuid;
    EXPECT_EQ(std::vector<std::string>(w.calls.begin(), w.calls.begin() + 4),
              (std::vector<std::string>{"Deinstall 64-bit " + chain_guid.ToString(),
                                        "Deinstall 64-bit " + kTarvelLayeredGuid.ToString(),
                                        "Deinstall 32-bit " + chain_guid.ToString(),
                                        "Deinstall 32-bit " + kTarvelLayeredGuid.ToString()}));
    EXPECT_EQ(report, (std::vector<std::string>{"64-bit catalog: removed 7 entries",
                                                "32-bit catalog: removed 7 entries",
                                                "lookup values: removed 6"}));
  }
}

TEST(UninstallTarvel, TwiceIsHarmless) {
  FakeWindows w = FakeWindows::Windows64();
  const Snapshot before = w.State();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  ASSERT_EQ(UninstallTarvel(w, w, &report), "");
  report.clear();
  EXPECT_EQ(UninstallTarvel(w, w, &report), "");
  EXPECT_EQ(report, std::vector<std::string>{"tarvel is in no catalog"});
  EXPECT_EQ(w.State(), before);
}

TEST(UninstallTarvel, AfterAPartialInstall) {
  FakeWindows w = FakeWindows::Windows64();
  const Snapshot before = w.State();
  // What an interrupted installation leaves: a layered entry in one catalog,
  // an orphaned chain of tarvel's id in the other, and some values.
  ProtocolRecord layered = LayeredRecord(w.state.catalogs[k64][1]);
  w.Add(k64, layered, kPaths.path64);
  ProtocolRecord orphan = ChainRecord(w.state.catalogs[k32][1], 1999);
  w.Add(k32, orphan, kPaths.path32);
  w.state.values[k64]["1001"] = testing::kMswsock;
  w.state.values[k64]["1002"] = testing::kMswsock;
  w.state.values[k32]["1001"] = testing::kMswsock;
  w.state.key_exists[k64] = w.state.key_exists[k32] = true;
  w.next_id = {};
  std::vector<std::string> report;
  EXPECT_EQ(UninstallTarvel(w, w, &report), "");
  EXPECT_EQ(w.State(), before);
  EXPECT_EQ(report, (std::vector<std::string>{"64-bit catalog: removed 1 entry",
                                              "32-bit catalog: removed 1 entry",
                                              "lookup values: removed 2"}));
}

TEST(UninstallTarvel, FindsAnOlderInstallByItsModule) {
  FakeWindows w = FakeWindows::Windows32();
  const Snapshot before = w.State();
  const Guid old_layered{1, 2, 3, {4}};
  const Guid old_chain{5, 6, 7, {8}};
  ProtocolRecord layered = LayeredRecord(w.state.catalogs[k32][1]);
  layered.provider_id = old_layered;
  const std::uint32_t id = w.Add(k32, layered, "%SystemRoot%\\system32\\TARVEL.DLL");
  ProtocolRecord chain = ChainRecord(w.state.catalogs[k32][1], id);
  chain.provider_id = old_chain;
  w.Add(k32, chain, "%SystemRoot%\\system32\\TARVEL.DLL");
  w.state.values[k32]["1001"] = testing::kMswsock;
  w.state.key_exists[k32] = true;
  std::vector<std::string> report;
  EXPECT_EQ(UninstallTarvel(w, w, &report), "");
  EXPECT_EQ(w.State().catalogs, before.catalogs);
  EXPECT_EQ(w.violations, std::vector<std::string>{});
}

TEST(UninstallTarvel, KeepsValuesOfChainsThatStay) {
  FakeWindows clean = FakeWindows::Windows64();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(clean, clean, kPaths, clean.Expander(), &report), "");
  for (const std::string& failing : {"Deinstall 64-bit " + testing::kSystemChainGuid.ToString(),
                                     "Deinstall 32-bit " + testing::kSystemChainGuid.ToString()}) {
    FakeWindows w = clean;
    w.calls.clear();
    w.steps = 0;
    FakeWindows probe = clean;
    probe.calls.clear();
    probe.steps = 0;
    ASSERT_EQ(UninstallTarvel(probe, probe, &report), "");
    w.fail_at = static_cast<int>(std::find(probe.calls.begin(), probe.calls.end(), failing) -
                                 probe.calls.begin()) +
                1;
    report.clear();
    EXPECT_EQ(UninstallTarvel(w, w, &report),
              failing.substr(10, 6) + " catalog: WSCDeinstallProvider: error 10055");
    EXPECT_EQ(w.violations, std::vector<std::string>{});
    EXPECT_EQ(w.state.values[k64], MswsockValues());
    EXPECT_EQ(report.back(), "lookup values: kept 6 for the chains still in the catalog");
  }
}

TEST(UninstallTarvel, RefusesWhileAnotherProviderIsLayeredOverTarvel) {
  FakeWindows w = FakeWindows::Windows64();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  ProtocolRecord over = w.state.catalogs[k64][0];
  over.provider_id = testing::kFooChain;
  over.chain_length = 3;
  over.chain = {1010, over.chain[0], over.chain[1]};
  over.name = u"Foo over Tarvel";
  const std::uint32_t id = w.Add(k64, over, "foolsp.dll");
  const Snapshot before = w.State();
  w.steps = 0;
  EXPECT_EQ(UninstallTarvel(w, w, &report),
            "chain " + std::to_string(id) +
                " Foo over Tarvel of the 64-bit catalog belongs to "
                "another provider layered over tarvel; uninstall that provider first");
  EXPECT_EQ(w.State(), before);
  EXPECT_EQ(w.steps, 0);
}

TEST(FindTarvel, SortsOutTargetsChainsAndForeignLayers) {
  FakeWindows w = FakeWindows::Windows64();
  const auto none = [](const ProtocolRecord&) { return false; };
  const TarvelEntries t = FindTarvel(w.state.catalogs[k64], none);
  EXPECT_EQ(Ids(t.targets), (std::vector<std::uint32_t>{1001, 1002, 1003, 1004, 1005, 1006}));
  EXPECT_EQ(Ids(t.uncovered), Ids(t.targets));
  EXPECT_FALSE(t.Installed());
  // Seen as tarvel, Foo's layered entry makes 1011 a tarvel chain.
  const TarvelEntries foo = FindTarvel(w.state.catalogs[k64], [](const ProtocolRecord& r) {
    return r.provider_id == testing::kFooLayered;
  });
  EXPECT_EQ(Ids(foo.chains), std::vector<std::uint32_t>{1011});
  EXPECT_EQ(Ids(foo.uncovered), (std::vector<std::uint32_t>{1002, 1003, 1004, 1005, 1006}));
}

TEST(IsTarvelModulePath, FileNameInAnyCase) {
  EXPECT_TRUE(IsTarvelModulePath("C:\\Program Files\\Tarvel\\x64\\tarvel.dll"));
  EXPECT_TRUE(IsTarvelModulePath("%SystemRoot%\\system32\\TARVEL.DLL"));
  EXPECT_TRUE(IsTarvelModulePath("tarvel.dll"));
  EXPECT_FALSE(IsTarvelModulePath("C:\\x\\tarvel.dll.bak"));
  EXPECT_FALSE(IsTarvelModulePath("C:\\x\\mytarvel.dll"));
}

}  // namespace
}  // namespace tarvel::ctl

namespace tarvel::ctl {
namespace {

// A system that takes the layered entry away with the last chain over it.
class CascadingWindows : public testing::FakeWindows {
 public:
  explicit CascadingWindows(FakeWindows w) : FakeWindows(std::move(w)) {}
  std::string Deinstall(CatalogKind kind, const Guid& provider) override {
    const std::string result = FakeWindows::Deinstall(kind, provider);
    if (provider == testing::kSystemChainGuid) {
      std::erase_if(state.catalogs[kind],
                    [](const ProtocolRecord& r) { return r.provider_id == kTarvelLayeredGuid; });
    }
    return result;
  }
};

TEST(UninstallTarvel, EntriesTheSystemRemovedMeanwhileAreNoFailure) {
  CascadingWindows w(FakeWindows::Windows64());
  const Snapshot before = w.State();
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  report.clear();
  EXPECT_EQ(UninstallTarvel(w, w, &report), "");
  EXPECT_EQ(w.State(), before);
  EXPECT_EQ(w.violations, std::vector<std::string>{});
}

}  // namespace
}  // namespace tarvel::ctl

namespace tarvel::ctl {
namespace {

const ProviderPaths kNewPaths{"C:\\Program Files\\Tarvel\\2.0\\x64\\tarvel.dll",
                              "C:\\Program Files\\Tarvel\\2.0\\x86\\tarvel.dll"};

// tarvel installed from kPaths, with another provider's chain over it.
FakeWindows Upgradable(bool with_chains) {
  FakeWindows w = FakeWindows::Windows64();
  w.with_chains = with_chains;
  std::vector<std::string> report;
  EXPECT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  ProtocolRecord over = w.state.catalogs[k64][0];
  over.provider_id = testing::kFooChain;
  over.chain_length = 3;
  over.chain = {1010, over.chain[0], over.chain[1]};
  over.name = u"Foo over Tarvel";
  w.Add(k64, over, "foolsp.dll");
  w.steps = 0;
  w.calls.clear();
  return w;
}

TEST(ReplaceTarvel, PointsEveryEntryAtTheNewModulesAndKeepsTheCatalogs) {
  for (bool with_chains : {false, true}) {
    FakeWindows w = Upgradable(with_chains);
    const Snapshot before = w.State();
    auto paths = w.paths;
    std::vector<std::string> report;
    ASSERT_EQ(ReplaceTarvel(w, w, kNewPaths, w.Expander(), &report), "") << with_chains;
    EXPECT_EQ(w.State(), before);
    const Guid chain = with_chains ? testing::kSystemChainGuid : kTarvelChainGuid;
    for (CatalogKind kind : {k64, k32}) {
      for (const Guid& g : {kTarvelLayeredGuid, chain})
        paths[kind][g.ToString()] = kNewPaths.For(kind);
    }
    EXPECT_EQ(w.paths, paths);
    EXPECT_EQ(report.front(), "64-bit catalog: tarvel's 7 entries now name " + kNewPaths.path64 +
                                  " (before: " + kPaths.path64 + ")");
    report.clear();
    ASSERT_EQ(ReplaceTarvel(w, w, kNewPaths, w.Expander(), &report), "");
    EXPECT_EQ(report.front(),
              "64-bit catalog: tarvel's 7 entries name " + kNewPaths.path64 + " already");
  }
}

TEST(ReplaceTarvel, WritesALookupValueAChainLacks) {
  FakeWindows w = Upgradable(true);
  w.state.values[k32].erase("1003");
  std::vector<std::string> report;
  ASSERT_EQ(ReplaceTarvel(w, w, kNewPaths, w.Expander(), &report), "");
  EXPECT_EQ(w.state.values[k32], MswsockValues());
}

TEST(ReplaceTarvel, EveryStepUndoneCompletely) {
  FakeWindows clean = Upgradable(false);
  std::vector<std::string> report;
  clean.state.values[k64].erase("1002");
  ASSERT_EQ(ReplaceTarvel(clean, clean, kNewPaths, clean.Expander(), &report), "");
  ASSERT_GT(clean.steps, 4);
  for (int step = 1; step <= clean.steps; ++step) {
    FakeWindows w = Upgradable(false);
    w.state.values[k64].erase("1002");
    const Snapshot before = w.State();
    const auto paths = w.paths;
    w.fail_at = step;
    report.clear();
    const std::string error = ReplaceTarvel(w, w, kNewPaths, w.Expander(), &report);
    SCOPED_TRACE("failing " + w.calls[step - 1]);
    EXPECT_NE(error.find("; nothing was changed"), std::string::npos) << error;
    EXPECT_EQ(w.State(), before);
    EXPECT_EQ(w.paths, paths);
    EXPECT_EQ(report, std::vector<std::string>{});
  }
}

class ReplaceRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(ReplaceRefusals, ChangeNothing) {
  FakeWindows w = Upgradable(false);
  GetParam().setup(w);
  const Snapshot before = w.State();
  std::vector<std::string> report;
  EXPECT_EQ(ReplaceTarvel(w, w, kNewPaths, w.Expander(), &report), GetParam().error);
  EXPECT_EQ(w.steps, 0);
  EXPECT_EQ(w.State(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReplaceRefusals,
    ::testing::Values(
        Refusal{"NotInEveryCatalog",
                [](FakeWindows& w) {
                  std::erase_if(w.state.catalogs[k32], [](const ProtocolRecord& r) {
                    return r.provider_id == kTarvelLayeredGuid || r.provider_id == kTarvelChainGuid;
                  });
                },
                "tarvel is not in the 32-bit catalog, so its entries cannot be pointed at "
                "the new module there; run \"tarvelctl uninstall\" first"},
        Refusal{"NoUpdateFunction", [](FakeWindows& w) { w.with_update = false; },
                "this Windows cannot point the entries of the 64-bit catalog at another "
                "module (it has no WSCUpdateProvider); run \"tarvelctl uninstall\" first"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PointTarvelModules, PutsTheModulesOfARecordBack) {
  FakeWindows w = Upgradable(false);
  std::vector<ModulePath> old;
  ASSERT_EQ(TarvelModules(w, &old), "");
  ASSERT_EQ(old.size(), 4u);
  EXPECT_EQ(old[0], (ModulePath{k64, kTarvelLayeredGuid, kPaths.path64}));
  const auto paths = w.paths;
  std::vector<std::string> report;
  ASSERT_EQ(ReplaceTarvel(w, w, kNewPaths, w.Expander(), &report), "");
  // The 32-bit chains went meanwhile: passed over.
  ASSERT_EQ(w.Deinstall(k32, kTarvelChainGuid), "");
  report.clear();
  EXPECT_EQ(PointTarvelModules(w, old, &report), "");
  EXPECT_EQ(w.paths[k64], paths.at(k64));
  EXPECT_EQ(w.paths[k32][kTarvelLayeredGuid.ToString()], kPaths.path32);
  EXPECT_EQ(report,
            (std::vector<std::string>{"64-bit catalog: provider " + kTarvelLayeredGuid.ToString() +
                                          ": 1 entry name " + kPaths.path64 + " again",
                                      "64-bit catalog: provider " + kTarvelChainGuid.ToString() +
                                          ": 6 entries name " + kPaths.path64 + " again",
                                      "32-bit catalog: provider " + kTarvelLayeredGuid.ToString() +
                                          ": 1 entry name " + kPaths.path32 + " again",
                                      "32-bit catalog: provider " + kTarvelChainGuid.ToString() +
                                          ": no entry left to point at " + kPaths.path32}));
}

}  // namespace
}  // namespace tarvel::ctl
