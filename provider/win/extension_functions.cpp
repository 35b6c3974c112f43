// WSPIoctl: the control codes through which traffic could pass the entry
// points unjudged; every other code is forwarded unchanged.
//
// - SIO_EXT_SENDMSG is how WSASendMsg reaches a provider (its WSASENDMSG
//   record names the message): judged as an addressed send, like WSPSendTo.
// - SIO_GET_EXTENSION_FUNCTION_POINTER hands out functions that the
//   application then calls directly, past every entry point. For those that
//   send, receive or end a connection for reuse (ConnectEx, TransmitFile,
//   TransmitPackets, DisconnectEx, WSARecvMsg, WSASendMsg) the lower
//   provider's answer is kept and tarvel's own function handed out in its
//   place: it judges, then calls the kept one. Others pass unchanged.
// - Registered I/O (WSAID_MULTIPLE_RIO, by either code) sends with no call
//   through the provider at all: while the HTTPS filter is on the request
//   fails with WSAEOPNOTSUPP, so that callers fall back to ordinary sends.
//
// The wrappers report errors as the lower functions do, by WSASetLastError.
#include <mswsock.h>
#include <winsock2.h>

#include <atomic>
#include <cstring>
#include <type_traits>

#include "provider/win/entry_points.h"
#include "provider/win/win_call_site.h"

namespace tarvel {
namespace {

// Registered I/O came with Windows 8 and is missing from some SDKs'
// headers: the code that asks for a table of functions, and its id
// (Microsoft's mswsock.h).
constexpr DWORD kGetMultipleExtensions = _WSAIORW(IOC_WS2, 36);
constexpr GUID kRegisteredIo = {
    0x8509e081, 0x96dd, 0x4005, {0xb1, 0x65, 0x9e, 0x2e, 0xe8, 0xc7, 0x9e, 0x3f}};

// A TransmitPackets call's elements read for the verdict, and the memory
// elements among them judged as the send's buffers.
constexpr DWORD kPacketsRead = 64;
constexpr std::uint32_t kPacketsJudged = 16;

enum Wrapped {
  kConnectEx,
  kTransmitFile,
  kTransmitPackets,
  kDisconnectEx,
  kRecvMsg,
  kSendMsg,
  kAll
};

// The lower provider's function of each kind, as it last handed it out:
// one lower provider per process (LowerProcTable), whose functions do not
// change.
std::atomic<void*> g_lower[kAll];

template <typename Fn>
Fn LowerFunction(Wrapped which) {
  return reinterpret_cast<Fn>(g_lower[which].load(std::memory_order_acquire));
}

BOOL AsBool(int result) { return result > 0 ? TRUE : FALSE; }

// The answer of a wrapper whose lower function was never handed out.
template <typename Result>
Result Unsupported(Result failure) {
  WSASetLastError(WSAEOPNOTSUPP);
  return failure;
}

// --- ConnectEx ------------------------------------------------------------------

// A connect that carries its first send: the send is judged with the port
// test on the address it connects to (or the socket's bound port). Nothing
// is connected yet, so a block's cut is that the connect is never made: the
// call fails as a cut send does.
template <typename Lower>
class ConnectExSite final : public WinSite<Lower> {
 public:
  ConnectExSite(SOCKET s, const sockaddr* name, int name_length, Lower lower)
      : WinSite<Lower>(s, nullptr, lower), name_(name), name_length_(name_length) {}
  int IsHttpSocket() override { return IsHttpConnect(this->s_, name_, name_length_); }
  // ConnectEx works on stream sockets only.
  int IsQuicSocket() override { return 0; }
  void LowerCutConnection() override {
    SocketClosed(this->s_);
    cut_ = true;
  }
  int LowerCall() override {
    if (!cut_) return this->lower_();
    WSASetLastError(WSAESHUTDOWN);
    return FALSE;
  }

