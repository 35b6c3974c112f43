// Categories: the compiled file's lookup against a plain suffix walk over a
// std::set (the oracle) on random lists shaped like real ones, the reader's
// refusals of damaged files, and the text formats the compiler reads.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "filter/category_match.h"
#include "state/category_file.h"
#include "tests/testing/category_plain.h"
#include "tools/tarvelctl/category_text.h"

namespace tarvel {
namespace {

using testing::MatchCategoryPlain;

// Domains shaped like a blocklist's: a few shared suffixes, deep subdomains,
// labels up to 63 characters.
class Shapes {
 public:
  explicit Shapes(unsigned seed) : rng_(seed) {}
  std::string Label(std::size_t max = 12) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789-";
    std::string label;
    const std::size_t n = 1 + rng_() % max;
    for (std::size_t i = 0; i < n; ++i) label += kChars[rng_() % (i == 0 ? 36 : 37)];
    return label;
  }
  std::string Domain() {
    static const char* const kTops[] = {"com", "net", "example", "co.uk", "xxx"};
    std::string d = Label() + "." + kTops[rng_() % 5];
    const std::size_t depth = rng_() % 4;
    for (std::size_t i = 0; i < depth; ++i) d = Label(rng_() % 20 == 0 ? 63 : 8) + "." + d;
    return d;
  }
  std::uint32_t Next() { return rng_(); }

 private:
  std::mt19937 rng_;
};

struct Compiled {
  std::vector<unsigned char> file;
  CategoryView view;
};

Compiled Compile(const std::vector<std::string>& domains) {
  Compiled c;
  c.file = BuildCategoryFile("test", domains);
  std::string reason;
  c.view = OpenCategoryFile(c.file.data(), c.file.size(), &reason);
  EXPECT_TRUE(c.view.valid()) << reason;
  return c;
}

TEST(CategoryLookup, AgreesWithTheSuffixWalkOnRandomLists) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    Shapes shapes(seed);
    std::vector<std::string> raw;
    for (int i = 0; i < 3000; ++i) raw.push_back(shapes.Domain());
    const std::vector<std::string> domains = WithoutCoveredDomains(raw);
    const std::set<std::string> oracle(domains.begin(), domains.end());
    const Compiled c = Compile(domains);
    ASSERT_TRUE(c.view.valid());
    for (int i = 0; i < 4000; ++i) {
      std::string host;
      switch (shapes.Next() % 5) {
        case 0:  // an entry itself, in capitals, perhaps with a trailing dot
          host = domains[shapes.Next() % domains.size()];
          for (char& ch : host) ch = static_cast<char>(std::toupper(ch));
          if (shapes.Next() % 2 == 0) host += '.';
          break;
        case 1:  // under an entry
          host = shapes.Label() + "." + domains[shapes.Next() % domains.size()];
          break;
        case 2:  // an entry with a letter before it: not under it
          host = "x" + domains[shapes.Next() % domains.size()];
          break;
        default:
          host = shapes.Domain();
      }
      const std::int64_t found = MatchCategory(c.view, host.data(), host.size());
      ASSERT_EQ(found >= 0, MatchCategoryPlain(oracle, host)) << host;
      if (found >= 0) {
        const std::string entry = CategoryDomain(c.view, static_cast<std::uint32_t>(found));
        ASSERT_TRUE(MatchCategoryPlain({entry}, host)) << host << " under " << entry;
      }
    }
  }
}

