// The first bytes of a send as the ClientHello test reads them: a hello
// start kept from the socket's previous send, then the caller's buffers in
// their order, as one run.
//
// Both functions read the buffers' bytes and nothing past them; the caller
// runs them inside a guard, since the buffers are the application's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/host.h"
#include "filter/tls_hello.h"
#include "filter/verdict.h"

namespace tarvel {

// Copies `kept`'s bytes, then the buffers' in order, into `out` until
// `capacity` bytes are copied or the bytes end; returns the count copied.
std::size_t CopySendStart(const HelloStart& kept, const BufferDesc* buffers, std::uint32_t count,
                          char* out, std::size_t capacity);

// ServerNameOf over the first kHelloReach bytes of that run. It copies them
// to the stack first, which is why it lives apart from the verdict: only a
// hello that does not lie whole in the first buffer pays for it.
Host ServerNameAcross(const HelloStart& kept, const BufferDesc* buffers, std::uint32_t count);

}  // namespace tarvel
