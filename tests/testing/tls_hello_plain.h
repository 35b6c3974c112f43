// The server name of a ClientHello found the plain way: the handshake
// message is first joined from its records into a vector, then read with
// indices. The reference for ServerNameOf.
#pragma once

#include <cstddef>

#include "filter/host.h"

namespace tarvel::testing {

// Same contract as ServerNameOf.
Host ServerNameOfPlain(const char* data, std::size_t len);

}  // namespace tarvel::testing
