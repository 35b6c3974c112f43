// Who may change a locked filter, over the token seam: each row a caller as
// its tokens describe it, locked and unlocked.
#include "state/change_rights.h"

#include <gtest/gtest.h>

#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

constexpr TokenFacts kElevatedAdministrator{false, true};
// Under User Account Control an administrator's everyday token holds the
// Administrators group for deny only: not enabled.
constexpr TokenFacts kFilteredAdministrator{false, false};
constexpr TokenFacts kStandardUser{false, false};
constexpr TokenFacts kLocalSystem{true, false};

struct CallerRow {
  const char* name;
  CallerToken caller;
  int may_when_locked;
};

class ChangeRights : public ::testing::TestWithParam<CallerRow> {};

TEST_P(ChangeRights, LockedAsTheTokenSaysUnlockedAlways) {
  const CallerRow& row = GetParam();
  auto extensions = testing::NewExtensions();
  int asked = 0;
  auto read = [&] {
    ++asked;
    return row.caller;
  };
  EXPECT_EQ(MayChangeFilter(*extensions, read), 1);
  EXPECT_EQ(asked, 0) << "an unlocked filter reads no token";
  extensions->locked = 1;
  EXPECT_EQ(MayChangeFilter(*extensions, read), row.may_when_locked);
  extensions->locked = 7;  // only 1 locks
  EXPECT_EQ(MayChangeFilter(*extensions, read), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChangeRights,
    ::testing::Values(
        CallerRow{"ElevatedAdministrator", {false, {}, kElevatedAdministrator}, 1},
        CallerRow{"NonElevatedAdministrator", {false, {}, kFilteredAdministrator}, 0},
        CallerRow{"StandardUser", {false, {}, kStandardUser}, 0},
        CallerRow{"LocalSystem", {false, {}, kLocalSystem}, 1},
        // A service thread acting for a pupil has the pupil's rights.
        CallerRow{"SystemThreadImpersonatingAStandardUser", {true, kStandardUser, kLocalSystem}, 0},
        CallerRow{"UserThreadImpersonatingAnAdministrator",
                  {true, kElevatedAdministrator, kStandardUser},
                  1}),
    [](const ::testing::TestParamInfo<CallerRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel
