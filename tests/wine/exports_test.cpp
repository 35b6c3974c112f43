// The six editing exports of the real tarvel.dll, seen in its shared block:
// the list rules, the flags stored as given, a full list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);

int AddBlack(const std::string& text) { return TarvelExport<TextFn>("AddBlackUrl")(text.c_str()); }
int DelBlack(const std::string& text) { return TarvelExport<TextFn>("DelBlackUrl")(text.c_str()); }
int AddWhite(const std::string& text) { return TarvelExport<TextFn>("AddWhiteUrl")(text.c_str()); }
int DelWhite(const std::string& text) { return TarvelExport<TextFn>("DelWhiteUrl")(text.c_str()); }

std::string Text(ListKind kind, int slot) {
  const UrlList list = ListOf(TarvelBlock(), kind);
  return std::string(list.entries[slot], EntryLength(list.entries[slot]));
}

std::string SlotBytes(ListKind kind, int slot) {
  return std::string(ListOf(TarvelBlock(), kind).entries[slot], kEntryBytes);
}

TEST(Exports, TextAddedTwiceTakesTwoSlotsRemovalClearsTheFirst) {
  FilterState& block = TarvelBlock();
  const int base = block.black_count;
  EXPECT_EQ(AddBlack("twice.example"), 1);
  EXPECT_EQ(AddBlack("twice.example"), 1);
  ASSERT_EQ(block.black_count, base + 2);
  EXPECT_EQ(block.black_active[base], 1);
  EXPECT_EQ(block.black_active[base + 1], 1);
  EXPECT_EQ(DelBlack("twice.example"), 1);
  EXPECT_EQ(block.black_count, base + 2);
  EXPECT_EQ(block.black_active[base], 0);
  EXPECT_EQ(SlotBytes(ListKind::kBlack, base), std::string(100, '\0'));
  EXPECT_EQ(block.black_active[base + 1], 1);
  EXPECT_EQ(Text(ListKind::kBlack, base + 1), "twice.example");
  // The next addition goes after all others; the cleared slot stays empty.
  EXPECT_EQ(AddBlack("after.example"), 1);
  EXPECT_EQ(Text(ListKind::kBlack, base + 2), "after.example");
  EXPECT_EQ(block.black_active[base], 0);
}

TEST(Exports, RemovalComparesCaseAndLength) {
  FilterState& block = TarvelBlock();
  const int slot = block.black_count;
  AddBlack("case.example");
  EXPECT_EQ(DelBlack("Case.example"), 1);
  EXPECT_EQ(DelBlack("case.exampl"), 1);
  EXPECT_EQ(DelBlack("case.example.org"), 1);
  EXPECT_EQ(block.black_active[slot], 1);
  EXPECT_EQ(Text(ListKind::kBlack, slot), "case.example");
}

TEST(Exports, Text150KeepsItsFirst100) {
  FilterState& block = TarvelBlock();
  const int slot = block.white_count;
  const std::string text(150, 'h');
  EXPECT_EQ(AddWhite(text), 1);
  EXPECT_EQ(Text(ListKind::kWhite, slot), text.substr(0, 100));
  EXPECT_EQ(DelWhite(text), 1);
  EXPECT_EQ(block.white_active[slot], 1) << "a 150-character text removed a 100-character entry";
}

TEST(Exports, EmptyTextIsAnActiveEntryUntilRemoved) {
  FilterState& block = TarvelBlock();
  const int slot = block.white_count;
  for (int i = 0; i < slot; ++i) ASSERT_NE(Text(ListKind::kWhite, i), "") << "an empty slot " << i;
  EXPECT_EQ(AddWhite(""), 1);
  EXPECT_EQ(block.white_count, slot + 1);
  EXPECT_EQ(block.white_active[slot], 1);
  EXPECT_EQ(DelWhite(""), 1);
  EXPECT_EQ(block.white_active[slot], 0);
}

TEST(Exports, FlagsStoredAsGivenOnlyOneIsOn) {
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  FilterState& block = TarvelBlock();
  const WSPPROC_TABLE table = StartOverRecorder();
  const std::string request = "GET / HTTP/1.1\r\nHost: not-on-the-white-list.example\r\n\r\n";
  ASSERT_EQ(block.lists_ready, 1);

  EXPECT_EQ(TarvelExport<ValueFn>("SetOnlyWhiteUrl")(1), 1);
  EXPECT_EQ(SendRequest(table, pair.client, request), "WSPShutdown,WSPSend");
  EXPECT_EQ(TarvelExport<ValueFn>("SetOnlyWhiteUrl")(2), 1);
  EXPECT_EQ(block.white_only, 2);
  EXPECT_EQ(SendRequest(table, pair.client, request), "WSPSend") << "2 counted as on";
  EXPECT_EQ(TarvelExport<ValueFn>("SetSmartFilter")(-7), 1);
  EXPECT_EQ(block.smart_filter, -7);
  EXPECT_EQ(TarvelExport<ValueFn>("SetOnlyWhiteUrl")(0), 1);
  EXPECT_EQ(TarvelExport<ValueFn>("SetSmartFilter")(0), 1);
}

// The HTTPS filter's flag lies beside the block; FilterState does not move.
TEST(Exports, SetHttpsFilterStoresTheValueBesideTheBlock) {
  const std::string before(reinterpret_cast<const char*>(&TarvelBlock()), sizeof(FilterState));
  EXPECT_EQ(TarvelExport<ValueFn>("SetHttpsFilter")(5), 1);
  EXPECT_EQ(TarvelExtensions().https_filter, 5);
  EXPECT_EQ(TarvelExport<ValueFn>("SetHttpsFilter")(0), 1);
  EXPECT_EQ(TarvelExtensions().https_filter, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&TarvelBlock()), sizeof(FilterState)),
            before);
}

// Runs in a process of its own, or last: it fills the white list of the block.
TEST(ExportsFullList, AdditionBeyond2000WritesNothing) {
  FilterState& block = TarvelBlock();
  while (block.white_count < kListSlots) ASSERT_EQ(AddWhite("w"), 1);
  const std::string first_black = SlotBytes(ListKind::kBlack, 0);
  const std::int32_t black_count = block.black_count;
  const std::int32_t first_black_active = block.black_active[0];
  EXPECT_EQ(AddWhite("overflow.example"), 0);
  EXPECT_EQ(block.white_count, kListSlots);
  EXPECT_EQ(SlotBytes(ListKind::kBlack, 0), first_black);
  EXPECT_EQ(block.black_count, black_count);
  EXPECT_EQ(block.black_active[0], first_black_active);
  EXPECT_EQ(Text(ListKind::kWhite, kListSlots - 1), "w");
}

}  // namespace
}  // namespace tarvel::wine
