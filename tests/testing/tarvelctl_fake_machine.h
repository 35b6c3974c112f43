// A machine for tarvelctl's Windows commands: the fake catalogs, a settings
// key per registry view, and a running filter whose shared block lives here
// and goes through the real list-editing code. Files are real, under a
// temporary folder; Windows paths given to it lose their backslashes.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/testing/fake_settings.h"
#include "tests/testing/tarvelctl_fakes.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl::testing {

// A clock set by the test, in a zone a fixed offset from UTC. Each Wait
// counts itself and calls `on_wait`; the wait ends a --follow when that
// returns false, or when there is none.
class FakeClock : public Clock {
 public:
  std::uint64_t Now() override { return now; }
  bool ToLocal(std::uint64_t utc, CivilTime* local) override;
  bool FromLocal(const CivilTime& local, std::uint64_t* utc) override;
  bool Wait(int milliseconds) override;

  std::uint64_t now = 0;
  int offset_minutes = 60;
  std::function<bool()> on_wait;
  int waits = 0;
};

// HKEY_LOCAL_MACHINE's policy values in memory, per view. Every write and
// delete is a step; the step numbered `fail_at` (from 1) fails.
class FakePolicyRegistry : public PolicyRegistry {
 public:
  using Place = std::tuple<CatalogKind, std::string, std::string>;
  std::map<Place, RegValue> values;
  std::set<std::pair<CatalogKind, std::string>> keys;  // keys that exist beside the values'
  int fail_at = 0;
  int steps = 0;

  RegValue Read(CatalogKind view, const std::string& key, const std::string& name) override;
  std::string Write(CatalogKind view, const std::string& key, const std::string& name,
                    const RegValue& value) override;
  std::string Delete(CatalogKind view, const std::string& key, const std::string& name) override;
  bool KeyExists(CatalogKind view, const std::string& key) override;
  std::string RemoveKey(CatalogKind view, const std::string& key) override;
  // Called by RemoveKey, for the values kept elsewhere (the settings).
  std::function<void(CatalogKind, const std::string&)> on_remove_key;
};

// The real files, every step forwarded; a fake overrides the steps it bends.
class RealFileSteps : public FileSteps {
 public:
  Created CreateNew(const std::string& p, std::string* e) override { return real_.CreateNew(p, e); }
  std::string WriteFlushed(const std::string& p, const std::string& b) override {
    return real_.WriteFlushed(p, b);
  }
  bool Exists(const std::string& p) override { return real_.Exists(p); }
  std::string Replace(const std::string& t, const std::string& r, const std::string& b) override {
    return real_.Replace(t, r, b);
  }
  std::string Move(const std::string& f, const std::string& t) override { return real_.Move(f, t); }
  std::string Remove(const std::string& p) override { return real_.Remove(p); }
  FileRead Read(const std::string& p, std::string* b) override { return real_.Read(p, b); }
  unsigned long ProcessId() override { return real_.ProcessId(); }
  FileRead ListFolder(const std::string& f, std::vector<FolderFile>* files,
                      std::string* e) override {
    return real_.ListFolder(f, files, e);
  }
  std::string MakeFolders(const std::string& f) override { return real_.MakeFolders(f); }
  Removal RemoveNowOrAtRestart(const std::string& p, std::string* e) override {
    return real_.RemoveNowOrAtRestart(p, e);
  }
  FileRead ListFolders(const std::string& f, std::vector<std::string>* n, std::string* e) override {
    return real_.ListFolders(f, n, e);
  }

 private:
  FileSteps& real_ = PlatformFileSteps();
};

// The real files, except that a file in `held` stands for a module a
// process holds: RemoveNowOrAtRestart marks it, as it does a folder that is
// not empty, and lists each mark in `marked`, in order.
class HoldingFileSteps : public RealFileSteps {
 public:
  std::set<std::string> held;
  std::vector<std::string> marked;

  Removal RemoveNowOrAtRestart(const std::string& path, std::string* error) override;
};

class FakeMachine : public Machine {
 public:
  // A 64-bit Windows with the package unpacked in `folder` (x64/ and x86/
  // subfolders made here, each with a tarvel.dll of its kind).
  explicit FakeMachine(const std::filesystem::path& folder);

