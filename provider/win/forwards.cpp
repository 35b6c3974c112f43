// The 25 plain entry points: each calls the same entry of the lower
// provider's table with its own arguments, unchanged, and returns the lower
// result; the lower provider alone writes *lpErrno and the out-parameters.
// No lock, no test of the filter state: one indirect call. Six of them also
// tell the kept port-test answers (platform/win/process_facts.h) what
// happened to a socket: a socket made (WSPSocket, WSPAccept, WSPJoinLeaf),
// connected (WSPConnect), closed (WSPCloseSocket), or all closed
// (WSPCleanup). A close is told before the lower call, so that no answer
// outlives it into a socket that reuses the handle value; a connect after
// it, so that an answer read before the new peer is dropped.
#include "provider/win/entry_points.h"

#include "platform/win/process_facts.h"
#include "provider/win/lower_table.h"

namespace tarvel {

SOCKET WSPAPI WSPAccept(SOCKET s, struct sockaddr *addr, LPINT addrlen,
                        LPCONDITIONPROC lpfnCondition, DWORD_PTR dwCallbackData, LPINT lpErrno) {
  const SOCKET accepted = LowerEntry(LowerProcTable.lpWSPAccept)(s, addr, addrlen, lpfnCondition,
                                                                 dwCallbackData, lpErrno);
  SocketMade(accepted);
  return accepted;
}

INT WSPAPI WSPAddressToString(LPSOCKADDR lpsaAddress, DWORD dwAddressLength,
                              LPWSAPROTOCOL_INFOW lpProtocolInfo, LPWSTR lpszAddressString,
                              LPDWORD lpdwAddressStringLength, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPAddressToString)(lpsaAddress, dwAddressLength,
                                                         lpProtocolInfo, lpszAddressString,
                                                         lpdwAddressStringLength, lpErrno);
}

int WSPAPI WSPAsyncSelect(SOCKET s, HWND hWnd, unsigned int wMsg, long lEvent, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPAsyncSelect)(s, hWnd, wMsg, lEvent, lpErrno);
}

int WSPAPI WSPBind(SOCKET s, const struct sockaddr *name, int namelen, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPBind)(s, name, namelen, lpErrno);
}

int WSPAPI WSPCancelBlockingCall(LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPCancelBlockingCall)(lpErrno);
}

int WSPAPI WSPCleanup(LPINT lpErrno) {
  AllSocketsClosed();
  return LowerEntry(LowerProcTable.lpWSPCleanup)(lpErrno);
}

int WSPAPI WSPCloseSocket(SOCKET s, LPINT lpErrno) {
  SocketClosed(s);
  return LowerEntry(LowerProcTable.lpWSPCloseSocket)(s, lpErrno);
}

int WSPAPI WSPConnect(SOCKET s, const struct sockaddr *name, int namelen, LPWSABUF lpCallerData,
                      LPWSABUF lpCalleeData, LPQOS lpSQOS, LPQOS lpGQOS, LPINT lpErrno) {
  const int result = LowerEntry(LowerProcTable.lpWSPConnect)(s, name, namelen, lpCallerData,
                                                             lpCalleeData, lpSQOS, lpGQOS, lpErrno);
  SocketConnected(s);
  return result;
}

int WSPAPI WSPDuplicateSocket(SOCKET s, DWORD dwProcessId, LPWSAPROTOCOL_INFOW lpProtocolInfo,
                              LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPDuplicateSocket)(s, dwProcessId, lpProtocolInfo, lpErrno);
}

int WSPAPI WSPEnumNetworkEvents(SOCKET s, WSAEVENT hEventObject, LPWSANETWORKEVENTS lpNetworkEvents,
                                LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPEnumNetworkEvents)(s, hEventObject, lpNetworkEvents,
                                                           lpErrno);
}

int WSPAPI WSPEventSelect(SOCKET s, WSAEVENT hEventObject, long lNetworkEvents, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPEventSelect)(s, hEventObject, lNetworkEvents, lpErrno);
}

