#include "tools/tarvelctl/browser_policies.h"

#include <algorithm>
#include <functional>
#include <set>
#include <tuple>

#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/machine_texts.h"

namespace tarvel::ctl {
namespace {

constexpr char kChrome[] = "Software\\Policies\\Google\\Chrome";
constexpr char kEdge[] = "Software\\Policies\\Microsoft\\Edge";
constexpr char kFirefoxPrefs[] = "Software\\Policies\\Mozilla\\Firefox\\Preferences";
constexpr char kFirefoxDoh[] = "Software\\Policies\\Mozilla\\Firefox\\DNSOverHTTPS";
constexpr char kRecordKey[] = "Software\\Tarvel";
constexpr char kRecordName[] = "browsers";
constexpr char kAppPaths[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr char kSandbox[] = "NetworkServiceSandboxEnabled";

constexpr char kBegin[] = "# tarvel SafeSearch begin (tarvelctl browsers)";
// The same, where the block began the file's last line anew.
constexpr char kBeginJoined[] = "# tarvel SafeSearch begin (tarvelctl browsers, newline added)";
constexpr char kBeginStem[] = "# tarvel SafeSearch begin";
constexpr char kEnd[] = "# tarvel SafeSearch end";

// The hosts file: --hosts (for tests), else Windows' own.
std::string HostsPath(Machine& machine, const Invocation& in) {
  return in.Has("--hosts") ? machine.FullPath(in.Value("--hosts"))
                           : machine.Expand("%SystemRoot%\\System32\\drivers\\etc\\hosts");
}

// The start of the first line from `from` that begins with `text`, or npos.
std::size_t FindLine(const std::string& hosts, const std::string& text, std::size_t from = 0) {
  for (std::size_t at = hosts.find(text, from); at != std::string::npos;
       at = hosts.find(text, at + 1)) {
    if (at == 0 || hosts[at - 1] == '\n') return at;
  }
  return std::string::npos;
}

// The line at `at`, without its ending.
std::string LineAt(const std::string& hosts, std::size_t at) {
  std::size_t end = std::min(hosts.find('\n', at), hosts.size());
  if (end > at && hosts[end - 1] == '\r') --end;
  return hosts.substr(at, end - at);
}

// The hosts file's bytes ("" for none), or false with the reason.
bool ReadHosts(const std::string& path, std::string* bytes, std::string* error) {
  bytes->clear();
  return ReadWholeFile(path, bytes, error) != FileRead::kFailed;
}

// What a value is known by in the record.
std::string EntryOf(const std::string& key, const std::string& name) { return key + "|" + name; }

std::set<std::string> ReadRecord(PolicyRegistry& registry, CatalogKind view) {
  std::set<std::string> entries;
  const RegValue record = registry.Read(view, kRecordKey, kRecordName);
  std::size_t start = 0;
  while (start < record.text.size()) {
    const std::size_t end = std::min(record.text.find('\n', start), record.text.size());
    if (end > start) entries.insert(record.text.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

std::string RecordText(const std::set<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += entry + "\n";
  return text;
}

std::string Shown(const RegValue& value) {
  switch (value.kind) {
    case RegValue::Kind::kNumber:
      return std::to_string(value.number);
    case RegValue::Kind::kText:
      return "\"" + value.text + "\"";
    case RegValue::Kind::kOther:
      return "(a value of another type)";
    case RegValue::Kind::kAbsent:
      break;
  }
  return "not set";
}

// A policy as the browser's documentation names it: Firefox's with the
// policy it belongs to ("Preferences\network.http.http3.enable").
std::string Named(const BrowserPolicy& p) {
  const std::string firefox = "Mozilla\\Firefox\\";
  const std::size_t at = p.key.find(firefox);
  return at == std::string::npos ? p.name : p.key.substr(at + firefox.size()) + "\\" + p.name;
}

bool ParseLevel(const std::string& text, SafeLevel* level) {
  if (text == "strict")
    *level = SafeLevel::kStrict;
  else if (text == "moderate")
    *level = SafeLevel::kModerate;
  else if (text == "off")
    *level = SafeLevel::kOff;
  else
    return false;
  return true;
}

// The changes of one run, undone in reverse when a later one fails.
class Changes {
 public:
  explicit Changes(PolicyRegistry& registry) : registry_(registry) {}
  std::string Set(CatalogKind view, const std::string& key, const std::string& name,
                  const RegValue& value) {
    const RegValue before = registry_.Read(view, key, name);
    const std::string error = value.kind == RegValue::Kind::kAbsent
                                  ? registry_.Delete(view, key, name)
                                  : registry_.Write(view, key, name, value);
    if (error.empty()) done_.push_back({view, key, name, before});
    return error;
  }
  void Undo() {
    for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
      const std::string error = it->before.kind == RegValue::Kind::kAbsent
                                    ? registry_.Delete(it->view, it->key, it->name)
                                    : registry_.Write(it->view, it->key, it->name, it->before);
      static_cast<void>(error);
    }
    done_.clear();
  }

 private:
  struct Done {
    CatalogKind view;
    std::string key;
    std::string name;
    RegValue before;
  };
  PolicyRegistry& registry_;
  std::vector<Done> done_;
};

int Apply(Machine& machine, const Invocation& in, Console& console) {
  SafeLevel search = SafeLevel::kStrict;
  SafeLevel youtube = SafeLevel::kModerate;
  if (in.Has("--safesearch") && !ParseLevel(in.Value("--safesearch"), &search)) {
    return Fail(console, "--safesearch takes strict, moderate or off", kExitUsage);
  }
  if (in.Has("--youtube") && !ParseLevel(in.Value("--youtube"), &youtube)) {
    return Fail(console, "--youtube takes strict, moderate or off", kExitUsage);
  }
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("browsers apply"));
  PolicyRegistry& registry = machine.policy_registry();
  const std::vector<BrowserPolicy> planned = PlannedPolicies(search, youtube);
  Changes changes(registry);
  std::vector<std::string> report;
  for (CatalogKind view : machine.SettingsViews()) {
    std::set<std::string> record = ReadRecord(registry, view);
    std::set<std::string> wanted;
    for (const BrowserPolicy& p : planned) {
      const std::string entry = EntryOf(p.key, p.name);
      wanted.insert(entry);
      const RegValue now = registry.Read(view, p.key, p.name);
      const bool ours = record.count(entry) == 1;
      if (now == p.value) continue;
      if (now.kind != RegValue::Kind::kAbsent && !ours) {
        if (view == machine.SettingsViews().front()) {
          report.push_back(p.browser + " " + p.name + " is " + Shown(now) +
                           ", set by other means: left as it is");
        }
        continue;
      }
      std::string error = changes.Set(view, p.key, p.name, p.value);
      if (!error.empty()) {
        changes.Undo();
        return Fail(console, "browsers apply failed, nothing changed: " + error);
      }
      record.insert(entry);
    }
    // Values of an earlier apply that this one does not set (a level now off).
    for (const std::string& entry : std::set<std::string>(record)) {
      if (wanted.count(entry) == 1) continue;
      const std::size_t bar = entry.find('|');
      std::string error =
          changes.Set(view, entry.substr(0, bar), entry.substr(bar + 1), RegValue{});
      if (!error.empty()) {
        changes.Undo();
        return Fail(console, "browsers apply failed, nothing changed: " + error);
      }
      record.erase(entry);
    }
    std::string error =
        changes.Set(view, kRecordKey, kRecordName, RegValue::Text(RecordText(record)));
    if (!error.empty()) {
      changes.Undo();
      return Fail(console, "browsers apply failed, nothing changed: " + error);
    }
  }
  // The hosts file's SafeSearch lines, for Firefox and every other program.
  const std::string hosts_path = HostsPath(machine, in);
  std::vector<std::string> lines;
  std::string unresolved;
  for (const auto& [host, safe] : SafeSearchHosts(search, youtube)) {
    const std::vector<std::string> addresses = machine.Resolve(safe);
    if (addresses.empty() && unresolved.empty()) unresolved = safe;
    for (const std::string& address : addresses) lines.push_back(address + " " + host);
  }
  std::string hosts;
  std::string error;
  if (!ReadHosts(hosts_path, &hosts, &error)) {
    changes.Undo();
    return Fail(console, "browsers apply failed, nothing changed: " + error);
  }
  if (!unresolved.empty()) {
    report.push_back("cannot resolve " + unresolved + ": no SafeSearch lines are written to " +
                     hosts_path);
  } else if (const std::string updated = HostsWithBlock(hosts, lines); updated != hosts) {
    error = ReplaceFileWith(hosts_path, updated);
    if (!error.empty()) {
      changes.Undo();
      return Fail(console, "browsers apply failed, nothing changed: " + error);
    }
  }
  for (const std::string& line : report) console.out << line << '\n';
  console.out << "The browser policies are applied; browsers follow them from their next start.\n";
  return kExitOk;
}

int Remove(Machine& machine, const Invocation& in, Console& console) {
  if (!machine.IsAdministrator()) return Fail(console, NeedsAdministrator("browsers remove"));
  PolicyRegistry& registry = machine.policy_registry();
  // The hosts file's block first; put back should the registry fail.
  const std::string hosts_path = HostsPath(machine, in);
  std::string hosts;
  std::string hosts_error;
  if (!ReadHosts(hosts_path, &hosts, &hosts_error)) {
    return Fail(console, "browsers remove failed, nothing changed: " + hosts_error);
  }
  const std::string without = HostsWithBlock(hosts, {});
  if (without != hosts) {
    hosts_error = ReplaceFileWith(hosts_path, without);
    if (!hosts_error.empty()) {
      return Fail(console, "browsers remove failed, nothing changed: " + hosts_error);
    }
  }
  const auto put_back_hosts = [&] {
    if (without != hosts) static_cast<void>(ReplaceFileWith(hosts_path, hosts));
  };
  Changes changes(registry);
  int removed = 0;
  for (CatalogKind view : machine.SettingsViews()) {
    const std::set<std::string> record = ReadRecord(registry, view);
    for (const std::string& entry : record) {
      const std::size_t bar = entry.find('|');
      std::string error =
          changes.Set(view, entry.substr(0, bar), entry.substr(bar + 1), RegValue{});
      if (!error.empty()) {
        changes.Undo();
        put_back_hosts();
        return Fail(console, "browsers remove failed, nothing changed: " + error);
      }
      if (view == machine.SettingsViews().front()) ++removed;
    }
    const std::string error = changes.Set(view, kRecordKey, kRecordName, RegValue{});
    if (!error.empty()) {
      changes.Undo();
      put_back_hosts();
      return Fail(console, "browsers remove failed, nothing changed: " + error);
    }
  }
  console.out << "Removed the " << removed
              << " browser policy values tarvelctl had set; others are left as they are.\n";
  return kExitOk;
}

int Show(Machine& machine, const Invocation& in, Console& console) {
  PolicyRegistry& registry = machine.policy_registry();
  const CatalogKind view = machine.SettingsViews().front();
  const std::set<std::string> record = ReadRecord(registry, view);
  std::set<std::string> shown;
  for (SafeLevel level : {SafeLevel::kStrict, SafeLevel::kModerate}) {
    for (const BrowserPolicy& p : PlannedPolicies(level, level)) {
      if (!shown.insert(EntryOf(p.key, p.name)).second) continue;
      const RegValue now = registry.Read(view, p.key, p.name);
      std::string whose;
      if (now.kind != RegValue::Kind::kAbsent) {
        whose = record.count(EntryOf(p.key, p.name)) == 1 ? " (set by tarvelctl)"
                                                          : " (set by other means)";
      }
      console.out << "  " << p.browser << std::string(9 - p.browser.size(), ' ') << Named(p)
                  << " = " << Shown(now) << whose << '\n';
    }
  }
  const std::string hosts_path = HostsPath(machine, in);
  std::string hosts;
  std::string error;
  std::size_t lines = 0;
  if (ReadHosts(hosts_path, &hosts, &error)) {
    const std::size_t begin = FindLine(hosts, kBeginStem);
    const std::size_t end = begin == std::string::npos ? begin : FindLine(hosts, kEnd, begin);
    if (end != std::string::npos) {
      lines =
          static_cast<std::size_t>(std::count(hosts.begin() + begin, hosts.begin() + end, '\n'));
    }
  }
  console.out << "  hosts    SafeSearch lines in " << hosts_path << ": "
              << (lines > 1 ? std::to_string(lines - 1) + " (set by tarvelctl)" : "none") << '\n';
  return kExitOk;
}

}  // namespace

std::vector<BrowserPolicy> PlannedPolicies(SafeLevel search, SafeLevel youtube) {
  std::vector<BrowserPolicy> planned;
  for (const auto& [browser, key] : {std::pair{"Chrome", kChrome}, std::pair{"Edge", kEdge}}) {
    planned.push_back({browser, key, kSandbox, RegValue::Number(0)});
    planned.push_back({browser, key, "QuicAllowed", RegValue::Number(0)});
    planned.push_back({browser, key, "EncryptedClientHelloEnabled", RegValue::Number(0)});
    planned.push_back({browser, key, "DnsOverHttpsMode", RegValue::Text("off")});
    if (search != SafeLevel::kOff) {
      planned.push_back({browser, key, "ForceGoogleSafeSearch", RegValue::Number(1)});
    }
    if (search != SafeLevel::kOff && std::string(browser) == "Edge") {
      planned.push_back({browser, key, "ForceBingSafeSearch",
                         RegValue::Number(search == SafeLevel::kStrict ? 2 : 1)});
    }
    if (youtube != SafeLevel::kOff) {
      planned.push_back({browser, key, "ForceYouTubeRestrict",
                         RegValue::Number(youtube == SafeLevel::kStrict ? 2 : 1)});
    }
  }
  // Firefox locks a preference that the registry sets as a plain value.
  planned.push_back({"Firefox", kFirefoxPrefs, "network.http.http3.enable", RegValue::Number(0)});
  planned.push_back(
      {"Firefox", kFirefoxPrefs, "network.dns.echconfig.enabled", RegValue::Number(0)});
  planned.push_back({"Firefox", kFirefoxDoh, "Enabled", RegValue::Number(0)});
  planned.push_back({"Firefox", kFirefoxDoh, "Locked", RegValue::Number(1)});
  return planned;
}

std::vector<std::pair<std::string, std::string>> SafeSearchHosts(SafeLevel search,
                                                                 SafeLevel youtube) {
  std::vector<std::pair<std::string, std::string>> hosts;
  if (search != SafeLevel::kOff) {
    hosts.push_back({"www.google.com", "forcesafesearch.google.com"});
    hosts.push_back({"www.bing.com", "strict.bing.com"});
    hosts.push_back({"duckduckgo.com", "safe.duckduckgo.com"});
  }
  if (youtube != SafeLevel::kOff) {
    const char* restrict =
        youtube == SafeLevel::kStrict ? "restrict.youtube.com" : "restrictmoderate.youtube.com";
    for (const char* host : {"www.youtube.com", "m.youtube.com", "youtubei.googleapis.com",
                             "youtube.googleapis.com", "www.youtube-nocookie.com"}) {
      hosts.push_back({host, restrict});
    }
  }
  return hosts;
}

std::string HostsWithBlock(const std::string& hosts, const std::vector<std::string>& lines) {
  std::string base = hosts;
  const std::size_t begin = FindLine(hosts, kBeginStem);
  const std::size_t end = begin == std::string::npos ? begin : FindLine(hosts, kEnd, begin);
  if (end != std::string::npos) {
    std::size_t after = std::min(hosts.find('\n', end), hosts.size());
    if (after < hosts.size()) ++after;
    std::size_t from = begin;
    // The line ending the block put before itself goes with it.
    if (LineAt(hosts, begin) == kBeginJoined && from > 0) {
      from -= (from >= 2 && hosts.compare(from - 2, 2, "\r\n") == 0) ? 2 : 1;
    }
    base = hosts.substr(0, from) + hosts.substr(after);
  }
  if (lines.empty()) return base;
  const bool lf_only =
      base.find('\n') != std::string::npos && base.find("\r\n") == std::string::npos;
  const std::string eol = lf_only ? "\n" : "\r\n";
  const bool joined = !base.empty() && base.back() != '\n';
  std::string block = joined ? eol : "";
  block += std::string(joined ? kBeginJoined : kBegin) + eol;
  for (const std::string& line : lines) block += line + eol;
  block += kEnd + eol;
  return base + block;
}

std::vector<std::string> BrowserStatusLines(Machine& machine) {
  PolicyRegistry& registry = machine.policy_registry();
  const CatalogKind view = machine.SettingsViews().front();
  const std::set<std::string> record = ReadRecord(registry, view);
  std::vector<std::string> lines;
  lines.push_back(record.empty() ? "browser policies: not applied (tarvelctl browsers apply)"
                                 : "browser policies: applied (" + std::to_string(record.size()) +
                                       " values by tarvelctl)");
  for (const auto& [browser, exe, key] :
       {std::tuple{"Chrome", "chrome.exe", kChrome}, std::tuple{"Edge", "msedge.exe", kEdge}}) {
    if (!registry.KeyExists(view, std::string(kAppPaths) + exe)) continue;
    if (registry.Read(view, key, kSandbox) == RegValue::Number(0)) continue;
    lines.push_back(std::string("warning: ") + browser +
                    "'s traffic may bypass tarvel: run tarvelctl browsers apply");
  }
  return lines;
}

int ApplyBrowserPolicies(Machine& machine, const Invocation& in, Console& console) {
  return Apply(machine, in, console);
}

int RemoveBrowserPolicies(Machine& machine, const Invocation& in, Console& console) {
  return Remove(machine, in, console);
}

bool BrowserPoliciesApplied(Machine& machine) {
  return !ReadRecord(machine.policy_registry(), machine.SettingsViews().front()).empty();
}

std::vector<CommandSpec> BrowserCommands(Machine& m) {
  using std::placeholders::_1;
  using std::placeholders::_2;
  std::vector<CommandSpec> commands;
  commands.push_back(
      {"browsers apply",
       "",
       0,
       0,
       {},
       {{"--safesearch", "strict|moderate|off"},
        {"--youtube", "strict|moderate|off"},
        {"--hosts", "PATH"}},
       "set the machine policies that keep Chrome, Edge and Firefox judgeable",
       "Sets, in both registry views, the machine policies of Chrome, Edge and Firefox:\n"
       "Chrome and Edge run their network service unsandboxed (NetworkServiceSandboxEnabled\n"
       "0), so that Windows loads tarvel where they open their connections: without it\n"
       "tarvel may not see these browsers' traffic at all; the cost is the browsers' own\n"
       "sandbox of that process. HTTP/3, Encrypted Client Hello and the browsers' own DNS\n"
       "over HTTPS are switched off, and SafeSearch asked for (Google, Bing: --safesearch,\n"
       "default strict; YouTube: --youtube, default moderate). A policy set by other means\n"
       "is left as it is. Needs administrator rights.\n",
       std::bind(Apply, std::ref(m), _1, _2)});
  commands.push_back({"browsers remove",
                      "",
                      0,
                      0,
                      {},
                      {{"--hosts", "PATH"}},
                      "remove the browser policies tarvelctl set",
                      "Removes only the values tarvelctl wrote. Needs administrator rights.\n",
                      std::bind(Remove, std::ref(m), _1, _2)});
  commands.push_back({"browsers show",
                      "",
                      0,
                      0,
                      {},
                      {{"--hosts", "PATH"}},
                      "show the browser policies and who set them",
                      "Shows each policy tarvelctl sets, its value, and whether tarvelctl or\n"
                      "something else set it.\n",
                      std::bind(Show, std::ref(m), _1, _2)});
  return commands;
}

}  // namespace tarvel::ctl
