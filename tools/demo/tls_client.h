// A TLS client made of Windows' own Schannel whose bytes travel through a
// provider's procedure table, as an application's travel through Winsock:
// the demonstration's HTTPS requests, and the Windows tests' TLS client.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

#include <string>

namespace tarvel::demo {

// How one request over TLS went.
struct TlsFetch {
  bool handshake_done = false;
  std::string failed;    // the call that failed ("send failed with error 10058"), or empty
  std::string response;  // the bytes the server sent back, decrypted
};

// The first flight Schannel sends for `host` (its server name; none when
// empty): the ClientHello. Empty when Schannel cannot make one.
std::string SchannelClientHello(const std::string& host);

// On `s`, connected to a TLS server: the handshake for `host` (sent as the
// server name; the server's certificate is not checked), then `request`,
// then the answer up to the end of the stream. Every byte goes through
// `table`'s WSPSend and WSPRecv.
TlsFetch FetchOverTls(const WSPPROC_TABLE& table, SOCKET s, const std::string& host,
                      const std::string& request);

}  // namespace tarvel::demo
