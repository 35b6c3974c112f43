// The guarded entry points: WSPSend, WSPRecv and WSPSendTo run the verdicts,
// WSPRecvFrom forwards inside a guard; and what every verdict entry shares
// (provider/win/win_call_site.h).
#include "provider/win/win_call_site.h"

#include <cstddef>
#include <cstring>

#include "filter/verdict.h"
#include "platform/guard.h"
#include "provider/win/entry_points.h"

namespace tarvel {

static_assert(sizeof(BufferDesc) == sizeof(WSABUF));
static_assert(offsetof(BufferDesc, len) == offsetof(WSABUF, len));
static_assert(offsetof(BufferDesc, buf) == offsetof(WSABUF, buf));

namespace {

struct ErrorStore {
  LPINT error;
  INT code;
};

struct CallerCopy {
  void* to;
  const void* from;
  std::size_t size;
};

struct ReceiveCount {
  LPDWORD bytes;
  LPWSAOVERLAPPED overlapped;
};

}  // namespace

void StoreError(LPINT error, INT code) {
  if (error == nullptr) {
    WSASetLastError(code);
    return;
  }
  ErrorStore job{error, code};
  GuardedFn store = [](void* context) {
    const auto& j = *static_cast<ErrorStore*>(context);
    *static_cast<volatile INT*>(j.error) = j.code;
  };
  GuardedCall(store, &job);
}

bool CopyFromCaller(void* to, const void* from, std::size_t size) {
  if (from == nullptr) return false;
  CallerCopy job{to, from, size};
  GuardedFn copy = [](void* context) {
    const auto& j = *static_cast<CallerCopy*>(context);
    std::memcpy(j.to, j.from, j.size);
  };
  return GuardedCall(copy, &job) == 1;
}

std::uint32_t BytesOfReceive(LPDWORD bytes, LPWSAOVERLAPPED overlapped) {
  if (bytes != nullptr) return *bytes;
  if (overlapped != nullptr) return static_cast<std::uint32_t>(overlapped->InternalHigh);
  return CallSite::kNotKnown;
}

// --- WSPSend: the send verdict --------------------------------------------
int WSPAPI WSPSend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
                   DWORD dwFlags, LPWSAOVERLAPPED lpOverlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                   LPINT lpErrno) {
  auto lower = [&] {
    return LowerEntry(LowerProcTable.lpWSPSend)(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent,
                                                dwFlags, lpOverlapped, lpCompletionRoutine,
                                                lpThreadId, lpErrno);
  };
  WinSite<decltype(lower)> site(s, lpErrno, lower);
  return FilterSend(SharedState(), SharedExtensionBlock(), AsBuffers(lpBuffers), dwBufferCount,
                    site);
}

// --- WSPRecv: the receive verdict -----------------------------------------
int WSPAPI WSPRecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
                   LPDWORD lpFlags, LPWSAOVERLAPPED lpOverlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                   LPINT lpErrno) {
  auto lower = [&] {
    return LowerEntry(LowerProcTable.lpWSPRecv)(s, lpBuffers, dwBufferCount, lpNumberOfBytesRecvd,
                                                lpFlags, lpOverlapped, lpCompletionRoutine,
                                                lpThreadId, lpErrno);
  };
  WinRecvSite<decltype(lower)> site(s, lpErrno, lpNumberOfBytesRecvd, lpOverlapped, lower);
  return FilterRecv(SharedState(), AsBuffers(lpBuffers), dwBufferCount,
                    OverlapOf(lpOverlapped, lpCompletionRoutine), site);
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
  StoreError(lpErrno, WSAEFAULT);
  return SOCKET_ERROR;
}

// --- WSPSendTo: the send verdict on a stream socket, else the QUIC refusal --
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

int WSPAPI WSPSendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
                     DWORD dwFlags, const struct sockaddr* lpTo, int iTolen,
                     LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                     LPWSATHREADID lpThreadId, LPINT lpErrno) {
  auto lower = [&] {
    return LowerEntry(LowerProcTable.lpWSPSendTo)(s, lpBuffers, dwBufferCount, lpNumberOfBytesSent,
                                                  dwFlags, lpTo, iTolen, lpOverlapped,
                                                  lpCompletionRoutine, lpThreadId, lpErrno);
  };
  return JudgeAddressedSend(s, AsBuffers(lpBuffers), dwBufferCount, lpTo, iTolen, lpErrno, lower);
}

}  // namespace tarvel
