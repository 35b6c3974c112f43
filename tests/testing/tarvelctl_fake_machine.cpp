#include "tests/testing/tarvelctl_fake_machine.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "state/url_list.h"
#include "tests/testing/state_builder.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/list_file.h"
#include "tools/tarvelctl/pe.h"

namespace tarvel::ctl::testing {
namespace {

class FakeLiveFilter : public LiveFilter {
 public:
  // `admin`: whether this process's caller has the rights a locked filter
  // asks for, as the real module reads them from its token.
  FakeLiveFilter(FilterState* state, SharedExtensions* extensions, const bool* admin)
      : state_(state), extensions_(extensions), admin_(admin) {}
  int AddWhiteUrl(const char* text) override {
    return Unlocked() ? AddUrl(*state_, ListKind::kWhite, text) : 0;
  }
  int AddBlackUrl(const char* text) override {
    return Unlocked() ? AddUrl(*state_, ListKind::kBlack, text) : 0;
  }
  int DelWhiteUrl(const char* text) override {
    return Unlocked() ? DelUrl(*state_, ListKind::kWhite, text) : 0;
  }
  int DelBlackUrl(const char* text) override {
    return Unlocked() ? DelUrl(*state_, ListKind::kBlack, text) : 0;
  }
  int SetOnlyWhiteUrl(int value) override {
    return Unlocked() ? SetFlag(state_->white_only, value) : 0;
  }
  int SetSmartFilter(int value) override {
    return Unlocked() ? SetFlag(state_->smart_filter, value) : 0;
  }
  // An older tarvel.dll (no extensions) has no such export.
  int SetHttpsFilter(int value) override {
    if (extensions_ == nullptr) return 0;
    return Unlocked() ? SetFlag(extensions_->https_filter, value) : 0;
  }
  int SetLocked(int value) override {
    if (extensions_ == nullptr) return -1;
    return *admin_ ? SetFlag(extensions_->locked, value) : 0;
  }
  int SetCategory(const char* name, unsigned serial) override {
    if (extensions_ == nullptr) return -1;
    return Unlocked() ? PublishCategory(extensions_->categories_generation, extensions_->categories,
                                        name, serial)
                      : 0;
  }
  int RemoveCategory(const char* name) override {
    if (extensions_ == nullptr) return -1;
    return Unlocked()
               ? WithdrawCategory(extensions_->categories_generation, extensions_->categories, name)
               : 0;
  }
  const FilterState* State() const override { return state_; }
  const SharedExtensions* Extensions() const override { return extensions_; }
  const SharedCategories* Categories() const override {
    return extensions_ != nullptr ? &extensions_->categories : nullptr;
  }

 private:
  FilterState* state_;
  bool Unlocked() const { return extensions_ == nullptr || !IsOn(extensions_->locked) || *admin_; }

  SharedExtensions* extensions_;
  const bool* admin_;
};

// The active entries of the blacklist, in slot order.
std::vector<std::string> ActiveBlacklist(const FilterState& state) {
  const UrlList list = ListOf(state, ListKind::kBlack);
  std::vector<std::string> active;
  const std::int32_t count = std::min(Load(*list.count), kListSlots);
  for (std::int32_t i = 0; i < count; ++i) {
    if (Load(list.active[i]) == 1) {
      active.emplace_back(list.entries[i], strnlen(list.entries[i], kEntryBytes));
    }
  }
  return active;
}

class FakeProbe : public LoopbackProbe {
 public:
  FakeProbe(FakeMachine& machine, int port) : machine_(machine), port_(port) {}
  int Port() const override { return port_; }
  ProbeResult Exchange(const std::string& request) override {
    machine_.requests.push_back(request);
    machine_.blacklist_during = ActiveBlacklist(*machine_.block);
    ProbeResult result;
    if (!machine_.connect_error.empty()) {
      result.error = machine_.connect_error;
      return result;
    }
    std::vector<ProtocolRecord> records;
    (void)machine_.catalog().Enumerate(machine_.OwnKind(), &records);
    std::uint32_t layered = 0;
    for (const ProtocolRecord& r : records) {
      if (r.provider_id == kTarvelLayeredGuid && r.IsLayered()) layered = r.catalog_id;
    }
    const auto through_tarvel = [&](const ProtocolRecord& r) {
      return layered != 0 && r.IsChain() && r.chain[0] == layered;
    };
    const ProtocolRecord* served = nullptr;
    for (const ProtocolRecord& r : records) {
      const bool wanted =
          machine_.probe_entry != 0 ? r.catalog_id == machine_.probe_entry : through_tarvel(r);
      if (wanted && served == nullptr) served = &r;
    }
    for (const ProtocolRecord& r : records) {
      if (served == nullptr && r.IsBase()) served = &r;
    }
    if (served == nullptr) {
      result.error = "no catalog entry for TCP";
      return result;
    }
    result.have_entry = machine_.probe_tells_entry;
    if (result.have_entry) result.entry = *served;
    const std::size_t at = request.find("Host: ");
    const std::string host = request.substr(at + 6, request.find("\r\n", at) - at - 6);
    const auto& black = machine_.blacklist_during;
    const bool cut = machine_.probe_cuts && through_tarvel(*served) &&
                     std::find(black.begin(), black.end(), host) != black.end();
    if (cut) {
      result.send_error = "WSAESHUTDOWN (error 10058)";
    } else {
      result.listener_got_request = true;
    }
    return result;
  }

