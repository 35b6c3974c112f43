// tarvelctl under Wine: its registry for real, the glue to the Winsock
// catalog as far as Wine has one, install over a fake catalog with the real
// registry and the real tarvel.dll behind it, and tarvelctl.exe run as an
// administrator runs it, reaching this process's filter at its next send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win/machine_settings.h"
#include "state/url_list.h"
#include "tests/testing/tarvelctl_fakes.h"
#include "tests/wine/harness.h"
#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/win/registry.h"
#include "tools/tarvelctl/win/winsock_catalog.h"

namespace tarvel::wine {
namespace {

using ctl::CatalogKind;
using ctl::kLowerPathsKey;

constexpr int kShutdown = 27;
constexpr int kSend = 23;

// --- running tarvelctl.exe ------------------------------------------------------

// Runs BinDir()\tarvelctl.exe with `args`; its exit code and both streams.
Ran Tarvelctl(const std::string& args) { return RunCaptured(BinDir() + "tarvelctl.exe", args); }

std::string Dll() { return "--dll \"" + BinDir() + "tarvel.dll\""; }
// The filter of this process's kind alone: these tests run no filter of the
// other kind (BothArchitectures.* does).
std::string OwnFilter() { return Dll() + " --own-only"; }

// The first line of a text, without its CR LF.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

// --- the registry -----------------------------------------------------------------

bool ReadValue(REGSAM view, const char* key_path, const std::string& name, std::string* bytes,
               DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  char data[1024];
  DWORD size = sizeof data;
  const bool ok = RegQueryValueExA(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(data),
                                   &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (ok) bytes->assign(data, size);
  return ok;
}

bool KeyExists(REGSAM view, const char* key_path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void RemoveKey(REGSAM view, const char* key_path) {
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key_path, view, 0);
}

// Everything under the lookup key, from both views.
std::map<std::string, std::string> LowerPathValues() {
  std::map<std::string, std::string> all;
  for (CatalogKind view : {CatalogKind::k64, CatalogKind::k32}) {
    std::map<std::string, std::string> values;
    EXPECT_EQ(ctl::RegistryLowerPaths().Read(view, &values), "");
    all.insert(values.begin(), values.end());
  }
  return all;
}

// Takes the values under the key of the lower providers away for a test and
// puts them back afterwards (the demonstration keeps one there).
class SavedLowerPaths {
 public:
  SavedLowerPaths() {
    saved_ = LowerPathValues();
    Clear();
  }
  ~SavedLowerPaths() {
    Clear();
    for (const auto& [name, data] : saved_) {
      for (CatalogKind view : {CatalogKind::k64, CatalogKind::k32}) {
        EXPECT_EQ(ctl::RegistryLowerPaths().Write(view, name, data), "");
      }
    }
  }
  SavedLowerPaths(const SavedLowerPaths&) = delete;
  SavedLowerPaths& operator=(const SavedLowerPaths&) = delete;

 private:
  static void Clear() {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) RemoveKey(view, kLowerPathsKey);
  }
  std::map<std::string, std::string> saved_;
};

TEST(TarvelctlRegistry, ValuesAreTypedAndTheKeyGoesWhenEmpty) {
  SavedLowerPaths saved;
  ctl::LowerPaths& lower = ctl::RegistryLowerPaths();
  ASSERT_EQ(lower.Write(CatalogKind::k64, "77001", "%SystemRoot%\\system32\\x.dll"), "");
  ASSERT_EQ(lower.Write(CatalogKind::k32, "77002", "C:\\y\\y.dll"), "");
  std::string bytes;
  DWORD type = 0;
  ASSERT_TRUE(ReadValue(KEY_WOW64_64KEY, kLowerPathsKey, "77001", &bytes, &type));
  EXPECT_EQ(bytes, std::string("%SystemRoot%\\system32\\x.dll") + '\0');
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  ASSERT_TRUE(ReadValue(KEY_WOW64_32KEY, kLowerPathsKey, "77002", &bytes, &type));
  EXPECT_EQ(bytes, std::string("C:\\y\\y.dll") + '\0');
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

  std::map<std::string, std::string> values;
  ASSERT_EQ(lower.Read(CatalogKind::k32, &values), "");
  EXPECT_EQ(values["77002"], "C:\\y\\y.dll");
  EXPECT_EQ(lower.Delete(CatalogKind::k64, "77001"), "");
  EXPECT_EQ(lower.Delete(CatalogKind::k64, "77001"), "");  // already gone: no error
  EXPECT_EQ(lower.DeleteKeyIfEmpty(CatalogKind::k32), "");
  EXPECT_TRUE(KeyExists(KEY_WOW64_32KEY, kLowerPathsKey));  // 77002 is still there
  EXPECT_EQ(lower.Delete(CatalogKind::k32, "77002"), "");
  EXPECT_EQ(lower.DeleteKeyIfEmpty(CatalogKind::k32), "");
  EXPECT_EQ(lower.DeleteKeyIfEmpty(CatalogKind::k64), "");
  EXPECT_FALSE(KeyExists(KEY_WOW64_32KEY, kLowerPathsKey));
  EXPECT_FALSE(KeyExists(KEY_WOW64_64KEY, kLowerPathsKey));
  values["x"] = "y";
  EXPECT_EQ(lower.Read(CatalogKind::k64, &values), "");
  EXPECT_TRUE(values.empty());
}

// --- install over a fake catalog, with the real registry and module -------------

// The fake catalog, whose base providers are the recording test provider.
ctl::testing::FakeWindows RecordingWindows() {
  ctl::testing::FakeWindows w = ctl::testing::FakeWindows::Windows64();
  for (auto& [kind, paths] : w.paths) {
    for (const ctl::Guid& base : {ctl::testing::kMsafdIpv4, ctl::testing::kMsafdIpv6}) {
      paths[base.ToString()] = BinDir() + "recording_lower_a.dll";
    }
  }
  return w;
}

const ctl::ProviderPaths kPaths{"C:\\Program Files\\Tarvel\\x64\\tarvel.dll",
                                "C:\\Program Files\\Tarvel\\x86\\tarvel.dll"};

TEST(TarvelctlInstall, ChainsOfTheRealModuleFindTheirLowerProvider) {
  SavedLowerPaths saved;
  ctl::testing::FakeWindows w = RecordingWindows();
  std::vector<std::string> report;
  ASSERT_EQ(ctl::InstallTarvel(w, ctl::RegistryLowerPaths(), kPaths, w.Expander(), &report), "");
  std::map<std::string, std::string> expected;
  for (int id = 1001; id <= 1006; ++id) {
    expected[std::to_string(id)] = BinDir() + "recording_lower_a.dll";
  }
  EXPECT_EQ(LowerPathValues(), expected);

  // tarvel.dll started for the chain over TCP/IPv4 loads the provider the
  // value names.
  const ctl::ProtocolRecord& chain = w.state.catalogs[CatalogKind::k64][0];
  ASSERT_EQ(chain.LowerId(), 1001u);
  WSAPROTOCOL_INFOW info = ProtocolInfo(chain.catalog_id, 2, {chain.chain[0], chain.chain[1]});
  EXPECT_EQ(StartTarvel(info).result, 0);

  ASSERT_EQ(ctl::UninstallTarvel(w, ctl::RegistryLowerPaths(), &report), "");
  EXPECT_FALSE(KeyExists(KEY_WOW64_64KEY, kLowerPathsKey));
  EXPECT_EQ(StartTarvel(info).result, WSAEPROVIDERFAILEDINIT);
}

TEST(TarvelctlInstall, EveryFailureLeavesTheRealValuesAsTheyWere) {
  SavedLowerPaths saved;
  ctl::testing::FakeWindows clean = RecordingWindows();
  std::vector<std::string> report;
  ASSERT_EQ(ctl::InstallTarvel(clean, ctl::RegistryLowerPaths(), kPaths, clean.Expander(), &report),
            "");
  const int steps = clean.steps;
  ASSERT_EQ(ctl::UninstallTarvel(clean, ctl::RegistryLowerPaths(), &report), "");
  for (int step = 1; step <= steps; ++step) {
    ctl::testing::FakeWindows w = RecordingWindows();
    ASSERT_EQ(ctl::RegistryLowerPaths().Write(CatalogKind::k64, "1001", "C:\\old\\old.dll"), "");
    w.fail_at = step;
    EXPECT_NE(ctl::InstallTarvel(w, ctl::RegistryLowerPaths(), kPaths, w.Expander(), &report), "")
        << step;
    EXPECT_EQ(LowerPathValues(), (std::map<std::string, std::string>{{"1001", "C:\\old\\old.dll"}}))
        << step;
    EXPECT_EQ(w.state.catalogs, RecordingWindows().state.catalogs) << step;
  }
}

// --- the Winsock glue ----------------------------------------------------------

TEST(TarvelctlCatalog, RecordsRoundTripThroughWsaProtocolInfo) {
  ctl::ProtocolRecord r =
      ctl::testing::FakeWindows::Windows64().state.catalogs[CatalogKind::k64][3];
  r.chain_length = 7;
  r.chain = {1, 2, 3, 4, 5, 6, 0xFFFFFFFF};
  r.provider_reserved = 0xA5A5A5A5;
  r.name = std::u16string(255, u'n');
  EXPECT_EQ(ctl::ToRecord(ctl::ToProtocolInfo(r)), r);
  const WSAPROTOCOL_INFOW info = ctl::ToProtocolInfo(r);
  EXPECT_EQ(info.szProtocol[255], L'\0');
  EXPECT_EQ(info.ProviderId.Data1, r.provider_id.data1);
  EXPECT_EQ(std::memcmp(info.ProviderId.Data4, r.provider_id.data4.data(), 8), 0);
}

TEST(TarvelctlCatalog, ReadsTheCatalogOfThisProcess) {
  std::vector<ctl::ProtocolRecord> records;
  ASSERT_EQ(ctl::WinsockCatalog().Enumerate(CatalogKind::k64, &records), "");
  const auto tcp = std::find_if(records.begin(), records.end(), [](const ctl::ProtocolRecord& r) {
    return r.IsBase() && r.address_family == AF_INET && r.socket_type == SOCK_STREAM;
  });
  ASSERT_NE(tcp, records.end());
  EXPECT_EQ(tcp->protocol, IPPROTO_TCP);
  EXPECT_NE(tcp->catalog_id, 0u);
}

// --- tarvelctl.exe ---------------------------------------------------------------

TEST(TarvelctlExe, UsageAndHelp) {
  Ran ran = Tarvelctl("");
  EXPECT_EQ(ran.code, 2);
  EXPECT_EQ(ran.err, "tarvelctl: no command given; see \"tarvelctl help\"\r\n");
  ran = Tarvelctl("block");
  EXPECT_EQ(ran.code, 2);
  EXPECT_EQ(ran.err,
            "tarvelctl: missing arguments (usage: tarvelctl block HOST [--persist] [--own-only] "
            "[--dll PATH] [--dll32 PATH])\r\n");
  ran = Tarvelctl("uninstall --help");
  EXPECT_EQ(ran.code, 0);
  EXPECT_EQ(FirstLine(ran.out),
            "usage: tarvelctl uninstall [--purge] [--keep-installed] [--retire DIR]");
  EXPECT_EQ(ran.err, "");
}

// Wine's catalog functions are stubs and it has no 32-bit catalog functions:
// install stops before changing anything.
TEST(TarvelctlExe, InstallUnderWineChangesNothing) {
  SavedLowerPaths saved;
  // A stand-in for the 32-bit module: the machine field is all that is read.
  const std::string dll32 = TempPath("x86-tarvel.dll");
  CreateDirectoryA(dll32.c_str(), nullptr);
  std::string image(0x200, '\0');
  image.replace(0, 2, "MZ");
  image[0x3C] = 0x40;
  image.replace(0x40, 6, std::string("PE\0\0\x4C\x01", 6));
  WriteFileBytes(dll32 + "\\tarvel.dll", image);
  const Ran ran = Tarvelctl("install " + Dll() + " --dll32 \"" + dll32 + "\\tarvel.dll\"");
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(ran.err, "tarvelctl: install failed: this Windows has no WSCEnumProtocols32\r\n");
  EXPECT_FALSE(KeyExists(KEY_WOW64_64KEY, kLowerPathsKey));
  const Ran status = Tarvelctl("status");
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(FirstLine(status.out), "64-bit catalog: tarvel is not installed");
}

// Settings written by tarvelctl, in both registry views; the default settings
// of the tests are put back afterwards.
class TarvelctlSettings : public ::testing::Test {
 protected:
  void TearDown() override {
    RemoveKey(kOtherView, "Software\\Tarvel");
    PrepareDefaultSettings();
  }

