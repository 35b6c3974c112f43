#include "filter/verdict.h"

#include <cstring>

#include "filter/host.h"
#include "filter/phrases.h"
#include "filter/send_start.h"
#include "filter/tls_hello.h"
#include "filter/url_match.h"
#include "platform/guard.h"

namespace tarvel {
namespace {

constexpr int kSocketError = -1;

// The port test may ask the system (a socket whose answer is not kept yet);
// within one call its answer is taken once and reused.
class HttpTest {
 public:
  explicit HttpTest(CallSite& site) : site_(site) {}
  bool operator()() {
    if (answer_ < 0) answer_ = site_.IsHttpSocket() == 1 ? 1 : 0;
    return answer_ == 1;
  }

 private:
  CallSite& site_;
  int answer_ = -1;
};

const BufferDesc* FirstBuffer(const BufferDesc* buffers, std::uint32_t count) {
  return (buffers != nullptr && count != 0) ? &buffers[0] : nullptr;
}

// The list step on the host in `host`: why it refuses it, or kNone. In
// blacklist mode a host the blacklist lets pass is looked up in the active
// categories (filling `category`), and a category's block yields to the
// white list, its list of exceptions; the lookup comes first, as nearly
// every host falls under none.
BlockReason HostRefusal(const FilterState& state, CallSite& site, const Host& host,
                        CategoryHit& category) {
  if (host.length == 0) return BlockReason::kNone;
  if (IsOn(state.white_only)) {
    return MatchUrlList(ListOf(state, ListKind::kWhite), host) == 0 ? BlockReason::kNotWhitelisted
                                                                    : BlockReason::kNone;
  }
  if (MatchUrlList(ListOf(state, ListKind::kBlack), host) == 1) return BlockReason::kBlacklisted;
  if (site.FindCategory(host, &category) &&
      MatchUrlList(ListOf(state, ListKind::kWhite), host) != 1) {
    return BlockReason::kCategory;
  }
  return BlockReason::kNone;
}

// Why a ClientHello naming `host` is refused, or kNone. A hello that names
// no host has nothing the white list could allow.
BlockReason HelloRefusal(const FilterState& state, CallSite& site, const Host& host,
                         CategoryHit& category) {
  if (!IsOn(state.lists_ready)) return BlockReason::kNone;
  if (host.length == 0 && IsOn(state.white_only)) return BlockReason::kNotWhitelisted;
  return HostRefusal(state, site, host, category);
}

// The facts of a block for `why`: the category only when it is one's.
BlockFacts FactsOf(BlockReason why, const Host& host, std::int32_t phrase,
                   const CategoryHit& category) {
  return BlockFacts{why, &host, phrase, why == BlockReason::kCategory ? &category : nullptr};
}

bool HasPhrase(const FilterState& state, const BufferDesc& first) {
  return MatchPhrases(state, first.buf, static_cast<std::int32_t>(first.len)) == 1;
}

std::int32_t FirstPhrase(const FilterState& state, const BufferDesc& first) {
  return FirstPhraseFound(state, first.buf, static_cast<std::int32_t>(first.len));
}

// Why a send is refused, or kNone. `host` receives the host when the list
// step took it; `host_taken` says whether it did.
BlockReason SendRefusal(const FilterState& state, CallSite& site, const BufferDesc* first,
                        HttpTest& http, Host& host, bool& host_taken, CategoryHit& category) {
  if (IsOn(state.lists_ready) && http() && first != nullptr) {
    host = ExtractHost(first->buf, first->len);
    host_taken = true;
    const BlockReason why = HostRefusal(state, site, host, category);
    if (why != BlockReason::kNone) return why;
  }
  if (IsOn(state.smart_filter) && http() && first != nullptr && HasPhrase(state, *first)) {
    return BlockReason::kPhraseInSend;
  }
  return BlockReason::kNone;
}

// Runs Body(job) inside the guard. The callback catches C++ exceptions itself
// (see platform/guard.h) and reports them like a fault. Returns true when Body
// ran to its end.
template <typename Job, void (*Body)(Job&)>
bool RunGuarded(Job& job) {
  GuardedFn fn = [](void* context) {
    auto& j = *static_cast<Job*>(context);
    try {
      Body(j);
    } catch (...) {
      j.faulted = true;
    }
  };
  return GuardedCall(fn, &job) == 1 && !job.faulted;
}

template <typename Site>
struct RecordJob {
  Site* site;
  const BlockFacts* facts;
  volatile bool faulted;
};

template <typename Site>
void RecordInGuard(RecordJob<Site>& job) {
  job.site->RecordBlock(*job.facts);
}

// Records a block under a guard of its own: a fault in the record must not
// turn the block into a pass.
template <typename Site>
void Record(Site& site, const BlockFacts& facts) {
  RecordJob<Site> job{&site, &facts, false};
  RunGuarded<RecordJob<Site>, RecordInGuard<Site>>(job);
}

// A block whose record holds no host and no phrase.
void RecordWithoutHost(auto& site, BlockReason why) {
  Host no_host;
  no_host.text[0] = '\0';
  no_host.length = 0;
  Record(site, BlockFacts{why, &no_host, -1});
}

// The answer to a fault caught inside a lower call: the call fails with
// WSAEFAULT and is not made again, since the lower provider may have taken
// the data already.
int FailedWithFault(CallSite& site) {
  site.FailWithFault();
  return kSocketError;
}

// The lower call a job is inside, set around each one: a fault caught there
// is the lower provider's, one caught at kNone tarvel's own.
enum class InLower : int { kNone, kJudgedCall, kCut };

struct SendJob {
  const FilterState* state;
  const SharedExtensions* extensions;
  const BufferDesc* buffers;
  std::uint32_t count;
  CallSite* site;
  volatile bool faulted;
  volatile InLower in_lower;
  volatile bool decided;  // the guarded part made the lower call itself
  volatile bool refused;  // the send fails unsent
  volatile int result;
};

// Records the block, cuts the connection and makes the send, which fails.
void Block(SendJob& job, const BlockFacts& facts) {
  CallSite& site = *job.site;
  Record(site, facts);
  job.in_lower = InLower::kCut;
  site.LowerCutConnection();
  job.in_lower = InLower::kJudgedCall;
  job.result = site.LowerCall();
  job.in_lower = InLower::kNone;
  job.decided = true;
}

// The name of the hello that the send's bytes begin with: read in place
// when it lies in the first buffer alone, else across the buffers.
Host HelloName(const SendJob& job, const HelloStart& kept, const BufferDesc* first) {
  if (kept.length == 0 && (job.count == 1 || first->len >= kHelloReach)) {
    return ServerNameOf(first->buf, first->len);
  }
  return ServerNameAcross(kept, job.buffers, job.count);
}

// Judges a send whose bytes may begin a ClientHello. `head` holds its first
// `head_length` bytes, fewer than kHelloHeadBytes only when the send has no
// more. A hello that passes with fewer is left for the next send; the one
// byte 22 is left unjudged, as a hello needs more to be told.
void JudgeHello(SendJob& job, const HelloStart& kept, const BufferDesc* first, const char* head,
                std::size_t head_length) {
  if (head_length > 1) {
    const Host host = HelloName(job, kept, first);
    CategoryHit category;
    const BlockReason why = HelloRefusal(*job.state, *job.site, host, category);
    if (why != BlockReason::kNone) {
      Block(job, FactsOf(why, host, -1, category));
      return;
    }
  }
  if (head_length >= kHelloHeadBytes) return;
  HelloStart start;
  start.length = static_cast<std::uint8_t>(head_length);
  for (std::size_t i = 0; i < head_length; ++i) start.bytes[i] = head[i];
  job.site->KeepHelloStart(start);
}

// The tests of the HTTPS filter. True when they judged the send: a
// ClientHello is judged here alone, and a datagram to port 443 refused.
bool JudgeHttps(SendJob& job, const BufferDesc* first) {
  const HelloStart kept = job.site->TakeHelloStart();
  // Nearly every send's first buffer shows whether it begins a hello; the
  // others (a kept start, a short first buffer) have their head copied.
  char copied[kHelloHeadBytes];
  const char* head = nullptr;
  std::size_t head_length = 0;
  if (kept.length == 0 && first != nullptr && first->len >= kHelloHeadBytes) {
    head = first->buf;
    head_length = first->len;
  } else {
    head_length = CopySendStart(kept, job.buffers, job.count, copied, sizeof copied);
    head = copied;
  }
  if (MayBeginClientHello(head, head_length)) {
    JudgeHello(job, kept, first, head, head_length);
    return true;
  }
  if (job.site->IsQuicSocket() != 1) return false;
  RecordWithoutHost(*job.site, BlockReason::kQuicRefused);
  job.refused = true;
  return true;
}

void JudgeSend(SendJob& job) {
  CallSite& site = *job.site;
  if (site.IsExemptProcess() == 1) {
    job.in_lower = InLower::kJudgedCall;
    job.result = site.LowerCall();
    job.in_lower = InLower::kNone;
    job.decided = true;
    return;
  }
  const BufferDesc* first = FirstBuffer(job.buffers, job.count);
  if (IsOn(job.extensions->https_filter) && JudgeHttps(job, first)) return;
  HttpTest http(site);
  Host host;
  bool host_taken = false;
  CategoryHit category;
  const BlockReason why = SendRefusal(*job.state, site, first, http, host, host_taken, category);
  if (why == BlockReason::kNone) return;
  // The block path: the record's host, taken now if the list step did not,
  // and the phrase that blocked.
  if (!host_taken) host = ExtractHost(first->buf, first->len);
  const std::int32_t phrase =
      why == BlockReason::kPhraseInSend ? FirstPhrase(*job.state, *first) : -1;
  Block(job, FactsOf(why, host, phrase, category));
}

struct RecvJob {
  const FilterState* state;
  const BufferDesc* buffers;
  std::uint32_t count;
  Overlap overlap;
  CallSite* site;
  volatile bool faulted;
  volatile InLower in_lower;
  volatile bool received;  // the first lower receive returned
  volatile int first;
  volatile int result;
};

void JudgeRecv(RecvJob& job) {
  CallSite& site = *job.site;
  job.in_lower = InLower::kJudgedCall;
  const int first = site.LowerCall();
  job.in_lower = InLower::kNone;
  job.first = first;
  job.result = first;
  job.received = true;
  if (first == kSocketError || job.overlap == Overlap::kWithRoutine) return;
  if (site.IsExemptProcess() == 1 || site.IsHttpSocket() != 1) return;
  if (!IsOn(job.state->smart_filter)) return;
  const BufferDesc* buffer = FirstBuffer(job.buffers, job.count);
  if (buffer == nullptr) return;
  // Only what this receive placed is scanned: bytes past it are whatever
  // the buffer held before (an earlier page, text the user typed).
  const std::uint32_t received = site.BytesReceived();
  const BufferDesc got{received < buffer->len ? received : buffer->len, buffer->buf};
  if (!HasPhrase(*job.state, got)) return;
  Host no_host;
  no_host.text[0] = '\0';
  no_host.length = 0;
  Record(site, BlockFacts{BlockReason::kPhraseInReceive, &no_host, FirstPhrase(*job.state, got)});
  job.in_lower = InLower::kCut;
  site.LowerCutConnection();
  job.in_lower = InLower::kNone;
  // An overlapped receive's completion is already queued: failing the call
  // now would let the application free what the completion still names. It
  // keeps its result; its next receive fails on the cut connection.
  if (job.overlap != Overlap::kNone) return;
  job.in_lower = InLower::kJudgedCall;
  job.result = site.LowerCall();
  job.in_lower = InLower::kNone;
}

struct DatagramJob {
  DatagramSite* site;
  volatile bool faulted;
  volatile bool refused;
};

void JudgeDatagram(DatagramJob& job) {
  job.refused = job.site->IsExemptProcess() != 1 && job.site->IsQuicDestination() == 1;
}

}  // namespace

BlockEntry EntryOf(const BlockFacts& facts) {
  BlockEntry entry = {};
  entry.reason = static_cast<std::uint32_t>(facts.reason);
  entry.phrase = facts.phrase;
  if (facts.category == nullptr) {
    SetRecordText(entry.host, sizeof entry.host, facts.host->text, facts.host->length);
    return entry;
  }
  SetRecordText(entry.host, kRecordCategoryAt, facts.host->text, facts.host->length);
  const char* name = facts.category->name;
  SetRecordText(entry.host + kRecordCategoryAt, kRecordCategoryBytes, name, std::strlen(name));
  return entry;
}

int FilterSend(const FilterState& state, const SharedExtensions& extensions,
               const BufferDesc* buffers, std::uint32_t count, CallSite& site) {
  SendJob job{&state, &extensions, buffers, count, &site, false, InLower::kNone, false, false, 0};
  const bool ran = RunGuarded<SendJob, JudgeSend>(job);
  if (ran && job.decided) return job.result;
  if (ran && job.refused) {
    site.FailRefused();
    return kSocketError;
  }
  if (!ran && job.in_lower != InLower::kNone) return FailedWithFault(site);
  // A pass, or a fault in tarvel's own work: forward unchanged, unguarded.
  return site.LowerCall();
}

int FilterRecv(const FilterState& state, const BufferDesc* buffers, std::uint32_t count,
               Overlap overlap, CallSite& site) {
  RecvJob job{&state, buffers, count, overlap, &site, false, InLower::kNone, false, 0, 0};
  if (RunGuarded<RecvJob, JudgeRecv>(job)) return job.result;
  if (!job.received) return FailedWithFault(site);
  // A fault in tarvel's own work keeps the first result, and so does one in
  // the cut of an overlapped receive, whose completion is queued already.
  const bool keeps_first = job.in_lower == InLower::kNone ||
                           (job.in_lower == InLower::kCut && overlap != Overlap::kNone);
  return keeps_first ? job.first : FailedWithFault(site);
}

int RefusesDatagram(const SharedExtensions& extensions, DatagramSite& site) {
  if (!IsOn(extensions.https_filter)) return 0;
  DatagramJob job{&site, false, false};
  if (!RunGuarded<DatagramJob, JudgeDatagram>(job) || !job.refused) return 0;
  RecordWithoutHost(site, BlockReason::kQuicRefused);
  return 1;
}

}  // namespace tarvel
