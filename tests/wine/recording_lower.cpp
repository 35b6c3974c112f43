// A lower provider for tests that records every call of its 30 entries with
// all their arguments, then stores a sentinel error code through lpErrno and
// returns a sentinel result (each distinct per entry), so that tests can
// prove what reached it and what came back. It can be told to fault in a
// chosen entry, after recording the call: an access violation, or a
// non-continuable exception.
//
// Built twice, as recording_lower_a.dll and recording_lower_b.dll, so that
// tests can tell two lower modules apart (RECORDER_ID). Its WSPIoctl also
// hands out recording TransmitPackets (which Wine lacks), DisconnectEx and
// ConnectEx (which Wine cannot run on one socket twice).
#include "tests/wine/recording_lower.h"

#include <mswsock.h>

#include <cstring>
#include <initializer_list>

namespace {

RecorderState g_state = {};

// Read through a volatile, so the compiler cannot see the null write coming
// and drop what precedes it as dead: the fault is a real access violation.
volatile std::uintptr_t g_bad_address = 0;

template <typename T>
std::uintptr_t Arg(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<std::uintptr_t>(value);
  } else {
    return static_cast<std::uintptr_t>(value);
  }
}

void Fault(int kind) {
  if (kind == kFaultNoncontinuable) {
    RaiseException(kNoncontinuableCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  }
  *reinterpret_cast<volatile int *>(g_bad_address) = 0;  // access violation
}

template <typename R>
R Answer(int entry, std::initializer_list<std::uintptr_t> args, LPINT lpErrno) {
  if (g_state.call_count < kMaxRecordedCalls) {
    RecordedCall &call = g_state.calls[g_state.call_count];
    call.entry = entry;
    call.arg_count = static_cast<int>(args.size());
    int i = 0;
    for (std::uintptr_t a : args) call.args[i++] = a;
  }
  ++g_state.call_count;
  if (g_state.fault_entry == entry && g_state.fault_times > 0) {
    --g_state.fault_times;
    Fault(g_state.fault_kind);
  }
  *lpErrno = g_state.error_base + entry;
  return (R)(g_state.result_base + entry);
}

}  // namespace

SOCKET WSPAPI WSPAccept(SOCKET s, struct sockaddr *addr, LPINT addrlen,
                        LPCONDITIONPROC lpfnCondition, DWORD_PTR dwCallbackData, LPINT lpErrno) {
  return Answer<SOCKET>(
      0, {Arg(s), Arg(addr), Arg(addrlen), Arg(lpfnCondition), Arg(dwCallbackData), Arg(lpErrno)},
      lpErrno);
}

INT WSPAPI WSPAddressToString(LPSOCKADDR lpsaAddress, DWORD dwAddressLength,
                              LPWSAPROTOCOL_INFOW lpProtocolInfo, LPWSTR lpszAddressString,
                              LPDWORD lpdwAddressStringLength, LPINT lpErrno) {
  return Answer<INT>(1,
                     {Arg(lpsaAddress), Arg(dwAddressLength), Arg(lpProtocolInfo),
                      Arg(lpszAddressString), Arg(lpdwAddressStringLength), Arg(lpErrno)},
                     lpErrno);
}

