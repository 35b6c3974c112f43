#include "tools/tarvelctl/live_commands.h"

#include <algorithm>
#include <functional>

#include "filter/ascii.h"
#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/list_file.h"
#include "tools/tarvelctl/live_change.h"
#include "tools/tarvelctl/machine_texts.h"
#include "tools/tarvelctl/patterns.h"
#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

struct ListAction {
  ListKind kind;
  bool add;
  const char* verb;  // "block", as the command is named
  const char* done;  // "blocked"
};

const char* ListName(ListKind kind) { return kind == ListKind::kWhite ? "whitelist" : "blacklist"; }
const char* PathName(ListKind kind) {
  return kind == ListKind::kWhite ? settings::kWhiteListPath : settings::kBlackListPath;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// A list file with the change made, ready to be written.
struct FileChange {
  std::string path;
  std::string bytes;
  std::string result;  // "added to", "already in", "removed from", "not in"
  bool changes = false;
};

// The distinct list files the settings name for `kind`, own view first.
std::vector<std::string> ListFilePaths(Machine& machine, ListKind kind) {
  std::vector<std::string> paths;
  for (CatalogKind view : machine.SettingsViews()) {
    char path[settings::kTextBytes] = {};
    if (machine.Settings(view).ReadPath(PathName(kind), path, sizeof path) != 1) continue;
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  }
  return paths;
}

std::string PrepareFile(const std::string& path, const ListAction& action, const std::string& host,
                        FileChange* change) {
  change->path = path;
  std::string bytes;
  std::string error;
  ListFile list = NewListFile();
  const FileRead read = ReadWholeFile(path, &bytes, &error);
  if (read == FileRead::kFailed) return error;
  if (read == FileRead::kOk) {
    list = ParseListFile(bytes);
    if (list.header != HeaderState::kValid) {
      return path + " is not a tarvel list file (" + DescribeHeader(list.header) +
             "); it was not changed";
    }
    switch (FilterOpenOf(path)) {
      case ListFileOpen::kReadOnly:
        return "the filter refuses " + path + ": it is read-only";
      case ListFileOpen::kNotOpened:
        return "the filter cannot open " + path + " for reading";
      case ListFileOpen::kOpened:
        break;
    }
  }
  const auto found = std::find(list.entries.begin(), list.entries.end(), host);
  if (action.add) {
    if (found != list.entries.end()) {
      change->result = "already in";
      return "";
    }
    if (list.entries.size() >= kMaxLoadedEntries) {
      return path + " already holds " + std::to_string(list.entries.size()) +
             " entries; the filter loads at most " + std::to_string(kMaxLoadedEntries);
    }
    list.entries.push_back(host);
    change->result = "added to";
  } else {
    if (found == list.entries.end()) {
      change->result = "not in";
      return "";
    }
    list.entries.erase(found);
    change->result = "removed from";
  }
  change->bytes = SerializeListFile(list);
  change->changes = true;
  return "";
}

enum class Match {
  kAsDelUrl,  // equal bytes, any slot: the slot DelUrl clears
  kActive,    // equal bytes, an active slot
  kCaseless,  // equal but for the case of letters, an active slot
};

// The first slot below the count whose text matches `text`, or -1.
int FindSlot(const FilterState& state, ListKind kind, const std::string& text, Match match) {
  const UrlList list = ListOf(state, kind);
  const std::int32_t count = std::min(Load(*list.count), kListSlots);
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string entry(list.entries[i], EntryLength(list.entries[i]));
    if (entry.size() != text.size()) continue;
    const bool same =
        match != Match::kCaseless
            ? entry == text
            : std::equal(entry.begin(), entry.end(), text.begin(),
                         [](char a, char b) { return ToLowerAscii(a) == ToLowerAscii(b); });
    if (same && (match == Match::kAsDelUrl || Load(list.active[i]) == 1)) return i;
  }
  return -1;
}

void NoteListsOff(const FilterState* state, std::ostream& out) {
  if (state != nullptr && !IsOn(state->lists_ready)) {
    out << "Note: a list file did not load when the filter started, so its host test is "
           "off until it starts anew with both list files loading.\n";
  }
}