  // The registry view of the other kind of programs than this process's.
  static constexpr REGSAM kOtherView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
};

TEST_F(TarvelctlSettings, ConfigSetStoresTheFormsTheModuleReads) {
  RemoveSetting("catdir");  // the tests' own, in this view only; config set cannot set it
  const std::string list = TempPath("ctl-white.lst");
  WriteFileBytes(list, ListFileBytes({"a.example"}));
  ASSERT_EQ(Tarvelctl("config set blacklib \"" + list + "\"").code, 0);
  ASSERT_EQ(Tarvelctl("config set iswhi on").code, 0);
  ASSERT_EQ(Tarvelctl("config set issma off").code, 0);
  ASSERT_EQ(Tarvelctl("config set issni on").code, 0);
  const Ran set = Tarvelctl("config set whitelib \"" + list + "\"");
  ASSERT_EQ(set.code, 0) << set.err;
  EXPECT_EQ(FirstLine(set.out), "whitelib = " + list + " for 64-bit and 32-bit programs");
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    std::string bytes;
    DWORD type = 0;
    ASSERT_TRUE(ReadValue(view, "Software\\Tarvel", "iswhi", &bytes, &type)) << view;
    EXPECT_EQ(bytes, std::string("1") + std::string(9, '\0'));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    ASSERT_TRUE(ReadValue(view, "Software\\Tarvel", "issma", &bytes, &type));
    EXPECT_EQ(bytes, std::string("0") + std::string(9, '\0'));
    ASSERT_TRUE(ReadValue(view, "Software\\Tarvel", "issni", &bytes, &type));
    EXPECT_EQ(bytes, std::string("1") + std::string(9, '\0'));
    ASSERT_TRUE(ReadValue(view, "Software\\Tarvel", "whitelib", &bytes, &type));
    std::string stored = list;
    stored.resize(260, '\0');
    EXPECT_EQ(bytes, stored);
  }
  const Ran show = Tarvelctl("config show");
  EXPECT_EQ(show.code, 0);
  EXPECT_NE(show.out.find("  iswhi     on (white-only mode)\r\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("  issni     on (HTTPS filter)\r\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("  whitelib  " + list + " (loads: 1 entry)\r\n"), std::string::npos);
  EXPECT_NE(show.out.find("HKLM\\Software\\Tarvel (32-bit programs): the same\r\n"),
            std::string::npos);
}

// The live commands reach this process's filter, which holds tarvel.dll.
class TarvelctlLive : public ::testing::Test {
 protected:
  void SetUp() override {
    TarvelBlock();  // this process holds tarvel.dll and its block
    ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair_)) << WSAGetLastError();
  }

