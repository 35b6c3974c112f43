// The HTTPS filter's hold on QUIC: datagrams to UDP port 443 fail, so that
// browsers fall back to TCP, where the ClientHello is judged.
#pragma once

#include <winsock2.h>

namespace tarvel {

// True when WSPSendTo must fail without reaching the lower provider: the
// HTTPS filter is on, the process is not exempt, and the socket is a
// datagram socket sending to port 443 (`to`, or its peer when `to` is null).
// It then stores WSAEACCES through `error` (a bad pointer is survived). With
// the filter off: one read of the flag, nothing else.
bool RefusesQuicDatagram(SOCKET s, const sockaddr* to, int to_length, LPINT error);

}  // namespace tarvel
