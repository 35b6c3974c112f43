#include "tools/tarvelctl/win/windows_machine.h"

#include <winsock2.h>  // before windows.h
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/win/machine_settings.h"
#include "state/shared_state.h"
#include "tools/tarvelctl/pe.h"
#include "tools/tarvelctl/win/error_text.h"
#include "tools/tarvelctl/win/loopback_probe.h"
#include "tools/tarvelctl/win/registry.h"
#include "tools/tarvelctl/win/system_clock.h"
#include "tools/tarvelctl/win/winsock_catalog.h"

namespace tarvel::ctl {
namespace {

using TextExport = int(__cdecl*)(const char*);
using FlagExport = int(__cdecl*)(int);
using SetCategoryExport = int(__cdecl*)(const char*, unsigned int);

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// tarvel.dll in this process. The module is never unloaded: other programs'
// view of the block does not depend on it, and this process ends soon.
class LoadedFilter final : public LiveFilter {
 public:
  int AddWhiteUrl(const char* text) override { return add_white_(text); }
  int AddBlackUrl(const char* text) override { return add_black_(text); }
  int DelWhiteUrl(const char* text) override { return del_white_(text); }
  int DelBlackUrl(const char* text) override { return del_black_(text); }
  int SetOnlyWhiteUrl(int value) override { return set_white_only_(value); }
  int SetSmartFilter(int value) override { return set_smart_(value); }
  int SetHttpsFilter(int value) override { return set_https_ != nullptr ? set_https_(value) : 0; }
  int SetLocked(int value) override { return set_locked_ != nullptr ? set_locked_(value) : -1; }
  int SetCategory(const char* name, unsigned serial) override {
    return set_category_ != nullptr ? set_category_(name, serial) : -1;
  }
  int RemoveCategory(const char* name) override {
    return remove_category_ != nullptr ? remove_category_(name) : -1;
  }
  const FilterState* State() const override { return state_; }
  const SharedExtensions* Extensions() const override { return extensions_; }
  const SharedCategories* Categories() const override { return categories_; }

  std::string Bind(HMODULE module, const std::string& path) {
    struct {
      const char* name;
      TextExport* text;
      FlagExport* flag;
    } exports[] = {
        {"AddWhiteUrl", &add_white_, nullptr},          {"AddBlackUrl", &add_black_, nullptr},
        {"DelWhiteUrl", &del_white_, nullptr},          {"DelBlackUrl", &del_black_, nullptr},
        {"SetOnlyWhiteUrl", nullptr, &set_white_only_}, {"SetSmartFilter", nullptr, &set_smart_}};
    for (const auto& e : exports) {
      FARPROC proc = GetProcAddress(module, e.name);
      if (proc == nullptr) return path + " is not tarvel.dll: it has no export " + e.name;
      if (e.text != nullptr) *e.text = Export<TextExport>(module, e.name);
      if (e.flag != nullptr) *e.flag = Export<FlagExport>(module, e.name);
    }
    // Newer than the six: an older module lacks it, and says so when asked.
    set_https_ = Export<FlagExport>(module, "SetHttpsFilter");
    set_locked_ = Export<FlagExport>(module, "SetLocked");
    set_category_ = Export<SetCategoryExport>(module, "SetCategory");
    remove_category_ = Export<TextExport>(module, "RemoveCategory");
    // The block is the module's shared section, mapped at its relative
    // address; the headers fill the image's first page.
    const auto* base = reinterpret_cast<const char*>(module);
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
    if (FindPeSection(std::string_view(base, 4096), kSharedSectionName, &rva, &size) &&
        size >= sizeof(FilterState)) {
      state_ = reinterpret_cast<const FilterState*>(base + rva);
    }
    if (state_ != nullptr && size >= kSharedBytesBeforeCategories) {
      const auto* data = reinterpret_cast<const SharedData*>(base + rva);
      if (data->extensions.layout == kExtensionsLayout) extensions_ = &data->extensions;
      if (extensions_ != nullptr && size >= sizeof(SharedData)) {
        categories_ = &data->extensions.categories;
      }
    }
    return "";
  }

 private:
  TextExport add_white_ = nullptr;
  TextExport add_black_ = nullptr;
  TextExport del_white_ = nullptr;
  TextExport del_black_ = nullptr;
  FlagExport set_white_only_ = nullptr;
  FlagExport set_smart_ = nullptr;
  FlagExport set_https_ = nullptr;
  FlagExport set_locked_ = nullptr;
  SetCategoryExport set_category_ = nullptr;
  TextExport remove_category_ = nullptr;
  const FilterState* state_ = nullptr;
  const SharedExtensions* extensions_ = nullptr;
  const SharedCategories* categories_ = nullptr;
};

// One argument of a command line as the C runtime splits it again: quoted
// when it holds a blank or a quote, with the backslashes before a quote, and
// before the closing one, doubled.
std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    quoted += c;
    backslashes = 0;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + '"';
}

// A handle closed when the holder goes.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  ~OwnedHandle() { Close(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  HANDLE* Receive() { return &handle_; }
  HANDLE get() const { return handle_; }
  void Close() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Everything a pipe delivers until its writers have all closed it.
void ReadToEnd(HANDLE pipe, std::string* text) {
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &read, nullptr) && read > 0) text->append(chunk, read);
}

