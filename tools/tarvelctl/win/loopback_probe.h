// The self-test's loopback listener and client socket through ws2_32's
// ordinary calls, so that the client goes through the catalog's chain for
// TCP over IPv4 like any program's socket.
#pragma once

#include <memory>
#include <string>

#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

std::unique_ptr<LoopbackProbe> ListenOnWinsockLoopback(int port, bool* busy, std::string* error);

}  // namespace tarvel::ctl
