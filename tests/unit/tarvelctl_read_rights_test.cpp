// Which accounts a list file's access control list lets read it: each row a
// list as Windows keeps it, and the accounts that cannot read.
#include "tools/tarvelctl/read_rights.h"

#include <gtest/gtest.h>

namespace tarvel::ctl {
namespace {

constexpr std::uint32_t kReadData = 0x1;
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kWriteOnly = 0x2;

AccessEntry Allow(const char* sid, std::uint32_t mask = kReadData) { return {true, mask, sid}; }
AccessEntry Deny(const char* sid, std::uint32_t mask = kReadData) { return {false, mask, sid}; }

const char* const kAdministrators = "S-1-5-32-544";
const char* const kSystem = "S-1-5-18";
const char* const kUsers = "S-1-5-32-545";

using Names = std::vector<std::string>;
const Names kAll = {"LocalService", "NetworkService", "Users"};

struct RightsRow {
  const char* name;
  FileAccess access;
  Names cannot;
};

class ReadRights : public ::testing::TestWithParam<RightsRow> {};

TEST_P(ReadRights, AccountsThatCannotRead) {
  EXPECT_EQ(AccountsThatCannotRead(GetParam().access), GetParam().cannot);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadRights,
    ::testing::Values(
        // The advice: Users read, Administrators and SYSTEM write.
        RightsRow{"UsersReadAdministratorsWrite",
                  {true, true, {Allow(kAdministrators, 0x1F01FF), Allow(kSystem), Allow(kUsers)}},
                  {}},
        RightsRow{"AdministratorsAndSystemOnly",
                  {true, true, {Allow(kAdministrators, 0x1F01FF), Allow(kSystem)}},
                  kAll},
        RightsRow{"EveryoneByGenericRead", {true, true, {Allow("S-1-1-0", kGenericRead)}}, {}},
        RightsRow{"AuthenticatedUsers", {true, true, {Allow("S-1-5-11")}}, {}},
        RightsRow{"InteractiveOnly",
                  {true, true, {Allow("S-1-5-4")}},
                  {"LocalService", "NetworkService"}},
        RightsRow{"ServicesOnly", {true, true, {Allow("S-1-5-6")}}, {"Users"}},
        RightsRow{"WriteIsNotRead", {true, true, {Allow(kUsers, kWriteOnly)}}, kAll},
        // A deny before the grant wins; after it, it comes too late.
        RightsRow{
            "DenyFirstWins", {true, true, {Deny("S-1-5-19"), Allow(kUsers)}}, {"LocalService"}},
        RightsRow{"DenyAfterTheGrantTooLate", {true, true, {Allow(kUsers), Deny("S-1-5-19")}}, {}},
        RightsRow{"EmptyListLetsNobodyIn", {true, true, {}}, kAll},
        RightsRow{"NoListLetsEveryoneIn", {true, false, {}}, {}},
        RightsRow{"NotKnownSaysNothing", {false, true, {}}, {}}),
    [](const ::testing::TestParamInfo<RightsRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel::ctl
