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
  EXPECT_TRUE(steps.OpenImage(dir / "game.cxi", lang).errorKey.empty());
  steps.ChooseOutput(dir / "out.cia");
  ASSERT_EQ(steps.RebuildPatchList(dir / "patch", "English").titles, std::vector<std::string>{"Trilogy Patch"});
  EXPECT_EQ(steps.InstallSettings(dir.path(), lang, 0).receiptFacts.patchTitle, "");  // "None"
  steps.ChoosePatch(1);
  ASSERT_TRUE(steps.Runnable());
  EXPECT_EQ(steps.InstallSettings(dir.path(), lang, 0).receiptFacts.patchTitle, "Trilogy Patch");
}

}  // namespace
}  // namespace qpt
