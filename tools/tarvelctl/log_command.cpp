#include "tools/tarvelctl/log_command.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tools/tarvelctl/machine_texts.h"
#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

// How often --follow looks for new records, and how many looks a record
// that stays unfinished gets before it is passed over (its writer ended in
// the middle of writing it).
constexpr int kFollowPollMilliseconds = 500;
constexpr int kPendingLooks = 20;

struct Shown {
  std::uint64_t number;
  BlockEntry entry;
};

struct LogOptions {
  bool json = false;
  bool follow = false;
  bool limited = false;
  std::uint64_t limit = 0;
  bool since_given = false;
  std::uint64_t since = 0;
};

// --- what a record says --------------------------------------------------------

const char* ReasonKey(std::uint32_t reason) {
  switch (static_cast<BlockReason>(reason)) {
    case BlockReason::kBlacklisted:
      return "blacklisted";
    case BlockReason::kNotWhitelisted:
      return "not-whitelisted";
    case BlockReason::kPhraseInSend:
      return "phrase-in-request";
    case BlockReason::kPhraseInReceive:
      return "phrase-in-page";
    case BlockReason::kQuicRefused:
      return "quic-refused";
    case BlockReason::kChangeRefused:
      return "change-refused";
    case BlockReason::kCategory:
      return "category";
    case BlockReason::kNone:
      break;
  }
  return "unknown";
}

const char* ReasonCounted(std::size_t reason) {
  switch (static_cast<BlockReason>(reason)) {
    case BlockReason::kBlacklisted:
      return "on the blacklist";
    case BlockReason::kNotWhitelisted:
      return "not on the whitelist";
    case BlockReason::kPhraseInSend:
      return "by a phrase in a request";
    case BlockReason::kPhraseInReceive:
      return "by a phrase in a page";
    case BlockReason::kQuicRefused:
      return "QUIC refused";
    case BlockReason::kChangeRefused:
      return "changes refused by the lock";
    case BlockReason::kCategory:
      return "by a category";
    case BlockReason::kNone:
      break;
  }
  return "for another reason";
}

// A field's text: its bytes up to the first NUL, at most the field.
std::string FieldText(const char* field, std::size_t size) {
  std::size_t n = 0;
  while (n < size && field[n] != '\0') ++n;
  return std::string(field, n);
}

// The phrase of a table slot, as the table holds it; "" when unknown.
std::string PhraseText(const FilterState* state, std::int32_t slot) {
  if (state == nullptr || slot < 0 || slot >= kPhraseSlots) return "";
  return FieldText(state->phrases[slot], kPhraseSlotBytes);
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

std::string IPv4Text(const std::uint8_t* a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  return text;
}

// RFC 5952: lower-case groups without leading zeros, the longest run of two
// or more zero groups (the first of equal runs) as "::", and an IPv4-mapped
// address with its IPv4 part dotted.
std::string IPv6Text(const std::uint8_t* a) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(a[2 * i] << 8 | a[2 * i + 1]);
  const bool mapped =
      std::all_of(groups, groups + 5, [](unsigned g) { return g == 0; }) && groups[5] == 0xFFFF;
  if (mapped) return "::ffff:" + IPv4Text(a + 12);
  int best = -1;
  int best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_length - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    out += Hex4(groups[i]);
  }
  return out;
}

std::string AddressText(const BlockEntry& e) {
  if (e.family == kAddressIPv4) return IPv4Text(e.address);
  if (e.family == kAddressIPv6) return IPv6Text(e.address);
  return "";
}

std::string RemoteText(const BlockEntry& e) {
  const std::string address = AddressText(e);
  if (address.empty()) return "-";
  const std::string port = std::to_string(e.port);
  return e.family == kAddressIPv6 ? "[" + address + "]:" + port : address + ":" + port;
}