// The change of one list in this program's own running filter.
Outcome ChangeOwnList(Machine& machine, LiveFilter& live, const ListAction& action,
                      const std::string& host, bool persisted, std::ostream& out) {
  const FilterState* state = live.State();
  const std::string programs = ProgramsOf(machine, machine.OwnKind());
  const std::string list = ListName(action.kind);
  if (action.add && state != nullptr && FindSlot(*state, action.kind, host, Match::kActive) >= 0) {
    // Another addition would only use up one of the list's slots.
    out << Quoted(host) << " is already in the running " << list << " of " << programs << '\n';
  } else if (action.add) {
    const int added = action.kind == ListKind::kWhite ? live.AddWhiteUrl(host.c_str())
                                                      : live.AddBlackUrl(host.c_str());
    if (RefusedByLock(live, added)) return Failed(kNeedsRights);
    if (added != 1) {
      return Failed("the running " + list + " is full: it takes " + std::to_string(kListSlots) +
                    " additions until the filter starts anew" +
                    (persisted ? "; the list file has the change" : ""));
    }
    out << action.done << " " << Quoted(host) << " in the running filter (" << programs << ")\n";
  } else {
    const int slot = state == nullptr ? 0 : FindSlot(*state, action.kind, host, Match::kAsDelUrl);
    const int removed = action.kind == ListKind::kWhite ? live.DelWhiteUrl(host.c_str())
                                                        : live.DelBlackUrl(host.c_str());
    if (RefusedByLock(live, removed)) return Failed(kNeedsRights);
    if (slot < 0) {
      const int similar = FindSlot(*state, action.kind, host, Match::kCaseless);
      std::string hint;
      if (similar >= 0) {
        const UrlList view = ListOf(*state, action.kind);
        hint = " (entries compare exactly; it holds " +
               Quoted(std::string(view.entries[similar], EntryLength(view.entries[similar]))) + ")";
      }
      out << Quoted(host) << " is not in the running " << list << " of " << programs << hint
          << '\n';
      // Taken out of the file, it is gone once the filter starts anew.
      if (!persisted) return {Took::kNo, Quoted(host) + " is not in its running " + list, true};
    } else {
      out << action.done << " " << Quoted(host) << " in the running filter (" << programs << ")\n";
    }
  }
  NoteListsOff(state, out);
  return {};
}

// One of the on/off commands: its setting, how status names it, its export.
struct FlagAction {
  const char* command;  // "white-only"
  const char* name;     // "iswhi"
  const char* label;    // "white-only mode"
  int (LiveFilter::*set)(int);
};

const FlagAction kWhiteOnlyFlag{"white-only", settings::kWhiteOnly, "white-only mode",
                                &LiveFilter::SetOnlyWhiteUrl};
const FlagAction kSmartFlag{"smart", settings::kSmartFilter, "smart filter",
                            &LiveFilter::SetSmartFilter};
const FlagAction kHttpsFlag{"https", settings::kHttpsFilter, "HTTPS filter",
                            &LiveFilter::SetHttpsFilter};
const FlagAction kLockFlag{"lock", settings::kLocked, "lock", &LiveFilter::SetLocked};

// The change of a mode flag in this program's own running filter.
Outcome ChangeOwnFlag(Machine& machine, LiveFilter& live, const FlagAction& action, int on,
                      bool persisted, std::ostream& out) {
  const int result = (live.*action.set)(on);
  // The lock's own switch asks for the rights whether it is on or off.
  if ((&action == &kLockFlag && result == 0) || RefusedByLock(live, result)) {
    return Failed(kNeedsRights);
  }
  if (result != 1) {
    return Failed("the running tarvel.dll has no " + std::string(action.label) +
                  " (an older module)" + (persisted ? "; the setting is written" : ""));
  }
  out << action.label << " " << (on == 1 ? "on" : "off") << " in the running filter ("
      << ProgramsOf(machine, machine.OwnKind()) << ")\n";
  const FilterState* state = live.State();
  if (on != 1 || state == nullptr) return {};
  if (&action == &kHttpsFlag && !IsOn(state->lists_ready)) {
    out << "Note: a list file did not load when the filter started, so no server name is judged "
           "until it starts anew with both list files loading; QUIC is refused all the same.\n";
  } else if (&action == &kWhiteOnlyFlag && !IsOn(state->lists_ready)) {
    out << "Note: a list file did not load when the filter started, so white-only mode has no "
           "effect until it starts anew with both list files loading.\n";
  } else if (&action == &kWhiteOnlyFlag && ActiveEntries(*state, ListKind::kWhite) == 0) {
    out << "Note: the whitelist is empty, so every request that names a host is blocked.\n";
  }
  return {};
}