// A pipe whose write end a child inherits.
bool ChildPipe(OwnedHandle* read, OwnedHandle* write) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreatePipe(read->Receive(), write->Receive(), &inherit, 0) &&
         SetHandleInformation(read->get(), HANDLE_FLAG_INHERIT, 0);
}

class WindowsMachine final : public Machine {
 public:
  Catalog& catalog() override { return WinsockCatalog(); }
  LowerPaths& lower_paths() override { return RegistryLowerPaths(); }
  PolicyRegistry& policy_registry() override { return RegistryPolicies(); }
  std::vector<std::string> Resolve(const std::string& host) override {
    std::vector<std::string> found;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return found;
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0) {
      for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        if (getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), text, sizeof text,
                        nullptr, 0, NI_NUMERICHOST) == 0 &&
            std::find(found.begin(), found.end(), text) == found.end()) {
          found.push_back(text);
        }
      }
      freeaddrinfo(list);
    }
    WSACleanup();
    return found;
  }

  CatalogKind OwnKind() override {
    return sizeof(void*) == 8 ? CatalogKind::k64 : CatalogKind::k32;
  }

  bool IsWow64() override { return sizeof(void*) == 4 && Is64BitWindows(); }
  Clock& clock() override { return SystemClock(); }
  FileSteps& file_steps() override { return PlatformFileSteps(); }

  bool IsAdministrator() override {
    // Under UAC an unelevated administrator's token holds the group for
    // denying only, and the membership test says no.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators)) {
      return false;
    }
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
  }

  std::vector<CatalogKind> SettingsViews() override {
    std::vector<CatalogKind> views = {OwnKind()};
    if (Is64BitWindows()) {
      views.push_back(OwnKind() == CatalogKind::k64 ? CatalogKind::k32 : CatalogKind::k64);
    }
    return views;
  }

  // This program's own view goes through the filter's own store; the other
  // view through the same store code over a key of that view.
  SettingsStore& Settings(CatalogKind view) override {
    if (view == OwnKind()) return MachineSettings();
    static RegistrySettingsKey other_key(ViewFlag(view));
    static SettingsStore other(other_key);
    return other;
  }

  std::string ProgramFolder() override {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return ".\\";
    while (n > 0 && path[n - 1] != '\\' && path[n - 1] != '/') --n;
    return std::string(path, n);
  }

  std::string FullPath(const std::string& path) override {
    char full[MAX_PATH + 1] = {};
    const DWORD n = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return path;
    return std::string(full, n);
  }

  std::string Expand(const std::string& path) override {
    char expanded[32768] = {};
    const DWORD n = ExpandEnvironmentStringsA(path.c_str(), expanded, sizeof expanded);
    if (n == 0 || n > sizeof expanded) return path;
    return expanded;
  }

  std::unique_ptr<LiveFilter> LoadFilter(const std::string& path, std::string* error) override {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
      *error = "cannot load " + path + ": " + ErrorText(GetLastError());
      return nullptr;
    }
    auto filter = std::make_unique<LoadedFilter>();
    *error = filter->Bind(module, path);
    if (!error->empty()) return nullptr;
    return filter;
  }

  std::unique_ptr<LoopbackProbe> ListenOnLoopback(int port, bool* busy,
                                                  std::string* error) override {
    return ListenOnWinsockLoopback(port, busy, error);
  }

  ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args) override {
    ProgramRun run;
    std::string command = QuoteArgument(path);
    for (const std::string& arg : args) command += " " + QuoteArgument(arg);
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    OwnedHandle out_read, out_write, err_read, err_write, nothing;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    *nothing.Receive() = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
    if (!ChildPipe(&out_read, &out_write) || !ChildPipe(&err_read, &err_write)) {
      run.error = "cannot make a pipe: " + ErrorText(GetLastError());
      return run;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing.get();
    startup.hStdOutput = out_write.get();
    startup.hStdError = err_write.get();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
      run.error = "cannot run " + path + ": " + ErrorText(GetLastError());
      return run;
    }
    run.started = true;
    OwnedHandle process_handle, thread_handle;
    *process_handle.Receive() = process.hProcess;
    *thread_handle.Receive() = process.hThread;
    // Only the child holds the write ends now, so the reads end with it. The
    // error stream is read meanwhile, so that neither pipe fills and stalls it.
    out_write.Close();
    err_write.Close();
    std::thread err_reader([&] { ReadToEnd(err_read.get(), &run.err); });
    ReadToEnd(out_read.get(), &run.out);
    err_reader.join();
    DWORD code = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    if (GetExitCodeProcess(process.hProcess, &code)) run.code = static_cast<int>(code);
    return run;
  }
};

}  // namespace

Machine& ThisMachine() {
  static WindowsMachine machine;
  return machine;
}

}  // namespace tarvel::ctl
