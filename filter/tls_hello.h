// The host a TLS connection names: the server_name of the ClientHello that
// a client sends in clear as the first bytes of the connection.
//
// Both functions read only `data[0..len)`, never a byte past it, allocate
// nothing and keep nothing between calls. `data` may be null (no bytes).
#pragma once

#include <cstddef>
#include <cstdint>

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

// The record header and the handshake header: a send with fewer bytes than
// this cannot show whether it starts a ClientHello, let alone its name.
inline constexpr std::size_t kHelloHeadBytes = 9;

// How far across a send's buffers a ClientHello is read when it does not
// lie whole in the first one.
inline constexpr std::size_t kHelloReach = 16 * 1024;

// The start of a ClientHello that a send carried alone, fewer than
// kHelloHeadBytes bytes, kept per socket for that socket's next send.
struct HelloStart {
  std::uint8_t length = 0;  // 0: none
  char bytes[kHelloHeadBytes - 1] = {};
};

// True when the bytes may begin a ClientHello: as BeginsWithClientHello,
// and also the one byte 22. A send that may begin one and holds fewer than
// kHelloHeadBytes bytes is kept as a HelloStart.
bool MayBeginClientHello(const char* data, std::size_t len);

// A HelloStart in one 64-bit word and back: the length in the low byte,
// then the bytes after the first (which is always 22). 0 is no start; a
// word that is no packed start unpacks as none.
std::uint64_t PackHelloStart(const HelloStart& start);
HelloStart UnpackHelloStart(std::uint64_t word);

}  // namespace tarvel
