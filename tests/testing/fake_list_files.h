// Files in memory for the list loader: each path holds bytes and may carry
// the read-only attribute (it still opens for reading). Counts opens and
// closes and records the calls.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "state/list_file.h"

namespace tarvel::testing {

class FakeListFiles final : public ListFiles {
 public:
  struct File {
    std::string bytes;
    bool read_only = false;
  };
  std::map<std::string, File> files;
  std::set<std::string> phantom;  // seen by Exists(), gone by the open
  bool fail_size = false;
  // Reads at or beyond this offset return nothing (the file shrank).
  std::int64_t readable_until = INT64_MAX;

  // "exists P", "read-only P", "open P", "close"
  std::vector<std::string> calls;
  int opens = 0;
  int closes = 0;

  bool Exists(const char* path) override;
  bool ReadOnly(const char* path) override;
  bool OpenExisting(const char* path, Handle* file) override;
  std::uint32_t ReadAt(Handle file, std::int64_t offset, void* data, std::uint32_t size) override;
  std::int64_t Size(Handle file) override;
  void Close(Handle file) override;

 private:
  File& Of(Handle file);
  std::map<std::uintptr_t, std::string> open_;
  std::uintptr_t next_handle_ = 0x200;
};

}  // namespace tarvel::testing
