#include "filter/equal_bytes.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/testing/simd_levels.h"

namespace tarvel {
namespace {

class EqualBytesTest : public ::testing::TestWithParam<SimdLevel> {};

// Every length up to a few vector blocks, with one byte changed (one bit at
// a time) at every position, and the runs unaligned.
TEST_P(EqualBytesTest, FindsEveryDifference) {
  if (GetParam() > SupportedSimdLevel()) GTEST_SKIP() << "this processor lacks the level";
  for (std::size_t n = 0; n <= 300; ++n) {
    const std::string a(n + 1, 'x');
    std::string b = a;
    ASSERT_TRUE(EqualBytes(a.data() + 1, b.data() + 1, n, GetParam())) << n;
    for (std::size_t i = 0; i < n; ++i) {
      b[1 + i] = static_cast<char>('x' ^ (1 << (i % 8)));
      ASSERT_FALSE(EqualBytes(a.data() + 1, b.data() + 1, n, GetParam())) << n << " at " << i;
      b[1 + i] = 'x';
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, EqualBytesTest, testing::AllSimdLevels(), testing::SimdLevelName);

}  // namespace
}  // namespace tarvel
