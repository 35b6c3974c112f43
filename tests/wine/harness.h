// Helpers of the Windows tests: the real tarvel.dll and test lower providers
// loaded by path, registry values that name a lower provider, protocol
// records, loopback socket pairs and child processes.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>
#include <ws2tcpip.h>

#include <initializer_list>
#include <string>

#include "provider/lower_lookup.h"
#include "state/extensions.h"
#include "state/filter_state.h"
#include "tests/wine/recording_lower.h"

namespace tarvel::wine {

// The folder holding tarvel.dll and the test modules: TARVEL_BIN_DIR when set
// (children run from elsewhere), else this executable's own folder. Ends in '\'.
std::string BinDir();

// tarvel.dll, loaded once per process. Before the load, unless the
// environment variable TARVEL_TEST_SETTINGS is "keep", the settings are
// those of PrepareDefaultSettings(), so a block that this process sets up
// has its lists ready and empty and both modes off.
HMODULE Tarvel();

// HKLM\Software\Tarvel: iswhi "0", issma "0", issni "0", whitelib and
// blacklib naming header-only list files that it writes in the temp folder,
// catdir naming CategoryFolder(), no cats.
void PrepareDefaultSettings();

// The folder of compiled category files that the default settings name
// ("catdir"): <temp>\tarvel-categories, created by PrepareDefaultSettings.
std::string CategoryFolder();
// Writes `bytes` as the category's file of `serial` in that folder.
void WriteCategoryFile(const std::string& name, unsigned serial, const std::string& bytes);

// The FilterState block as this process maps it: the shared .inidata
// section of the loaded tarvel.dll.
FilterState& TarvelBlock();
// The extensions beside it in the same section (the record of blocks).
SharedExtensions& TarvelExtensions();
template <typename Fn>
Fn TarvelExport(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(Tarvel(), name)));
}

// A test module of BinDir(), loaded (and kept) by its file name.
HMODULE TestModule(const char* file_name);

// The recording provider's state in recording_lower_a.dll ("a") or _b.dll.
RecorderState& Recorder(char which = 'a');
const char* EntryName(int entry);
// The lower entries the recorder saw called, in order: "WSPShutdown,WSPSend".
std::string RecordedEntries(char which = 'a');
// Sends `request` as one buffer through `table` (from StartOverRecorder) on
// `s`, with the recorder cleared first; the lower entries called.
std::string SendRequest(const WSPPROC_TABLE& table, SOCKET s, const std::string& request);

// A value of the lower-paths key (kLowerPathsKey), written on construction and deleted when
// the holder goes out of scope.
class LowerPathValue {
 public:
  LowerPathValue(const std::string& name, const std::string& data);
  LowerPathValue(const std::string& name, const void* data, DWORD size, DWORD type);
  ~LowerPathValue();
  LowerPathValue(const LowerPathValue&) = delete;
  LowerPathValue& operator=(const LowerPathValue&) = delete;

 private:
  std::string name_;
};

// A layered protocol record: its own catalog id and a chain.
WSAPROTOCOL_INFOW ProtocolInfo(DWORD own_id, int chain_length = 0,
                               std::initializer_list<DWORD> chain = {});

// Calls tarvel's WSPStartup with a fresh table filled with `fill`.
struct StartupResult {
  int result;
  WSPDATA data;
  WSPPROC_TABLE table;
};
StartupResult StartTarvel(WSAPROTOCOL_INFOW& info, unsigned char fill = 0xAB);

// Starts tarvel over recording_lower_{which}.dll under catalog id `id` and
// clears the recorder; the lower value is removed again afterwards.
WSPPROC_TABLE StartOverRecorder(char which = 'a', DWORD id = 4242);

// A connected TCP pair on loopback: `server_port` 0 picks a free port.
struct SocketPair {
  SOCKET listener = INVALID_SOCKET;
  SOCKET client = INVALID_SOCKET;
  SOCKET accepted = INVALID_SOCKET;
  ~SocketPair();
};
bool ConnectLoopback(int family, u_short server_port, SocketPair& pair);
// 127.0.0.1:`port`.
sockaddr_in LoopbackV4(u_short port);

void EnsureWinsock();

// A plain socket of `type` listening (or, for UDP, bound) on
// 127.0.0.1:port, closed when the holder goes; its receives wait 300 ms.
struct Endpoint {
  SOCKET s = INVALID_SOCKET;
  sockaddr_in address = {};  // with the port bound
  ~Endpoint();
};
// False when it cannot be opened; port 0 picks a free one.
bool Open(int type, u_short port, Endpoint& e);

// --- Settings and list files --------------------------------------------------

inline constexpr char kSettingsKey[] = "Software\\Tarvel";

// Writes a value of HKLM\Software\Tarvel with exactly these bytes.
void SetSetting(const std::string& name, const std::string& bytes, DWORD type = REG_SZ);
// Removes a value, or the whole key when `name` is empty.
void RemoveSetting(const std::string& name = "");
// The bytes and type of a value; false when it cannot be read.
bool GetSetting(const std::string& name, std::string& bytes, DWORD* type = nullptr);

// A path in the temp folder: <temp>\tarvel-<name>.
std::string TempPath(const std::string& name);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// The file's bytes; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::string& bytes);

// A list file's bytes: the header record, then one 100-byte record per text.
std::string ListFileBytes(std::initializer_list<std::string> texts = {});
// The list file's header record alone.
std::string HeaderRecord();

// Sets (or with nullptr removes) an environment variable of this process,
// restoring what it held when the holder goes out of scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// The test executable's own path.
std::string SelfPath();

// How long a child process may take. A 32-bit one, or a 64-bit one that
// starts a 32-bit one, may run emulated (on a kernel without 32-bit support),
// where a process start alone takes about a minute of the processor.
inline constexpr DWORD kChildTimeoutMs = 360000;

// Runs this test executable as a child with a gtest filter; its exit code.
int RunSelf(const std::string& filter, DWORD timeout_ms = kChildTimeoutMs);

// A test executable (this one unless named) started as a child with a gtest
// filter, running alongside; ended by force if still running when the holder
// goes.
class Child {
 public:
  explicit Child(const std::string& filter, const std::string& exe = SelfPath());
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return process_ != nullptr; }
  // The process, signalled when it ends.
  HANDLE handle() const { return process_; }
  // The exit code, or -1 when it did not end in time.
  int Wait(DWORD timeout_ms = kChildTimeoutMs);

 private:
  HANDLE process_ = nullptr;
};

// Starts a program with arguments, retrying while a just-started wineserver
// refuses it (error 1359); the process handle, which the caller closes, or
// null.
HANDLE StartProcess(const std::string& exe, const std::string& args);

// Runs a program with arguments and returns its exit code (or -1), retrying
// the start when a just-started wineserver refuses it (error 1359).
int RunProcess(const std::string& exe, const std::string& args, DWORD timeout_ms = kChildTimeoutMs);

// A program's exit code (-1 when it did not start or end) and both streams.
struct Ran {
  int code = -1;
  std::string out;
  std::string err;
};
// Runs a program with arguments to its end, its streams caught in files.
Ran RunCaptured(const std::string& exe, const std::string& args);

}  // namespace tarvel::wine
