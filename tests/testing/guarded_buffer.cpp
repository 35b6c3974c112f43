#include "tests/testing/guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace tarvel::testing {

GuardedBuffer::GuardedBuffer(std::size_t capacity) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  readable_ = (capacity + page - 1) / page * page;
  if (readable_ == 0) readable_ = page;
  mapped_ = readable_ + page;
  void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
  base_ = static_cast<unsigned char*>(p);
  if (mprotect(base_ + readable_, page, PROT_NONE) != 0)
    throw std::runtime_error("mprotect failed");
}

GuardedBuffer::~GuardedBuffer() { munmap(base_, mapped_); }

const unsigned char* GuardedBuffer::Place(std::string_view bytes) {
  if (bytes.size() > readable_) throw std::length_error("GuardedBuffer too small");
  unsigned char* start = base_ + readable_ - bytes.size();
  if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
  return start;
}

}  // namespace tarvel::testing