  Catalog& catalog() override { return system().windows; }
  LowerPaths& lower_paths() override { return system().windows; }
  CatalogKind OwnKind() override { return own; }
  bool IsWow64() override { return wow64; }
  bool IsAdministrator() override { return admin; }
  Clock& clock() override { return fake_clock; }
  FileSteps& file_steps() override { return *steps; }
  std::vector<CatalogKind> SettingsViews() override;
  SettingsStore& Settings(CatalogKind view) override { return *system().stores.at(view); }
  PolicyRegistry& policy_registry() override { return system().policies; }
  std::vector<std::string> Resolve(const std::string& host) override {
    const auto it = addresses.find(host);
    return it == addresses.end() ? std::vector<std::string>{} : it->second;
  }
  std::string ProgramFolder() override;
  std::string FullPath(const std::string& path) override;
  std::string Expand(const std::string& path) override { return path; }
  std::unique_ptr<LiveFilter> LoadFilter(const std::string& path, std::string* error) override;
  // A listener unless the port is in `busy_ports` or `listen_error` is set;
  // its exchanges follow the probe fields below.
  std::unique_ptr<LoopbackProbe> ListenOnLoopback(int port, bool* busy,
                                                  std::string* error) override;
  // Runs the other kind's tarvelctl of the package, when AddOtherTool made
  // it, through the real command code; any other program is missing.
  ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args) override;

  // Puts the other kind's tarvelctl.exe into the package: a machine of that
  // kind (a 32-bit tool on 64-bit Windows for the 64-bit one) with this one's
  // catalog and registry and a running filter of its own.
  FakeMachine& AddOtherTool();

  FakeWindows windows = FakeWindows::Windows64();
  std::map<CatalogKind, tarvel::testing::FakeSettingsKey> keys;
  std::map<CatalogKind, std::unique_ptr<SettingsStore>> stores;
  FakePolicyRegistry policies;
  std::map<std::string, std::vector<std::string>> addresses;  // what Resolve answers
  // The running filter's block; its attach counter says whether others hold it.
  std::unique_ptr<FilterState> block;
  // The extensions beside it; null stands for an older tarvel.dll.
  std::unique_ptr<SharedExtensions> extensions;
  FakeClock fake_clock;
  // The real files under the folder, unless a test puts steps of its own.
  HoldingFileSteps files;
  FileSteps* steps = &files;
  CatalogKind own = CatalogKind::k64;
  bool wow64 = false;
  bool admin = true;
  std::string load_error;              // LoadFilter fails with it when set
  std::vector<std::string> loaded;     // modules loaded
  std::filesystem::path root;          // the package folder
  std::filesystem::path cwd;           // where relative paths point
  std::unique_ptr<FakeMachine> other;  // the other kind's tarvelctl, if there
  // The loopback probe. The probe's socket is served by the catalog entry
  // `probe_entry` (the first tarvel chain of this kind's catalog when it is
  // 0 and one is there, else the first base entry), told only when
  // `probe_tells_entry`; a socket through a tarvel chain is cut when the
  // request names a host that an active blacklist entry equals.
  std::set<int> busy_ports;
  std::string listen_error;
  std::uint32_t probe_entry = 0;
  bool probe_tells_entry = true;
  bool probe_cuts = true;  // false: a filter in the path that lets all through
  std::string connect_error;
  std::vector<int> listened;                  // ports listened on, in order
  std::vector<std::string> requests;          // what each exchange sent
  std::vector<std::string> blacklist_during;  // the active blacklist at each exchange
  // The programs run: each path, then its arguments.
  std::vector<std::vector<std::string>> runs;

 private:
  FakeMachine& system() { return shares_ != nullptr ? *shares_ : *this; }
  FakeMachine* shares_ = nullptr;  // whose catalog and registry this one sees
};

// The first bytes of a PE image for `machine` (0x8664 or 0x014C).
std::string PeImage(std::uint16_t machine);

// A path value as the settings store writes it: padded with NULs to 260.
std::string StoredPath(const std::string& path);

// A list file's bytes holding `entries`.
std::string ListBytes(std::vector<std::string> entries);

}  // namespace tarvel::ctl::testing