// `command`: the command's words and operands, as the other tarvelctl takes them.
int Finish(Machine& machine, const Invocation& in, const std::vector<std::string>& command,
           bool persisted, const Outcome& own, Console& console) {
  if (!ReachesOtherFilter(machine, in)) return FinishOwn(in, own, console);
  const Outcome other =
      ChangeOtherFilter(machine, in, command, persisted,
                        Quoted(command[1]) + " is not in its running list", console.out);
  return FinishBoth(machine, in, own, other, console);
}

// Why `host` cannot be the operand of `action`, or "".
std::string HostProblem(const ListAction& action, const std::string& host) {
  if (action.add) {
    const std::string problem = PatternProblem(host);
    return problem.empty() ? "" : Quoted(host) + ": " + problem;
  }
  if (host.size() > kMaxPatternLength) {
    return Quoted(host) + ": no list entry holds more than 100 characters";
  }
  return "";
}

// The change of every list file the settings name for the list, made in
// memory; "" or why none can be made (then no file is written).
std::string PrepareFiles(Machine& machine, const ListAction& action, const std::string& host,
                         std::vector<FileChange>* changes) {
  const std::vector<std::string> paths = ListFilePaths(machine, action.kind);
  if (paths.empty()) {
    return std::string("no ") + ListName(action.kind) +
           " file is set; set one with \"tarvelctl config set " + PathName(action.kind) + " PATH\"";
  }
  for (const std::string& path : paths) {
    FileChange change;
    const std::string error = PrepareFile(path, action, host, &change);
    if (!error.empty()) return error;
    changes->push_back(change);
  }
  return "";
}

// Writes the files that change and says what became of each; "" or why one
// could not be written (the files before it keep their change).
std::string WriteFiles(const std::vector<FileChange>& changes, const std::string& host,
                       std::ostream& out) {
  for (const FileChange& change : changes) {
    if (change.changes) {
      const std::string error = ReplaceFileWith(change.path, change.bytes);
      if (!error.empty()) return error;
    }
    out << Quoted(host) << " " << change.result << " " << change.path << '\n';
  }
  return "";
}

int ListCommand(Machine& machine, const ListAction& action, const Invocation& in,
                Console& console) {
  const std::string& host = in.operands[0];
  const std::string problem = HostProblem(action, host);
  if (!problem.empty()) return Fail(console, problem, kExitUsage);

  std::vector<FileChange> changes;
  if (in.Has("--persist")) {
    const std::string error = PrepareFiles(machine, action, host, &changes);
    if (!error.empty()) return Fail(console, error);
  }
  // With one filter, one that cannot be loaded leaves the files as they are.
  Outcome own;
  std::unique_ptr<LiveFilter> live = OpenFilter(machine, in, &own);
  if (own.took == Took::kNo && !ReachesOtherFilter(machine, in)) {
    return Fail(console, own.reason);
  }
  const std::string error = WriteFiles(changes, host, console.out);
  if (!error.empty()) return Fail(console, error);
  const bool persisted =
      std::any_of(changes.begin(), changes.end(), [](const FileChange& c) { return c.changes; });
  if (live) own = ChangeOwnList(machine, *live, action, host, persisted, console.out);
  return Finish(machine, in, {action.verb, host}, persisted, own, console);
}

int FlagCommand(Machine& machine, const FlagAction& action, const Invocation& in,
                Console& console) {
  const std::string& value = in.operands[0];
  const char* command = action.command;
  if (value != "on" && value != "off") {
    return Fail(console, std::string(command) + " takes on or off, not " + Quoted(value),
                kExitUsage);
  }
  const int on = value == "on" ? 1 : 0;
  const char* name = action.name;
  const bool persist = in.Has("--persist");
  if (persist && !machine.IsAdministrator()) {
    return Fail(console, NeedsAdministrator(std::string(command) + " --persist"));
  }
  // With one filter, one that cannot be loaded leaves the settings as they are.
  Outcome own;
  std::unique_ptr<LiveFilter> live = OpenFilter(machine, in, &own);
  if (own.took == Took::kNo && !ReachesOtherFilter(machine, in)) {
    return Fail(console, own.reason);
  }
  if (persist) {
    for (CatalogKind view : machine.SettingsViews()) {
      if (machine.Settings(view).WriteFlag(name, on) != 1) {
        return Fail(console, std::string("cannot write ") + name +
                                 " under HKLM\\Software\\Tarvel (" + KindName(view) + " view)");
      }
    }
    console.out << name << " = " << value << " under HKLM\\Software\\Tarvel\n";
  }
  if (live) own = ChangeOwnFlag(machine, *live, action, on, persist, console.out);
  return Finish(machine, in, {command, value}, persist, own, console);
}

}  // namespace