  // The lower entries a request naming `host` reaches through tarvel.
  std::string Send(const std::string& host) {
    WSPPROC_TABLE table = StartOverRecorder();
    const std::string request = "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    WSABUF buffer{static_cast<ULONG>(request.size()), const_cast<char*>(request.data())};
    DWORD sent = 0;
    INT error = 0;
    table.lpWSPSend(pair_.client, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
    const RecorderState& rec = Recorder();
    std::string entries;
    for (int i = 0; i < rec.call_count && i < kMaxRecordedCalls; ++i) {
      entries += std::string(entries.empty() ? "" : ",") + (rec.calls[i].entry == kShutdown ? "cut"
                                                            : rec.calls[i].entry == kSend
                                                                ? "send"
                                                                : EntryName(rec.calls[i].entry));
    }
    return entries;
  }

  SocketPair pair_;
};

TEST_F(TarvelctlLive, BlockAndUnblockAtTheNextSend) {
  EXPECT_EQ(Send("live.example"), "send");
  Ran ran = Tarvelctl("block live.example " + OwnFilter());
  ASSERT_EQ(ran.code, 0) << ran.err;
  EXPECT_EQ(FirstLine(ran.out), "blocked \"live.example\" in the running filter (64-bit programs)");
  EXPECT_EQ(Send("www.live.example"), "cut,send");
  ran = Tarvelctl("unblock live.example " + OwnFilter());
  ASSERT_EQ(ran.code, 0) << ran.err;
  EXPECT_EQ(Send("live.example"), "send");
  ran = Tarvelctl("unblock live.example " + OwnFilter());
  EXPECT_EQ(ran.code, 4);
  EXPECT_EQ(ran.out, "\"live.example\" is not in the running blacklist of 64-bit programs\r\n");
}

TEST_F(TarvelctlLive, WhiteOnlyAndSmart) {
  ASSERT_EQ(Tarvelctl("allow ok.example " + OwnFilter()).code, 0);
  const Ran ran = Tarvelctl("white-only on " + OwnFilter());
  ASSERT_EQ(ran.code, 0) << ran.err;
  EXPECT_EQ(TarvelBlock().white_only, 1);
  EXPECT_EQ(Send("ok.example"), "send");
  EXPECT_EQ(Send("other.example"), "cut,send");
  ASSERT_EQ(Tarvelctl("white-only off " + OwnFilter()).code, 0);
  EXPECT_EQ(Send("other.example"), "send");
  ASSERT_EQ(Tarvelctl("disallow ok.example " + OwnFilter()).code, 0);

  ASSERT_EQ(Tarvelctl("smart on " + OwnFilter()).code, 0);
  EXPECT_EQ(TarvelBlock().smart_filter, 1);
  ASSERT_EQ(Tarvelctl("smart off " + OwnFilter()).code, 0);
  EXPECT_EQ(TarvelBlock().smart_filter, 0);

  ASSERT_EQ(Tarvelctl("https on " + OwnFilter()).code, 0);
  EXPECT_EQ(TarvelExtensions().https_filter, 1);
  ASSERT_EQ(Tarvelctl("https off " + OwnFilter()).code, 0);
  EXPECT_EQ(TarvelExtensions().https_filter, 0);
}

TEST_F(TarvelctlLive, StatusShowsTheRunningFilter) {
  const Ran ran = Tarvelctl("status " + OwnFilter());
  EXPECT_EQ(ran.code, 0);
  EXPECT_NE(ran.out.find("running filter (64-bit programs): white-only mode off, smart filter "
                         "off, HTTPS filter off, unlocked, lists loaded\r\n"),
            std::string::npos)
      << ran.out;
}

// What a reader of the blacklist sees: each slot below the count, as flag
// and text.
std::string Blacklist(const FilterState& state, std::int32_t slots) {
  std::string seen;
  for (std::int32_t i = 0; i < slots; ++i) {
    seen += std::to_string(state.black_active[i]) + ":" +
            std::string(state.black_entries[i], kEntryBytes) + "\n";
  }
  return seen;
}

// Wine's catalog cannot layer tarvel, so the self-test's ordinary socket is
// served by a base entry and the request reaches the listener: the
// self-test must say "not in the path", and take its test host away again.
class TarvelctlSelfTest : public ::testing::Test {
 protected:
  void SetUp() override { TarvelBlock(); }  // this process holds tarvel.dll and its block
};

TEST_F(TarvelctlSelfTest, SaysNotInThePath) {
  const std::string kind = sizeof(void*) == 8 ? "64-bit" : "32-bit";
  const std::int32_t slots = TarvelBlock().black_count;
  const std::string before = Blacklist(TarvelBlock(), slots);
  const Ran ran = Tarvelctl("selftest " + OwnFilter());
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(ran.err.rfind("tarvelctl: " + kind + " programs: not in the path: ", 0), 0u) << ran.err;
  EXPECT_NE(ran.out.find("  test host: selftest-"), std::string::npos) << ran.out;
  EXPECT_NE(ran.out.find("  request: reached the listener\r\n"), std::string::npos) << ran.out;
  EXPECT_EQ(Blacklist(TarvelBlock(), slots), before);
  for (std::int32_t i = slots; i < TarvelBlock().black_count; ++i) {
    EXPECT_EQ(TarvelBlock().black_active[i], 0) << i;
  }
}

TEST_F(TarvelctlLive, PersistWritesTheListFileTheSettingsName) {
  const std::string list = TempPath("ctl-persist-black.lst");
  WriteFileBytes(list, ListFileBytes({"old.example"}));
  std::string saved;
  ASSERT_TRUE(GetSetting("blacklib", saved));
  SetSetting("blacklib", list + '\0');
  const Ran ran = Tarvelctl("block kept.example --persist " + OwnFilter());
  SetSetting("blacklib", saved);
  ASSERT_EQ(ran.code, 0) << ran.err;
  EXPECT_EQ(FirstLine(ran.out), "\"kept.example\" added to " + list);
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(list, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"old.example", "kept.example"}));
  EXPECT_EQ(Send("kept.example"), "cut,send");
  ASSERT_EQ(Tarvelctl("unblock kept.example " + OwnFilter()).code, 0);
}

