// What tarvelctl's Windows commands need of the machine they run on, as one
// interface: the Winsock catalogs and lookup values, the settings of each
// registry view, the rights of the user, and tarvel.dll loaded into this
// process. Windows binds it to the system; tests fill it with fakes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "state/extensions.h"
#include "state/filter_state.h"
#include "state/settings.h"
#include "tools/tarvelctl/catalog.h"
#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/log_time.h"

namespace tarvel::ctl {

// tarvel.dll loaded into this process: its exports, and the block that
// every program holding the same module file shares.
class LiveFilter {
 public:
  virtual ~LiveFilter() = default;
  virtual int AddWhiteUrl(const char* text) = 0;
  virtual int AddBlackUrl(const char* text) = 0;
  virtual int DelWhiteUrl(const char* text) = 0;
  virtual int DelBlackUrl(const char* text) = 0;
  virtual int SetOnlyWhiteUrl(int value) = 0;
  virtual int SetSmartFilter(int value) = 0;
  // 0 when the module has no such export (an older tarvel.dll).
  virtual int SetHttpsFilter(int value) = 0;
  // Switches the lock: 1, or 0 when the caller lacks the rights; -1 when
  // the module has no such export (an older tarvel.dll).
  virtual int SetLocked(int value) = 0;
  // Makes a category active with its file of `serial`, or removes it: 1, or
  // 0 when refused (lock, invalid name, table full, not active); -1 when the
  // module has no such export (an older tarvel.dll).
  virtual int SetCategory(const char* name, unsigned serial) = 0;
  virtual int RemoveCategory(const char* name) = 0;
  // The shared block, read in place; null when it cannot be found.
  virtual const FilterState* State() const = 0;
  // The extensions beside it (the record of blocked requests); null when the
  // module holds none this tarvelctl knows (an older tarvel.dll).
  virtual const SharedExtensions* Extensions() const = 0;
  // The active categories in the extensions; null when the module holds
  // none (an older tarvel.dll, whose section ends before them).
  virtual const SharedCategories* Categories() const = 0;
};

// A program run to its end: whether it started (if not, `error` says why),
// its exit code, and what it wrote to its output and error streams.
struct ProgramRun {
  bool started = false;
  int code = -1;
  std::string out;
  std::string err;
  std::string error;
};

// What one ordinary client socket met when it sent a request to a loopback
// listener: the catalog entry that served it, how its calls ended and
// whether the request's bytes arrived.
struct ProbeResult {
  std::string error;                  // the exchange could not be made (socket, connect)
  bool have_entry = false;            // the socket told its catalog entry
  ProtocolRecord entry;               // that entry, as SO_PROTOCOL_INFOW gives it
  std::string send_error;             // "" when send took the request
  std::string recv_error;             // "" when an answer or an orderly close came
  bool listener_got_request = false;  // the listener received the request's bytes
};

// A listener on 127.0.0.1 and, for each exchange, one client socket made
// and used through the ordinary Winsock calls, as any program makes them.
class LoopbackProbe {
 public:
  virtual ~LoopbackProbe() = default;
  virtual int Port() const = 0;
  // Connects, sends `request`, then reads the answer; the listener answers
  // only a request it received whole.
  virtual ProbeResult Exchange(const std::string& request) = 0;
};

// One registry value as the browser policies need it.
struct RegValue {
  enum class Kind { kAbsent, kNumber, kText, kOther };
  Kind kind = Kind::kAbsent;
  std::uint32_t number = 0;  // kNumber: a REG_DWORD
  std::string text;          // kText: a REG_SZ

  static RegValue Number(std::uint32_t n) { return {Kind::kNumber, n, {}}; }
  static RegValue Text(std::string t) { return {Kind::kText, 0, std::move(t)}; }
  bool operator==(const RegValue& other) const {
    return kind == other.kind && number == other.number && text == other.text;
  }
};

// Values under HKEY_LOCAL_MACHINE in one registry view: the browsers'
// machine policies (Software\Policies\...) and tarvelctl's record of them.
class PolicyRegistry {
 public:
  virtual ~PolicyRegistry() = default;
  // A value that cannot be read counts as absent.
  virtual RegValue Read(CatalogKind view, const std::string& key, const std::string& name) = 0;
  // Creates the key where missing; "" or the reason.
  [[nodiscard]] virtual std::string Write(CatalogKind view, const std::string& key,
                                          const std::string& name, const RegValue& value) = 0;
  // Removes the value, then the key and its parents up to Software\Policies
  // while they hold nothing; a missing one is no error.
  [[nodiscard]] virtual std::string Delete(CatalogKind view, const std::string& key,
                                           const std::string& name) = 0;
  virtual bool KeyExists(CatalogKind view, const std::string& key) = 0;
  // Removes every value of the key, then the key itself; a missing key is no
  // error.
  [[nodiscard]] virtual std::string RemoveKey(CatalogKind view, const std::string& key) = 0;
};

class Machine {
 public:
  virtual ~Machine() = default;

  virtual Catalog& catalog() = 0;
  virtual LowerPaths& lower_paths() = 0;
  // The catalog of this program's own kind of programs (64-bit for the x64
  // tarvelctl, 32-bit for the x86 one).
  virtual CatalogKind OwnKind() = 0;
  // A 32-bit tarvelctl on 64-bit Windows: it reaches only the 32-bit catalog.
  virtual bool IsWow64() = 0;
  // Whether this process may change the catalog and HKEY_LOCAL_MACHINE.
  virtual bool IsAdministrator() = 0;
  // The clock and time zone.
  virtual Clock& clock() = 0;
  // The file-system steps of the category files.
  virtual FileSteps& file_steps() = 0;

  // The registry views whose Software\Tarvel the filter reads: the 64-bit
  // and the 32-bit view on 64-bit Windows, this program's own first.
  virtual std::vector<CatalogKind> SettingsViews() = 0;
  virtual SettingsStore& Settings(CatalogKind view) = 0;
  // HKEY_LOCAL_MACHINE for the browser policies, in those same views.
  virtual PolicyRegistry& policy_registry() = 0;
  // The addresses `host` resolves to now (IPv4 and IPv6, as text); none when
  // it cannot be resolved.
  virtual std::vector<std::string> Resolve(const std::string& host) = 0;

  // The folder of this program's file, ending in a separator.
  virtual std::string ProgramFolder() = 0;
  // `path` made absolute against the current folder.
  virtual std::string FullPath(const std::string& path) = 0;
  // `path` with its %VARIABLE% references expanded.
  virtual std::string Expand(const std::string& path) = 0;

  // Loads the module at `path` into this process for good.
  virtual std::unique_ptr<LiveFilter> LoadFilter(const std::string& path, std::string* error) = 0;

  // Starts a listener on 127.0.0.1:`port`. Null and `error` set when it
  // cannot; `busy` tells that another socket holds the port.
  virtual std::unique_ptr<LoopbackProbe> ListenOnLoopback(int port, bool* busy,
                                                          std::string* error) = 0;

  // Runs the program at `path` with `args`, without a console of its own,
  // and waits for it to end.
  virtual ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& args) = 0;
};

}  // namespace tarvel::ctl
