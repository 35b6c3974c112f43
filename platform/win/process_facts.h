// The facts a verdict asks of Windows: the process image and socket ports.
#pragma once

#include <winsock2.h>

namespace tarvel {

// 1 if this process's executable is named msnmsgr.exe (any directory, any
// case), else 0. The image of a process never changes, so the answer is
// taken once per process.
int IsExemptProcess();

// 1 if the socket's local or peer port is 80 or 8080, else 0. Addresses of
// any family are read whole; a port that cannot be read counts as 0. The
// answer of a socket this provider made is kept once both addresses were
// read (filter/socket_facts.h), until one of the calls below drops it.
int IsHttpSocket(SOCKET s);

// What the entry points tell the kept answers. Each takes a few atomic
// operations and no lock.
// WSPSocket, WSPAccept or WSPJoinLeaf returned `s`.
void SocketMade(SOCKET s);
// WSPConnect was called on `s`: its peer may have changed.
void SocketConnected(SOCKET s);
// `s` is being closed (WSPCloseSocket, the block action).
void SocketClosed(SOCKET s);
// WSPCleanup: every socket of the process may be closed.
void AllSocketsClosed();
// 1 if the socket is a datagram socket whose peer's port is 443, else 0.
// The socket's type is asked first, its peer only for a datagram socket;
// the answer of a socket this provider made is kept like the port test's
// (until it is connected again or closed).
int IsQuicSocket(SOCKET s);

// 1 if the socket is a datagram socket and `to` names port 443 (an IPv4 or
// IPv6 address of `to_length` bytes); with `to` null, as IsQuicSocket.
// `to` is the caller's and may be unreadable: call inside a guard.
int IsQuicDestination(SOCKET s, const sockaddr* to, int to_length);

}  // namespace tarvel
