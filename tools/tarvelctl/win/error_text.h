// The system's message for a Win32 or Winsock error code, on one line.
#pragma once

#include <string>

namespace tarvel::ctl {

// "Access is denied. (error 5)"; the code alone when the system has no text.
std::string ErrorText(unsigned long code);

}  // namespace tarvel::ctl