TEST(CategoryLookup, Rows) {
  const Compiled c = Compile({"example.com", "casino.example", "a.b.deep.example"});
  struct Row {
    const char* host;
    bool found;
  };
  const Row rows[] = {
      {"example.com", true},
      {"EXAMPLE.COM.", true},
      {"a.b.example.com", true},
      {"badexample.com", false},
      {"example.co", false},
      {"com", false},
      {"b.deep.example", false},
      {"x.a.b.deep.example", true},
      {"", false},
      {".", false},
      {"casino.example..", false},
      {".casino.example", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(MatchCategory(c.view, row.host, std::strlen(row.host)) >= 0, row.found) << row.host;
  }
  EXPECT_EQ(MatchCategory(CategoryView{}, "example.com", 11), -1) << "a category that is off";
}

// --- Damaged files are refused whole -----------------------------------------------

struct DamageRow {
  const char* name;
  void (*damage)(std::vector<unsigned char>&);
  bool fix_checksum;  // the damage passes the checksum: the structure must catch it
};

class CategoryDamage : public ::testing::TestWithParam<DamageRow> {};

TEST_P(CategoryDamage, Refused) {
  std::vector<unsigned char> file =
      BuildCategoryFile("adult", {"example.com", "casino.example", "poker.example"});
  GetParam().damage(file);
  if (GetParam().fix_checksum) {
    CategoryHeader header;
    std::memcpy(&header, file.data(), sizeof header);
    header.checksum = CategoryChecksum(file.data(), file.size());
    std::memcpy(file.data(), &header, sizeof header);
  }
  std::vector<std::uint64_t> aligned((file.size() + 7) / 8);
  std::memcpy(aligned.data(), file.data(), file.size());
  std::string reason;
  EXPECT_FALSE(OpenCategoryFile(aligned.data(), file.size(), &reason).valid());
  EXPECT_FALSE(reason.empty());
}

// Three domains: the smallest index, 2^8 counts.
constexpr std::size_t kKeys =
    sizeof(CategoryHeader) + (std::size_t{1} << kCategoryFanoutBitsMin) * 4;

INSTANTIATE_TEST_SUITE_P(
    Rows, CategoryDamage,
    ::testing::Values(
        DamageRow{"Truncated", [](std::vector<unsigned char>& f) { f.pop_back(); }, false},
        DamageRow{"OneByteOfTextChanged", [](std::vector<unsigned char>& f) { f.back() ^= 1; },
                  false},
        DamageRow{"ForeignMagic", [](std::vector<unsigned char>& f) { f[0] = 'X'; }, true},
        DamageRow{"NewerVersion", [](std::vector<unsigned char>& f) { f[8] = 2; }, true},
        DamageRow{"NameWithASlash", [](std::vector<unsigned char>& f) { f[16] = '/'; }, true},
        DamageRow{"CountTooLarge", [](std::vector<unsigned char>& f) { f[56] += 1; }, true},
        DamageRow{"IndexTooLarge", [](std::vector<unsigned char>& f) { f[80] = 17; }, true},
        DamageRow{"KeyNotItsText", [](std::vector<unsigned char>& f) { f[kKeys] ^= 0x55; }, true},
        DamageRow{"OffsetOutsideTheText",
                  [](std::vector<unsigned char>& f) { f[kKeys + 3 * 8 + 3] = 0x7f; }, true},
        DamageRow{"LengthPastTheText",
                  [](std::vector<unsigned char>& f) {
                    f[f.size() - 1 - std::strlen("poker.example")] = 250;
                  },
                  true}),
    [](const ::testing::TestParamInfo<DamageRow>& info) { return std::string(info.param.name); });

TEST(CategoryFile, OpensEmptyAndHoldsItsName) {
  const std::vector<unsigned char> file = BuildCategoryFile("gambling", {});
  std::string reason;
  const CategoryView view = OpenCategoryFile(file.data(), file.size(), &reason);
  ASSERT_TRUE(view.valid()) << reason;
  EXPECT_STREQ(view.header->name, "gambling");
  EXPECT_EQ(MatchCategory(view, "example.com", 11), -1);
}

// --- The text formats ---------------------------------------------------------------

TEST(CategoryText, EachLineItsOwnFormat) {
  ctl::CategoryText read;
  ctl::ReadCategoryText(
      "# a hosts file\r\n"
      "0.0.0.0 ads.example.com tracker.example.net # two names\r\n"
      "127.0.0.1 localhost\r\n"
      ":: ip6.example\r\n"
      "||casino.example^\r\n"
      "||bad.example^$third-party\r\n"
      "@@||good.example^\r\n"
      "*.gambling.example\r\n"
      "WWW.Poker.Example.\r\n"
      "sub.casino.example\r\n"
      "! adblock comment\r\n"
      "; another comment\r\n"
      "\r\n"
      "1.2.3.4\r\n"
      "ads.example.com\r\n"
      "two words\r\n",
      &read);
  ctl::FinishCategoryText(&read);
  EXPECT_EQ(read.domains,
            (std::vector<std::string>{"ads.example.com", "casino.example", "gambling.example",
                                      "ip6.example", "poker.example", "tracker.example.net"}));
  EXPECT_EQ(read.dropped, 2u) << "the repeated ads.example.com and sub.casino.example";
  EXPECT_EQ(read.skipped, 4u) << "localhost, the two adblock rules, two words";
  ASSERT_GE(read.first_skipped.size(), 3u);
  EXPECT_EQ(read.first_skipped[0], "line 3: localhost");
  EXPECT_EQ(read.first_skipped[1], "line 6: ||bad.example^$third-party");
}

TEST(CategoryText, NamesThatAreNoHostNamesSkipped) {
  struct Row {
    const char* entry;
    bool kept;
  };
  const Row rows[] = {
      {"example.com", true},   {"a_b.example", true}, {"example", false},  {"10.0.0.1", false},
      {"bad..example", false}, {".example", false},   {"ex ample", false}, {"ex/ample.com", false},
  };
  for (const Row& row : rows) {
    std::string domain;
    EXPECT_EQ(CleanCategoryDomain(row.entry, &domain), row.kept) << row.entry;
  }
  std::string domain;
  EXPECT_TRUE(CleanCategoryDomain(std::string(63, 'a') + ".example", &domain));
  EXPECT_FALSE(CleanCategoryDomain(std::string(64, 'a') + ".example", &domain));
}

}  // namespace
}  // namespace tarvel
