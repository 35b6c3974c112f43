#include "state/attach.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "filter/phrases.h"
#include "state/url_list.h"
#include "tests/testing/fake_list_files.h"
#include "tests/testing/fake_settings.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

using testing::StoredFlag;

std::string ListBytes(std::initializer_list<std::string> texts) {
  std::string bytes(100, '\0');
  bytes.replace(0, 20, "TARVELINTERNETFILTER");
  for (const std::string& text : texts) {
    std::string record = text;
    record.resize(100, '\0');
    bytes += record;
  }
  return bytes;
}

class FakeAttachPlatform final : public AttachPlatform {
 public:
  testing::FakeSettingsKey key;
  SettingsStore store{key};
  testing::FakeListFiles files;
  SetUpEntry entry = SetUpEntry::kEntered;
  std::function<void()> while_entering;  // runs inside EnterSetUp
  std::vector<std::string> calls;        // "enter", "leave"

  SetUpEntry EnterSetUp() override {
    calls.push_back("enter");
    if (while_entering) while_entering();
    return entry;
  }
  void LeaveSetUp() override { calls.push_back("leave"); }
  SettingsStore& Settings() override { return store; }
  ListFiles& Files() override { return files; }
  std::uint32_t now = 1000;
  std::uint32_t NowMs() override { return now; }
};

class Attach : public ::testing::Test {
 protected:
  void SetUp() override {
    p_.key.values["iswhi"] = StoredFlag('1');
    p_.key.values["issma"] = StoredFlag('1');
    p_.key.values["issni"] = StoredFlag('1');
    p_.key.values["whitelib"] = std::string("C:\\w.lst\0", 9);
    p_.key.values["blacklib"] = std::string("C:\\b.lst\0", 9);
    p_.files.files["C:\\w.lst"].bytes = ListBytes({"good.example", "fine.example"});
    p_.files.files["C:\\b.lst"].bytes = ListBytes({"bad.example"});
  }
  void TearDown() override { EXPECT_TRUE(p_.key.open_handles.empty()); }

  int Notify(Notification reason) { return ModuleAttach(*state_, *extensions_, p_, reason); }

  FakeAttachPlatform p_;
  std::unique_ptr<FilterState> state_ = testing::NewState();
  std::unique_ptr<SharedExtensions> extensions_ = testing::NewExtensions();
};

TEST_F(Attach, FirstProcessAttachSetsTheBlockUp) {
  EXPECT_EQ(Notify(Notification::kProcessAttach), 1);
  EXPECT_EQ(state_->attach_counter, 1);
  EXPECT_EQ(state_->white_only, 1);
  EXPECT_EQ(state_->smart_filter, 1);
  EXPECT_EQ(extensions_->https_filter, 1);
  EXPECT_EQ(state_->phrase_count, kBuiltInPhraseCount);
  EXPECT_EQ(state_->white_count, 2);
  EXPECT_EQ(state_->black_count, 1);
  EXPECT_EQ(state_->lists_ready, 1);
  EXPECT_EQ(state_->smart_em + state_->smart_we + state_->smart_nc, 0);
  EXPECT_EQ(p_.calls, (std::vector<std::string>{"enter", "leave"}));
  // The white list file is read before the black one.
  EXPECT_EQ(p_.files.calls[0], "exists C:\\w.lst");
}

TEST_F(Attach, LaterNotificationsOnlyCount) {
  Notify(Notification::kProcessAttach);
  const int opens = p_.key.opens + p_.files.opens;
  ModuleAttach(*state_, *extensions_, p_, Notification::kProcessAttach);  // a second process
  p_.key.values["iswhi"] = StoredFlag('0');
  p_.key.values["issni"] = StoredFlag('0');
  Notify(Notification::kThreadAttach);
  Notify(Notification::kThreadDetach);
  EXPECT_EQ(Notify(Notification::kProcessDetach), 1);
  EXPECT_EQ(state_->attach_counter, 5);
  EXPECT_EQ(p_.key.opens + p_.files.opens, opens) << "settings or files read again";
  EXPECT_EQ(state_->white_only, 1);
  EXPECT_EQ(extensions_->https_filter, 1);
  EXPECT_EQ(p_.calls, (std::vector<std::string>{"enter", "leave"}));
}

