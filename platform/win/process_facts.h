// The facts a verdict asks of Windows: the process image and socket ports.
#pragma once

#include <winsock2.h>

#include "filter/tls_hello.h"

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
// (until it is connected again or closed), an unconnected datagram
// socket's "no" too.
int IsQuicSocket(SOCKET s);

// 1 if the socket is a datagram socket connected to port 443 (IsQuicSocket;
// Winsock ignores `to` on a connected socket), or a datagram socket and `to`
// names port 443 (an IPv4 or IPv6 address of `to_length` bytes). `to` may be
// null; it is the caller's and may be unreadable: call inside a guard.
int IsQuicDestination(SOCKET s, const sockaddr* to, int to_length);

// 1 if the socket is a stream (connection-oriented) socket, else 0; a
// socket's type never changes, and the answer of one this provider made is
// kept until it is closed.
int IsStreamSocket(SOCKET s);

// 1 if the port of `name` (an IPv4 or IPv6 address of `name_length` bytes)
// or the socket's bound local port is 80 or 8080, else 0: the port test of
// a connect that carries data. `name` is the caller's: call inside a guard.
int IsHttpConnect(SOCKET s, const sockaddr* name, int name_length);

// The hello start a send on `s` left for the socket's next send, which is
// then gone (length 0: none); and leaving one. Kept beside the QUIC test's
// answer of a socket made through this provider, and dropped with it.
HelloStart TakeHelloStart(SOCKET s);
void KeepHelloStart(SOCKET s, const HelloStart& start);

}  // namespace tarvel