 private:
  const sockaddr* name_;
  int name_length_;
  bool cut_ = false;
};

BOOL WINAPI TarvelConnectEx(SOCKET s, const sockaddr* name, int namelen, PVOID lpSendBuffer,
                            DWORD dwSendDataLength, LPDWORD lpdwBytesSent,
                            LPOVERLAPPED lpOverlapped) {
  const auto connect = LowerFunction<LPFN_CONNECTEX>(kConnectEx);
  if (connect == nullptr) return Unsupported<BOOL>(FALSE);
  // A socket connected again (after DisconnectEx) is judged afresh.
  SocketConnected(s);
  auto lower = [&] {
    return connect(s, name, namelen, lpSendBuffer, dwSendDataLength, lpdwBytesSent, lpOverlapped);
  };
  if (lpSendBuffer == nullptr || dwSendDataLength == 0) return lower();
  ConnectExSite<decltype(lower)> site(s, name, namelen, lower);
  const BufferDesc buffer{dwSendDataLength, static_cast<char*>(lpSendBuffer)};
  return AsBool(FilterSend(SharedState(), SharedExtensionBlock(), &buffer, 1, site));
}

// --- TransmitFile, TransmitPackets, DisconnectEx ------------------------------------

// A call that ends the connection for reuse drops the socket's kept answers.
void ForgetIfReused(SOCKET s, DWORD flags) {
  if ((flags & (TF_DISCONNECT | TF_REUSE_SOCKET)) != 0) SocketConnected(s);
}

// Judges `count` buffers as one send made by `lower`.
template <typename Lower>
BOOL JudgedSend(SOCKET s, const BufferDesc* buffers, std::uint32_t count, Lower lower) {
  if (count == 0) return lower();
  WinSite<Lower> site(s, nullptr, lower);
  return AsBool(FilterSend(SharedState(), SharedExtensionBlock(), buffers, count, site));
}

BOOL WINAPI TarvelTransmitFile(SOCKET hSocket, HANDLE hFile, DWORD nNumberOfBytesToWrite,
                               DWORD nNumberOfBytesPerSend, LPOVERLAPPED lpOverlapped,
                               LPTRANSMIT_FILE_BUFFERS lpTransmitBuffers, DWORD dwFlags) {
  const auto transmit = LowerFunction<LPFN_TRANSMITFILE>(kTransmitFile);
  if (transmit == nullptr) return Unsupported<BOOL>(FALSE);
  auto lower = [&] {
    return transmit(hSocket, hFile, nNumberOfBytesToWrite, nNumberOfBytesPerSend, lpOverlapped,
                    lpTransmitBuffers, dwFlags);
  };
  // The head goes out before the file: it is the send judged. The file's
  // bytes are not read.
  TRANSMIT_FILE_BUFFERS parts = {};
  BufferDesc head{0, nullptr};
  if (CopyFromCaller(&parts, lpTransmitBuffers, sizeof parts) && parts.Head != nullptr) {
    head = {parts.HeadLength, static_cast<char*>(parts.Head)};
  }
  const BOOL result = JudgedSend(hSocket, &head, head.len != 0 ? 1 : 0, lower);
  ForgetIfReused(hSocket, dwFlags);
  return result;
}

BOOL WINAPI TarvelTransmitPackets(SOCKET hSocket, LPTRANSMIT_PACKETS_ELEMENT lpPacketArray,
                                  DWORD nElementCount, DWORD nSendSize, LPOVERLAPPED lpOverlapped,
                                  DWORD dwFlags) {
  const auto transmit = LowerFunction<LPFN_TRANSMITPACKETS>(kTransmitPackets);
  if (transmit == nullptr) return Unsupported<BOOL>(FALSE);
  auto lower = [&] {
    return transmit(hSocket, lpPacketArray, nElementCount, nSendSize, lpOverlapped, dwFlags);
  };
  // The packets held in memory, in their order, are the send's buffers;
  // file packets are passed over unread.
  BufferDesc buffers[kPacketsJudged];
  std::uint32_t count = 0;
  for (DWORD i = 0; i < nElementCount && i < kPacketsRead && count < kPacketsJudged; ++i) {
    TRANSMIT_PACKETS_ELEMENT element;
    if (!CopyFromCaller(&element, lpPacketArray + i, sizeof element)) break;
    if ((element.dwElFlags & TP_ELEMENT_MEMORY) == 0 || element.pBuffer == nullptr) continue;
    if (element.cLength != 0)
      buffers[count++] = {element.cLength, static_cast<char*>(element.pBuffer)};
  }
  const BOOL result = JudgedSend(hSocket, buffers, count, lower);
  ForgetIfReused(hSocket, dwFlags);
  return result;
}

BOOL WINAPI TarvelDisconnectEx(SOCKET s, LPOVERLAPPED lpOverlapped, DWORD dwFlags,
                               DWORD dwReserved) {
  const auto disconnect = LowerFunction<LPFN_DISCONNECTEX>(kDisconnectEx);
  if (disconnect == nullptr) return Unsupported<BOOL>(FALSE);
  const BOOL result = disconnect(s, lpOverlapped, dwFlags, dwReserved);
  SocketConnected(s);
  return result;
}

// --- WSARecvMsg, WSASendMsg ------------------------------------------------------------

INT WINAPI TarvelWSARecvMsg(SOCKET s, LPWSAMSG lpMsg, LPDWORD lpdwNumberOfBytesRecvd,
                            LPWSAOVERLAPPED lpOverlapped,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  const auto receive = LowerFunction<LPFN_WSARECVMSG>(kRecvMsg);
  if (receive == nullptr) return Unsupported<INT>(SOCKET_ERROR);
  auto lower = [&] {
    return receive(s, lpMsg, lpdwNumberOfBytesRecvd, lpOverlapped, lpCompletionRoutine);
  };
  WSAMSG message;
  if (!CopyFromCaller(&message, lpMsg, sizeof message)) return lower();
  WinRecvSite<decltype(lower)> site(s, nullptr, lpdwNumberOfBytesRecvd, lpOverlapped, lower);
  return FilterRecv(SharedState(), AsBuffers(message.lpBuffers), message.dwBufferCount,
                    OverlapOf(lpOverlapped, lpCompletionRoutine), site);
}

INT WSAAPI TarvelWSASendMsg(SOCKET s, LPWSAMSG lpMsg, DWORD dwFlags, LPDWORD lpNumberOfBytesSent,
                            LPWSAOVERLAPPED lpOverlapped,
                            LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  const auto send = LowerFunction<LPFN_WSASENDMSG>(kSendMsg);
  if (send == nullptr) return Unsupported<INT>(SOCKET_ERROR);
  auto lower = [&] {
    return send(s, lpMsg, dwFlags, lpNumberOfBytesSent, lpOverlapped, lpCompletionRoutine);
  };
  WSAMSG message;
  if (!CopyFromCaller(&message, lpMsg, sizeof message)) return lower();
  return JudgeAddressedSend(s, AsBuffers(message.lpBuffers), message.dwBufferCount, message.name,
                            message.namelen, nullptr, lower);
}

// --- WSPIoctl ---------------------------------------------------------------------------

struct WrapperRow {
  GUID id;
  Wrapped which;
  void* ours;
};

const WrapperRow kWrappers[] = {
    {WSAID_CONNECTEX, kConnectEx, reinterpret_cast<void*>(&TarvelConnectEx)},
    {WSAID_TRANSMITFILE, kTransmitFile, reinterpret_cast<void*>(&TarvelTransmitFile)},
    {WSAID_TRANSMITPACKETS, kTransmitPackets, reinterpret_cast<void*>(&TarvelTransmitPackets)},
    {WSAID_DISCONNECTEX, kDisconnectEx, reinterpret_cast<void*>(&TarvelDisconnectEx)},
    {WSAID_WSARECVMSG, kRecvMsg, reinterpret_cast<void*>(&TarvelWSARecvMsg)},
    {WSAID_WSASENDMSG, kSendMsg, reinterpret_cast<void*>(&TarvelWSASendMsg)},
};

// The wrappers have the published types of the functions they stand for.
static_assert(std::is_same_v<decltype(&TarvelConnectEx), LPFN_CONNECTEX>);
static_assert(std::is_same_v<decltype(&TarvelTransmitFile), LPFN_TRANSMITFILE>);
static_assert(std::is_same_v<decltype(&TarvelTransmitPackets), LPFN_TRANSMITPACKETS>);
static_assert(std::is_same_v<decltype(&TarvelDisconnectEx), LPFN_DISCONNECTEX>);
static_assert(std::is_same_v<decltype(&TarvelWSARecvMsg), LPFN_WSARECVMSG>);
static_assert(std::is_same_v<decltype(&TarvelWSASendMsg), LPFN_WSASENDMSG>);

const WrapperRow* WrapperOf(const GUID& id) {
  for (const WrapperRow& row : kWrappers) {
    if (std::memcmp(&row.id, &id, sizeof id) == 0) return &row;
  }
  return nullptr;
}

// After the lower provider answered a request for an extension function
// into `out`: keeps its function and hands out tarvel's in its place.
void HandOutWrapper(const WrapperRow& row, LPVOID out, DWORD out_size) {
  void* theirs = nullptr;
  if (out_size < sizeof theirs || !CopyFromCaller(&theirs, out, sizeof theirs)) return;
  // Tarvel's own (a second layer of it beneath) is never kept: calling it
  // would call itself.
  if (theirs == nullptr || theirs == row.ours) return;
  g_lower[row.which].store(theirs, std::memory_order_release);
  void* const ours = row.ours;
  std::memcpy(out, &ours, sizeof ours);
}

template <typename Lower>
int ExtensionIoctl(DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size, LPINT error,
                   Lower lower) {
  GUID id;
  if (in_size < sizeof id || !CopyFromCaller(&id, in, sizeof id)) return lower();
  if (std::memcmp(&id, &kRegisteredIo, sizeof id) == 0) {
    if (IsOn(SharedExtensionBlock().https_filter) && IsExemptProcess() != 1) {
      StoreError(error, WSAEOPNOTSUPP);
      return SOCKET_ERROR;
    }
    return lower();
  }
  const WrapperRow* row = code == SIO_GET_EXTENSION_FUNCTION_POINTER ? WrapperOf(id) : nullptr;
  const int result = lower();
  if (row != nullptr && result == 0) HandOutWrapper(*row, out, out_size);
  return result;
}

template <typename Lower>
int SendMsgIoctl(SOCKET s, LPVOID in, DWORD in_size, LPINT error, Lower lower) {
  WSASENDMSG request;
  WSAMSG message;
  if (in_size < sizeof request || !CopyFromCaller(&request, in, sizeof request) ||
      !CopyFromCaller(&message, request.lpMsg, sizeof message)) {
    return lower();
  }
  return JudgeAddressedSend(s, AsBuffers(message.lpBuffers), message.dwBufferCount, message.name,
                            message.namelen, error, lower);
}

}  // namespace

int WSPAPI WSPIoctl(SOCKET s, DWORD dwIoControlCode, LPVOID lpvInBuffer, DWORD cbInBuffer,
                    LPVOID lpvOutBuffer, DWORD cbOutBuffer, LPDWORD lpcbBytesReturned,
                    LPWSAOVERLAPPED lpOverlapped,
                    LPWSAOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine,
                    LPWSATHREADID lpThreadId, LPINT lpErrno) {
  auto lower = [&] {
    return LowerEntry(LowerProcTable.lpWSPIoctl)(
        s, dwIoControlCode, lpvInBuffer, cbInBuffer, lpvOutBuffer, cbOutBuffer, lpcbBytesReturned,
        lpOverlapped, lpCompletionRoutine, lpThreadId, lpErrno);
  };
  switch (dwIoControlCode) {
    case SIO_EXT_SENDMSG:
      return SendMsgIoctl(s, lpvInBuffer, cbInBuffer, lpErrno, lower);
    case SIO_GET_EXTENSION_FUNCTION_POINTER:
    case kGetMultipleExtensions:
      return ExtensionIoctl(dwIoControlCode, lpvInBuffer, cbInBuffer, lpvOutBuffer, cbOutBuffer,
                            lpErrno, lower);
    default:
      return lower();
  }
}

}  // namespace tarvel
