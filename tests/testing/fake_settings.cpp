#include "tests/testing/fake_settings.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tarvel::testing {

bool FakeSettingsKey::Open(Access access, Handle* key) {
  ++opens;
  if (fail_opens) return false;
  if (access == Access::kCreate) key_exists = true;
  if (!key_exists) return false;
  const std::uintptr_t handle = next_handle_++;
  open_handles.insert(handle);
  *key = reinterpret_cast<Handle>(handle);
  return true;
}

void FakeSettingsKey::Check(Handle key) const {
  EXPECT_EQ(open_handles.count(reinterpret_cast<std::uintptr_t>(key)), 1u) << "key not open";
}

bool FakeSettingsKey::Query(Handle key, const char* name, void* data, std::uint32_t size) {
  Check(key);
  ++queries;
  auto it = values.find(name);
  if (it == values.end() || it->second.size() > size) return false;
  std::memcpy(data, it->second.data(), it->second.size());
  return true;
}

bool FakeSettingsKey::SetText(Handle key, const char* name, const void* data, std::uint32_t size) {
  Check(key);
  if (fail_sets) return false;
  values[name].assign(static_cast<const char*>(data), size);
  return true;
}

bool FakeSettingsKey::Delete(Handle key, const char* name) {
  Check(key);
  return values.erase(name) == 1;
}

void FakeSettingsKey::Close(Handle key) {
  Check(key);
  open_handles.erase(reinterpret_cast<std::uintptr_t>(key));
  ++closes;
}

std::string StoredFlag(char digit) {
  std::string bytes(10, '\0');
  bytes[0] = digit;
  return bytes;
}

}  // namespace tarvel::testing
