// The category commands over a fake machine: both running filters' tables
// changed by the real table code, real files under a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "state/categories.h"
#include "state/url_list.h"
#include "tests/testing/tarvelctl_fake_machine.h"
#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/category_files.h"
#include "tools/tarvelctl/commands.h"

namespace tarvel::ctl {
namespace {

namespace fs = std::filesystem;
using testing::FakeMachine;

constexpr char kAds[] =
    "# ads\n"
    "0.0.0.0 ads.example tracker.example\n"
    "127.0.0.1 localhost\n"
    "0.0.0.0 sub.ads.example\n"
    "||casino.example^\n";

std::string Compiled(const std::string& name, const std::vector<std::string>& domains) {
  const std::vector<unsigned char> file = BuildCategoryFile(name, domains);
  return std::string(file.begin(), file.end());
}

// 2027-01-15T08:00:00Z, shown at the fake clock's UTC+1.
void SetDate(const std::string& path) {
  const timespec times[2] = {{1800000000, 0}, {1800000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class CategoryCommands : public ::testing::Test {
 protected:
  CategoryCommands() : m_(folder_.path()), cats_(folder_.Path("cats")) {
    m_.AddOtherTool();
    for (FakeMachine* m : {&m_, m_.other.get()}) {
      std::strncpy(m->extensions->categories.folder, cats_.c_str(), kCategoryFolderBytes - 1);
    }
  }
  void SetUp() override {
    ASSERT_EQ(Run({"install"}), kExitOk) << err_.str();
    folder_.Write("ads.txt", kAds);
    folder_.Write("none.txt", "# no domain\nlocalhost\n");
  }

 public:
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    return Shell(AllCommands(m_), "").Run(args, console);
  }
  // The serial of `name` in a filter's table, or -1 when it is not active.
  static std::int64_t Serial(const FakeMachine& m, const std::string& name) {
    if (m.extensions == nullptr) return -1;
    CategoryTable table;
    EXPECT_TRUE(
        ReadCategoryTable(m.extensions->categories_generation, m.extensions->categories, &table));
    for (std::size_t i = 0; i < table.count; ++i) {
      if (name == table.entries[i].name) return table.entries[i].serial;
    }
    return -1;
  }
  void Publish(FakeMachine& m, const char* name, std::uint32_t serial) {
    ASSERT_EQ(PublishCategory(m.extensions->categories_generation, m.extensions->categories, name,
                              serial),
              1);
  }
  std::string Cat(const std::string& file) const { return cats_ + "/" + file; }
  void WriteCat(const std::string& file, const std::string& bytes) {
    fs::create_directories(cats_);
    std::ofstream(Cat(file), std::ios::binary) << bytes;
  }
  // The compiled files in the folder.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    if (!fs::exists(cats_)) return names;
    for (const auto& e : fs::directory_iterator(cats_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  // `text` with $ as the folder, % as the ads list and & as a list without
  // a domain.
  std::string Paths(std::string text) const {
    for (std::size_t at; (at = text.find_first_of("$%&")) != std::string::npos;) {
      const char c = text[at];
      text.replace(at, 1, c == '$' ? cats_ : folder_.Path(c == '%' ? "ads.txt" : "none.txt"));
    }
    return text;
  }

 protected:
  tarvel::testing::TempFolder folder_;  // before m_, which lives in it
  FakeMachine m_;
  std::string cats_;
  std::ostringstream out_;
  std::ostringstream err_;
};

// --- add, update, remove ------------------------------------------------------------

TEST_F(CategoryCommands, AddCompilesAndBothFiltersUseTheFile) {
  ASSERT_EQ(Run({"category", "add", "ads", folder_.Path("ads.txt")}), kExitOk) << err_.str();
  const std::string size =
      SizeText(Compiled("ads", {"ads.example", "casino.example", "tracker.example"}).size());
  EXPECT_EQ(out_.str(),
            Paths("read %: 5 entries; 3 domains kept, 1 dropped (duplicates and domains under "
                  "another), 1 skipped (no host name, or a rule of no known form)\n"
                  "  skipped: %, line 3: localhost\n"
                  "compiled ads: 3 domains, " +
                  size +
                  ", into $/ads.1.tvcat\n"
                  "category ads uses ads.1.tvcat in the running filter (64-bit programs)\n"
                  "category ads uses ads.1.tvcat in the running filter (32-bit programs)\n"
                  "The change lasts while some program holds tarvel.dll; add --persist to keep "
                  "it.\n"));
  EXPECT_EQ(Serial(m_, "ads"), 1);
  EXPECT_EQ(Serial(*m_.other, "ads"), 1);
  EXPECT_EQ(m_.runs,
            (std::vector<std::vector<std::string>>{
                {folder_.Path("x86/tarvelctl.exe"), "category", "publish", "ads", "--own-only"}}));
  EXPECT_EQ(Run({"category", "check", Cat("ads.1.tvcat")}), kExitOk);
}

TEST_F(CategoryCommands, UpdateSwitchesToANewFileAndDeletesTheOld) {
  ASSERT_EQ(Run({"category", "add", "ads", folder_.Path("ads.txt")}), kExitOk) << err_.str();
  folder_.Write("more.txt", "more.example\n");
  ASSERT_EQ(Run({"category", "update", "ads", folder_.Path("ads.txt"), folder_.Path("more.txt")}),
            kExitOk)
      << err_.str();
  EXPECT_NE(out_.str().find(Paths("compiled ads: 4 domains, ")), std::string::npos);
  EXPECT_NE(out_.str().find(Paths("\ndeleted $/ads.1.tvcat\n")), std::string::npos) << out_.str();
  EXPECT_EQ(Serial(m_, "ads"), 2);
  EXPECT_EQ(Serial(*m_.other, "ads"), 2);
  EXPECT_EQ(Files(), std::vector<std::string>{"ads.2.tvcat"});
}

TEST_F(CategoryCommands, SerialAboveEveryFileOfTheName) {
  WriteCat("ads.7.tvcat", Compiled("ads", {"old.example"}));
  WriteCat("Ads.9.tvcat", "the same file on Windows");
  WriteCat("ads.x.tvcat", "no serial");
  WriteCat("other.12.tvcat", Compiled("other", {"other.example"}));
  Publish(m_, "ads", 0);  // as set-up leaves it: the newest file
  ASSERT_EQ(Run({"category", "update", "ads", folder_.Path("ads.txt"), "--own-only"}), kExitOk)
      << err_.str();
  EXPECT_EQ(Serial(m_, "ads"), 10);
  // The other kind's filter may still use the old one.
  EXPECT_EQ(Files(), (std::vector<std::string>{"Ads.9.tvcat", "ads.10.tvcat", "ads.7.tvcat",
                                               "ads.x.tvcat", "other.12.tvcat"}));
}

struct Refusal {
  const char* name;
  std::function<void(CategoryCommands&, FakeMachine&)> setup;
  std::vector<std::string> args;  // after "category"; % for the ads list
  int code;
  std::string error;  // $ for the folder, % for the ads list
};

class CategoryRefusals : public CategoryCommands, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CategoryRefusals, OneLineNoFileNoChange) {
  GetParam().setup(*this, m_);
  const std::vector<std::string> files = Files();
  const std::int64_t serial = Serial(m_, "ads");
  std::vector<std::string> args = {"category"};
  for (const std::string& arg : GetParam().args) args.push_back(Paths(arg));
  EXPECT_EQ(Run(args), GetParam().code);
  EXPECT_EQ(err_.str(), "tarvelctl: " + Paths(GetParam().error) + "\n");
  EXPECT_EQ(Files(), files);
  EXPECT_EQ(Serial(m_, "ads"), serial);
  EXPECT_EQ(Serial(*m_.other, "ads"), -1);
}

const auto kNothing = [](CategoryCommands&, FakeMachine&) {};

INSTANTIATE_TEST_SUITE_P(
    Rows, CategoryRefusals,
    ::testing::Values(
        Refusal{"AddOfAnActiveName",
                [](CategoryCommands& t, FakeMachine& m) { t.Publish(m, "ads", 3); },
                {"add", "ads", "%"},
                kExitFailed,
                "category ads exists (active in the running filter); update it with \"tarvelctl "
                "category update\""},
        Refusal{"AddOfANameWithFiles",
                [](CategoryCommands& t, FakeMachine&) { t.WriteCat("ADS.3.tvcat", "x"); },
                {"add", "ads", "%"},
                kExitFailed,
                "category ads exists (it has files in $); update it with \"tarvelctl category "
                "update\""},
        Refusal{"UpdateOfAnUnknownName",
                kNothing,
                {"update", "ads", "%"},
                kExitFailed,
                "there is no category ads to update (none is active, named in cats or has files "
                "in $); make it with \"tarvelctl category add\""},
        Refusal{"NoCategoryName",
                kNothing,
                {"add", "a.b", "%"},
                kExitUsage,
                "\"a.b\" is no category name: a category's name is 1 to 32 letters, digits, '-' "
                "and '_'"},
        Refusal{"FolderWithoutPersist",
                kNothing,
                {"add", "ads", "%", "--folder", "$"},
                kExitUsage,
                "--folder sets where the filter reads categories from its next start; give it "
                "with --persist"},
        Refusal{"PersistWithoutRights",
                [](CategoryCommands&, FakeMachine& m) { m.admin = false; },
                {"add", "ads", "%", "--persist"},
                kExitFailed,
                "category add --persist needs administrator rights: run tarvelctl from an "
                "elevated command prompt (Run as administrator)"},
        Refusal{"ListWithoutADomain",
                kNothing,
                {"add", "ads", "&"},
                kExitFailed,
                "the lists hold no domain, so no category is compiled"},
        Refusal{
            "ListMissing", kNothing, {"add", "ads", "%.gone"}, kExitFailed, "no file at %.gone"},
        Refusal{"LockedFilter",
                [](CategoryCommands&, FakeMachine& m) {
                  m.extensions->locked = 1;
                  m.admin = false;
                },
                {"add", "ads", "%", "--own-only"},
                kExitFailed,
                "needs administrator rights: the filter is locked (run it from an elevated "
                "prompt)"},
        Refusal{"OlderModule",
                [](CategoryCommands&, FakeMachine& m) {
                  m.extensions.reset();
                  m.Settings(CatalogKind::k64).WritePath(settings::kCategoryFolder, "cats");
                },
                {"add", "ads", "%", "--own-only"},
                kExitFailed,
                "the running tarvel.dll has no categories (an older module)"},
        Refusal{"NotRunning",
                [](CategoryCommands&, FakeMachine& m) { m.block->attach_counter = 1; },
                {"add", "ads", "%", "--own-only"},
                kExitNotRunning,
                "no other program holds tarvel.dll, so the filter is not running and a live "
                "change would end with this command; add --persist to change what it starts "
                "from"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CategoryCommands, PersistWritesCatsAndCatdirAndCompilesIntoBothFolders) {
  const std::string next = folder_.Path("next");
  ASSERT_EQ(Run({"category", "add", "ads", folder_.Path("ads.txt"), "--persist", "--folder", next}),
            kExitOk)
      << err_.str();
  EXPECT_NE(out_.str().find("\ncats = ads under HKLM\\Software\\Tarvel\ncatdir = " + next +
                            " under HKLM\\Software\\Tarvel\n"),
            std::string::npos)
      << out_.str();
  EXPECT_TRUE(fs::exists(Cat("ads.1.tvcat")));
  EXPECT_TRUE(fs::exists(next + "/ads.1.tvcat"));
  folder_.Write("g.txt", "casino.example\n");
  ASSERT_EQ(Run({"category", "add", "gambling", folder_.Path("g.txt"), "--persist"}), kExitOk)
      << err_.str();
  for (CatalogKind view : {CatalogKind::k64, CatalogKind::k32}) {
    char text[settings::kTextBytes] = {};
    ASSERT_EQ(m_.Settings(view).ReadPath(settings::kCategories, text, sizeof text), 1);
    EXPECT_EQ(std::string(text), "ads,gambling");
    ASSERT_EQ(m_.Settings(view).ReadPath(settings::kCategoryFolder, text, sizeof text), 1);
    EXPECT_EQ(std::string(text), next);
  }
  ASSERT_EQ(Run({"category", "remove", "ads", "--persist"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "cats = gambling under HKLM\\Software\\Tarvel");
  EXPECT_FALSE(fs::exists(Cat("ads.1.tvcat")));
  EXPECT_FALSE(fs::exists(next + "/ads.1.tvcat"));
  EXPECT_TRUE(fs::exists(next + "/gambling.1.tvcat"));
}

TEST_F(CategoryCommands, RemoveTakesItOutOfBothFiltersAndDeletesItsFiles) {
  ASSERT_EQ(Run({"category", "add", "ads", folder_.Path("ads.txt")}), kExitOk) << err_.str();
  ASSERT_EQ(Run({"category", "remove", "ads"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(),
            Paths("category ads removed from the running filter (64-bit programs)\n"
                  "category ads removed from the running filter (32-bit programs)\n"
                  "The change lasts while some program holds tarvel.dll; add --persist to keep "
                  "it.\n"
                  "deleted $/ads.1.tvcat\n"));
  EXPECT_EQ(Serial(m_, "ads"), -1);
  EXPECT_EQ(Serial(*m_.other, "ads"), -1);
  EXPECT_EQ(Files(), std::vector<std::string>{});

  EXPECT_EQ(Run({"category", "remove", "ads"}), kExitFailed);
  EXPECT_EQ(err_.str(),
            "tarvelctl: no running filter took the change: 64-bit programs: category ads is not "
            "active in it; 32-bit programs: category ads is not active in its running filter\n");
  EXPECT_EQ(Run({"category", "remove", "ads", "--own-only"}), kExitNotInList);
}

// A filter starts from the categories cats names, so their files stay.
TEST_F(CategoryCommands, RemoveKeepsTheFilesCatsStillNames) {
  ASSERT_EQ(Run({"category", "add", "ads", folder_.Path("ads.txt"), "--persist"}), kExitOk);
  ASSERT_EQ(Run({"category", "remove", "ads"}), kExitOk) << err_.str();
  EXPECT_EQ(Files(), std::vector<std::string>{"ads.1.tvcat"});
}

TEST_F(CategoryCommands, LockedFilterKeepsItsCategories) {
  Publish(m_, "ads", 1);
  m_.extensions->locked = 1;
  m_.admin = false;
  EXPECT_EQ(Run({"category", "remove", "ads", "--own-only"}), kExitFailed);
  EXPECT_EQ(err_.str(),
            "tarvelctl: needs administrator rights: the filter is locked (run it from an "
            "elevated prompt)\n");
  EXPECT_EQ(Serial(m_, "ads"), 1);
}

// --- the file itself -------------------------------------------------------------

// A name that another run took between the look and the rename is passed
// over: the file there stays as it was.
class TakingSteps final : public testing::RealFileSteps {
 public:
  explicit TakingSteps(std::string taken) : taken_(std::move(taken)) {}
  std::string Move(const std::string& from, const std::string& to) override {
    if (to == taken_) std::ofstream(to, std::ios::binary) << "another run's file";
    return RealFileSteps::Move(from, to);
  }
  unsigned long ProcessId() override { return 4711; }

 private:
  std::string taken_;
};

TEST_F(CategoryCommands, ANewFileNeverReplacesOne) {
  TakingSteps steps(Cat("ads.1.tvcat"));
  std::uint32_t serial = 0;
  std::string path;
  ASSERT_EQ(WriteNewCategoryFile(steps, cats_, "ads", "new bytes", &serial, &path), "");
  EXPECT_EQ(serial, 2u);
  EXPECT_EQ(path, Cat("ads.2.tvcat"));
  EXPECT_EQ(folder_.Read("cats/ads.1.tvcat"), "another run's file");
  EXPECT_EQ(folder_.Read("cats/ads.2.tvcat"), "new bytes");
  EXPECT_EQ(Files(), (std::vector<std::string>{"ads.1.tvcat", "ads.2.tvcat"}));
  EXPECT_NE(PlatformFileSteps().Move(Cat("ads.2.tvcat"), Cat("ads.1.tvcat")), "");
  EXPECT_EQ(folder_.Read("cats/ads.1.tvcat"), "another run's file");
}

TEST_F(CategoryCommands, CheckSaysWhyTheFilterRefusesAFile) {
  const std::string good = Compiled("ads", {"ads.example"});
  std::string damaged = good;
  damaged[damaged.size() - 2] ^= 1;
  const struct {
    const char* name;
    const char* file;
    std::string bytes;
    int code;
    std::string out;
    std::string err;
  } rows[] = {
      {"Whole", "ads.1.tvcat", good, kExitOk,
       "$/ads.1.tvcat: category ads, 1 domains, 1.1 KiB; every check passes\n", ""},
      {"UnderAnotherName", "adult.1.tvcat", good, kExitOk,
       "$/adult.1.tvcat: category ads, 1 domains, 1.1 KiB; every check passes\n"
       "Note: its file name is that of the category adult, under which the filter refuses "
       "it.\n",
       ""},
      {"Damaged", "d.1.tvcat", damaged, kExitFailed, "",
       "tarvelctl: $/d.1.tvcat is refused: its checksum is wrong\n"},
      {"Cut", "c.1.tvcat", good.substr(0, 200), kExitFailed, "",
       "tarvelctl: $/c.1.tvcat is refused: its size is not what it says\n"},
      {"Foreign", "f.1.tvcat", std::string(300, 'x'), kExitFailed, "",
       "tarvelctl: $/f.1.tvcat is refused: not a category file\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    WriteCat(row.file, row.bytes);
    EXPECT_EQ(Run({"category", "check", Cat(row.file)}), row.code);
    EXPECT_EQ(out_.str(), Paths(row.out));
    EXPECT_EQ(err_.str(), Paths(row.err));
  }
  EXPECT_EQ(Run({"category", "check", Cat("none.1.tvcat")}), kExitFailed);
  EXPECT_EQ(err_.str(), Paths("tarvelctl: no file at $/none.1.tvcat\n"));
}

TEST_F(CategoryCommands, CompileWritesAFileItNeverReplaces) {
  const std::string out = folder_.Path("ads.tvcat");
  ASSERT_EQ(Run({"category", "compile", "ads", out, folder_.Path("ads.txt")}), kExitOk)
      << err_.str();
  EXPECT_EQ(folder_.Read("ads.tvcat"),
            Compiled("ads", {"ads.example", "casino.example", "tracker.example"}));
  EXPECT_EQ(Run({"category", "compile", "ads", out, folder_.Path("ads.txt")}), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: " + out + " exists; a compiled file is never replaced\n");
}

// --- list, test, status ------------------------------------------------------------

class CategoryViews : public CategoryCommands {
 protected:
  // ads on (two blocks so far), gambling off by a program's mapping, bad
  // refused, gone without a file, idle only a file in the folder.
  void SetUp() override {
    CategoryCommands::SetUp();
    WriteCat("ads.1.tvcat", Compiled("ads", {"ads.example", "tracker.example"}));
    WriteCat("gambling.3.tvcat", Compiled("gambling", {"casino.example", "ads.example"}));
    WriteCat("bad.1.tvcat", std::string(200, 'x'));
    WriteCat("idle.2.tvcat", Compiled("idle", {"idle.example"}));
    for (const std::string file :
         {"ads.1.tvcat", "gambling.3.tvcat", "bad.1.tvcat", "idle.2.tvcat"}) {
      SetDate(Cat(file));
    }
    Publish(m_, "ads", 1);
    Publish(m_, "gambling", 3);
    Publish(m_, "bad", 1);
    Publish(m_, "gone", 4);
    SharedCategories& shared = m_.extensions->categories;
    CountCategoryBlock(shared, 0);
    CountCategoryBlock(shared, 0);
    ReportCategoryProblem(shared, 1, 3, CategoryProblem::kNoMapping);
  }
};

TEST_F(CategoryViews, ListShowsEachCategoryAndWhyOneIsOff) {
  ASSERT_EQ(Run({"category", "list", "--own-only"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(),
            Paths("folder: $\n"
                  "name      domains  size       date                 blocks  state\n"
                  "ads       2        1.2 KiB    2027-01-15T09:00:00  2       on\n"
                  "gambling  2        1.2 KiB    2027-01-15T09:00:00  0       off: a program "
                  "could not map its file (address space or rights)\n"
                  "bad       -        200 bytes  2027-01-15T09:00:00  0       off: its file "
                  "bad.1.tvcat is refused: not a category file\n"
                  "gone      -        -          -                    0       off: no file "
                  "gone.4.tvcat in the folder\n"
                  "idle      1        1.1 KiB    2027-01-15T09:00:00  -       not active\n"));
}

TEST_F(CategoryViews, ListWithoutARunningFilterShowsWhatItStartsWith) {
  m_.block->attach_counter = 1;
  m_.Settings(CatalogKind::k64).WritePath(settings::kCategoryFolder, cats_.c_str());
  m_.Settings(CatalogKind::k64).WritePath(settings::kCategories, "idle,nothing");
  ASSERT_EQ(Run({"category", "list", "--own-only"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("The filter is not running; it starts with the categories cats "
                            "names.\n"),
            std::string::npos);
  EXPECT_NE(out_.str().find("\nidle      1        1.1 KiB    2027-01-15T09:00:00  -       on at "
                            "its start\nnothing   -        -          -                    -     "
                            "  off at its start: the folder holds no file of it\n"),
            std::string::npos)
      << out_.str();
}

TEST_F(CategoryViews, StatusNamesEachCategoryInOneLine) {
  ASSERT_EQ(Run({"status", "--own-only"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("\n  categories: ads (2 domains), gambling (off: a program could not "
                            "map its file (address space or rights)), bad (off: its file "
                            "bad.1.tvcat is refused: not a category file), gone (off: no file "
                            "gone.4.tvcat in the folder)\n"),
            std::string::npos)
      << out_.str();
  m_.extensions->categories = {};
  ASSERT_EQ(Run({"status", "--own-only"}), kExitOk);
  EXPECT_NE(out_.str().find("\n  categories: none\n"), std::string::npos) << out_.str();
}

struct TestRow {
  const char* name;
  std::function<void(FakeMachine&)> setup;
  const char* host;
  const char* out;
};

class CategoryTests : public CategoryViews, public ::testing::WithParamInterface<TestRow> {};

TEST_P(CategoryTests, SaysWhereTheHostFallsAndWhatTheFilterDoes) {
  m_.extensions->categories.slots[2] = {};  // only ads, gambling and gone
  GetParam().setup(m_);
  ASSERT_EQ(Run({"category", "test", GetParam().host}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CategoryTests,
    ::testing::Values(
        TestRow{"UnderAnEntry", [](FakeMachine&) {}, "www.A.b.Ads.example",
                "The filter judges \"www.A.b.Ads.example\" as \"A.b.Ads.example\".\n"
                "  ads: under the entry ads.example\n"
                "  gambling: under the entry ads.example\n"
                "  gone: off (no file gone.4.tvcat in the folder), not looked up\n"
                "\"A.b.Ads.example\" is blocked by the category ads (entry ads.example).\n"},
        TestRow{"UnderNone", [](FakeMachine&) {}, "badads.example",
                "  ads: no entry\n"
                "  gambling: no entry\n"
                "  gone: off (no file gone.4.tvcat in the folder), not looked up\n"
                "\"badads.example\" falls under no category.\n"},
        TestRow{"WhitelistException",
                [](FakeMachine& m) { AddUrl(*m.block, ListKind::kWhite, "tracker"); },
                "cdn.tracker.example",
                "  ads: under the entry tracker.example\n"
                "  gambling: no entry\n"
                "  gone: off (no file gone.4.tvcat in the folder), not looked up\n"
                "\"cdn.tracker.example\" passes: the whitelist matches it, an exception to every "
                "category.\n"},
        TestRow{"BlacklistFirst",
                [](FakeMachine& m) { AddUrl(*m.block, ListKind::kBlack, "ads.ex"); }, "ads.example",
                "  ads: under the entry ads.example\n"
                "  gambling: under the entry ads.example\n"
                "  gone: off (no file gone.4.tvcat in the folder), not looked up\n"
                "\"ads.example\" is blocked by the blacklist, which comes before every "
                "category.\n"},
        TestRow{"WhiteOnlyMode", [](FakeMachine& m) { m.block->white_only = 1; }, "ads.example",
                "White-only mode is on, so categories play no part: \"ads.example\" is blocked, "
                "as the whitelist does not match it.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel::ctl
