// Running a test once per vector level: the levels, their names in test
// names and in failure messages.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/cpu_features.h"

namespace tarvel {

inline void PrintTo(SimdLevel level, std::ostream* os) {
  switch (level) {
    case SimdLevel::kNone:
      *os << "no vector instructions";
      return;
    case SimdLevel::kSsse3:
      *os << "SSSE3";
      return;
    case SimdLevel::kAvx2:
      *os << "AVX2";
      return;
  }
  *os << "level " << static_cast<int>(level);
}

namespace testing {

inline auto AllSimdLevels() {
  return ::testing::Values(SimdLevel::kNone, SimdLevel::kSsse3, SimdLevel::kAvx2);
}

inline std::string SimdLevelName(const ::testing::TestParamInfo<SimdLevel>& info) {
  switch (info.param) {
    case SimdLevel::kNone:
      return "Scalar";
    case SimdLevel::kSsse3:
      return "Ssse3";
    case SimdLevel::kAvx2:
      return "Avx2";
  }
  return "Level" + std::to_string(static_cast<int>(info.param));
}

}  // namespace testing
}  // namespace tarvel