// Text for a terminal: control bytes (a host runs on to the next carriage
// return, line feeds included) as \xNN, so that a record stays one line.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// The length of the UTF-8 character at text[i], or 0 when none starts there.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return 1;
  // The length a lead byte announces, and the least code of that length
  // (a smaller one is an overlong form).
  const std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
  const std::uint32_t low = n == 4 ? 0x10000 : n == 3 ? 0x800 : 0x80;
  if (n == 0 || b > 0xF4 || text.size() - i < n) return 0;
  std::uint32_t code = b & (0xFF >> (n + 1));
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    code = code << 6 | (c & 0x3F);
  }
  if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return n;
}

// A JSON string; a byte that is not part of a UTF-8 character becomes U+FFFD.
std::string Json(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const std::size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
    } else if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
      ++i;
    } else if (b < 0x20 || b == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
      out += escaped;
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out + "\"";
}

bool IsCategoryBlock(const BlockEntry& e) {
  return e.reason == static_cast<std::uint32_t>(BlockReason::kCategory);
}

// A category block's record holds the host cut in front of the category's
// name; any other record holds the host in the whole field.
std::string HostOf(const BlockEntry& e) {
  return FieldText(e.host, IsCategoryBlock(e) ? kRecordCategoryAt : sizeof e.host);
}

std::string CategoryOf(const BlockEntry& e) {
  if (!IsCategoryBlock(e)) return "";
  return FieldText(e.host + kRecordCategoryAt, kRecordCategoryBytes);
}

std::string Why(const BlockEntry& e, const FilterState* state) {
  const std::string phrase = PhraseText(state, e.phrase);
  switch (static_cast<BlockReason>(e.reason)) {
    case BlockReason::kBlacklisted:
      return "on the blacklist";
    case BlockReason::kNotWhitelisted:
      return "not on the whitelist";
    case BlockReason::kPhraseInSend:
      return phrase.empty() ? "a phrase in the request" : "the request holds \"" + phrase + "\"";
    case BlockReason::kPhraseInReceive:
      return phrase.empty() ? "a phrase in the page" : "its page holds \"" + phrase + "\"";
    case BlockReason::kQuicRefused:
      return "QUIC refused";
    case BlockReason::kChangeRefused:
      return "change refused";
    case BlockReason::kCategory:
      return "category " + CategoryOf(e);
    case BlockReason::kNone:
      break;
  }
  return "reason " + std::to_string(e.reason);
}

// --- printing ------------------------------------------------------------------

// Columns of the text form: their headings and widths, the gap included.
constexpr int kTimeWidth = 21;
constexpr int kProgramWidth = 24;
constexpr int kPidWidth = 8;
constexpr int kRemoteWidth = 23;
constexpr int kHostWidth = 26;

std::string Column(const std::string& text, int width) {
  const auto w = static_cast<std::size_t>(width);
  return text.size() + 1 >= w ? text + " " : text + std::string(w - text.size(), ' ');
}

class Printer {
 public:
  Printer(Machine& machine, const LiveFilter& live, const LogOptions& options, Console& console)
      : machine_(machine), live_(live), options_(options), out_(console.out) {}

  void Header() {
    if (options_.json) return;
    out_ << Column("time", kTimeWidth) << Column("program", kProgramWidth)
         << Column("pid", kPidWidth) << Column("remote", kRemoteWidth) << Column("host", kHostWidth)
         << "why\n";
  }

  void Record(const Shown& r) {
    const BlockEntry& e = r.entry;
    const std::string host = HostOf(e);
    const std::string program = FieldText(e.program, sizeof e.program);
    if (!options_.json) {
      out_ << Column(FormatLocalTime(machine_.clock(), e.time, false), kTimeWidth)
           << Column(program.empty() ? "?" : Printable(program), kProgramWidth)
           << Column(std::to_string(e.process_id), kPidWidth) << Column(RemoteText(e), kRemoteWidth)
           << Column(host.empty() ? "-" : Printable(host), kHostWidth)
           << Printable(Why(e, live_.State())) << '\n';
      return;
    }
    out_ << "{\"record\":" << r.number
         << ",\"time\":" << Json(FormatLocalTime(machine_.clock(), e.time, true))
         << ",\"filter\":" << Json(KindName(machine_.OwnKind())) << ",\"pid\":" << e.process_id
         << ",\"program\":" << Json(program) << ",\"remote\":" << Json(AddressText(e))
         << ",\"port\":" << e.port << ",\"host\":" << Json(host)
         << ",\"reason\":" << Json(ReasonKey(e.reason));
    const std::string phrase = PhraseText(live_.State(), e.phrase);
    if (!phrase.empty()) out_ << ",\"phrase\":" << Json(phrase);
    if (IsCategoryBlock(e)) out_ << ",\"category\":" << Json(CategoryOf(e));
    out_ << "}\n";
  }