int WSPAPI WSPAsyncSelect(SOCKET s, HWND hWnd, unsigned int wMsg, long lEvent, LPINT lpErrno) {
  return Answer<int>(2, {Arg(s), Arg(hWnd), Arg(wMsg), Arg(lEvent), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPBind(SOCKET s, const struct sockaddr *name, int namelen, LPINT lpErrno) {
  return Answer<int>(3, {Arg(s), Arg(name), Arg(namelen), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPCancelBlockingCall(LPINT lpErrno) { return Answer<int>(4, {Arg(lpErrno)}, lpErrno); }

int WSPAPI WSPCleanup(LPINT lpErrno) { return Answer<int>(5, {Arg(lpErrno)}, lpErrno); }

int WSPAPI WSPCloseSocket(SOCKET s, LPINT lpErrno) {
  return Answer<int>(6, {Arg(s), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPConnect(SOCKET s, const struct sockaddr *name, int namelen, LPWSABUF lpCallerData,
                      LPWSABUF lpCalleeData, LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno) {
  return Answer<int>(7,
                     {Arg(s), Arg(name), Arg(namelen), Arg(lpCallerData), Arg(lpCalleeData),
                      Arg(lpSQOS), Arg(lpGQOS), Arg(lpErrno)},
                     lpErrno);
}

int WSPAPI WSPDuplicateSocket(SOCKET s, DWORD dwProcessId, LPWSAPROTOCOL_INFOW lpProtocolInfo,
                              LPINT lpErrno) {
  return Answer<int>(8, {Arg(s), Arg(dwProcessId), Arg(lpProtocolInfo), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPEnumNetworkEvents(SOCKET s, WSAEVENT hEventObject, LPWSANETWORKEVENTS lpNetworkEvents,
                                LPINT lpErrno) {
  return Answer<int>(9, {Arg(s), Arg(hEventObject), Arg(lpNetworkEvents), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPEventSelect(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents, LPINT lpErrno) {
  return Answer<int>(10, {Arg(s), Arg(hEventObject), Arg(lNetworkEvents), Arg(lpErrno)}, lpErrno);
}

WINBOOL WSPAPI WSPGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer,
                                      WINBOOL fWait, LPDWORD lpdwFlags, LPINT lpErrno) {
  return Answer<WINBOOL>(
      11, {Arg(s), Arg(lpOverlapped), Arg(lpcbTransfer), Arg(fWait), Arg(lpdwFlags), Arg(lpErrno)},
      lpErrno);
}

int WSPAPI WSPGetPeerName(SOCKET s, struct sockaddr *name, LPINT namelen, LPINT lpErrno) {
  return Answer<int>(12, {Arg(s), Arg(name), Arg(namelen), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPGetSockName(SOCKET s, struct sockaddr *name, LPINT namelen, LPINT lpErrno) {
  return Answer<int>(13, {Arg(s), Arg(name), Arg(namelen), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPGetSockOpt(SOCKET s, int level, int optname, char *optval, LPINT optlen,
                         LPINT lpErrno) {
  return Answer<int>(14, {Arg(s), Arg(level), Arg(optname), Arg(optval), Arg(optlen), Arg(lpErrno)},
                     lpErrno);
}

WINBOOL WSPAPI WSPGetQOSByName(SOCKET s, LPWSABUF lpQOSName, LPQOS lpQOS, LPINT lpErrno) {
  return Answer<WINBOOL>(15, {Arg(s), Arg(lpQOSName), Arg(lpQOS), Arg(lpErrno)}, lpErrno);
}

// Extension functions that WSPIoctl hands out, each recorded as its own
// entry past the 30, each succeeding. ConnectEx also connects the socket
// for real (without its data), as the lower provider's would.
BOOL WINAPI TransmitPackets(SOCKET s, LPTRANSMIT_PACKETS_ELEMENT elements, DWORD count,
                            DWORD send_size, LPOVERLAPPED overlapped, DWORD flags) {
  INT ignored = 0;
  Answer<int>(kTransmitPacketsEntry,
              {Arg(s), Arg(elements), Arg(count), Arg(send_size), Arg(overlapped), Arg(flags)},
              &ignored);
  return TRUE;
}

BOOL WINAPI DisconnectEx(SOCKET s, LPOVERLAPPED overlapped, DWORD flags, DWORD reserved) {
  INT ignored = 0;
  Answer<int>(kDisconnectExEntry, {Arg(s), Arg(overlapped), Arg(flags), Arg(reserved)}, &ignored);
  return TRUE;
}

BOOL WINAPI ConnectEx(SOCKET s, const sockaddr *name, int namelen, PVOID send_buffer,
                      DWORD send_length, LPDWORD sent, LPOVERLAPPED overlapped) {
  INT ignored = 0;
  Answer<int>(kConnectExEntry,
              {Arg(s), Arg(name), Arg(namelen), Arg(send_buffer), Arg(send_length), Arg(sent),
               Arg(overlapped)},
              &ignored);
  connect(s, name, namelen);
  return TRUE;
}

struct Handed {
  GUID id;
  void *fn;
};

const Handed kHanded[] = {
    {WSAID_TRANSMITPACKETS, reinterpret_cast<void *>(&TransmitPackets)},
    {WSAID_DISCONNECTEX, reinterpret_cast<void *>(&DisconnectEx)},
    {WSAID_CONNECTEX, reinterpret_cast<void *>(&ConnectEx)},
};

int WSPAPI WSPIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer,
                    LPVOID lpvOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbBytesReturned,
                    LPWSAOVERLAPPED lpOverlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                    LPWSATHREADID lpThreadId, LPINT lpErrno) {
  const int result =
      Answer<int>(16,
                  {Arg(s), Arg(dwIoControlCode), Arg(lpvInBuffer), Arg(cbInBuffer),
                   Arg(lpvOutBuffer), Arg(cbOutBuffer), Arg(lpcbBytesReturned), Arg(lpOverlapped),
                   Arg(lpCompletionRoutine), Arg(lpThreadId), Arg(lpErrno)},
                  lpErrno);
  if (dwIoControlCode != SIO_GET_EXTENSION_FUNCTION_POINTER || cbInBuffer != sizeof(GUID) ||
      cbOutBuffer < sizeof(void *)) {
    return result;
  }
  for (const Handed &h : kHanded) {
    if (std::memcmp(lpvInBuffer, &h.id, sizeof(GUID)) != 0) continue;
    std::memcpy(lpvOutBuffer, &h.fn, sizeof h.fn);
    return 0;
  }
  return result;
}

SOCKET WSPAPI WSPJoinLeaf(SOCKET s, const struct sockaddr *name, int namelen, LPWSABUF lpCallerData,
                          LPWSABUF lpCalleeData, LPQOS lpSQOS, LPQOS lpGQOS, DWORD dwFlags,
                          LPINT lpErrno) {
  return Answer<SOCKET>(17,
                        {Arg(s), Arg(name), Arg(namelen), Arg(lpCallerData), Arg(lpCalleeData),
                         Arg(lpSQOS), Arg(lpGQOS), Arg(dwFlags), Arg(lpErrno)},
                        lpErrno);
}

int WSPAPI WSPListen(SOCKET s, int backlog, LPINT lpErrno) {
  return Answer<int>(18, {Arg(s), Arg(backlog), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPRecv(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesRecvd,
                   LPDWORD lpFlags, LPWSAOVERLAPPED lpOverlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                   LPINT lpErrno) {
  return Answer<int>(
      19,
      {Arg(s), Arg(lpBuffers), Arg(dwBufferCount), Arg(lpNumberOfBytesRecvd), Arg(lpFlags),
       Arg(lpOverlapped), Arg(lpCompletionRoutine), Arg(lpThreadId), Arg(lpErrno)},
      lpErrno);
}

int WSPAPI WSPRecvDisconnect(SOCKET s, LPWSABUF lpInboundDisconnectData, LPINT lpErrno) {
  return Answer<int>(20, {Arg(s), Arg(lpInboundDisconnectData), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPRecvFrom(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount,
                       LPDWORD lpNumberOfBytesRecvd, LPDWORD lpFlags, struct sockaddr *lpFrom,
                       LPINT lpFromlen, LPWSAOVERLAPPED lpOverlapped,
                       LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                       LPWSATHREADID lpThreadId, LPINT lpErrno) {
  return Answer<int>(21,
                     {Arg(s), Arg(lpBuffers), Arg(dwBufferCount), Arg(lpNumberOfBytesRecvd),
                      Arg(lpFlags), Arg(lpFrom), Arg(lpFromlen), Arg(lpOverlapped),
                      Arg(lpCompletionRoutine), Arg(lpThreadId), Arg(lpErrno)},
                     lpErrno);
}

int WSPAPI WSPSelect(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                     const PTIMEVAL timeout, LPINT lpErrno) {
  return Answer<int>(
      22, {Arg(nfds), Arg(readfds), Arg(writefds), Arg(exceptfds), Arg(timeout), Arg(lpErrno)},
      lpErrno);
}

int WSPAPI WSPSend(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
                   DWORD dwFlags, LPWSAOVERLAPPED lpOverlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine, LPWSATHREADID lpThreadId,
                   LPINT lpErrno) {
  return Answer<int>(
      23,
      {Arg(s), Arg(lpBuffers), Arg(dwBufferCount), Arg(lpNumberOfBytesSent), Arg(dwFlags),
       Arg(lpOverlapped), Arg(lpCompletionRoutine), Arg(lpThreadId), Arg(lpErrno)},
      lpErrno);
}

int WSPAPI WSPSendDisconnect(SOCKET s, LPWSABUF lpOutboundDisconnectData, LPINT lpErrno) {
  return Answer<int>(24, {Arg(s), Arg(lpOutboundDisconnectData), Arg(lpErrno)}, lpErrno);
}

int WSPAPI WSPSendTo(SOCKET s, LPWSABUF lpBuffers, DWORD dwBufferCount, LPDWORD lpNumberOfBytesSent,
                     DWORD dwFlags, const struct sockaddr *lpTo, int iTolen,
                     LPWSAOVERLAPPED lpOverlapped,
                     LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                     LPWSATHREADID lpThreadId, LPINT lpErrno) {
  return Answer<int>(25,
                     {Arg(s), Arg(lpBuffers), Arg(dwBufferCount), Arg(lpNumberOfBytesSent),
                      Arg(dwFlags), Arg(lpTo), Arg(iTolen), Arg(lpOverlapped),
                      Arg(lpCompletionRoutine), Arg(lpThreadId), Arg(lpErrno)},
                     lpErrno);
}

int WSPAPI WSPSetSockOpt(SOCKET s, int level, int optname, const char *optval, int optlen,
                         LPINT lpErrno) {
  return Answer<int>(26, {Arg(s), Arg(level), Arg(optname), Arg(optval), Arg(optlen), Arg(lpErrno)},
                     lpErrno);
}

int WSPAPI WSPShutdown(SOCKET s, int how, LPINT lpErrno) {
  return Answer<int>(27, {Arg(s), Arg(how), Arg(lpErrno)}, lpErrno);
}

SOCKET WSPAPI WSPSocket(int af, int type, int protocol, LPWSAPROTOCOL_INFOW lpProtocolInfo, GROUP g,
                        DWORD dwFlags, LPINT lpErrno) {
  return Answer<SOCKET>(
      28,
      {Arg(af), Arg(type), Arg(protocol), Arg(lpProtocolInfo), Arg(g), Arg(dwFlags), Arg(lpErrno)},
      lpErrno);
}

INT WSPAPI WSPStringToAddress(LPWSTR AddressString, INT AddressFamily,
                              LPWSAPROTOCOL_INFOW lpProtocolInfo, LPSOCKADDR lpAddress,
                              LPINT lpAddressLength, LPINT lpErrno) {
  return Answer<INT>(29,
                     {Arg(AddressString), Arg(AddressFamily), Arg(lpProtocolInfo), Arg(lpAddress),
                      Arg(lpAddressLength), Arg(lpErrno)},
                     lpErrno);
}

extern "C" {

__declspec(dllexport) RecorderState *RecorderGet() { return &g_state; }

__declspec(dllexport) const char *RecorderEntryName(int entry) {
  static const char *const kNames[] = {"WSPAccept",
                                       "WSPAddressToString",
                                       "WSPAsyncSelect",
                                       "WSPBind",
                                       "WSPCancelBlockingCall",
                                       "WSPCleanup",
                                       "WSPCloseSocket",
                                       "WSPConnect",
                                       "WSPDuplicateSocket",
                                       "WSPEnumNetworkEvents",
                                       "WSPEventSelect",
                                       "WSPGetOverlappedResult",
                                       "WSPGetPeerName",
                                       "WSPGetSockName",
                                       "WSPGetSockOpt",
                                       "WSPGetQOSByName",
                                       "WSPIoctl",
                                       "WSPJoinLeaf",
                                       "WSPListen",
                                       "WSPRecv",
                                       "WSPRecvDisconnect",
                                       "WSPRecvFrom",
                                       "WSPSelect",
                                       "WSPSend",
                                       "WSPSendDisconnect",
                                       "WSPSendTo",
                                       "WSPSetSockOpt",
                                       "WSPShutdown",
                                       "WSPSocket",
                                       "WSPStringToAddress",
                                       "TransmitPackets",
                                       "DisconnectEx",
                                       "ConnectEx"};
  return (entry >= 0 && entry <= kConnectExEntry) ? kNames[entry] : "?";
}

__declspec(dllexport) int WSPAPI
    WSPStartup(WORD wVersionRequested, LPWSPDATA lpWSPData, LPWSAPROTOCOL_INFOW lpProtocolInfo,
               WSPUPCALLTABLE UpcallTable, LPWSPPROC_TABLE lpProcTable) {
  g_state.startup_calls++;
  g_state.startup_version = wVersionRequested;
  g_state.startup_data = lpWSPData;
  g_state.startup_info = lpProtocolInfo;
  g_state.startup_upcalls = UpcallTable;
  g_state.startup_table = lpProcTable;
  static const WSPPROC_TABLE kTable = {
      WSPAccept,
      WSPAddressToString,
      WSPAsyncSelect,
      WSPBind,
      WSPCancelBlockingCall,
      WSPCleanup,
      WSPCloseSocket,
      WSPConnect,
      WSPDuplicateSocket,
      WSPEnumNetworkEvents,
      WSPEventSelect,
      WSPGetOverlappedResult,
      WSPGetPeerName,
      WSPGetSockName,
      WSPGetSockOpt,
      WSPGetQOSByName,
      WSPIoctl,
      WSPJoinLeaf,
      WSPListen,
      WSPRecv,
      WSPRecvDisconnect,
      WSPRecvFrom,
      WSPSelect,
      WSPSend,
      WSPSendDisconnect,
      WSPSendTo,
      WSPSetSockOpt,
      WSPShutdown,
      WSPSocket,
      WSPStringToAddress,
  };
  if (g_state.startup_fill_table_on_error || g_state.startup_result == 0) *lpProcTable = kTable;
  if (g_state.startup_result != 0) return g_state.startup_result;
  lpWSPData->wVersion = wVersionRequested;
  lpWSPData->wHighVersion = 0x0202;
  std::memset(lpWSPData->szDescription, 0, sizeof lpWSPData->szDescription);
  lpWSPData->szDescription[0] = L'R';
  lpWSPData->szDescription[1] = static_cast<WCHAR>(L'0' + RECORDER_ID);
  return 0;
}

}  // extern "C"
