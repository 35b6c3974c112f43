#include "tools/tarvelctl/win/error_text.h"

#include <windows.h>

namespace tarvel::ctl {

std::string ErrorText(unsigned long code) {
  char buffer[512] = {};
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  // System texts end in CR LF and may hold line breaks of their own.
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  const std::string number = "error " + std::to_string(code);
  return text.empty() ? number : text + " (" + number + ")";
}

}  // namespace tarvel::ctl
