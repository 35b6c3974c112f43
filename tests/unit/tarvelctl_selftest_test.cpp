// tarvelctl selftest over a fake machine: fake catalogs, a running filter
// whose block the real list code edits, and a fake loopback probe whose
// socket is cut when it goes through a tarvel chain and names a
// blacklisted host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>

#include "state/url_list.h"
#include "tests/testing/tarvelctl_fake_machine.h"
#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/install.h"

namespace tarvel::ctl {
namespace {

using testing::FakeMachine;

constexpr CatalogKind k64 = CatalogKind::k64;

// The id of the first base entry of a catalog: a socket there passes by tarvel.
std::uint32_t FirstBase(FakeMachine& m, CatalogKind kind) {
  std::vector<ProtocolRecord> records;
  EXPECT_EQ(m.catalog().Enumerate(kind, &records), "");
  for (const ProtocolRecord& r : records) {
    if (r.IsBase()) return r.catalog_id;
  }
  return 0;
}

// Everything of the block's two lists and mode flags that a reader sees:
// the slots below the count, as flag and text, and the flags.
std::string Lists(const FilterState& state, std::int32_t black_slots) {
  std::string seen;
  for (ListKind kind : {ListKind::kWhite, ListKind::kBlack}) {
    const UrlList list = ListOf(state, kind);
    const std::int32_t count = kind == ListKind::kBlack ? black_slots : Load(*list.count);
    for (std::int32_t i = 0; i < count; ++i) {
      seen += std::to_string(Load(list.active[i])) + ":" +
              std::string(list.entries[i], kEntryBytes) + "\n";
    }
  }
  return seen + std::to_string(state.white_only) + std::to_string(state.smart_filter);
}

class SelfTest : public ::testing::Test {
 protected:
  SelfTest() : m_(folder_.path()) {
    m_.AddOtherTool();
    for (FakeMachine* m : {&m_, m_.other.get()}) {
      m->block->lists_ready = 1;
      AddUrl(*m->block, ListKind::kBlack, "ads.example");
      AddUrl(*m->block, ListKind::kWhite, "school.example");
    }
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    return Shell(AllCommands(m_), "").Run(args, console);
  }
  void Install() {
    ASSERT_EQ(Run({"install"}), kExitOk) << err_.str();
    m_.runs.clear();
  }
  std::string Host() {
    return "selftest-" + std::to_string(m_.files.ProcessId()) + ".tarvel.invalid";
  }
  bool Said(const std::string& text) const { return out_.str().find(text) != std::string::npos; }