// One tarvelctl.exe run per group of commands, for the i686 tree, whose
// processes may each run emulated for a minute: it stands there for the
// TarvelctlExe, TarvelctlSettings and TarvelctlLive tests (the live commands
// run through BothArchitectures.*).
using TarvelctlExeOnce = TarvelctlSettings;

TEST_F(TarvelctlExeOnce, HelpListImportAndConfigSet) {
  Ran ran = Tarvelctl("help");
  EXPECT_EQ(ran.code, 0);
  EXPECT_NE(ran.out.find("\r\nusage: tarvelctl COMMAND [ARGUMENTS] [OPTIONS]\r\n"),
            std::string::npos)
      << ran.out;

  const std::string text = TempPath("once-hosts.txt");
  const std::string list = TempPath("once-white.lst");
  DeleteFileA(list.c_str());
  WriteFileBytes(text, "0.0.0.0 ads.example\r\ntrack.example\r\n");
  ran = Tarvelctl("list import \"" + text + "\" \"" + list + "\"");
  ASSERT_EQ(ran.code, 0) << ran.err;
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(list, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"ads.example", "track.example"}));

  ran = Tarvelctl("config set whitelib \"" + list + "\"");
  ASSERT_EQ(ran.code, 0) << ran.err;
  const char* views = sizeof(void*) == 4 ? "32-bit and 64-bit" : "64-bit and 32-bit";
  EXPECT_EQ(FirstLine(ran.out), "whitelib = " + list + " for " + views + " programs");
  std::string stored = list;
  stored.resize(260, '\0');
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    DWORD type = 0;
    ASSERT_TRUE(ReadValue(view, "Software\\Tarvel", "whitelib", &bytes, &type)) << view;
    EXPECT_EQ(bytes, stored) << view;
  }
  // The filter's own store, over this process's view, reads it back.
  char path[260] = {};
  ASSERT_EQ(MachineSettings().ReadPath("whitelib", path, sizeof path), 1);
  EXPECT_EQ(std::string(path), list);
}