std::vector<CommandSpec> LiveCommands(Machine& m) {
  const std::string other = OtherModuleOption(m);
  const std::string persist_help =
      "Changes the running filter: the shared state of every program that holds\n"
      "tarvel.dll (the installed module, or --dll PATH). That state lasts while some\n"
      "program holds the module; with --persist the change is also written to the list\n"
      "file the settings name, from which the filter starts.\n"
      "On 64-bit Windows 64-bit and 32-bit programs each have a running filter; the\n"
      "command changes both, through the tarvelctl.exe of the other kind in the\n"
      "package (x64\\ and x86\\; its module: the installed one, or " +
      other +
      " PATH), and\n"
      "says which took the change. --own-only changes only the filter of this\n"
      "tarvelctl's kind; it exits 3 when that one is not running, and 4 when the host\n"
      "to remove is not in its running list.\n";
  std::vector<CommandSpec> commands;
  const ListAction actions[] = {
      {ListKind::kBlack, true, "block", "blocked"},
      {ListKind::kBlack, false, "unblock", "unblocked"},
      {ListKind::kWhite, true, "allow", "allowed"},
      {ListKind::kWhite, false, "disallow", "disallowed"},
  };
  const char* summaries[] = {
      "add a host pattern to the blacklist",
      "remove a host pattern from the blacklist",
      "add a host pattern to the whitelist (used in white-only mode)",
      "remove a host pattern from the whitelist",
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const ListAction action = actions[i];
    std::string help =
        action.add ? "HOST is a pattern that matches every host containing it, ignoring case;\n"
                     "'*' and '?' are wildcards. At most 100 characters.\n\n"
                   : "HOST must equal the entry exactly, case included; the first such entry\n"
                     "goes.\n\n";
    commands.push_back(
        {action.verb,
         "HOST",
         1,
         1,
         {"--persist", kOwnOnly},
         {{"--dll", "PATH"}, {other, "PATH"}},
         summaries[i],
         help + persist_help,
         [&m, action](const Invocation& in, Console& c) { return ListCommand(m, action, in, c); }});
  }
  commands.push_back(
      {"white-only",
       "on|off",
       1,
       1,
       {"--persist", kOwnOnly},
       {{"--dll", "PATH"}, {other, "PATH"}},
       "let only whitelisted hosts through, or stop doing so",
       "With --persist, also sets iswhi (needs administrator rights).\n\n" + persist_help,
       [&m](const Invocation& in, Console& c) { return FlagCommand(m, kWhiteOnlyFlag, in, c); }});
  commands.push_back(
      {"smart",
       "on|off",
       1,
       1,
       {"--persist", kOwnOnly},
       {{"--dll", "PATH"}, {other, "PATH"}},
       "switch the smart filter (the phrase test) on or off",
       "With --persist, also sets issma (needs administrator rights).\n\n" + persist_help,
       [&m](const Invocation& in, Console& c) { return FlagCommand(m, kSmartFlag, in, c); }});
  commands.push_back(
      {"https",
       "on|off",
       1,
       1,
       {"--persist", kOwnOnly},
       {{"--dll", "PATH"}, {other, "PATH"}},
       "judge TLS connections by the server name they send, and keep QUIC to TCP",
       "On: a connection that opens with a TLS ClientHello is judged by its server name\n"
       "(SNI) like an HTTP request by its Host header, on any port, and datagrams to UDP\n"
       "port 443 (QUIC) fail, so that browsers use TCP. A hello that names no host is\n"
       "blocked in white-only mode. With --persist, also sets issni (needs administrator\n"
       "rights).\n\n" +
           persist_help,
       [&m](const Invocation& in, Console& c) { return FlagCommand(m, kHttpsFlag, in, c); }});
  commands.push_back(
      {"lock",
       "on|off",
       1,
       1,
       {"--persist", kOwnOnly},
       {{"--dll", "PATH"}, {other, "PATH"}},
       "let only administrators change the running filter, or everyone",
       "On: the exports that change the filter (this tool's live commands among them)\n"
       "change nothing for a caller that is neither an elevated administrator nor\n"
       "LocalSystem; each refusal is counted and shown by \"tarvelctl log\". Switching\n"
       "the lock itself needs administrator rights, on or off. With --persist, also\n"
       "sets islck.\n\n" +
           persist_help,
       [&m](const Invocation& in, Console& c) { return FlagCommand(m, kLockFlag, in, c); }});
  return commands;
}

}  // namespace tarvel::ctl