  tarvel::testing::TempFolder folder_;  // before m_, which lives in it
  FakeMachine m_;
  std::ostringstream out_;
  std::ostringstream err_;
};

// --- a filter in the path ----------------------------------------------------

TEST_F(SelfTest, InThePathOfBothKindsExitsZero) {
  Install();
  EXPECT_EQ(Run({"selftest"}), kExitOk) << err_.str();
  EXPECT_EQ(err_.str(), "");
  EXPECT_TRUE(Said("Self-test of the filter of 64-bit programs:\n")) << out_.str();
  EXPECT_TRUE(Said("Self-test of the filter of 32-bit programs:\n")) << out_.str();
  EXPECT_TRUE(Said("  listener: 127.0.0.1:8080\n"));
  EXPECT_TRUE(Said("  test host: " + Host() + " (on the blacklist for the test only)\n"));
  EXPECT_TRUE(
      Said("  request: cut (send failed: WSAESHUTDOWN (error 10058)), the listener never "
           "received it\n"));
  EXPECT_TRUE(Said(", " + folder_.Path("x64/tarvel.dll") + "\n")) << out_.str();
  EXPECT_TRUE(
      Said("tarvel is in the path of 64-bit programs and 32-bit programs and cut the "
           "request naming its test host.\n"));
  ASSERT_EQ(m_.requests.size(), 1u);
  EXPECT_EQ(m_.requests[0], "GET / HTTP/1.1\r\nHost: " + Host() + "\r\nConnection: close\r\n\r\n");
  ASSERT_EQ(m_.runs.size(), 1u);
  EXPECT_EQ(m_.runs[0], (std::vector<std::string>{folder_.Path("x86/tarvelctl.exe"), "selftest",
                                                  "--own-only"}));
}

TEST_F(SelfTest, OwnOnlyTestsThisKindAlone) {
  Install();
  EXPECT_EQ(Run({"selftest", "--own-only"}), kExitOk) << err_.str();
  EXPECT_TRUE(m_.runs.empty());
  EXPECT_TRUE(Said("tarvel is in the path of 64-bit programs and cut"));
}

TEST_F(SelfTest, ListensOnPort80WhenPort8080IsTaken) {
  Install();
  m_.busy_ports = {8080};
  EXPECT_EQ(Run({"selftest", "--own-only"}), kExitOk) << err_.str();
  EXPECT_EQ(m_.listened, std::vector<int>{80});
  EXPECT_TRUE(Said("  listener: 127.0.0.1:80\n"));
}

// --- each reason for exit 1 --------------------------------------------------

struct Reason {
  const char* name;
  bool install;
  std::function<void(FakeMachine&)> setup;
  std::vector<std::string> extra;  // more arguments
  std::string error;               // the one line after "tarvelctl: 64-bit programs: "
  bool exchanged;                  // whether the probe sent its request
};

class SelfTestReasons : public SelfTest, public ::testing::WithParamInterface<Reason> {};

TEST_P(SelfTestReasons, ExitOneWithTheReason) {
  if (GetParam().install) Install();
  GetParam().setup(m_);
  std::vector<std::string> args = {"selftest", "--own-only"};
  args.insert(args.end(), GetParam().extra.begin(), GetParam().extra.end());
  EXPECT_EQ(Run(args), kExitFailed);
  std::string error = GetParam().error;
  if (const std::size_t at = error.find('$'); at != std::string::npos) error.replace(at, 1, Host());
  EXPECT_EQ(err_.str(), "tarvelctl: 64-bit programs: " + error + "\n");
  EXPECT_TRUE(Said("  result: " + error + "\n")) << out_.str();
  EXPECT_EQ(m_.requests.size(), GetParam().exchanged ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SelfTestReasons,
    ::testing::Values(
        Reason{"NotInstalled",
               false,
               [](FakeMachine&) {},
               {},
               "not installed: tarvel has no entry in the 64-bit catalog",
               false},
        Reason{"NotInstalledButModuleNamed",
               false,
               [](FakeMachine&) {},
               {"--dll", "mod.dll"},
               "not in the path: this process's sockets are not in a tarvel chain (catalog entry "
               "1001 \"MSAFD Tcpip [TCP/IP]\" served the test socket)",
               true},
        Reason{"NotInThisProcesssChain",
               true,
               [](FakeMachine& m) { m.probe_entry = FirstBase(m, k64); },
               {},
               "not in the path: this process's sockets are not in a tarvel chain (catalog entry "
               "1001 \"MSAFD Tcpip [TCP/IP]\" served the test socket)",
               true},
        Reason{"EntryNotTold",
               true,
               [](FakeMachine& m) { m.probe_tells_entry = false; },
               {},
               "not in the path: this process's sockets are not in a tarvel chain (entry unknown "
               "served the test socket)",
               true},
        Reason{"ListsNotReady",
               true,
               [](FakeMachine& m) { m.block->lists_ready = 0; },
               {},
               "lists not ready: the filter has not loaded its list files, so it judges no host "
               "(see tarvelctl status)",
               false},
        Reason{"LockedAndNotAdministrator",
               true,
               [](FakeMachine& m) {
                 m.extensions->locked = 1;
                 m.admin = false;
               },
               {},
               "the filter is locked and this is not an administrator, so the self-test cannot "
               "add its test host (run it from an elevated prompt)",
               false},
        Reason{"UnlockedAndNotAdministrator",
               true,
               [](FakeMachine& m) { m.admin = false; },
               {},
               "not an administrator: the self-test adds its test host to the running filter "
               "only from an elevated prompt",
               false},
        Reason{"ListenerPortsBusy",
               true,
               [](FakeMachine& m) {
                 m.busy_ports = {8080, 80};
               },
               {},
               "listener port busy: 127.0.0.1:8080 and 127.0.0.1:80 are both taken, and the "
               "filter judges HTTP only on those ports; free one and run it again",
               false},
        Reason{"ListenerFails",
               true,
               [](FakeMachine& m) { m.listen_error = "socket failed: no buffers"; },
               {},
               "cannot start the loopback listener: socket failed: no buffers",
               false},
        Reason{"BlacklistFull",
               true,
               [](FakeMachine& m) {
                 for (int i = 1; i < kListSlots; ++i) AddUrl(*m.block, ListKind::kBlack, "x");
               },
               {},
               "the running filter refused the test host $ (is its blacklist full?)",
               false},
        Reason{"ConnectFails",
               true,
               [](FakeMachine& m) { m.connect_error = "connect failed: refused"; },
               {},
               "the test connection failed: connect failed: refused",
               true},
        Reason{"InThePathButNotCut",
               true,
               [](FakeMachine& m) { m.probe_cuts = false; },
               {},
               "the filter is in the path but let through a request naming its blacklisted "
               "test host",
               true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the test host goes again ------------------------------------------------

struct Ending {
  const char* name;
  std::function<void(FakeMachine&)> setup;
  int code;
};

class SelfTestCleanUp : public SelfTest, public ::testing::WithParamInterface<Ending> {};

// Sentinel: whatever the test's end, the lists read as before it, while the
// test host was on the blacklist during the exchange.
TEST_P(SelfTestCleanUp, ListsAsBefore) {
  Install();
  GetParam().setup(m_);
  const std::int32_t black_count = Load(*ListOf(*m_.block, ListKind::kBlack).count);
  const std::string before = Lists(*m_.block, black_count);
  EXPECT_EQ(Run({"selftest", "--own-only"}), GetParam().code) << err_.str();
  EXPECT_EQ(m_.blacklist_during, (std::vector<std::string>{"ads.example", Host()}));
  EXPECT_EQ(Lists(*m_.block, black_count), before);
  EXPECT_EQ(Load(m_.block->black_active[black_count]), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SelfTestCleanUp,
    ::testing::Values(Ending{"Passed", [](FakeMachine&) {}, kExitOk},
                      Ending{"NotInThePath",
                             [](FakeMachine& m) { m.probe_entry = FirstBase(m, k64); },
                             kExitFailed},
                      Ending{"NotCut", [](FakeMachine& m) { m.probe_cuts = false; }, kExitFailed},
                      Ending{"ConnectFailed",
                             [](FakeMachine& m) { m.connect_error = "connect failed: refused"; },
                             kExitFailed}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the other kind's result -------------------------------------------------

TEST_F(SelfTest, OtherKindsFailureIsPassedOn) {
  Install();
  m_.other->block->lists_ready = 0;
  EXPECT_EQ(Run({"selftest"}), kExitFailed);
  EXPECT_EQ(err_.str(),
            "tarvelctl: 32-bit programs: lists not ready: the filter has not "
            "loaded its list files, so it judges no host (see tarvelctl status)\n");
  EXPECT_TRUE(Said("  result: in the path, and the request was cut\n"));
  EXPECT_TRUE(Said("Self-test of the filter of 32-bit programs:\n"));
}

TEST_F(SelfTest, OwnFailureAndOtherPassNameOnlyThisKind) {
  Install();
  m_.probe_cuts = false;
  EXPECT_EQ(Run({"selftest"}), kExitFailed);
  EXPECT_EQ(err_.str(),
            "tarvelctl: 64-bit programs: the filter is in the path but let through a request "
            "naming its blacklisted test host\n");
  EXPECT_EQ(m_.other->requests.size(), 1u);
}

TEST_F(SelfTest, MissingOtherToolIsAReason) {
  Install();
  m_.other.reset();
  EXPECT_EQ(Run({"selftest"}), kExitFailed);
  EXPECT_EQ(err_.str().rfind("tarvelctl: 32-bit programs: cannot run ", 0), 0u) << err_.str();
}

TEST_F(SelfTest, OtherModuleGoesToTheOtherTool) {
  Install();
  EXPECT_EQ(Run({"selftest", "--dll32", "x86mod.dll"}), kExitOk) << err_.str();
  ASSERT_EQ(m_.runs.size(), 1u);
  EXPECT_EQ(m_.runs[0].back(), folder_.Path("cwd/x86mod.dll"));
  EXPECT_EQ(m_.other->loaded.back(), folder_.Path("cwd/x86mod.dll"));
}

}  // namespace
}  // namespace tarvel::ctl
