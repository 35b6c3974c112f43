// MatchWildcard on a pattern and a text split from the input at its first
// NUL, each copied into an exact-size buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "filter/wildcard.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(bytes, 0, size);
  const std::size_t pattern_len =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : size;
  const std::size_t rest = nul ? size - pattern_len - 1 : 0;
  auto pattern = std::make_unique<char[]>(pattern_len + 1);
  std::memcpy(pattern.get(), bytes, pattern_len);
  pattern[pattern_len] = '\0';
  auto text = std::make_unique<char[]>(rest + 1);
  if (rest) std::memcpy(text.get(), bytes + pattern_len + 1, rest);
  text[rest] = '\0';
  const int r = tarvel::MatchWildcard(pattern.get(), text.get());
  if (r != 0 && r != 1) std::abort();
  return 0;
}
