#include "provider/lower_lookup.h"

namespace tarvel {

std::uint32_t LowerCatalogId(std::int32_t chain_length,
                             const std::uint32_t (&chain_entries)[kMaxProtocolChain],
                             std::uint32_t own_id) {
  if (chain_length <= 1) return own_id;
  const std::int32_t last = chain_length > kMaxProtocolChain ? kMaxProtocolChain : chain_length;
  return chain_entries[last - 1];
}

void FormatValueName(std::uint32_t id, char (&name)[11]) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id != 0);
  for (int i = 0; i < n; ++i) name[i] = digits[n - 1 - i];
  name[n] = '\0';
}

}  // namespace tarvel
