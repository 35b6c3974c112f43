// Conversions between the catalog's UTF-16 texts and the single-byte texts
// of the filter, which uses the system code page throughout.
#pragma once

#include <string>

namespace tarvel::ctl {

// False when a character has no exact form in the system code page.
bool WideToAnsi(const std::wstring& wide, std::string* ansi);
std::wstring AnsiToWide(const std::string& ansi);

}  // namespace tarvel::ctl
