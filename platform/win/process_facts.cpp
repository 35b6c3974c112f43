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
  if (s != INVALID_SOCKET) g_socket_facts.Made(s);
}

void SocketConnected(SOCKET s) { g_socket_facts.Reconnected(s); }

void SocketClosed(SOCKET s) { g_socket_facts.Forget(s); }

void AllSocketsClosed() { g_socket_facts.ForgetAll(); }

}  // namespace tarvel