  void Records(const std::vector<Shown>& records) {
    for (const Shown& r : records) Record(r);
    out_.flush();
  }

 private:
  Machine& machine_;
  const LiveFilter& live_;
  const LogOptions& options_;
  std::ostream& out_;
};

// --- reading -----------------------------------------------------------------------

// The whole records numbered from `from` up to `to` that --since selects,
// oldest first. With `stop_at_pending` the reading stops at the first record
// that is numbered but not yet whole; returns the number where it stopped
// (`to` when it did not).
std::uint64_t ReadRange(const BlockLog& log, std::uint64_t from, std::uint64_t to,
                        bool stop_at_pending, const LogOptions& options,
                        std::vector<Shown>* records) {
  for (std::uint64_t n = from; n < to; ++n) {
    Shown shown{n, {}};
    const RecordRead read = ReadRecord(log, n, &shown.entry);
    if (read == RecordRead::kPending && stop_at_pending) return n;
    if (read != RecordRead::kWhole) continue;
    if (options.since_given && shown.entry.time < options.since) continue;
    records->push_back(shown);
  }
  return to;
}

std::uint64_t OldestHeld(std::uint64_t numbered) {
  return numbered > kBlockRecords ? numbered - kBlockRecords : 0;
}

// Prints what is recorded, then with --follow what comes, until Ctrl+C.
void Show(Machine& machine, const BlockLog& log, Printer& printer, const LogOptions& options,
          Console& console) {
  const std::uint64_t numbered = RecordsNumbered(log);
  std::vector<Shown> records;
  std::uint64_t next =
      ReadRange(log, OldestHeld(numbered), numbered, options.follow, options, &records);
  if (options.limited && records.size() > options.limit) {
    records.erase(records.begin(), records.end() - static_cast<std::ptrdiff_t>(options.limit));
  }
  if (records.empty() && !options.follow) {
    if (!options.json) {
      console.out << "No blocked request is recorded"
                  << (options.since_given ? " from that time on" : " since the filter started")
                  << ".\n";
    }
    return;
  }
  printer.Header();
  printer.Records(records);
  int looks_at_pending = 0;
  // Until Ctrl+C, or until the output is gone (the reader of a pipe ended).
  while (options.follow && console.out.good() && machine.clock().Wait(kFollowPollMilliseconds)) {
    const std::uint64_t now_numbered = RecordsNumbered(log);
    if (now_numbered - next > kBlockRecords) {
      const std::uint64_t lost = OldestHeld(now_numbered) - next;
      console.err << "tarvelctl: " << lost << " blocked request" << (lost == 1 ? " was" : "s were")
                  << " overwritten before they could be shown\n";
      next = OldestHeld(now_numbered);
    }
    records.clear();
    const std::uint64_t stopped = ReadRange(log, next, now_numbered, true, options, &records);
    printer.Records(records);
    looks_at_pending = stopped == next && stopped < now_numbered ? looks_at_pending + 1 : 0;
    next = looks_at_pending >= kPendingLooks ? stopped + 1 : stopped;
    if (looks_at_pending >= kPendingLooks) looks_at_pending = 0;
  }
}

// --- the command ---------------------------------------------------------------------

std::string ParseOptions(Machine& machine, const Invocation& in, LogOptions* options) {
  options->json = in.Has("--json");
  options->follow = in.Has("--follow");
  if (in.Has("-n")) {
    const std::string n = in.Value("-n");
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) {
      return "-n takes a number of records, not \"" + n + "\"";
    }
    options->limited = true;
    options->limit = std::stoull(n);
  }
  if (in.Has("--since")) {
    const std::string since = in.Value("--since");
    if (!ParseSince(machine.clock(), since, &options->since)) {
      return "--since takes a date (2026-12-08), a date and time (2026-12-08T09:30, local unless "
             "it ends in Z or an offset such as +01:00) or a time back from now (90s, 10m, 2h, "
             "1d), not \"" +
             since + "\"";
    }
    options->since_given = true;
  }
  return "";
}

