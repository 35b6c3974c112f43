// The Windows half of a block's record: the facts only this process and its
// socket know, added to what the verdict found, appended to the shared log.
#pragma once

#include <winsock2.h>

#include "filter/verdict.h"

namespace tarvel {

// Appends the record of a block on `s` to the shared log: the time (UTC), this
// process's id and executable file name (taken once per process), the
// socket's remote address and port, and the verdict's facts. Called only on
// the block path; takes no lock.
void RecordBlockOn(SOCKET s, const BlockFacts& facts);

}  // namespace tarvel
