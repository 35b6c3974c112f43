// A lower provider whose 30 entries call the real Winsock functions on real
// sockets, storing WSAGetLastError() through lpErrno on failure: beneath
// tarvel.dll it makes a working stack, so that tests and the demonstration
// drive whole exchanges through the table WSPStartup hands out.
#include <mswsock.h>
#include <winsock2.h>
#include <ws2spi.h>
#include <ws2tcpip.h>

#include <cstring>

namespace {

// The result of a Winsock call, with its error stored when it failed.
template <typename R>
R Done(R result, R failure, LPINT lpErrno) {
  if (result == failure) *lpErrno = WSAGetLastError();
  return result;
}

SOCKET WSPAPI Accept(SOCKET s, sockaddr* addr, LPINT addrlen, LPCONDITIONPROC condition,
                     DWORD_PTR data, LPINT lpErrno) {
  return Done(WSAAccept(s, addr, addrlen, condition, data), INVALID_SOCKET, lpErrno);
}
INT WSPAPI AddressToString(LPSOCKADDR address, DWORD length, LPWSAPROTOCOL_INFOW, LPWSTR text,
                           LPDWORD text_length, LPINT lpErrno) {
  return Done(WSAAddressToStringW(address, length, nullptr, text, text_length), SOCKET_ERROR,
              lpErrno);
}
int WSPAPI AsyncSelect(SOCKET s, HWND window, unsigned int message, long events, LPINT lpErrno) {
  return Done(WSAAsyncSelect(s, window, message, events), SOCKET_ERROR, lpErrno);
}
int WSPAPI Bind(SOCKET s, const sockaddr* name, int length, LPINT lpErrno) {
  return Done(bind(s, name, length), SOCKET_ERROR, lpErrno);
}
int WSPAPI CancelBlockingCall(LPINT) { return 0; }
int WSPAPI Cleanup(LPINT) { return 0; }
int WSPAPI CloseSocket(SOCKET s, LPINT lpErrno) {
  return Done(closesocket(s), SOCKET_ERROR, lpErrno);
}
int WSPAPI Connect(SOCKET s, const sockaddr* name, int length, LPWSABUF caller, LPWSABUF callee,
                   LPQOS sqos, LPQOS gqos, LPINT lpErrno) {
  return Done(WSAConnect(s, name, length, caller, callee, sqos, gqos), SOCKET_ERROR, lpErrno);
}
int WSPAPI DuplicateSocket(SOCKET s, DWORD process, LPWSAPROTOCOL_INFOW info, LPINT lpErrno) {
  return Done(WSADuplicateSocketW(s, process, info), SOCKET_ERROR, lpErrno);
}
int WSPAPI EnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS events, LPINT lpErrno) {
  return Done(WSAEnumNetworkEvents(s, event, events), SOCKET_ERROR, lpErrno);
}
int WSPAPI EventSelect(SOCKET s, WSAEVENT event, long events, LPINT lpErrno) {
  return Done(WSAEventSelect(s, event, events), SOCKET_ERROR, lpErrno);
}
BOOL WSPAPI GetOverlappedResult(SOCKET s, LPWSAOVERLAPPED overlapped, LPDWORD bytes, BOOL wait,
                                LPDWORD flags, LPINT lpErrno) {
  return Done(WSAGetOverlappedResult(s, overlapped, bytes, wait, flags), FALSE, lpErrno);
}
int WSPAPI GetPeerName(SOCKET s, sockaddr* name, LPINT length, LPINT lpErrno) {
  return Done(getpeername(s, name, length), SOCKET_ERROR, lpErrno);
}
int WSPAPI GetSockName(SOCKET s, sockaddr* name, LPINT length, LPINT lpErrno) {
  return Done(getsockname(s, name, length), SOCKET_ERROR, lpErrno);
}
int WSPAPI GetSockOpt(SOCKET s, int level, int name, char* value, LPINT length, LPINT lpErrno) {
  return Done(getsockopt(s, level, name, value, length), SOCKET_ERROR, lpErrno);
}
BOOL WSPAPI GetQOSByName(SOCKET s, LPWSABUF name, LPQOS qos, LPINT lpErrno) {
  return Done(WSAGetQOSByName(s, name, qos), FALSE, lpErrno);
}
// WSASendMsg reaches a provider as SIO_EXT_SENDMSG; Wine's WSAIoctl does
// not take that code, so it is served here by WSASendMsg itself.
int WSPAPI Ioctl(SOCKET s, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                 LPDWORD returned, LPWSAOVERLAPPED overlapped,
                 LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno) {
  if (code == SIO_EXT_SENDMSG && in_size >= sizeof(WSASENDMSG)) {
    const auto* request = static_cast<const WSASENDMSG*>(in);
    return Done(WSASendMsg(s, request->lpMsg, request->dwFlags, request->lpNumberOfBytesSent,
                           request->lpOverlapped, request->lpCompletionRoutine),
                SOCKET_ERROR, lpErrno);
  }
  return Done(WSAIoctl(s, code, in, in_size, out, out_size, returned, overlapped, routine),
              SOCKET_ERROR, lpErrno);
}
SOCKET WSPAPI JoinLeaf(SOCKET s, const sockaddr* name, int length, LPWSABUF caller, LPWSABUF callee,
                       LPQOS sqos, LPQOS gqos, DWORD flags, LPINT lpErrno) {
  return Done(WSAJoinLeaf(s, name, length, caller, callee, sqos, gqos, flags), INVALID_SOCKET,
              lpErrno);
}
int WSPAPI Listen(SOCKET s, int backlog, LPINT lpErrno) {
  return Done(listen(s, backlog), SOCKET_ERROR, lpErrno);
}
int WSPAPI Recv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytes, LPDWORD flags,
                LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine,
                LPWSATHREADID, LPINT lpErrno) {
  return Done(WSARecv(s, buffers, count, bytes, flags, overlapped, routine), SOCKET_ERROR, lpErrno);
}
int WSPAPI RecvDisconnect(SOCKET s, LPWSABUF data, LPINT lpErrno) {
  return Done(WSARecvDisconnect(s, data), SOCKET_ERROR, lpErrno);
}
int WSPAPI RecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytes, LPDWORD flags,
                    sockaddr* from, LPINT from_length, LPWSAOVERLAPPED overlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno) {
  return Done(WSARecvFrom(s, buffers, count, bytes, flags, from, from_length, overlapped, routine),
              SOCKET_ERROR, lpErrno);
}
int WSPAPI Select(int n, fd_set* read, fd_set* write, fd_set* except, const PTIMEVAL timeout,
                  LPINT lpErrno) {
  return Done(select(n, read, write, except, timeout), SOCKET_ERROR, lpErrno);
}
int WSPAPI Send(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytes, DWORD flags,
                LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine,
                LPWSATHREADID, LPINT lpErrno) {
  return Done(WSASend(s, buffers, count, bytes, flags, overlapped, routine), SOCKET_ERROR, lpErrno);
}
int WSPAPI SendDisconnect(SOCKET s, LPWSABUF data, LPINT lpErrno) {
  return Done(WSASendDisconnect(s, data), SOCKET_ERROR, lpErrno);
}
int WSPAPI SendTo(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD bytes, DWORD flags,
                  const sockaddr* to, int to_length, LPWSAOVERLAPPED overlapped,
                  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine, LPWSATHREADID, LPINT lpErrno) {
  return Done(WSASendTo(s, buffers, count, bytes, flags, to, to_length, overlapped, routine),
              SOCKET_ERROR, lpErrno);
}
int WSPAPI SetSockOpt(SOCKET s, int level, int name, const char* value, int length, LPINT lpErrno) {
  return Done(setsockopt(s, level, name, value, length), SOCKET_ERROR, lpErrno);
}
int WSPAPI Shutdown(SOCKET s, int how, LPINT lpErrno) {
  return Done(shutdown(s, how), SOCKET_ERROR, lpErrno);
}
SOCKET WSPAPI Socket(int family, int type, int protocol, LPWSAPROTOCOL_INFOW, GROUP group,
                     DWORD flags, LPINT lpErrno) {
  return Done(WSASocketW(family, type, protocol, nullptr, group, flags), INVALID_SOCKET, lpErrno);
}
INT WSPAPI StringToAddress(LPWSTR text, INT family, LPWSAPROTOCOL_INFOW, LPSOCKADDR address,
                           LPINT length, LPINT lpErrno) {
  return Done(WSAStringToAddressW(text, family, nullptr, address, length), SOCKET_ERROR, lpErrno);
}

}  // namespace

