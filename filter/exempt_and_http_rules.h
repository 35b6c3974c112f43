// The rules behind the two facts a verdict asks of the platform.
#pragma once

#include <cstdint>

namespace tarvel {

// 1 if the last component of `image_path` (after the last '\\', '/' or ':')
// is "msnmsgr.exe", ASCII case ignored; 0 otherwise and for a null path.
int IsExemptImagePath(const char* image_path);

// 1 if either port (in host byte order) is 80 or 8080, else 0. A port the
// platform could not read is passed as 0.
int IsHttpPortPair(std::uint16_t local_port, std::uint16_t remote_port);

}  // namespace tarvel