 private:
  FakeMachine& machine_;
  int port_;
};

std::int64_t OffsetTicks(int minutes) {
  return static_cast<std::int64_t>(minutes) * 60 * static_cast<std::int64_t>(kTicksPerSecond);
}

}  // namespace

bool FakeClock::ToLocal(std::uint64_t utc, CivilTime* local) {
  *local = CivilOf(
      static_cast<std::uint64_t>(static_cast<std::int64_t>(utc) + OffsetTicks(offset_minutes)));
  return true;
}

bool FakeClock::FromLocal(const CivilTime& local, std::uint64_t* utc) {
  std::uint64_t as_utc = 0;
  if (!FileTimeOf(local, &as_utc)) return false;
  *utc =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(as_utc) - OffsetTicks(offset_minutes));
  return true;
}

bool FakeClock::Wait(int) {
  ++waits;
  return on_wait ? on_wait() : false;
}

std::string PeImage(std::uint16_t machine) {
  std::string image(0x200, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  image[0x44] = static_cast<char>(machine & 0xFF);
  image[0x45] = static_cast<char>(machine >> 8);
  return image;
}

std::string StoredPath(const std::string& path) {
  std::string bytes = path;
  bytes.resize(settings::kTextBytes, '\0');
  return bytes;
}

std::string ListBytes(std::vector<std::string> entries) {
  ListFile list = NewListFile();
  list.entries = std::move(entries);
  return SerializeListFile(list);
}

FakeMachine::FakeMachine(const std::filesystem::path& folder)
    : block(tarvel::testing::NewState()),
      extensions(std::make_unique<SharedExtensions>()),
      root(folder),
      cwd(folder / "cwd") {
  ResetToInitial(*extensions);
  block->attach_counter = 7;  // other programs hold the module
  std::filesystem::create_directories(root / "x64");
  std::filesystem::create_directories(root / "x86");
  std::filesystem::create_directories(cwd);
  std::ofstream(root / "x64" / "tarvel.dll", std::ios::binary) << PeImage(kMachineX64);
  std::ofstream(root / "x86" / "tarvel.dll", std::ios::binary) << PeImage(kMachineX86);
  for (CatalogKind kind : {CatalogKind::k64, CatalogKind::k32}) {
    keys[kind].key_exists = false;
    stores[kind] = std::make_unique<SettingsStore>(keys[kind]);
  }
  // The settings share their key with the other values tarvelctl keeps.
  policies.on_remove_key = [this](CatalogKind view, const std::string& key) {
    if (key != "Software\\Tarvel") return;
    keys[view].values.clear();
    keys[view].key_exists = false;
  };
}

FileSteps::Removal HoldingFileSteps::RemoveNowOrAtRestart(const std::string& path,
                                                          std::string* error) {
  std::error_code ec;
  const bool full_folder =
      std::filesystem::is_directory(path, ec) && !std::filesystem::is_empty(path, ec);
  if (held.count(path) == 1 || full_folder) {
    marked.push_back(path);
    return Removal::kAtRestart;
  }
  return RealFileSteps::RemoveNowOrAtRestart(path, error);
}

std::vector<CatalogKind> FakeMachine::SettingsViews() {
  if (own == CatalogKind::k64) return {CatalogKind::k64, CatalogKind::k32};
  return {CatalogKind::k32};
}

std::string FakeMachine::ProgramFolder() {
  return (root / (own == CatalogKind::k64 ? "x64" : "x86")).string() + "/";
}

std::string FakeMachine::FullPath(const std::string& path) {
  std::string slashed = path;
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  std::filesystem::path p(slashed);
  if (p.is_relative()) p = cwd / p;
  return p.lexically_normal().string();
}

std::unique_ptr<LiveFilter> FakeMachine::LoadFilter(const std::string& path, std::string* error) {
  loaded.push_back(path);
  if (!load_error.empty()) {
    *error = load_error;
    return nullptr;
  }
  return std::make_unique<FakeLiveFilter>(block.get(), extensions.get(), &admin);
}

}  // namespace tarvel::ctl::testing