extern "C" __declspec(dllexport) int WSPAPI
    WSPStartup(WORD version, LPWSPDATA data, LPWSAPROTOCOL_INFOW, WSPUPCALLTABLE,
               LPWSPPROC_TABLE table) {
  WSADATA wsa;
  const int started = WSAStartup(MAKEWORD(2, 2), &wsa);
  if (started != 0) return started;
  static const WSPPROC_TABLE kTable = {
      Accept,
      AddressToString,
      AsyncSelect,
      Bind,
      CancelBlockingCall,
      Cleanup,
      CloseSocket,
      Connect,
      DuplicateSocket,
      EnumNetworkEvents,
      EventSelect,
      GetOverlappedResult,
      GetPeerName,
      GetSockName,
      GetSockOpt,
      GetQOSByName,
      Ioctl,
      JoinLeaf,
      Listen,
      Recv,
      RecvDisconnect,
      RecvFrom,
      Select,
      Send,
      SendDisconnect,
      SendTo,
      SetSockOpt,
      Shutdown,
      Socket,
      StringToAddress,
  };
  *table = kTable;
  data->wVersion = version;
  data->wHighVersion = MAKEWORD(2, 2);
  std::memset(data->szDescription, 0, sizeof data->szDescription);
  std::memcpy(data->szDescription, L"forwarding lower provider", 26 * sizeof(WCHAR));
  return 0;
}