// A filter's record, or why it cannot be shown.
struct ShowResult {
  int code = kExitOk;   // kExitOk, kExitNotRunning or kExitFailed
  std::string problem;  // kExitNotRunning, kExitFailed: why, as one phrase
};

// Shows the record of this program's own kind's filter.
ShowResult ShowOwn(Machine& machine, const Invocation& in, const LogOptions& options,
                   Console& console) {
  std::string error;
  const std::string module = FilterModule(machine, in, &error);
  if (module.empty()) return {kExitFailed, error};
  const std::unique_ptr<LiveFilter> live = machine.LoadFilter(module, &error);
  if (!live) return {kExitFailed, error};
  const SharedExtensions* extensions = live->Extensions();
  if (extensions == nullptr) {
    return {kExitFailed, module + " keeps no record of blocked requests that this tarvelctl knows"};
  }
  // Loading it here counted one attach; more means other programs hold it.
  const FilterState* state = live->State();
  const bool running = state == nullptr || Load(state->attach_counter) > 1;
  if (!running && !options.follow) {
    return {kExitNotRunning, "no other program holds " + module +
                                 ", so the filter is not running and nothing is recorded"};
  }
  Printer printer(machine, *live, options, console);
  Show(machine, extensions->block_log, printer, options, console);
  return {};
}

// Shows the record of the other kind's filter, through its tarvelctl.
ShowResult ShowOther(Machine& machine, const Invocation& in, const LogOptions& options,
                     Console& console) {
  std::vector<std::string> args = {"log"};
  for (const char* option : {"-n", "--since"}) {
    if (!in.Has(option)) continue;
    args.push_back(option);
    args.push_back(in.Value(option));
  }
  if (options.json) args.push_back("--json");
  const ProgramRun run = RunOtherTool(machine, in, args);
  if (run.started && run.code == kExitNotRunning) return {kExitNotRunning, FailureOf(run)};
  if (!run.started || run.code != kExitOk) return {kExitFailed, FailureOf(run)};
  console.out << WithoutCarriageReturns(run.out);
  return {};
}

// Says why a filter's record was not shown: under its title in the text
// form, on the error stream in the JSON form (which keeps the output JSON).
void SayNotShown(CatalogKind kind, const ShowResult& shown, const LogOptions& options,
                 Console& console) {
  const std::string what = shown.code == kExitNotRunning
                               ? "not running, so nothing is recorded"
                               : "its record cannot be shown: " + shown.problem;
  if (options.json) {
    console.err << "tarvelctl: the filter of " << KindName(kind) << " programs: " << what << '\n';
  } else {
    console.out << "  " << what << '\n';
  }
}

// On 64-bit Windows: the record of this program's kind, then the other
// kind's, each under its title in the text form. Fails only when neither
// could be shown.
int LogBoth(Machine& machine, const Invocation& in, const LogOptions& options, Console& console) {
  const CatalogKind kinds[] = {machine.OwnKind(), OtherKind(machine)};
  int shown = 0;
  for (const CatalogKind kind : kinds) {
    if (!options.json) console.out << KindName(kind) << " programs:\n";
    const ShowResult result = kind == machine.OwnKind() ? ShowOwn(machine, in, options, console)
                                                        : ShowOther(machine, in, options, console);
    if (result.code == kExitOk) {
      ++shown;
    } else {
      SayNotShown(kind, result, options, console);
    }
  }
  console.out.flush();
  return shown > 0 ? kExitOk : Fail(console, "no running filter's record could be shown");
}

