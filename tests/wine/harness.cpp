#include "tests/wine/harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "state/categories.h"
#include "state/shared_state.h"

namespace tarvel::wine {

std::string BinDir() {
  char buf[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableA("TARVEL_BIN_DIR", buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
    while (n > 0 && buf[n - 1] != '\\' && buf[n - 1] != '/') --n;
    buf[n] = '\0';
  }
  std::string dir(buf);
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

HMODULE TestModule(const char* file_name) {
  HMODULE m = LoadLibraryA((BinDir() + file_name).c_str());
  if (m == nullptr) ADD_FAILURE() << "cannot load " << BinDir() << file_name;
  return m;
}

HMODULE Tarvel() {
  static HMODULE module = [] {
    char keep[8] = {};
    if (GetEnvironmentVariableA("TARVEL_TEST_SETTINGS", keep, sizeof keep) == 0 ||
        std::strcmp(keep, "keep") != 0) {
      PrepareDefaultSettings();
    }
    return TestModule("tarvel.dll");
  }();
  return module;
}

void PrepareDefaultSettings() {
  const std::string white = TempPath("default-white.lst");
  const std::string black = TempPath("default-black.lst");
  WriteFileBytes(white, HeaderRecord());
  WriteFileBytes(black, HeaderRecord());
  SetSetting("iswhi", std::string("0", 2));
  SetSetting("issma", std::string("0", 2));
  SetSetting("issni", std::string("0", 2));
  SetSetting("whitelib", white + '\0');
  SetSetting("blacklib", black + '\0');
  CreateDirectoryA(CategoryFolder().c_str(), nullptr);
  SetSetting("catdir", CategoryFolder() + '\0');
  RemoveSetting("cats");
}

std::string CategoryFolder() { return TempPath("categories"); }

void WriteCategoryFile(const std::string& name, unsigned serial, const std::string& bytes) {
  CreateDirectoryA(CategoryFolder().c_str(), nullptr);
  WriteFileBytes(CategoryFolder() + "\\" + CategoryFileName(name.c_str(), serial), bytes);
}

FilterState& TarvelBlock() {
  auto* base = reinterpret_cast<unsigned char*>(Tarvel());
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    if (std::strncmp(reinterpret_cast<const char*>(section[i].Name), kSharedSectionName, 8) == 0) {
      return *reinterpret_cast<FilterState*>(base + section[i].VirtualAddress);
    }
  }
  ADD_FAILURE() << "tarvel.dll has no " << kSharedSectionName << " section";
  static FilterState none;
  return none;
}

SharedExtensions& TarvelExtensions() {
  return reinterpret_cast<SharedData*>(&TarvelBlock())->extensions;
}

RecorderState& Recorder(char which) {
  const std::string name = std::string("recording_lower_") + which + ".dll";
  auto get = reinterpret_cast<RecorderGetFn>(
      reinterpret_cast<void*>(GetProcAddress(TestModule(name.c_str()), "RecorderGet")));
  return *get();
}

const char* EntryName(int entry) {
  auto name = reinterpret_cast<RecorderEntryNameFn>(reinterpret_cast<void*>(
      GetProcAddress(TestModule("recording_lower_a.dll"), "RecorderEntryName")));
  return name(entry);
}

std::string RecordedEntries(char which) {
  const RecorderState& rec = Recorder(which);
  std::string out;
  for (int i = 0; i < rec.call_count && i < kMaxRecordedCalls; ++i) {
    if (!out.empty()) out += ',';
    out += EntryName(rec.calls[i].entry);
  }
  return out;
}

std::string SendRequest(const WSPPROC_TABLE& table, SOCKET s, const std::string& request) {
  Recorder().call_count = 0;
  WSABUF buffer{static_cast<ULONG>(request.size()), const_cast<char*>(request.data())};
  DWORD sent = 0;
  INT error = 0;
  table.lpWSPSend(s, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
  return RecordedEntries();
}

LowerPathValue::LowerPathValue(const std::string& name, const std::string& data)
    : LowerPathValue(name, data.c_str(), static_cast<DWORD>(data.size() + 1), REG_SZ) {}

LowerPathValue::LowerPathValue(const std::string& name, const void* data, DWORD size, DWORD type)
    : name_(name) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

LowerPathValue::~LowerPathValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteValueA(key, name_.c_str());
    RegCloseKey(key);
  }
}

WSAPROTOCOL_INFOW ProtocolInfo(DWORD own_id, int chain_length, std::initializer_list<DWORD> chain) {
  WSAPROTOCOL_INFOW info;
  std::memset(&info, 0, sizeof info);
  info.dwCatalogEntryId = own_id;
  info.ProtocolChain.ChainLen = chain_length;
  int i = 0;
  for (DWORD id : chain) info.ProtocolChain.ChainEntries[i++] = id;
  info.iAddressFamily = AF_INET;
  info.iSocketType = SOCK_STREAM;
  info.iProtocol = IPPROTO_TCP;
  return info;
}

StartupResult StartTarvel(WSAPROTOCOL_INFOW& info, unsigned char fill) {
  StartupResult r;
  std::memset(&r.data, fill, sizeof r.data);
  std::memset(&r.table, fill, sizeof r.table);
  WSPUPCALLTABLE upcalls;
  std::memset(&upcalls, 0x5C, sizeof upcalls);
  auto startup = TarvelExport<LPWSPSTARTUP>("WSPStartup");
  r.result = startup(MAKEWORD(2, 2), &r.data, &info, upcalls, &r.table);
  return r;
}

WSPPROC_TABLE StartOverRecorder(char which, DWORD id) {
  const std::string file = std::string("recording_lower_") + which + ".dll";
  RecorderState& rec = Recorder(which);
  std::memset(&rec, 0, sizeof rec);
  rec.result_base = 1000;
  rec.error_base = 20000;
  rec.fault_entry = -1;
  LowerPathValue value(std::to_string(id), BinDir() + file);
  WSAPROTOCOL_INFOW info = ProtocolInfo(id);
  StartupResult r = StartTarvel(info);
  EXPECT_EQ(r.result, 0);
  rec.call_count = 0;
  return r.table;
}

void EnsureWinsock() {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  ASSERT_TRUE(started);
}

SocketPair::~SocketPair() {
  for (SOCKET s : {client, accepted, listener}) {
    if (s != INVALID_SOCKET) closesocket(s);
  }
}

sockaddr_in LoopbackV4(u_short port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Endpoint::~Endpoint() {
  if (s != INVALID_SOCKET) closesocket(s);
}

bool Open(int type, u_short port, Endpoint& e) {
  EnsureWinsock();
  e.address = LoopbackV4(port);
  e.s = socket(AF_INET, type, 0);
  BOOL reuse = TRUE;
  setsockopt(e.s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  const DWORD wait_ms = 300;
  setsockopt(e.s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms), sizeof wait_ms);
  auto* name = reinterpret_cast<sockaddr*>(&e.address);
  int length = sizeof e.address;
  return bind(e.s, name, length) == 0 && (type == SOCK_DGRAM || listen(e.s, 8) == 0) &&
         getsockname(e.s, name, &length) == 0;
}

bool ConnectLoopback(int family, u_short server_port, SocketPair& pair) {
  EnsureWinsock();
  sockaddr_storage address = {};
  int length = 0;
  if (family == AF_INET) {
    *reinterpret_cast<sockaddr_in*>(&address) = LoopbackV4(server_port);
    length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(server_port);
    in6->sin6_addr = in6addr_loopback;
    length = sizeof *in6;
  }
  pair.listener = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (pair.listener == INVALID_SOCKET) return false;
  BOOL reuse = TRUE;
  setsockopt(pair.listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
             sizeof reuse);
  if (bind(pair.listener, reinterpret_cast<sockaddr*>(&address), length) != 0) return false;
  if (listen(pair.listener, 4) != 0) return false;
  if (getsockname(pair.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  pair.client = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (connect(pair.client, reinterpret_cast<sockaddr*>(&address), length) != 0) return false;
  pair.accepted = accept(pair.listener, nullptr, nullptr);
  return pair.accepted != INVALID_SOCKET;
}

void SetSetting(const std::string& name, const std::string& bytes, DWORD type) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS)
      << name;
  RegCloseKey(key);
}

void RemoveSetting(const std::string& name) {
  if (name.empty()) {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSettingsKey);
    return;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueA(key, name.c_str());
  RegCloseKey(key);
}

bool GetSetting(const std::string& name, std::string& bytes, DWORD* type) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char data[2048];
  DWORD size = sizeof data;
  const LONG result =
      RegQueryValueExA(key, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return false;
  bytes.assign(data, size);
  return true;
}

std::string TempPath(const std::string& name) {
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  return std::string(temp) + "tarvel-" + name;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << path << ": " << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  EXPECT_EQ(written, bytes.size());
  CloseHandle(file);
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return true;
}

std::string HeaderRecord() {
  std::string record(100, '\0');
  record.replace(0, 20, "TARVELINTERNETFILTER");
  return record;
}

std::string ListFileBytes(std::initializer_list<std::string> texts) {
  std::string bytes = HeaderRecord();
  for (const std::string& text : texts) {
    std::string record = text.substr(0, 100);
    record.resize(100, '\0');
    bytes += record;
  }
  return bytes;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  char old[1024];
  const DWORD n = GetEnvironmentVariableA(name, old, sizeof old);
  had_ = n > 0 && n < sizeof old;
  if (had_) old_.assign(old, n);
  SetEnvironmentVariableA(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : nullptr); }

std::string SelfPath() {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  return self;
}

HANDLE StartProcess(const std::string& exe, const std::string& args) {
  std::string command = "\"" + exe + "\" " + args;
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  for (int attempt = 0;; ++attempt) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                       &pi)) {
      CloseHandle(pi.hThread);
      return pi.hProcess;
    }
    if (GetLastError() != 1359 || attempt == 20) return nullptr;
    Sleep(250);
  }
}

