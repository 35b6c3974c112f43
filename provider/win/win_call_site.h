// What every Windows send and receive entry shares: the CallSite over one
// socket, the error store and the guarded reads of the caller's records.
#pragma once

#include <winsock2.h>

#include <cstddef>

#include "filter/verdict.h"
#include "platform/win/block_record.h"
#include "platform/win/process_categories.h"
#include "platform/win/process_facts.h"
#include "provider/win/lower_table.h"
#include "state/shared_state.h"

namespace tarvel {

// A firewall's refusal: clients take it as final, not as a full buffer or
// a busy socket (WSAENOBUFS, WSAEWOULDBLOCK) that they would send again.
inline constexpr INT kRefusedError = WSAEACCES;

// Stores `code` at `error`, which may be a bad pointer: a fault in the store
// is caught and ignored. A null `error` stands for the calling thread's last
// error (WSASetLastError): the extension functions report that way.
void StoreError(LPINT error, INT code);

// Copies `size` bytes of the caller's at `from` to `to` inside a guard:
// false, with `to` in any state, when `from` is null or unreadable.
bool CopyFromCaller(void* to, const void* from, std::size_t size);

inline const BufferDesc* AsBuffers(LPWSABUF buffers) {
  return reinterpret_cast<const BufferDesc*>(buffers);
}

inline Overlap OverlapOf(LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (overlapped == nullptr) return Overlap::kNone;
  return routine == nullptr ? Overlap::kOverlapped : Overlap::kWithRoutine;
}

// The bytes a receive that did not fail placed: its count when the caller
// gave one, else (an overlapped receive done at once) the count the system
// set in the OVERLAPPED's InternalHigh ("the number of bytes transferred
// for the I/O request", Win32 OVERLAPPED). Reads the caller's memory: call
// inside a guard.
std::uint32_t BytesOfReceive(LPDWORD bytes, LPWSAOVERLAPPED overlapped);

// A CallSite over socket `s` whose judged call is `lower()`. Errors go to
// `error` as StoreError stores them; the cut is the lower WSPShutdown.
template <typename Lower>
class WinSite : public CallSite {
 public:
  WinSite(SOCKET s, LPINT error, Lower lower) : s_(s), error_(error), lower_(lower) {}

  int IsExemptProcess() override { return tarvel::IsExemptProcess(); }
  int IsHttpSocket() override { return tarvel::IsHttpSocket(s_); }
  int IsQuicSocket() override { return tarvel::IsQuicSocket(s_); }
  int LowerCall() override { return lower_(); }
  // The block forgets the socket's kept answers: its connection is cut,
  // and what the application does with the handle next is its own.
  void LowerCutConnection() override {
    SocketClosed(s_);
    INT ignored = 0;
    LowerEntry(LowerProcTable.lpWSPShutdown)(s_, SD_BOTH, error_ != nullptr ? error_ : &ignored);
  }
  void RecordBlock(const BlockFacts& facts) override { RecordBlockOn(s_, facts); }
  void FailWithFault() override { StoreError(error_, WSAEFAULT); }
  void FailRefused() override { StoreError(error_, kRefusedError); }
  HelloStart TakeHelloStart() override { return tarvel::TakeHelloStart(s_); }
  void KeepHelloStart(const HelloStart& start) override { tarvel::KeepHelloStart(s_, start); }
  bool FindCategory(const Host& host, CategoryHit* hit) override {
    return FindProcessCategory(host, hit);
  }

 protected:
  SOCKET s_;
  LPINT error_;
  Lower lower_;
};

// A WinSite for a receive, which also tells how many bytes it placed.
template <typename Lower>
class WinRecvSite final : public WinSite<Lower> {
 public:
  WinRecvSite(SOCKET s, LPINT error, LPDWORD bytes, LPWSAOVERLAPPED overlapped, Lower lower)
      : WinSite<Lower>(s, error, lower), bytes_(bytes), overlapped_(overlapped) {}
  std::uint32_t BytesReceived() override { return BytesOfReceive(bytes_, overlapped_); }

 private:
  LPDWORD bytes_;
  LPWSAOVERLAPPED overlapped_;
};

// A send with a destination (WSPSendTo, WSASendMsg): on a stream socket,
// where Winsock ignores the destination, the send verdict over `lower`; on
// any other, the refusal of a datagram to port 443 while the HTTPS filter
// is on, else `lower()` unjudged.
//
// RefusesQuicDatagram is that refusal: true when the datagram must fail
// (the HTTPS filter on, the process not exempt, IsQuicDestination), with
// WSAEACCES stored as StoreError stores it. With the filter off: one read
// of the flag, nothing else.
bool RefusesQuicDatagram(SOCKET s, const sockaddr* to, int to_length, LPINT error);

template <typename Lower>
int JudgeAddressedSend(SOCKET s, const BufferDesc* buffers, DWORD count, const sockaddr* to,
                       int to_length, LPINT error, Lower lower) {
  if (IsStreamSocket(s) == 1) {
    WinSite<Lower> site(s, error, lower);
    return FilterSend(SharedState(), SharedExtensionBlock(), buffers, count, site);
  }
  if (RefusesQuicDatagram(s, to, to_length, error)) return SOCKET_ERROR;
  return lower();
}

}  // namespace tarvel
