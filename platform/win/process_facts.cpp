#include "platform/win/process_facts.h"

#include <ws2tcpip.h>

#include <atomic>

#include "filter/facts.h"

namespace tarvel {
namespace {

std::atomic<int> g_exempt{-1};  // -1: not yet known

constexpr u_short kQuicPort = 443;

using NameFn = int(WSAAPI*)(SOCKET, sockaddr*, int*);

// The port of an IPv4 or IPv6 address, 0 for any other family or failure.
// The storage holds any family's address: a 16-byte record would make every
// IPv6 socket fail the read and escape the filter.
u_short PortOf(SOCKET s, NameFn read_name) {
  sockaddr_storage address = {};
  int length = sizeof address;
  if (read_name(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return 0;
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

bool IsDatagramSocket(SOCKET s) {
  int type = 0;
  int length = sizeof type;
  return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0 &&
         type == SOCK_DGRAM;
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

int IsHttpSocket(SOCKET s) {
  return IsHttpPortPair(PortOf(s, getsockname), PortOf(s, getpeername));
}

int IsQuicSocket(SOCKET s) {
  return IsDatagramSocket(s) && PortOf(s, getpeername) == kQuicPort ? 1 : 0;
}

int IsQuicDestination(SOCKET s, const sockaddr* to, int to_length) {
  if (to == nullptr) return IsQuicSocket(s);
  return PortOfAddress(to, to_length) == kQuicPort && IsDatagramSocket(s) ? 1 : 0;
}

}  // namespace tarvel