int RunSelf(const std::string& filter, DWORD timeout_ms) {
  return RunProcess(SelfPath(), "--gtest_brief=1 --gtest_filter=" + filter, timeout_ms);
}

namespace {

int WaitForExit(HANDLE process, DWORD timeout_ms) {
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process, &code);
  } else {
    TerminateProcess(process, 99);
    WaitForSingleObject(process, 5000);
  }
  return static_cast<int>(code);
}

}  // namespace

namespace {

HANDLE Inheritable(const std::string& path) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

Ran RunCaptured(const std::string& exe, const std::string& args) {
  const std::string out_path = TempPath("ran-out.txt");
  const std::string err_path = TempPath("ran-err.txt");
  HANDLE out = Inheritable(out_path);
  HANDLE err = Inheritable(err_path);
  std::string command = "\"" + exe + "\" " + args;
  std::vector<char> line(command.begin(), command.end());
  line.push_back('\0');
  Ran ran;
  PROCESS_INFORMATION pi = {};
  bool started = false;
  for (int attempt = 0; attempt < 20 && !started; ++attempt) {
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    started = CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &si, &pi) != FALSE;
    if (!started && GetLastError() != 1359) break;
    if (!started) Sleep(250);
  }
  if (started) {
    ran.code = WaitForExit(pi.hProcess, kChildTimeoutMs);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  ReadFileBytes(out_path, ran.out);
  ReadFileBytes(err_path, ran.err);
  return ran;
}

int RunProcess(const std::string& exe, const std::string& args, DWORD timeout_ms) {
  HANDLE process = StartProcess(exe, args);
  if (process == nullptr) return -1;
  const int code = WaitForExit(process, timeout_ms);
  CloseHandle(process);
  return code;
}

Child::Child(const std::string& filter, const std::string& exe)
    : process_(StartProcess(exe, "--gtest_brief=1 --gtest_filter=" + filter)) {
  EXPECT_NE(process_, nullptr) << "cannot start a child for " << filter;
}

Child::~Child() {
  if (process_ != nullptr) {
    WaitForExit(process_, 0);
    CloseHandle(process_);
  }
}

int Child::Wait(DWORD timeout_ms) {
  if (process_ == nullptr) return -1;
  const int code = WaitForExit(process_, timeout_ms);
  CloseHandle(process_);
  process_ = nullptr;
  return code;
}

}  // namespace tarvel::wine