namespace tarvel::ctl::testing {

FakeMachine& FakeMachine::AddOtherTool() {
  other = std::make_unique<FakeMachine>(root);
  other->own = own == CatalogKind::k64 ? CatalogKind::k32 : CatalogKind::k64;
  other->wow64 = other->own == CatalogKind::k32;
  other->cwd = cwd;
  other->shares_ = &system();
  return *other;
}

std::unique_ptr<LoopbackProbe> FakeMachine::ListenOnLoopback(int port, bool* busy,
                                                             std::string* error) {
  *busy = busy_ports.count(port) == 1;
  if (*busy) {
    *error = "port " + std::to_string(port) + " is taken";
    return nullptr;
  }
  if (!listen_error.empty()) {
    *error = listen_error;
    return nullptr;
  }
  listened.push_back(port);
  return std::make_unique<FakeProbe>(*this, port);
}

ProgramRun FakeMachine::RunProgram(const std::string& path, const std::vector<std::string>& args) {
  std::vector<std::string> run = {path};
  run.insert(run.end(), args.begin(), args.end());
  runs.push_back(run);
  ProgramRun result;
  if (other == nullptr || path != other->ProgramFolder() + "tarvelctl.exe") {
    result.error = "cannot run " + path + ": The system cannot find the file specified. (error 2)";
    return result;
  }
  std::ostringstream out;
  std::ostringstream err;
  Console console{out, err};
  result.started = true;
  result.code = Shell(AllCommands(*other), "").Run(args, console);
  // The other program writes its lines in text mode.
  for (std::ostringstream* stream : {&out, &err}) {
    std::string text;
    for (char c : stream->str()) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    (stream == &out ? result.out : result.err) = text;
  }
  return result;
}

RegValue FakePolicyRegistry::Read(CatalogKind view, const std::string& key,
                                  const std::string& name) {
  const auto it = values.find({view, key, name});
  return it == values.end() ? RegValue{} : it->second;
}

std::string FakePolicyRegistry::Write(CatalogKind view, const std::string& key,
                                      const std::string& name, const RegValue& value) {
  if (++steps == fail_at) return "injected failure";
  values[{view, key, name}] = value;
  return "";
}

std::string FakePolicyRegistry::Delete(CatalogKind view, const std::string& key,
                                       const std::string& name) {
  if (++steps == fail_at) return "injected failure";
  values.erase({view, key, name});
  return "";
}

bool FakePolicyRegistry::KeyExists(CatalogKind view, const std::string& key) {
  if (keys.count({view, key}) == 1) return true;
  for (const auto& [place, value] : values) {
    if (std::get<0>(place) == view && std::get<1>(place) == key) return true;
  }
  return false;
}

std::string FakePolicyRegistry::RemoveKey(CatalogKind view, const std::string& key) {
  if (++steps == fail_at) return "injected failure";
  std::erase_if(values, [&](const auto& v) {
    return std::get<0>(v.first) == view && std::get<1>(v.first) == key;
  });
  keys.erase({view, key});
  if (on_remove_key) on_remove_key(view, key);
  return "";
}

}  // namespace tarvel::ctl::testing