TEST_F(Attach, ThreadStartedAndEndedAddsTwo) {
  Notify(Notification::kProcessAttach);
  const std::int32_t before = state_->attach_counter;
  Notify(Notification::kThreadAttach);
  Notify(Notification::kThreadDetach);
  EXPECT_EQ(state_->attach_counter, before + 2);
}

TEST_F(Attach, MissingWhiteListFileLeavesListsNotReady) {
  p_.files.files.erase("C:\\w.lst");
  EXPECT_EQ(Notify(Notification::kProcessAttach), 1);
  EXPECT_EQ(state_->lists_ready, 0);
  EXPECT_EQ(state_->black_count, 1) << "the black list is loaded all the same";
  EXPECT_EQ(state_->phrase_count, kBuiltInPhraseCount);
  EXPECT_EQ(state_->smart_filter, 1);
}

// A list file that the set-up could not open (held by another program, not
// readable by the account that set up) is tried again by a later process
// attach: at most once per interval machine-wide, and never over a list an
// export has changed.
struct RetryRow {
  const char* name;
  Notification later;
  std::uint32_t after_ms;  // since the set-up's try
  bool edited;
  bool still_held;
  int ready;
};

class ListRetry : public ::testing::TestWithParam<RetryRow> {};

TEST_P(ListRetry, AsTheRowSays) {
  const RetryRow& row = GetParam();
  FakeAttachPlatform p;
  p.key.values["whitelib"] = std::string("C:\\w.lst\0", 9);
  p.key.values["blacklib"] = std::string("C:\\b.lst\0", 9);
  p.files.files["C:\\b.lst"].bytes = ListBytes({"bad.example"});
  // Seen, but not opened: held without read sharing.
  p.files.phantom.insert("C:\\w.lst");
  auto state = testing::NewState();
  auto extensions = testing::NewExtensions();
  ModuleAttach(*state, *extensions, p, Notification::kProcessAttach);
  ASSERT_EQ(state->lists_ready, 0);
  // A second process attaching at once takes the first retry.
  ModuleAttach(*state, *extensions, p, Notification::kProcessAttach);
  ASSERT_EQ(state->lists_ready, 0);
  if (!row.still_held) {
    p.files.phantom.clear();
    p.files.files["C:\\w.lst"].bytes = ListBytes({"good.example"});
  }
  if (row.edited) {
    AddUrl(*state, ListKind::kBlack, "edited.example");
    extensions->lists_edited = 1;
  }
  p.now += row.after_ms;
  ModuleAttach(*state, *extensions, p, row.later);
  EXPECT_EQ(state->lists_ready, row.ready);
  if (row.ready == 1) {
    EXPECT_EQ(state->white_count, 1);
  }
  if (row.edited) {
    EXPECT_EQ(state->black_count, 2) << "the edit was overwritten";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListRetry,
    ::testing::Values(
        RetryRow{"LoadsOnALaterProcessAttach", Notification::kProcessAttach, 5000, false, false, 1},
        RetryRow{"NotAgainWithinTheInterval", Notification::kProcessAttach, 4999, false, false, 0},
        RetryRow{"NotOnAThreadAttach", Notification::kThreadAttach, 5000, false, false, 0},
        RetryRow{"NeverOverAnEditedList", Notification::kProcessAttach, 5000, true, false, 0},
        RetryRow{"StillHeldStaysNotReady", Notification::kProcessAttach, 5000, false, true, 0},
        RetryRow{"ClockWrappedRoundStillTries", Notification::kProcessAttach, 0xFFFFFFFFu - 100,
                 false, false, 1}),
    [](const ::testing::TestParamInfo<RetryRow>& info) { return std::string(info.param.name); });

TEST_F(Attach, RefusedBlackListFileLeavesListsNotReady) {
  p_.files.files["C:\\b.lst"].read_only = true;
  Notify(Notification::kProcessAttach);
  EXPECT_EQ(state_->lists_ready, 0);
  EXPECT_EQ(state_->white_count, 2);
}

TEST_F(Attach, NothingConfiguredStillAttaches) {
  p_.key.key_exists = false;
  EXPECT_EQ(Notify(Notification::kProcessAttach), 1);
  EXPECT_EQ(state_->lists_ready, 0);
  EXPECT_EQ(state_->white_only, 0);
  EXPECT_EQ(state_->smart_filter, 0);
  EXPECT_EQ(extensions_->https_filter, 0);
  EXPECT_EQ(state_->phrase_count, kBuiltInPhraseCount);
  EXPECT_EQ(state_->attach_counter, 1);
}

struct FlagRow {
  const char* name;
  const char* stored;  // nullptr: missing
  std::int32_t flag;
};

class AttachFlag : public Attach, public ::testing::WithParamInterface<FlagRow> {};

// "issma" and "issni" are read alike.
TEST_P(AttachFlag, OnlyExactTextsChangeTheFlag) {
  const FlagRow& row = GetParam();
  for (const char* name : {"issma", "issni"}) {
    if (row.stored == nullptr) {
      p_.key.values.erase(name);
    } else {
      p_.key.values[name] = std::string(row.stored, std::strlen(row.stored) + 1);
    }
  }
  Notify(Notification::kProcessAttach);
  EXPECT_EQ(state_->smart_filter, row.flag);
  EXPECT_EQ(extensions_->https_filter, row.flag);
}

INSTANTIATE_TEST_SUITE_P(Rows, AttachFlag,
                         ::testing::Values(FlagRow{"One", "1", 1}, FlagRow{"Zero", "0", 0},
                                           FlagRow{"Missing", nullptr, 0}, FlagRow{"Yes", "yes", 0},
                                           FlagRow{"OneBlank", "1 ", 0}),
                         [](const ::testing::TestParamInfo<FlagRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Attach, SetUpDoneWhileWaitingIsNotRepeated) {
  // Another process set the block up and counted itself while this one
  // waited for the set-up lock.
  p_.while_entering = [this] {
    testing::AddEntries(*state_, ListKind::kBlack, {"added.example"});
    state_->attach_counter = 1;
  };
  Notify(Notification::kProcessAttach);
  EXPECT_EQ(state_->attach_counter, 2);
  EXPECT_EQ(state_->black_count, 1);
  EXPECT_EQ(state_->phrase_count, 0);
  EXPECT_EQ(p_.key.opens, 0);
  EXPECT_EQ(p_.calls, (std::vector<std::string>{"enter", "leave"}));
}

// How the wait for the set-up lock ended decides who sets up: this process
// (entered, or no lock exists at all) or the process holding it (busy).
TEST_F(Attach, SetUpLockOutcomes) {
  struct Row {
    const char* name;
    SetUpEntry entry;
    int white_count;
    std::vector<std::string> calls;
  };
  const Row rows[] = {
      {"entered", SetUpEntry::kEntered, 2, {"enter", "leave"}},
      {"no lock at all: sets up unguarded", SetUpEntry::kUnavailable, 2, {"enter"}},
      {"held elsewhere past the wait: leaves set-up to the holder",
       SetUpEntry::kBusy,
       0,
       {"enter"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeAttachPlatform platform;
    platform.key.values = p_.key.values;
    platform.files.files = p_.files.files;
    platform.entry = row.entry;
    auto state = testing::NewState();
    auto extensions = testing::NewExtensions();
    EXPECT_EQ(ModuleAttach(*state, *extensions, platform, Notification::kProcessAttach), 1);
    EXPECT_EQ(state->white_count, row.white_count);
    EXPECT_EQ(state->attach_counter, 1);
    EXPECT_EQ(platform.calls, row.calls);
  }
}

TEST_F(Attach, CounterStopsAtItsLargestValue) {
  state_->attach_counter = std::numeric_limits<std::int32_t>::max() - 1;
  Notify(Notification::kThreadAttach);
  Notify(Notification::kThreadDetach);
  Notify(Notification::kThreadAttach);
  EXPECT_EQ(state_->attach_counter, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(p_.key.opens, 0) << "a block in use was set up again";
}

}  // namespace
}  // namespace tarvel
