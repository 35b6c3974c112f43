// The lock on the filter's exports inside the real tarvel.dll: a thread
// that impersonates a restricted copy of this process's token (its
// Administrators group held for deny only, as under User Account Control)
// changes nothing, and each refusal is counted and recorded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "state/block_log.h"
#include "tests/wine/harness.h"
#include "tools/demo/standard_user.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);

using demo::AsStandardUser;

TEST(LockedExports, RefuseACallerWithoutRightsAndRecordIt) {
  auto set_locked = TarvelExport<ValueFn>("SetLocked");
  ASSERT_NE(set_locked, nullptr);
  ASSERT_EQ(set_locked(1), 1) << "an administrator switches the lock";
  FilterState& state = TarvelBlock();
  const BlockLog& log = TarvelExtensions().block_log;
  struct Row {
    const char* name;
    int (*call)();
    const char* recorded;
  };
  const Row rows[] = {
      {"AddBlackUrl", [] { return TarvelExport<TextFn>("AddBlackUrl")("lock-test.example"); },
       "AddBlackUrl lock-test.example"},
      {"DelBlackUrl", [] { return TarvelExport<TextFn>("DelBlackUrl")("lock-kept.example"); },
       "DelBlackUrl lock-kept.example"},
      {"SetHttpsFilter", [] { return TarvelExport<ValueFn>("SetHttpsFilter")(0); },
       "SetHttpsFilter 0"},
      {"SetOnlyWhiteUrl", [] { return TarvelExport<ValueFn>("SetOnlyWhiteUrl")(1); },
       "SetOnlyWhiteUrl 1"},
      {"SetLocked", [] { return TarvelExport<ValueFn>("SetLocked")(0); }, "SetLocked 0"},
  };
  ASSERT_EQ(TarvelExport<TextFn>("AddBlackUrl")("lock-kept.example"), 1);
  ASSERT_EQ(TarvelExport<ValueFn>("SetHttpsFilter")(1), 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const FilterState before = state;
    const std::uint64_t numbered = RecordsNumbered(log);
    int result = -1;
    {
      AsStandardUser user;
      ASSERT_TRUE(user.active()) << "no restricted token: " << GetLastError();
      result = row.call();
    }
    EXPECT_EQ(result, 0);
    FilterState now = state;
    now.attach_counter = before.attach_counter;  // other processes may load the module
    EXPECT_EQ(std::memcmp(&before, &now, sizeof before), 0) << "the block changed";
    EXPECT_EQ(TarvelExtensions().https_filter, 1);
    EXPECT_EQ(TarvelExtensions().locked, 1);
    ASSERT_EQ(RecordsNumbered(log), numbered + 1);
    BlockEntry e;
    ASSERT_EQ(ReadRecord(log, numbered, &e), RecordRead::kWhole);
    EXPECT_EQ(e.reason, static_cast<std::uint32_t>(BlockReason::kChangeRefused));
    EXPECT_STREQ(e.host, row.recorded);
    EXPECT_EQ(e.process_id, GetCurrentProcessId());
  }
  // Unlocked, the same caller changes the filter as the exports always did.
  ASSERT_EQ(set_locked(0), 1);
  {
    AsStandardUser user;
    EXPECT_EQ(TarvelExport<ValueFn>("SetHttpsFilter")(0), 1);
    EXPECT_EQ(TarvelExport<ValueFn>("SetLocked")(1), 0) << "the lock's switch asks for rights";
  }
  EXPECT_EQ(TarvelExtensions().https_filter, 0);
  EXPECT_EQ(TarvelExtensions().locked, 0);
}

}  // namespace
}  // namespace tarvel::wine
