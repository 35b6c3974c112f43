// A settings key in memory that behaves as the registry does for the store:
// reads fail on a missing key, a create opens or makes it, a query fails on
// data larger than the offer. It counts every open and close.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "state/settings.h"

namespace tarvel::testing {

class FakeSettingsKey final : public SettingsKey {
 public:
  bool key_exists = true;
  bool fail_opens = false;
  bool fail_sets = false;
  std::map<std::string, std::string> values;  // name -> data bytes

  int opens = 0;
  int closes = 0;
  int queries = 0;
  std::set<std::uintptr_t> open_handles;

  bool Open(Access access, Handle* key) override;
  bool Query(Handle key, const char* name, void* data, std::uint32_t size) override;
  bool SetText(Handle key, const char* name, const void* data, std::uint32_t size) override;
  bool Delete(Handle key, const char* name) override;
  void Close(Handle key) override;

 private:
  void Check(Handle key) const;
  std::uintptr_t next_handle_ = 0x100;
};

// A flag value as the store writes it: the digit and nine NULs.
std::string StoredFlag(char digit);

}  // namespace tarvel::testing
