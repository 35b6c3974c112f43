#include "platform/win/process_facts.h"

#include <ws2tcpip.h>

#include <atomic>

#include "filter/exempt_and_http_rules.h"
#include "filter/socket_facts.h"

namespace tarvel {
namespace {

std::atomic<int> g_exempt{-1};  // -1: not yet known

// The port-test answers of this process's sockets: 128 KiB of zeroes until
// sockets are made.
constinit SocketFacts g_socket_facts;

// The QUIC test's answers, kept in a table of the same kind under the same
// rules: a socket's type never changes, and its peer only by a connect.
// Its notes hold the sockets' hello starts.
constinit SocketFacts g_quic_facts;

// Whether a socket is a stream socket, in a third table of the kind.
constinit SocketFacts g_stream_facts;

constexpr u_short kQuicPort = 443;

using NameFn = int(WSAAPI*)(SOCKET, sockaddr*, int*);

// Reads one address of the socket and takes its port: false when the read
// fails; the port is 0 for a family other than IPv4 and IPv6. The storage
// holds any family's address: a 16-byte record would make every IPv6 socket
// fail the read and escape the filter.
bool ReadPort(SOCKET s, NameFn read_name, u_short& port) {
  port = 0;
  sockaddr_storage address = {};
  int length = sizeof address;
  if (read_name(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  if (address.ss_family == AF_INET) {
    port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  } else if (address.ss_family == AF_INET6) {
    port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return true;
}

// The port test asked of the system: two calls.
PortReading ReadHttpPorts(std::uint64_t socket) {
  const auto s = static_cast<SOCKET>(socket);
  u_short local = 0, remote = 0;
  const bool local_read = ReadPort(s, getsockname, local);
  const bool remote_read = ReadPort(s, getpeername, remote);
  return {local_read && remote_read, IsHttpPortPair(local, remote)};
}

// The port of an IPv4 or IPv6 address of `length` bytes, 0 for anything else.
u_short PortOfAddress(const sockaddr* address, int length) {
  if (length >= static_cast<int>(sizeof(sockaddr_in)) && address->sa_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  }
  if (length >= static_cast<int>(sizeof(sockaddr_in6)) && address->sa_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
  }
  return 0;
}

// The socket's type (SO_TYPE); false when it cannot be read.
bool ReadType(SOCKET s, int& type) {
  type = 0;
  int length = sizeof type;
  return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

// The QUIC test asked of the system: the socket's type, and for a datagram
// socket its peer. A stream socket's "no" is kept at once; a datagram
// socket's answer once its peer is read (it is connected), or its "no"
// while it is not connected.
PortReading ReadQuicSocket(std::uint64_t socket) {
  const auto s = static_cast<SOCKET>(socket);
  int type = 0;
  if (!ReadType(s, type)) return {false, 0};
  if (type != SOCK_DGRAM) return {true, 0};
  u_short peer = 0;
  if (!ReadPort(s, getpeername, peer)) {
    // Not connected: "no" until a connect, which drops it.
    return {WSAGetLastError() == WSAENOTCONN, 0};
  }
  return {true, peer == kQuicPort ? 1 : 0};
}

PortReading ReadStreamType(std::uint64_t socket) {
  int type = 0;
  if (!ReadType(static_cast<SOCKET>(socket), type)) return {false, 0};
  return {true, type == SOCK_STREAM ? 1 : 0};
}

bool IsDatagramSocket(SOCKET s) {
  int type = 0;
  return ReadType(s, type) && type == SOCK_DGRAM;
}

}  // namespace

int IsExemptProcess() {
  int exempt = g_exempt.load(std::memory_order_relaxed);
  if (exempt < 0) {
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    exempt = (n > 0 && n < MAX_PATH) ? IsExemptImagePath(path) : 0;
    g_exempt.store(exempt, std::memory_order_relaxed);
  }
  return exempt;
}

int IsHttpSocket(SOCKET s) { return IsHttpSocketKept(g_socket_facts, s, ReadHttpPorts); }

void SocketMade(SOCKET s) {
  if (s == INVALID_SOCKET) return;
  g_socket_facts.Made(s);
  g_quic_facts.Made(s);
  g_stream_facts.Made(s);
}

void SocketConnected(SOCKET s) {
  g_socket_facts.Reconnected(s);
  g_quic_facts.Reconnected(s);
}

void SocketClosed(SOCKET s) {
  g_socket_facts.Forget(s);
  g_quic_facts.Forget(s);
  g_stream_facts.Forget(s);
}

void AllSocketsClosed() {
  g_socket_facts.ForgetAll();
  g_quic_facts.ForgetAll();
  g_stream_facts.ForgetAll();
}

int IsQuicSocket(SOCKET s) { return IsHttpSocketKept(g_quic_facts, s, ReadQuicSocket); }

int IsQuicDestination(SOCKET s, const sockaddr* to, int to_length) {
  if (IsQuicSocket(s) == 1) return 1;
  if (to == nullptr) return 0;
  return PortOfAddress(to, to_length) == kQuicPort && IsDatagramSocket(s) ? 1 : 0;
}

int IsStreamSocket(SOCKET s) { return IsHttpSocketKept(g_stream_facts, s, ReadStreamType); }

int IsHttpConnect(SOCKET s, const sockaddr* name, int name_length) {
  u_short local = 0;
  ReadPort(s, getsockname, local);
  const u_short remote = name != nullptr ? PortOfAddress(name, name_length) : 0;
  return IsHttpPortPair(local, remote);
}

HelloStart TakeHelloStart(SOCKET s) { return UnpackHelloStart(g_quic_facts.TakeNote(s)); }

void KeepHelloStart(SOCKET s, const HelloStart& start) {
  g_quic_facts.SetNote(s, PackHelloStart(start));
}

}  // namespace tarvel
