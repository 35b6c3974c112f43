#include "filter/exempt_and_http_rules.h"

#include <gtest/gtest.h>

#include "provider/lower_lookup.h"

namespace tarvel {
namespace {

TEST(IsExemptImagePath, Rows) {
  struct Row {
    const char* path;
    int exempt;
  } rows[] = {
      {"C:\\Program Files\\Messenger\\msnmsgr.exe", 1},
      {"D:\\Any\\Dir\\MSNMSGR.EXE", 1},
      {"msnmsgr.exe", 1},
      {"Z:/unix/style/MsnMsgr.Exe", 1},
      {"C:msnmsgr.exe", 1},
      {"C:\\msnmsgr2.exe", 0},
      {"C:\\msnmsgr.exe.bak", 0},
      {"C:\\xmsnmsgr.exe", 0},
      {"C:\\msnmsgr.exe\\other.exe", 0},
      {"", 0},
      {nullptr, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsExemptImagePath(row.path), row.exempt) << (row.path ? row.path : "(null)");
  }
}

TEST(IsHttpPortPair, Rows) {
  EXPECT_EQ(IsHttpPortPair(80, 50000), 1);
  EXPECT_EQ(IsHttpPortPair(50000, 80), 1);
  EXPECT_EQ(IsHttpPortPair(8080, 0), 1);
  EXPECT_EQ(IsHttpPortPair(0, 8080), 1);
  EXPECT_EQ(IsHttpPortPair(443, 50000), 0);
  EXPECT_EQ(IsHttpPortPair(0, 0), 0);
  EXPECT_EQ(IsHttpPortPair(20480, 36895), 0);  // 80 and 8080 byte-swapped
}

TEST(LowerCatalogId, ChainLengths) {
  const std::uint32_t chain[kMaxProtocolChain] = {1001, 1002, 1003, 1004, 1005, 1006, 1007};
  EXPECT_EQ(LowerCatalogId(3, chain, 77), 1003u);
  EXPECT_EQ(LowerCatalogId(2, chain, 77), 1002u);
  EXPECT_EQ(LowerCatalogId(1, chain, 77), 77u);
  EXPECT_EQ(LowerCatalogId(0, chain, 77), 77u);
  EXPECT_EQ(LowerCatalogId(-4, chain, 77), 77u);
  EXPECT_EQ(LowerCatalogId(7, chain, 77), 1007u);
  EXPECT_EQ(LowerCatalogId(9, chain, 77), 1007u);  // read inside the chain
}

TEST(FormatValueName, Decimal) {
  char name[11];
  FormatValueName(0, name);
  EXPECT_STREQ(name, "0");
  FormatValueName(1003, name);
  EXPECT_STREQ(name, "1003");
  FormatValueName(4294967295u, name);
  EXPECT_STREQ(name, "4294967295");
}

}  // namespace
}  // namespace tarvel