int Log(Machine& machine, const Invocation& in, Console& console) {
  LogOptions options;
  const std::string usage = ParseOptions(machine, in, &options);
  if (!usage.empty()) return Fail(console, usage, kExitUsage);
  const bool both = ReachesOtherFilter(machine, in);
  if (both && !options.follow) return LogBoth(machine, in, options, console);
  // --follow reads one filter: the other kind's is followed by a tarvelctl
  // of that kind.
  if (both && !options.json) {
    const bool own64 = machine.OwnKind() == CatalogKind::k64;
    console.out << (own64 ? "32-bit" : "64-bit") << " programs have a record of their own: run "
                << (own64 ? "x86" : "x64") << "\\tarvelctl.exe log --follow for it.\n";
  }
  const ShowResult shown = ShowOwn(machine, in, options, console);
  if (shown.code == kExitOk) return kExitOk;
  // Under --own-only the tarvelctl that ran this one tells "not running"
  // from a failure by the code.
  return Fail(console, shown.problem,
              shown.code == kExitNotRunning && in.Has(kOwnOnly) ? kExitNotRunning : kExitFailed);
}

}  // namespace

CommandSpec LogCommand(Machine& m) {
  return {"log",
          "",
          0,
          0,
          {"--follow", "--json", kOwnOnly},
          {{"-n", "N"}, {"--since", "TIME"}, {"--dll", "PATH"}, {OtherModuleOption(m), "PATH"}},
          "show the blocked requests: when, which program, to where, which host, why",
          "Shows the record of blocked requests that the running filter keeps (the\n"
          "installed tarvel.dll, or --dll PATH), one line each, newest last: the local time,\n"
          "the program's file name and process id, the remote address and port, the host\n"
          "it asked for and why it was blocked (for a phrase or a category, which one).\n\n"
          "  -n N          only the newest N records\n"
          "  --since TIME  only records from TIME on: 2026-12-08 (local midnight),\n"
          "                2026-12-08T09:30 or \"2026-12-08 09:30:15\" (local time; add Z or\n"
          "                an offset such as +01:00 for another zone), or a time back from\n"
          "                now: 90s, 10m, 2h, 1d\n"
          "  --follow      keep printing new records as they come, until Ctrl+C\n"
          "  --json        one JSON object per line: record, time (local, with its offset),\n"
          "                filter, pid, program, remote, port, host, reason\n"
          "                (blacklisted, not-whitelisted, phrase-in-request, phrase-in-page,\n"
          "                quic-refused, change-refused, category), phrase when a phrase\n"
          "                blocked, and category when a category did\n\n"
          "On 64-bit Windows 64-bit and 32-bit programs each have a filter with a record\n"
          "of its own; log shows both, each under its title, the other through the\n"
          "tarvelctl.exe of the other kind in the package (its module: the installed one,\n"
          "or " +
              OtherModuleOption(m) +
              " PATH). --own-only shows only this tarvelctl's kind, as --follow\n"
              "does.\n\n"
              "The record lives in the memory the programs holding tarvel.dll share: it keeps\n"
              "the last 1024 blocks and is lost when the last of them ends. To keep it, run\n"
              "\"tarvelctl log --follow --json >> FILE\" as a scheduled task at start-up, with\n"
              "each kind's tarvelctl.\n",
          [&m](const Invocation& in, Console& c) { return Log(m, in, c); }};
}

std::string DescribeBlockCounts(const SharedExtensions* extensions) {
  if (extensions == nullptr) return "";
  const BlockCounts counts = ReadBlockCounts(extensions->block_log);
  std::string text = "blocked since the filter started: ";
  if (counts.total == 0) return text + "none";
  text += std::to_string(counts.total) + " (";
  bool first = true;
  for (std::size_t r = 1; r <= kBlockReasonSlots; ++r) {
    const std::size_t slot = r % kBlockReasonSlots;  // "another reason" (slot 0) last
    if (counts.by_reason[slot] == 0) continue;
    text +=
        (first ? "" : ", ") + std::to_string(counts.by_reason[slot]) + " " + ReasonCounted(slot);
    first = false;
  }
  text += ")";
  if (counts.dropped != 0) {
    text += ", " + std::to_string(counts.dropped) + " of them not recorded (their slot was busy)";
  }
  return text + "; \"tarvelctl log\" lists them";
}

}  // namespace tarvel::ctl
