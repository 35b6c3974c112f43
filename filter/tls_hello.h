// The host a TLS connection names: the server_name of the ClientHello that
// a client sends in clear as the first bytes of the connection.
//
// Both functions read only `data[0..len)`, never a byte past it, allocate
// nothing and keep nothing between calls. `data` may be null (no bytes).
#pragma once

#include <cstddef>

#include "filter/host.h"

namespace tarvel {

// True when the bytes begin like a TLS handshake record that carries a
// ClientHello, as far as they reach: the content type 22, the major version
// 3 and, at offset 5, the handshake type 1. Fewer than two bytes never do.
// A few byte comparisons: the test every send pays.
bool BeginsWithClientHello(const char* data, std::size_t len);

// The host named by the ClientHello at the start of the bytes, judged like a
// Host header's value: the name of the first server_name entry of type
// host_name, cut at a zero byte, with one trailing '.' and then a leading
// "www." of any case dropped, and cut to its first 99 characters.
//
// The handshake message may run over several handshake records. Every
// length (record, handshake, session id, cipher suites, compression,
// extensions, server_name list, name) is checked against the one enclosing
// it and the bytes against `len`. The empty host when there is no such name
// wholly inside the bytes: none sent, a malformed or truncated hello, or
// bytes that are not a ClientHello at all.
Host ServerNameOf(const char* data, std::size_t len);

}  // namespace tarvel