TEST(TarvelctlExe, ListCommandsRoundTripAndRefuse) {
  const std::string text = TempPath("ctl-hosts.txt");
  const std::string list = TempPath("ctl-import.lst");
  DeleteFileA(list.c_str());
  WriteFileBytes(text, "# ads\r\n0.0.0.0 ads.example\r\n127.0.0.1 localhost\r\ntrack.example\r\n");
  Ran ran = Tarvelctl("list import \"" + text + "\" \"" + list + "\"");
  ASSERT_EQ(ran.code, 0) << ran.err;
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(list, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"ads.example", "track.example"}));
  ran = Tarvelctl("list export \"" + list + "\"");
  EXPECT_EQ(ran.code, 0);
  EXPECT_EQ(ran.out, "ads.example\r\ntrack.example\r\n");
  ran = Tarvelctl("list check \"" + list + "\"");
  EXPECT_EQ(ran.code, 0);
  EXPECT_EQ(FirstLine(ran.out), list + ": loads: 2 entries");

  WriteFileBytes(text, "ok.example\r\n" + std::string(101, 'x') + "\r\n");
  ran = Tarvelctl("list import \"" + text + "\" \"" + list + "\"");
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(ran.err, "tarvelctl: " + text +
                         " line 2: pattern of 101 characters; a list entry holds at most 100\r\n");
  std::string many;
  for (int i = 0; i < 1999; ++i) many += "h" + std::to_string(i) + ".example\n";
  WriteFileBytes(text, many);
  ran = Tarvelctl("list import \"" + text + "\" \"" + list + "\"");
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(ran.err, "tarvelctl: " + list +
                         " would hold 2001 entries; the filter loads at most 2000, so nothing was "
                         "imported\r\n");
  ASSERT_TRUE(ReadFileBytes(list, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"ads.example", "track.example"}));

  WriteFileBytes(list, "TARVELINTERNETFILTE");
  ran = Tarvelctl("list check \"" + list + "\"");
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(ran.out, list +
                         ": does not load: too short for a header: a list file starts with the "
                         "20 characters TARVELINTERNETFILTER and a NUL byte\r\n");
}

