// The catalog file of tarvelctl_filecatalog.exe: what an install leaves in
// it reads back as the same catalogs, and a damaged file is refused.
#include "tests/testing/tarvelctl_file_catalog.h"

#include <gtest/gtest.h>

#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/install.h"

namespace tarvel::ctl {
namespace {

using testing::FakeWindows;

const ProviderPaths kPaths{"C:\\Program Files\\Tarvel\\1.0\\x64\\tarvel.dll",
                           "C:\\Program Files\\Tarvel\\1.0\\x86\\tarvel.dll"};

TEST(CatalogFile, AnInstalledCatalogReadsBackWhole) {
  FakeWindows w = FakeWindows::Windows64();
  w.state.catalogs[CatalogKind::k32][3].name = u"Name \\ with \u00e9";
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(w, w, kPaths, w.Expander(), &report), "");
  const std::string text = testing::CatalogFileText(w);
  EXPECT_NE(
      text.find("\nmodule 64-bit {F311CA08-328F-407E-A63F-DCD52C2FAB4C} " + kPaths.path64 + "\n"),
      std::string::npos);
  EXPECT_NE(text.find("name=Name \\u005C with \\u00E9\n"), std::string::npos);
  FakeWindows read;
  ASSERT_EQ(testing::ReadCatalogFile(text, &read), "");
  EXPECT_EQ(read.State(), w.State());
  EXPECT_EQ(read.next_id, w.next_id);
  EXPECT_EQ(read.categories, w.categories);
  EXPECT_EQ(testing::CatalogFileText(read), text);
}

TEST(CatalogFile, ALineThatDoesNotReadIsNamed) {
  FakeWindows w;
  const std::string text = testing::CatalogFileText(FakeWindows::Windows64());
  const std::size_t at = text.find(" family=");
  EXPECT_EQ(testing::ReadCatalogFile(text.substr(0, at) + " family=x" + text.substr(at + 9), &w),
            "line 4 does not read: " + text.substr(text.find("entry"), at - text.find("entry")) +
                " family=x" + text.substr(at + 9, text.find('\n', at) - at - 9));
  EXPECT_EQ(testing::ReadCatalogFile("# nothing\n", &w), "it names no catalog");
}

TEST(CatalogFile, SavedAfterEveryChangeAndStartedFromWindows64) {
  tarvel::testing::TempFolder folder;
  const std::string path = folder.Path("test/catalog.txt");
  testing::FileCatalog catalogs;
  ASSERT_EQ(catalogs.Load(path), "");
  std::vector<std::string> report;
  ASSERT_EQ(InstallTarvel(
                catalogs, catalogs, kPaths, [](const std::string& p) { return p; }, &report),
            "");
  testing::FileCatalog again;
  ASSERT_EQ(again.Load(path), "");
  std::vector<ModulePath> modules;
  ASSERT_EQ(TarvelModules(again, &modules), "");
  EXPECT_EQ(modules.front(), (ModulePath{CatalogKind::k64, kTarvelLayeredGuid, kPaths.path64}));
  EXPECT_EQ(UninstallTarvel(again, again, &report), "");
  FakeWindows read;
  ASSERT_EQ(testing::ReadCatalogFile(folder.Read("test/catalog.txt"), &read), "");
  EXPECT_EQ(read.State(), FakeWindows::Windows64().State());
  EXPECT_EQ(folder.Read("test/catalog.txt").find("tarvel.dll"), std::string::npos);
}

}  // namespace
}  // namespace tarvel::ctl
