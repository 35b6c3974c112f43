#include "tests/testing/fake_list_files.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarvel::testing {

bool FakeListFiles::Exists(const char* path) {
  calls.push_back(std::string("exists ") + path);
  return files.count(path) == 1 || phantom.count(path) == 1;
}

bool FakeListFiles::ReadOnly(const char* path) {
  calls.push_back(std::string("read-only ") + path);
  auto it = files.find(path);
  return it != files.end() && it->second.read_only;
}

bool FakeListFiles::OpenExisting(const char* path, Handle* file) {
  calls.push_back(std::string("open ") + path);
  auto it = files.find(path);
  if (it == files.end()) return false;
  const std::uintptr_t handle = next_handle_++;
  open_[handle] = path;
  ++opens;
  *file = reinterpret_cast<Handle>(handle);
  return true;
}

FakeListFiles::File& FakeListFiles::Of(Handle file) {
  auto it = open_.find(reinterpret_cast<std::uintptr_t>(file));
  EXPECT_NE(it, open_.end()) << "file not open";
  return files[it->second];
}

std::uint32_t FakeListFiles::ReadAt(Handle file, std::int64_t offset, void* data,
                                    std::uint32_t size) {
  const std::string& bytes = Of(file).bytes;
  if (offset < 0 || offset >= readable_until) return 0;
  const std::int64_t end = std::min<std::int64_t>(readable_until, bytes.size());
  if (offset >= end) return 0;
  const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::int64_t>(size, end - offset));
  std::memcpy(data, bytes.data() + offset, n);
  return n;
}

std::int64_t FakeListFiles::Size(Handle file) {
  if (fail_size) return -1;
  return static_cast<std::int64_t>(Of(file).bytes.size());
}

void FakeListFiles::Close(Handle file) {
  calls.push_back("close");
  EXPECT_EQ(open_.erase(reinterpret_cast<std::uintptr_t>(file)), 1u) << "closed twice";
  ++closes;
}

}  // namespace tarvel::testing