// list check judges a file with the filter's own open: a file that another
// program holds for reading only loads, a read-only one does not.
TEST(TarvelctlExe, ListCheckOpensAsTheFilterDoes) {
  const std::string list = TempPath("ctl-check.lst");
  WriteFileBytes(list, ListFileBytes({"a.example"}));
  HANDLE other =
      CreateFileA(list.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  Ran ran = Tarvelctl("list check \"" + list + "\"");
  CloseHandle(other);
  EXPECT_EQ(ran.code, 0);
  EXPECT_EQ(FirstLine(ran.out), list + ": loads: 1 entry");

  ASSERT_TRUE(SetFileAttributesA(list.c_str(), FILE_ATTRIBUTE_READONLY));
  ran = Tarvelctl("list check \"" + list + "\"");
  SetFileAttributesA(list.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(list.c_str());
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(FirstLine(ran.out), list +
                                    ": does not load: the file is read-only, and the filter "
                                    "refuses a read-only list file");
}

// The browser policies in the prefix's registry, both views: apply writes
// them, remove takes them and the keys it made away again.
TEST(TarvelctlExe, BrowserPoliciesApplyAndRemove) {
  constexpr char kChrome[] = "Software\\Policies\\Google\\Chrome";
  constexpr char kFirefoxDoh[] = "Software\\Policies\\Mozilla\\Firefox\\DNSOverHTTPS";
  // A hosts file of the test's own: the SafeSearch lines (when the names
  // resolve here) go in and out again, the administrator's lines stay.
  const std::string hosts = TempPath("hosts");
  const std::string own = "127.0.0.1 localhost\r\n10.0.0.5 intranet.school\r\n";
  WriteFileBytes(hosts, own);
  Ran ran = Tarvelctl("browsers apply --safesearch moderate --hosts \"" + hosts + "\"");
  ASSERT_EQ(ran.code, 0) << ran.err;
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(hosts, bytes));
  EXPECT_EQ(bytes.rfind(own, 0), 0u);
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    DWORD value = 7;
    DWORD size = sizeof value;
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, kChrome, "NetworkServiceSandboxEnabled",
                           RRF_RT_REG_DWORD | (view == KEY_WOW64_64KEY ? RRF_SUBKEY_WOW6464KEY
                                                                       : RRF_SUBKEY_WOW6432KEY),
                           nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(KeyExists(view, kFirefoxDoh));
  }
  ran = Tarvelctl("browsers show --hosts \"" + hosts + "\"");
  EXPECT_NE(ran.out.find("Edge     ForceBingSafeSearch = 1 (set by tarvelctl)"), std::string::npos)
      << ran.out;
  ran = Tarvelctl("browsers remove --hosts \"" + hosts + "\"");
  ASSERT_EQ(ran.code, 0) << ran.err;
  ASSERT_TRUE(ReadFileBytes(hosts, bytes));
  EXPECT_EQ(bytes, own);
  DeleteFileA(hosts.c_str());
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    EXPECT_FALSE(KeyExists(view, kChrome));
    EXPECT_FALSE(KeyExists(view, "Software\\Policies\\Mozilla"));
  }
}

