// The three guarded entry points: WSPSend and WSPRecv run the verdicts,
// WSPRecvFrom forwards inside a guard; and the refusal of QUIC datagrams
// that WSPSendTo asks for.
#include <cstddef>

#include "filter/verdict.h"
#include "platform/guard.h"
#include "platform/win/block_record.h"
#include "platform/win/process_facts.h"
#include "provider/win/entry_points.h"
#include "provider/win/lower_table.h"
#include "provider/win/quic_refusal.h"
#include "state/shared_state.h"

namespace tarvel {

static_assert(sizeof(BufferDesc) == sizeof(WSABUF));
static_assert(offsetof(BufferDesc, len) == offsetof(WSABUF, len));
static_assert(offsetof(BufferDesc, buf) == offsetof(WSABUF, buf));

namespace {

struct ErrorStore {
  LPINT error;
  INT code;
};

// Stores `code` at `error`, which may be a bad pointer: a fault in the
// store is caught and ignored.
void StoreError(LPINT error, INT code) {
  ErrorStore job{error, code};
  GuardedFn store = [](void* context) {
    const auto& j = *static_cast<ErrorStore*>(context);
    *static_cast<volatile INT*>(j.error) = j.code;
  };
  GuardedCall(store, &job);
}

void StoreFaultError(LPINT error) { StoreError(error, WSAEFAULT); }

// A firewall's refusal: clients take it as final, not as a full buffer or
// a busy socket (WSAENOBUFS, WSAEWOULDBLOCK) that they would send again.
constexpr INT kRefusedError = WSAEACCES;

const BufferDesc* AsBuffers(LPWSABUF buffers) {
  return reinterpret_cast<const BufferDesc*>(buffers);
}

// The nine arguments of one WSPSend or WSPRecv, and what the verdict asks.
template <typename Flags, typename Lower, Lower WSPPROC_TABLE::*Entry>
class WinCallSite final : public CallSite {
 public:
  WinCallSite(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytes, Flags flags,
              LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine,
              LPWSATHREADID thread, LPINT error)
      : s_(s),
        buffers_(buffers),
        count_(count),
        bytes_(bytes),
        flags_(flags),
        overlapped_(overlapped),
        routine_(routine),
        thread_(thread),
        error_(error) {}

  int IsExemptProcess() override { return tarvel::IsExemptProcess(); }
  int IsHttpSocket() override { return tarvel::IsHttpSocket(s_); }
  int IsQuicSocket() override { return tarvel::IsQuicSocket(s_); }
  int LowerCall() override {
    return LowerEntry(LowerProcTable.*Entry)(s_, buffers_, count_, bytes_, flags_, overlapped_,
                                             routine_, thread_, error_);
  }
  // The block forgets the socket's kept port answer: its connection is cut,
  // and what the application does with the handle next is its own.
  void LowerCutConnection() override {
    SocketClosed(s_);
    LowerEntry(LowerProcTable.lpWSPShutdown)(s_, SD_BOTH, error_);
  }
  void RecordBlock(const BlockFacts& facts) override { RecordBlockOn(s_, facts); }
  void FailWithFault() override { StoreFaultError(error_); }
  void FailRefused() override { StoreError(error_, kRefusedError); }

 private:
  SOCKET s_;
  LPWSABUF buffers_;
  DWORD count_;
  LPDWORD bytes_;
  Flags flags_;
  LPWSAOVERLAPPED overlapped_;
  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine_;
  LPWSATHREADID thread_;
  LPINT error_;
};

using SendSite = WinCallSite<DWORD, LPWSPSEND, &WSPPROC_TABLE::lpWSPSend>;
using RecvSite = WinCallSite<LPDWORD, LPWSPRECV, &WSPPROC_TABLE::lpWSPRecv>;

}  // namespace

// --- WSPSend: the send verdict --------------------------------------------
int WSPAPI WSPSend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
                   DWORD dwFlags, LPWSAOVERLAPPED lpOverlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                   LPINT lpErrno) {
  SendSite site(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent, dwFlags, lpOverlapped,
                lpCompletionRoutine, lpThreadId, lpErrno);
  return FilterSend(SharedState(), SharedExtensionBlock(), AsBuffers(lpBuffers), dwBufferCount,
                    site);
}