WINBOOL WSPAPI WSPGetOverlappedResult(SOCKET s, LPWSAOVERLAPPED lpOverlapped, LPDWORD lpcbTransfer,
                                      WINBOOL fWait, LPDWORD lpdwFlags, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPGetOverlappedResult)(s, lpOverlapped, lpcbTransfer, fWait,
                                                             lpdwFlags, lpErrno);
}

int WSPAPI WSPGetPeerName(SOCKET s, struct sockaddr *name, LPINT namelen, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPGetPeerName)(s, name, namelen, lpErrno);
}

int WSPAPI WSPGetSockName(SOCKET s, struct sockaddr *name, LPINT namelen, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPGetSockName)(s, name, namelen, lpErrno);
}

int WSPAPI WSPGetSockOpt(SOCKET s, int level, int optname, char *optval, LPINT optlen,
                         LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPGetSockOpt)(s, level, optname, optval, optlen, lpErrno);
}

WINBOOL WSPAPI WSPGetQOSByName(SOCKET s, LPWSABUF lpQOSName, LPQOS lpQOS, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPGetQOSByName)(s, lpQOSName, lpQOS, lpErrno);
}

SOCKET WSPAPI WSPJoinLeaf(SOCKET s, const struct sockaddr *name, int namelen, LPWSABUF lpCallerData,
                          LPWSABUF lpCalleeData, LPQOS lpSQOS, LPQOS lpGQOS, DWORD dwFlags,
                          LPINT lpErrno) {
  const SOCKET joined = LowerEntry(LowerProcTable.lpWSPJoinLeaf)(
      s, name, namelen, lpCallerData, lpCalleeData, lpSQOS, lpGQOS, dwFlags, lpErrno);
  SocketMade(joined);
  return joined;
}

int WSPAPI WSPListen(SOCKET s, int backlog, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPListen)(s, backlog, lpErrno);
}

int WSPAPI WSPRecvDisconnect(SOCKET s, LPWSABUF lpInboundDisconnectData, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPRecvDisconnect)(s, lpInboundDisconnectData, lpErrno);
}

int WSPAPI WSPSelect(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                     const PTIMEVAL timeout, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPSelect)(nfds, readfds, writefds, exceptfds, timeout,
                                                lpErrno);
}

int WSPAPI WSPSendDisconnect(SOCKET s, LPWSABUF lpOutboundDisconnectData, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPSendDisconnect)(s, lpOutboundDisconnectData, lpErrno);
}

int WSPAPI WSPSetSockOpt(SOCKET s, int level, int optname, const char *optval, int optlen,
                         LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPSetSockOpt)(s, level, optname, optval, optlen, lpErrno);
}

int WSPAPI WSPShutdown(SOCKET s, int how, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPShutdown)(s, how, lpErrno);
}

SOCKET WSPAPI WSPSocket(int af, int type, int protocol, LPWSAPROTOCOL_INFOW lpProtocolInfo, GROUP g,
                        DWORD dwFlags, LPINT lpErrno) {
  const SOCKET made = LowerEntry(LowerProcTable.lpWSPSocket)(af, type, protocol, lpProtocolInfo, g,
                                                             dwFlags, lpErrno);
  SocketMade(made);
  return made;
}

INT WSPAPI WSPStringToAddress(LPWSTR AddressString, INT AddressFamily,
                              LPWSAPROTOCOL_INFOW lpProtocolInfo, LPSOCKADDR lpAddress,
                              LPINT lpAddressLength, LPINT lpErrno) {
  return LowerEntry(LowerProcTable.lpWSPStringToAddress)(
      AddressString, AddressFamily, lpProtocolInfo, lpAddress, lpAddressLength, lpErrno);
}

const WSPPROC_TABLE &OwnProcTable() {
  static const WSPPROC_TABLE table = {
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
  return table;
}

}  // namespace tarvel
