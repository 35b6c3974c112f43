// Bytes placed so that they end exactly where an unreadable page begins:
// a read of even one byte past their end faults, under any build.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvel::testing {

class GuardedBuffer {
 public:
  // Room for up to `capacity` bytes before the guard page.
  explicit GuardedBuffer(std::size_t capacity);
  ~GuardedBuffer();
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Copies `bytes` to end right before the guard page; returns their start.
  const unsigned char* Place(std::string_view bytes);

 private:
  unsigned char* base_;
  std::size_t readable_;  // bytes before the guard page
  std::size_t mapped_;
};

}  // namespace tarvel::testing
