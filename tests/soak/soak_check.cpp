#include "tests/soak/soak_check.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace tarvel::soak {

std::string Format(const Edit& e) {
  return std::to_string(e.before) + " " + std::to_string(e.after) + " " + static_cast<char>(e.op) +
         " " + e.arg + " " + std::to_string(e.result);
}

std::string Format(const Call& c) {
  return std::to_string(c.start) + " " + std::to_string(c.end) + " " + static_cast<char>(c.kind) +
         " " + c.host + " " + static_cast<char>(c.seen);
}

bool Parse(const std::string& line, Edit& e) {
  std::istringstream in(line);
  char op = 0;
  if (!(in >> e.before >> e.after >> op >> e.arg >> e.result)) return false;
  if (std::string("ADadWSH").find(op) == std::string::npos) return false;
  e.op = static_cast<Op>(op);
  return e.before <= e.after;
}

bool Parse(const std::string& line, Call& c) {
  std::istringstream in(line);
  char kind = 0, seen = 0;
  if (!(in >> c.start >> c.end >> kind >> c.host >> seen)) return false;
  if (std::string("hpgt").find(kind) == std::string::npos) return false;
  if (std::string("PBF").find(seen) == std::string::npos) return false;
  c.kind = static_cast<Kind>(kind);
  c.seen = static_cast<Seen>(seen);
  return c.start <= c.end;
}

void Apply(ListState& s, const Edit& e) {
  if (e.result != 1) return;
  const bool on = e.arg == "1";
  switch (e.op) {
    case Op::kAddBlack:
      s.black.insert(e.arg);
      break;
    case Op::kDelBlack:
      s.black.erase(e.arg);
      break;
    case Op::kAddWhite:
      s.white.insert(e.arg);
      break;
    case Op::kDelWhite:
      s.white.erase(e.arg);
      break;
    case Op::kWhiteOnly:
      s.white_only = on;
      break;
    case Op::kSmart:
      s.smart = on;
      break;
    case Op::kHttps:
      s.https = on;
      break;
  }
}

namespace {

// The host rule alone: off the white list in white-only mode, else on the
// black list.
bool HostBlocked(bool white_only, bool black, bool white) { return white_only ? !white : black; }

bool Rule(Kind kind, bool host_blocked, bool smart, bool https) {
  switch (kind) {
    case Kind::kHttp:
      return host_blocked;
    case Kind::kPhrase:
    case Kind::kPage:
      return host_blocked || smart;
    case Kind::kHello:
      return https && host_blocked;
  }
  return false;
}

}  // namespace

bool Blocks(const ListState& s, Kind kind, const std::string& host) {
  return Rule(kind, HostBlocked(s.white_only, s.black.count(host) != 0, s.white.count(host) != 0),
              s.smart, s.https);
}

History::History(std::vector<Edit> edits) : edits_(std::move(edits)) {
  white_only_.push_back(0);
  smart_.push_back(0);
  https_.push_back(0);
  for (std::size_t i = 0; i < edits_.size(); ++i) {
    const Edit& e = edits_[i];
    Apply(final_, e);
    white_only_.push_back(final_.white_only);
    smart_.push_back(final_.smart);
    https_.push_back(final_.https);
    if (e.result != 1) continue;
    if (e.op == Op::kAddBlack || e.op == Op::kDelBlack) {
      black_[e.arg].emplace_back(i + 1, e.op == Op::kAddBlack);
    } else if (e.op == Op::kAddWhite || e.op == Op::kDelWhite) {
      white_[e.arg].emplace_back(i + 1, e.op == Op::kAddWhite);
    }
  }
}

bool History::MemberAt(const std::map<std::string, std::vector<std::pair<std::size_t, bool>>>& list,
                       const std::string& host, std::size_t k) const {
  const auto it = list.find(host);
  if (it == list.end()) return false;
  bool member = false;
  for (const auto& [from, now] : it->second) {
    if (from > k) break;
    member = now;
  }
  return member;
}

bool History::BlocksAt(std::size_t k, Kind kind, const std::string& host) const {
  return Rule(
      kind, HostBlocked(white_only_[k] != 0, MemberAt(black_, host, k), MemberAt(white_, host, k)),
      smart_[k] != 0, https_[k] != 0);
}

bool History::Justifies(const Call& call, bool want) const {
  // State k may hold from edits_[k-1].before to edits_[k].after.
  const auto first = std::lower_bound(edits_.begin(), edits_.end(), call.start,
                                      [](const Edit& e, std::int64_t t) { return e.after < t; });
  const auto last = std::upper_bound(edits_.begin(), edits_.end(), call.end,
                                     [](std::int64_t t, const Edit& e) { return t < e.before; });
  // A page's request is judged when it is sent and its answer when it
  // arrives, maybe under a later state: the page passes when one state lets
  // the request through and the same or a later one has the smart filter off.
  const bool page_passed = call.kind == Kind::kPage && !want;
  bool sent = false;
  for (auto k = static_cast<std::size_t>(first - edits_.begin());
       k <= static_cast<std::size_t>(last - edits_.begin()); ++k) {
    if (page_passed) {
      sent = sent || !BlocksAt(k, Kind::kHttp, call.host);
      if (sent && smart_[k] == 0) return true;
    } else if (BlocksAt(k, call.kind, call.host) == want) {
      return true;
    }
  }
  return false;
}

