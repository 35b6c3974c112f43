#include "filter/send_start.h"

#include <cstring>

namespace tarvel {

std::size_t CopySendStart(const HelloStart& kept, const BufferDesc* buffers, std::uint32_t count,
                          char* out, std::size_t capacity) {
  std::size_t copied = kept.length < capacity ? kept.length : capacity;
  std::memcpy(out, kept.bytes, copied);
  for (std::uint32_t i = 0; buffers != nullptr && i < count && copied < capacity; ++i) {
    const std::size_t room = capacity - copied;
    const std::size_t n = buffers[i].len < room ? buffers[i].len : room;
    if (n != 0) std::memcpy(out + copied, buffers[i].buf, n);
    copied += n;
  }
  return copied;
}

Host ServerNameAcross(const HelloStart& kept, const BufferDesc* buffers, std::uint32_t count) {
  char run[kHelloReach];
  const std::size_t length = CopySendStart(kept, buffers, count, run, sizeof run);
  return ServerNameOf(run, length);
}

}  // namespace tarvel
