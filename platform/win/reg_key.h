// An open registry key, closed when the holder goes out of scope.
#pragma once

#include <windows.h>

namespace tarvel {

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // The address to open into; the key must not be open yet.
  HKEY* Receive() { return &key_; }
  HKEY get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace tarvel
