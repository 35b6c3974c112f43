#include "filter/exempt_and_http_rules.h"

#include "filter/ascii.h"

namespace tarvel {

int IsExemptImagePath(const char* image_path) {
  if (image_path == nullptr) return 0;
  const char* name = image_path;
  for (const char* p = image_path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  static constexpr char kExempt[] = "msnmsgr.exe";
  for (int i = 0;; ++i) {
    if (!EqualIgnoringAsciiCase(static_cast<unsigned char>(name[i]),
                                static_cast<unsigned char>(kExempt[i]))) {
      return 0;
    }
    if (kExempt[i] == '\0') return 1;
  }
}

int IsHttpPortPair(std::uint16_t local_port, std::uint16_t remote_port) {
  auto http = [](std::uint16_t port) { return port == 80 || port == 8080; };
  return (http(local_port) || http(remote_port)) ? 1 : 0;
}

}  // namespace tarvel
