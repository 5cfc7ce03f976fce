#include "core/rom/PatchList.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/patches/ModPatch.h"
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

TEST(PatchList, ModFoldersAreListedInEachShapeForTheProgramIdTheyName) {
  TempDir dir("mods");
  const std::string id = "0004000000ABCD00";
  WriteFile(dir / "patch/top" / id / "romfs/a.txt", "a");
  WriteFile(dir / "patch/Card/luma/titles/0004000000abcd00/code.ips", "PATCHEOF");
  WriteFile(dir / "patch" / id / "exefs/code.bps", "BPS1");
  WriteFile(dir / "patch/emu" / id / "exefs/code.bin", "code");
  WriteFile(dir / "patch/emu/README.md", "Read me\nplease");
  WriteFile(dir / "patch/other/0004000000ABCD01/romfs/a.txt", "a");
  WriteFile(dir / "patch/stray" / id / "romfs/a.txt", "a");
  WriteFile(dir / "patch/stray" / id / "notes.txt", "a");
  WriteFile(dir / "patch/old/p.dsc", "Game=AAT Region=USA Title=descriptor");
  WriteFile(dir / "patch/old" / id / "romfs/a.txt", "a");
  const struct {
    std::uint64_t programId;
    std::vector<std::string> titles;
  } cases[] = {
      {0x0004000000ABCD00, {id, "Card", "emu", "descriptor", "top"}},
      {0x0004000000ABCD01, {"descriptor", "other"}},
      // The whole ID counts: an update or a DLC shares the low half with the game.
      {0x0004000E00ABCD00, {"descriptor"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Titles(PopulatePatchList(dir / "patch", ".dsc", true, "English", 1, 2, c.programId)), c.titles)
        << std::hex << c.programId;
  }
  const auto list = PopulatePatchList(dir / "patch", ".dsc", true, "English", 1, 2, 0x0004000000ABCD00);
  EXPECT_EQ(list[2].form, TPatchForm::ModFolder);
  EXPECT_EQ(list[2].folder, dir / "patch/emu");
  EXPECT_EQ(list[3].form, TPatchForm::Descriptor);
  const auto details = ReadPatchDetails(list[2]);
  ASSERT_TRUE(details);
  EXPECT_EQ(details->description, "Read me\r\nplease");
  EXPECT_EQ(details->originalPackDatMD5, "");
  // Broken after it was listed: a run must not start with it.
  WriteFile(dir / "patch/emu" / id / "code.ips", "PATCHEOF");
  EXPECT_FALSE(ReadPatchDetails(list[2]));
}

TEST(ModPatch, AFolderThatCannotBeInstalledAsItStandsNamesItsFiles) {
  const std::string id = "0004000000ABCD00";
  const struct {
    std::vector<std::string> files;
    std::vector<std::string> named;    // in the one error
    std::vector<std::string> ignored;  // no error then
  } cases[] = {
      {{"romfs/a", "notes.txt", "exefs/code.bin", "exefs/main.bin"}, {"notes.txt", "exefs/main.bin"}, {}},
      {{"code.bin", "exefs/code.ips"}, {"code.bin", "exefs/code.ips"}, {}},
      {{"code.ips", "code.bps"}, {"code.ips", "code.bps"}, {}},
      {{"romfs/a", "exheader.bin"}, {"exheader.bin"}, {}},
      {{"readme.txt"}, {"nothing to install"}, {}},
      {{"romfs/a", "banner.bnr", "exefs/icon", "logo"}, {}, {"banner.bnr", "exefs/icon", "logo"}},
  };
  for (const auto& c : cases) {
    TempDir dir("mod");
    for (const std::string& file : c.files) WriteFile(dir / "p" / id / file, "x");
    const auto mod = ReadModPatch(dir / "p");
    ASSERT_TRUE(mod) << c.files.front();
    EXPECT_EQ(mod->errors.size(), c.named.empty() ? 0u : 1u) << c.files.front();
    for (const std::string& name : c.named) EXPECT_THAT(mod->errors, ::testing::Each(::testing::HasSubstr(name)));
    std::vector<std::string> ignored;
    for (const std::string& name : c.ignored) ignored.push_back(id + "/" + name);
    EXPECT_EQ(mod->ignored, ignored);
  }
  TempDir dir("mod");
  WriteFile(dir / "p" / id / "romfs/a", "x");
  WriteFile(dir / "p/0004000000ABCD01/romfs/a", "x");
  EXPECT_THAT(ReadModPatch(dir / "p")->errors,
              ::testing::ElementsAre(::testing::AllOf(::testing::HasSubstr(id), ::testing::HasSubstr("ABCD01"))));
  EXPECT_FALSE(ParseTitleId("0004000000ABCD0"));
  EXPECT_FALSE(ParseTitleId("0004000000ABCD0G"));
  EXPECT_EQ(ParseTitleId("0004000000abCD00"), 0x0004000000ABCD00u);
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