// The files beside `path` whose names start with its own and go on.
std::vector<std::string> FilesBeside(const std::string& path) {
  const std::string own = path.substr(path.find_last_of('\\') + 1);
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((path + "?*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (found.cFileName != own) names.push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

// ReplaceFile with a backup name over real files: a swap that succeeds and
// one that a program holding the list refuses both leave the list whole and
// nothing beside it.
TEST(TarvelctlFiles, ReplaceLeavesAWholeListAndNothingBeside) {
  const std::string list = TempPath("ctl-replace.lst");
  WriteFileBytes(list, ListFileBytes({"old.example"}));
  ASSERT_EQ(ctl::ReplaceFileWith(list, ListFileBytes({"new.example"})), "");
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(list, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"new.example"}));
  EXPECT_EQ(FilesBeside(list), std::vector<std::string>{});

  HANDLE editor = CreateFileA(list.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(editor, INVALID_HANDLE_VALUE);
  const std::string error = ctl::ReplaceFileWith(list, ListFileBytes({"other.example"}));
  CloseHandle(editor);
  EXPECT_EQ(error.rfind("cannot replace " + list + ": ", 0), 0u) << error;
  ASSERT_TRUE(ReadFileBytes(list, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"new.example"}));
  EXPECT_EQ(FilesBeside(list), std::vector<std::string>{});
  DeleteFileA(list.c_str());
}

}  // namespace
}  // namespace tarvel::wine
