#include "core/rom/PatchList.h"

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace qpt {
namespace {

using test::TempDir;
using test::WriteFile;

std::vector<std::string> Titles(const std::vector<TPatchEntry>& entries) {
  std::vector<std::string> titles;
  for (const auto& e : entries) titles.push_back(e.title);
  return titles;
}

TEST(PatchDescriptor, ValuesByKeyWithQuotesAndMultiLineDescriptions) {
  const auto d = TPatchDescriptor::FromBytes(
      "\xEF\xBB\xBFGame=AAT,AA4\r\nRegion=\"Region Free\"\r\nTitle=\"My Patch\"\r\n"
      "Description=\"Line one\r\nSee https://example.org\"\r\nOriginalPackDatMD5=\"\"\r\nOriginalPackIncMD5=ABC\r\n");
  EXPECT_EQ(d.Value("game"), "AAT,AA4");
  EXPECT_EQ(d.Value("Region"), "Region Free");
  EXPECT_EQ(d.Value("Title"), "My Patch");
  EXPECT_EQ(d.Value("Description"), "Line one\r\nSee https://example.org");
  EXPECT_EQ(d.Value("OriginalPackDatMD5"), "");
  EXPECT_EQ(d.Value("OriginalPackIncMD5"), "ABC");
  // A missing key yields the first token.
  EXPECT_EQ(d.Value("Nothing"), "Game");
  EXPECT_EQ(TPatchDescriptor::FromBytes("").Value("Title"), "");
  // A bare "=" is only a separator: an unquoted empty value takes the next token.
  EXPECT_EQ(TPatchDescriptor::FromBytes("A=\r\nB=1").Value("A"), "B");
}

TEST(PatchDescriptor, GameAndRegionSets) {
  EXPECT_EQ(GetPatchTitle("AAT,AA4"), (1 << 1) | (1 << 2));
  EXPECT_EQ(GetPatchTitle("AAT"), 1 << 1);
  EXPECT_EQ(GetPatchTitle("PLvsPW"), 1 << 5);
  EXPECT_EQ(GetPatchTitle("aat"), 0);
  EXPECT_EQ(GetPatchTitle("Region"), 1 << 1);
  EXPECT_EQ(GetPatchRegion("JAP,EUR"), (1 << 1) | (1 << 3));
  EXPECT_EQ(GetPatchRegion("Region Free"), kRegionFree);
  EXPECT_EQ(GetPatchRegion("USA Region Free"), kRegionFree);
  EXPECT_EQ(GetPatchRegion(""), kRegionFree);
}

TEST(PatchList, SubFoldersInNameOrderThenTheFolderItselfAndNoDeeper) {
  TempDir dir("patches");
  const std::string fits = "Game=AAT\r\nRegion=USA\r\nTitle=";
  WriteFile(dir / "patch/B/p.dsc", fits + "B");
  WriteFile(dir / "patch/a/p.dsc", fits + "a");
  WriteFile(dir / "patch/a/deeper/p.dsc", fits + "deep");
  WriteFile(dir / "patch/own.dsc", fits + "own");
  WriteFile(dir / "patch/c/p.dsc", "Game=AA4\r\nRegion=USA\r\nTitle=other-game");
  WriteFile(dir / "patch/d/p.dsc", "Game=AAT\r\nRegion=JAP\r\nTitle=other-region");
  WriteFile(dir / "patch/e/p.dsc", "Game=AAT AA4\r\nRegion=\"Region Free\"\r\nTitle=spaced");
  WriteFile(dir / "patch/f/p.dsc", "Game=\r\nRegion=USA\r\nTitle=emptygame");
  const auto list = PopulatePatchList(dir / "patch", ".dsc", true, "English", 1, 2, 0);
  EXPECT_EQ(Titles(list), (std::vector<std::string>{"a", "B", "spaced", "emptygame", "own"}));
  EXPECT_EQ(list[0].descriptor, dir / "patch/a/p.dsc");
  // "Game=AAT AA4": the blank ends the value, so the fourth game is not listed.
  EXPECT_EQ(Titles(PopulatePatchList(dir / "patch", ".dsc", true, "English", 2, 2, 0)),
            (std::vector<std::string>{"other-game"}));
}

TEST(PatchList, DescriptorOfTheCurrentLanguageIsChosen) {
  TempDir dir("patches");
  WriteFile(dir / "patch/p/English.dsc", "Game=AAT Region=USA Title=english");
  WriteFile(dir / "patch/p/русский.dsc", "Game=AAT Region=USA Title=russian");  // case ignored in any alphabet
  EXPECT_EQ(Titles(PopulatePatchList(dir / "patch", ".dsc", true, "Русский", 1, 2, 0))[0], "russian");
  EXPECT_EQ(Titles(PopulatePatchList(dir / "patch", ".dsc", true, "english", 1, 2, 0))[0], "english");
  EXPECT_EQ(Titles(PopulatePatchList(dir / "patch", ".dsc", true, "Deutsch", 1, 2, 0))[0], "english");
}

TEST(PatchList, UnreadableDescriptorsAreSkippedAndOthersStillListed) {
  TempDir dir("patches");
  WriteFile(dir / "patch/a/p.dsc", "Game=AAT Region=USA Title=good");
  std::filesystem::create_directories(dir / "patch/b/broken.dsc");  // a folder, not a file
  WriteFile(dir / "patch/c/p.dsc", std::string("\xFF\xFE", 2));     // empty UTF-16 text
  EXPECT_EQ(Titles(PopulatePatchList(dir / "patch", ".dsc", true, "English", 1, 2, 0)),
            (std::vector<std::string>{"good"}));
  EXPECT_TRUE(PopulatePatchList(dir / "nowhere", ".dsc", true, "English", 1, 2, 0).empty());
}

TEST(PatchList, AFolderHandedInAsAPatchIsNamedAndReplacesOneOfItsName) {
  TempDir dir("import");
  WriteFile(dir / "Downloads/My Patch/English.dsc", "Game=AAT Region=USA Title=\"My Patch 2.0\"");
  WriteFile(dir / "Downloads/My Patch/romfs/new.bin", "new");
  WriteFile(dir / "app/patch/My Patch/English.dsc", "Game=AAT Title=old");
  WriteFile(dir / "app/patch/My Patch/romfs/gone.bin", "from the old version");
  EXPECT_EQ(PatchFolderTitle(dir / "Downloads/My Patch", "English"), "My Patch 2.0");
  EXPECT_EQ(PatchFolderTitle(dir / "Downloads", "English"), std::nullopt);
  ASSERT_TRUE(ImportPatchFolder(dir / "Downloads/My Patch", dir / "app/patch"));
  EXPECT_EQ(test::ReadFile(dir / "app/patch/My Patch/romfs/new.bin"), "new");
  EXPECT_FALSE(std::filesystem::exists(dir / "app/patch/My Patch/romfs/gone.bin"));
  // Dropped from patch/ onto patch/: nothing is deleted.
  EXPECT_FALSE(ImportPatchFolder(dir / "app/patch/My Patch", dir / "app/patch"));
  EXPECT_TRUE(std::filesystem::exists(dir / "app/patch/My Patch/English.dsc"));
}

}  // namespace
}  // namespace qpt