void JudgeCalls(const History& history, const std::vector<Call>& calls, Tally& t) {
  for (const Call& c : calls) {
    ++t.calls;
    if (c.end - c.start > kHangMicros) ++t.hung;
    switch (c.seen) {
      case Seen::kPassed:
        ++t.passes;
        if (!history.Justifies(c, false)) ++t.wrong;
        break;
      case Seen::kBlocked:
        ++t.blocks;
        if (!history.Justifies(c, true)) ++t.wrong;
        break;
      case Seen::kFailed:
        ++t.failed;
        ++t.wrong;
        break;
    }
  }
}

namespace {

void CheckList(const FilterState& block, ListKind kind, const std::set<std::string>& expected,
               const std::set<std::string>& names, Tally& t) {
  const UrlList list = ListOf(block, kind);
  const int count = std::min<int>(Load(*list.count), kListSlots);
  std::set<std::string> found;
  for (int i = 0; i < count; ++i) {
    const std::string text(list.entries[i], EntryLength(list.entries[i]));
    if (Load(list.active[i]) != 1) {
      if (!text.empty()) ++t.torn;
      continue;
    }
    if (names.count(text) == 0 || expected.count(text) == 0 || !found.insert(text).second) {
      ++t.torn;
    }
  }
  for (const std::string& name : expected) {
    if (found.count(name) == 0) ++t.lost;
  }
}

}  // namespace

void CheckEntries(const FilterState& block, std::int32_t https_filter, const ListState& expected,
                  const std::set<std::string>& names, Tally& t) {
  CheckList(block, ListKind::kBlack, expected.black, names, t);
  CheckList(block, ListKind::kWhite, expected.white, names, t);
  if (IsOn(block.white_only) != expected.white_only) ++t.lost;
  if (IsOn(block.smart_filter) != expected.smart) ++t.lost;
  if ((https_filter == 1) != expected.https) ++t.lost;
}

void CheckRecords(const BlockLog& log, const BlockCounts& before, std::uint64_t numbered_before,
                  std::uint64_t blocks_seen, const std::set<std::string>& names, Tally& t) {
  const BlockCounts after = ReadBlockCounts(log);
  const std::uint64_t counted = after.total - before.total;
  if (blocks_seen > counted) t.lost += blocks_seen - counted;
  t.lost += after.dropped - before.dropped;
  const std::uint64_t numbered = RecordsNumbered(log);
  std::uint64_t from = numbered > kBlockRecords ? numbered - kBlockRecords : 0;
  from = std::max(from, numbered_before);
  for (std::uint64_t n = from; n < numbered; ++n) {
    BlockEntry entry;
    switch (ReadRecord(log, n, &entry)) {
      case RecordRead::kPending:
        ++t.lost;
        break;
      case RecordRead::kGone:
        break;
      case RecordRead::kWhole: {
        const std::size_t length =
            std::find(entry.host, entry.host + kRecordHostBytes, '\0') - entry.host;
        const bool page = entry.reason == static_cast<std::uint32_t>(BlockReason::kPhraseInReceive);
        if (entry.reason == 0 || entry.reason > kLastBlockReason ||
            (page ? length != 0 : names.count(std::string(entry.host, length)) == 0)) {
          ++t.torn;
        }
        break;
      }
    }
  }
}

bool WholeLogLine(const std::string& line, const std::set<std::string>& names) {
  if (line.rfind("{\"record\":", 0) != 0 || line.back() != '}') return false;
  const std::string key = "\"host\":\"";
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return false;
  const std::size_t from = at + key.size();
  const std::size_t to = line.find('"', from);
  if (to == std::string::npos) return false;
  const std::string reason = "\"reason\":\"";
  const std::size_t why = line.find(reason, to);
  if (why == std::string::npos) return false;
  if (to == from) return line.compare(why + reason.size(), 15, "phrase-in-page\"") == 0;
  return names.count(line.substr(from, to - from)) != 0;
}

std::string ToJson(const Tally& t, double seconds) {
  char text[512];
  std::snprintf(
      text, sizeof text,
      "{\"seconds\": %.1f, \"calls\": %llu, \"blocks\": %llu, \"passes\": %llu, "
      "\"failed\": %llu, \"wrong\": %llu, \"crashed\": %llu, \"hung\": %llu, "
      "\"lost\": %llu, \"torn\": %llu, \"reads\": %llu}",
      seconds, static_cast<unsigned long long>(t.calls), static_cast<unsigned long long>(t.blocks),
      static_cast<unsigned long long>(t.passes), static_cast<unsigned long long>(t.failed),
      static_cast<unsigned long long>(t.wrong), static_cast<unsigned long long>(t.crashed),
      static_cast<unsigned long long>(t.hung), static_cast<unsigned long long>(t.lost),
      static_cast<unsigned long long>(t.torn), static_cast<unsigned long long>(t.reads));
  return text;
}

std::string SummaryLine(const Tally& t, double seconds) {
  char text[256];
  std::snprintf(text, sizeof text,
                "soak: %llu calls in %.1f min, %llu wrong, %llu crashed, "
                "%llu hung, %llu lost, %llu torn",
                static_cast<unsigned long long>(t.calls), seconds / 60,
                static_cast<unsigned long long>(t.wrong),
                static_cast<unsigned long long>(t.crashed), static_cast<unsigned long long>(t.hung),
                static_cast<unsigned long long>(t.lost), static_cast<unsigned long long>(t.torn));
  return text;
}

}  // namespace tarvel::soak
