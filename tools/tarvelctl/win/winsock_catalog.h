// The Winsock catalogs of this machine through the WSC functions of
// ws2_32.dll. Every function is looked up when it is first needed, so the
// program starts on systems (and under Wine) that lack some of them; a
// missing one reads as "this system cannot do that".
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

#include "tools/tarvelctl/catalog.h"

namespace tarvel::ctl {

ProtocolRecord ToRecord(const WSAPROTOCOL_INFOW& info);
WSAPROTOCOL_INFOW ToProtocolInfo(const ProtocolRecord& record);
GUID ToGuid(const Guid& guid);

// A 64-bit process sees the 64-bit catalog and, through the ...32 functions,
// the 32-bit one; a 32-bit process sees the catalog of its own kind only.
Catalog& WinsockCatalog();

}  // namespace tarvel::ctl