// --- WSPRecv: the receive verdict -----------------------------------------
int WSPAPI WSPRecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
                   LPDWORD lpFlags, LPWSAOVERLAPPED lpOverlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                   LPINT lpErrno) {
  RecvSite site(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags, lpOverlapped,
                lpCompletionRoutine, lpThreadId, lpErrno);
  const Overlap overlap = lpOverlapped == nullptr          ? Overlap::kNone
                          : lpCompletionRoutine == nullptr ? Overlap::kOverlapped
                                                           : Overlap::kWithRoutine;
  return FilterRecv(SharedState(), AsBuffers(lpBuffers), dwBufferCount, overlap, site);
}

// --- WSPRecvFrom: a forward inside a catch-all guard ------------------------
// A fault in the lower provider fails the call with WSAEFAULT and leaves the
// out-parameters as the lower provider left them.
namespace {

struct RecvFromCall {
  SOCKET s;
  LPWSABUF buffers;
  DWORD count;
  LPDWORD bytes;
  LPDWORD flags;
  sockaddr* from;
  LPINT from_length;
  LPWSAOVERLAPPED overlapped;
  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine;
  LPWSATHREADID thread;
  LPINT error;
  volatile int result;
  volatile bool faulted;
};

void ForwardRecvFrom(void* context) {
  auto& c = *static_cast<RecvFromCall*>(context);
  try {
    c.result = LowerEntry(LowerProcTable.lpWSPRecvFrom)(c.s, c.buffers, c.count, c.bytes, c.flags,
                                                        c.from, c.from_length, c.overlapped,
                                                        c.routine, c.thread, c.error);
  } catch (...) {
    c.faulted = true;
  }
}

}  // namespace

int WSPAPI WSPRecvFrom(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                       LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags, struct sockaddr* lpFrom,
                       LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                       LPWSATHREADID lpThreadId, LPINT lpErrno) {
  RecvFromCall call{s,       lpBuffers, dwBufferCount, lpNumberOfBytesRecvd, lpFlags,
                    lpFrom,  lpFromlen, lpOverlapped,  lpCompletionRoutine,  lpThreadId,
                    lpErrno, 0,         false};
  if (GuardedCall(ForwardRecvFrom, &call) == 1 && !call.faulted) return call.result;
  StoreFaultError(lpErrno);
  return SOCKET_ERROR;
}

// --- WSPSendTo: datagrams to UDP port 443 ----------------------------------
namespace {

class SendToSite final : public DatagramSite {
 public:
  SendToSite(SOCKET s, const sockaddr* to, int to_length) : s_(s), to_(to), to_length_(to_length) {}
  int IsExemptProcess() override { return tarvel::IsExemptProcess(); }
  int IsQuicDestination() override { return tarvel::IsQuicDestination(s_, to_, to_length_); }
  // The record names the peer of a connected socket; a datagram sent to an
  // address of its own has none there.
  void RecordBlock(const BlockFacts& facts) override { RecordBlockOn(s_, facts); }

 private:
  SOCKET s_;
  const sockaddr* to_;
  int to_length_;
};

}  // namespace

bool RefusesQuicDatagram(SOCKET s, const sockaddr* to, int to_length, LPINT error) {
  const SharedExtensions& extensions = SharedExtensionBlock();
  if (!IsOn(extensions.https_filter)) return false;
  SendToSite site(s, to, to_length);
  if (RefusesDatagram(extensions, site) != 1) return false;
  StoreError(error, kRefusedError);
  return true;
}

}  // namespace tarvel
