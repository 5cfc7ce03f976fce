// The window's steps without a window. Most of their rules are pinned through the window by
// the tests in tests/ui; what only the run's settings show is pinned here.
#include "core/steps/StepState.h"

#include <gtest/gtest.h>

#include "support/RawImages.h"
#include "support/RecordingHost.h"
#include "support/TempDir.h"

namespace qpt {
namespace {

TEST(StepState, TheRunsReceiptNamesThePatchTheListShows) {
  test::TempDir dir("steps");
  test::WriteRawImage(dir / "game.cxi", test::RawImageOptions{});  // the trilogy, USA
  test::WriteFile(dir / "patch/Trilogy/p.dsc", "Game=AAT Region=USA Title=\"Trilogy Patch\"");
  const TLangList lang = test::BracketLanguage();
  TStepState steps;
  EXPECT_TRUE(steps.OpenImage(dir / "game.cxi", lang, {dir / "patch"}).errorKey.empty());
  steps.ChooseOutput(dir / "out.cia");
  ASSERT_EQ(steps.RebuildPatchList(dir / "patch", "English").titles, std::vector<std::string>{"Trilogy Patch"});
  EXPECT_EQ(steps.InstallSettings(dir.path(), lang, 0).receiptFacts.patchTitle, "");  // "None"
  steps.ChoosePatch(1);
  ASSERT_TRUE(steps.Runnable());
  EXPECT_EQ(steps.InstallSettings(dir.path(), lang, 0).receiptFacts.patchTitle, "Trilogy Patch");
}

TEST(StepState, AModFolderIsChosenByItsNameWithItsReadMeAndNoDigests) {
  test::TempDir dir("steps");
  test::WriteRawImage(dir / "game.cxi", test::RawImageOptions{});
  test::WriteFile(dir / "patch/Fan Translation/luma/titles/0004000000138F00/romfs/a.txt", "a");
  test::WriteFile(dir / "patch/Fan Translation/readme.TXT", "By fans");
  test::WriteFile(dir / "patch/Trilogy/p.dsc",
                  "Game=AAT Region=USA Title=\"Trilogy Patch\" Description=Descriptor OriginalPackDatMD5=ABC");
  const TLangList lang = test::BracketLanguage();
  TStepState steps;
  EXPECT_TRUE(steps.OpenImage(dir / "game.cxi", lang, {dir / "patch"}).errorKey.empty());
  steps.ChooseOutput(dir / "out.cia");
  ASSERT_EQ(steps.RebuildPatchList(dir / "patch", "English").titles,
            (std::vector<std::string>{"Fan Translation", "Trilogy Patch"}));
  steps.ChoosePatch(2);
  const TPatchShown shown = steps.ChoosePatch(1);
  EXPECT_FALSE(shown.loadError);
  EXPECT_EQ(shown.description, "By fans");
  EXPECT_EQ(shown.games, "");
  ASSERT_TRUE(steps.Runnable());
  // Nothing of the descriptor chosen before may reach a run of the mod folder.
  const TInstallSettings settings = steps.InstallSettings(dir.path(), lang, 0);
  EXPECT_EQ(settings.patchDir, dir / "patch/Fan Translation");
  EXPECT_EQ(settings.originalPackDatMD5, "");
  EXPECT_EQ(settings.receiptFacts.patchTitle, "Fan Translation");
  EXPECT_EQ(steps.RebuildPatchList(dir / "patch", "English").selected, 1);
}

}  // namespace
}  // namespace qpt
