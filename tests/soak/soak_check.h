// The soak's judge: replays the editor's history of list and mode changes and
// decides whether each call's verdict is one the lists justified at some
// moment of the call; counts wrong verdicts, hangs, and entries or records
// that the shared block lost or tore. Portable, so that it is tested natively.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "state/block_log.h"
#include "state/filter_state.h"

namespace tarvel::soak {

// An edit through the exports, as the editor logs it: the times (in
// microseconds of the machine-wide performance counter) just before the
// export was called and just after it returned, the export, its argument
// (a host, or "0"/"1" for a mode) and its result.
enum class Op : char {
  kAddBlack = 'A',
  kDelBlack = 'D',
  kAddWhite = 'a',
  kDelWhite = 'd',
  kWhiteOnly = 'W',
  kSmart = 'S',
  kHttps = 'H',
};
struct Edit {
  std::int64_t before = 0;
  std::int64_t after = 0;
  Op op = Op::kAddBlack;
  std::string arg;
  int result = 1;
};

// What a sender did: an HTTP request on port 8080, the same with a phrase in
// it, a clean request whose answer page holds a phrase, or a TLS ClientHello
// (on 8080 or another port: the HTTPS filter judges it on either).
enum class Kind : char { kHttp = 'h', kPhrase = 'p', kPage = 'g', kHello = 't' };
// What it saw: the exchange went through, the connection was cut (a send or
// receive failed with WSAESHUTDOWN), or something else failed.
enum class Seen : char { kPassed = 'P', kBlocked = 'B', kFailed = 'F' };
struct Call {
  std::int64_t start = 0;
  std::int64_t end = 0;
  Kind kind = Kind::kHttp;
  std::string host;
  Seen seen = Seen::kPassed;
};

// One line each, space-separated; Parse returns false on a malformed line.
std::string Format(const Edit& e);
std::string Format(const Call& c);
bool Parse(const std::string& line, Edit& e);
bool Parse(const std::string& line, Call& c);

// The lists and modes after some edits.
struct ListState {
  std::set<std::string> black;
  std::set<std::string> white;
  bool white_only = false;
  bool smart = false;
  bool https = false;
};
// Applies an edit that succeeded (result 1); a failed one changes nothing.
void Apply(ListState& s, const Edit& e);
// The filter's rule for one call under one state.
bool Blocks(const ListState& s, Kind kind, const std::string& host);

// The editor's history, replayed. State k (after the first k edits) may have
// been in force from just before edit k-1 began until edit k returned.
class History {
 public:
  explicit History(std::vector<Edit> edits);
  // Whether some state that may have been in force during the call blocks
  // it (`want` true) or passes it (`want` false); a page passes when one
  // state passes its request and the same or a later one its answer.
  bool Justifies(const Call& call, bool want) const;
  const ListState& Final() const { return final_; }

 private:
  bool BlocksAt(std::size_t k, Kind kind, const std::string& host) const;
  bool MemberAt(const std::map<std::string, std::vector<std::pair<std::size_t, bool>>>& list,
                const std::string& host, std::size_t k) const;

  std::vector<Edit> edits_;
  // Per state index: the three modes.
  std::vector<char> white_only_, smart_, https_;
  // Per host: (state index from which, member) for each change.
  std::map<std::string, std::vector<std::pair<std::size_t, bool>>> black_, white_;
  ListState final_;
};

inline constexpr std::int64_t kHangMicros = 5000000;

struct Tally {
  std::uint64_t calls = 0, blocks = 0, passes = 0, failed = 0;
  std::uint64_t wrong = 0, crashed = 0, hung = 0, lost = 0, torn = 0;
  std::uint64_t reads = 0;  // runs of tarvelctl's log and status commands
  bool Clean() const { return wrong == 0 && crashed == 0 && hung == 0 && lost == 0 && torn == 0; }
};

// Counts the calls and judges each; a failed call counts as wrong.
void JudgeCalls(const History& history, const std::vector<Call>& calls, Tally& t);

// Compares the block's lists and modes with the editor's final state: an
// entry or mode that should be there and is not is lost; an active entry that
// should not be there, is not a whole name the editor used, or stands twice,
// and a cleared slot that kept text, are torn.
void CheckEntries(const FilterState& block, std::int32_t https_filter, const ListState& expected,
                  const std::set<std::string>& names, Tally& t);

// Compares the record of blocks with what the senders saw, once every writer
// has ended: `before` is the counts at the start, `numbered_before` the
// records numbered then. A block seen and not counted, a record given up, or
// one still pending is lost; a whole record whose reason is unknown or whose
// host is none of `names` is torn (a page's block names no host).
void CheckRecords(const BlockLog& log, const BlockCounts& before, std::uint64_t numbered_before,
                  std::uint64_t blocks_seen, const std::set<std::string>& names, Tally& t);

// Whether a line of `tarvelctl log --json` is one whole record of a block of
// one of `names`, or of a page's block, which names no host.
bool WholeLogLine(const std::string& line, const std::set<std::string>& names);

// The JSON object of a tally and the run's length in seconds.
std::string ToJson(const Tally& t, double seconds);
// "soak: N calls in M min, W wrong, C crashed, H hung, L lost, T torn".
std::string SummaryLine(const Tally& t, double seconds);

}  // namespace tarvel::soak
