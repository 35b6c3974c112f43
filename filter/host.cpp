#include "filter/host.h"

#include <cstring>

namespace tarvel {
namespace {

bool IsW(char c) { return c == 'w' || c == 'W'; }

}  // namespace

Host ExtractHost(const char* data, std::size_t len) {
  Host host{};
  if (data == nullptr) return host;
  const char* nul = static_cast<const char*>(std::memchr(data, 0, len));
  const std::size_t n = nul ? static_cast<std::size_t>(nul - data) : len;

  static constexpr char kName[] = "Host:";
  constexpr std::size_t kNameLen = sizeof kName - 1;
  if (n < kNameLen) return host;
  const char* last = data + (n - kNameLen);  // last place a match can start
  const char* at = data;
  for (;;) {
    at = static_cast<const char*>(std::memchr(at, 'H', static_cast<std::size_t>(last - at) + 1));
    if (at == nullptr) return host;
    if (std::memcmp(at, kName, kNameLen) == 0) break;
    if (at == last) return host;
    ++at;
  }
  const std::size_t i = static_cast<std::size_t>(at - data);

  // The one character after the colon is skipped unseen.
  std::size_t start = i + kNameLen + 1;
  if (start + 3 < n && IsW(data[start]) && IsW(data[start + 1]) && IsW(data[start + 2]) &&
      data[start + 3] == '.') {
    start += 4;
  }
  if (start >= n) return host;

  const char* cr = static_cast<const char*>(std::memchr(data + start, '\r', n - start));
  std::size_t value_len = cr ? static_cast<std::size_t>(cr - (data + start)) : n - start;
  if (value_len > kHostMax) value_len = kHostMax;
  std::memcpy(host.text, data + start, value_len);
  host.text[value_len] = '\0';
  host.length = value_len;
  return host;
}

}  // namespace tarvel
