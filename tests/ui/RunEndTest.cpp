#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "core/common/Common.h"
#include "core/common/RunLock.h"
#include "support/JobFixture.h"
#include "ui/Dialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {
namespace {

namespace fs = std::filesystem;

class RunEnd : public ::testing::Test, protected test::JobFixture {
 protected:
  void SetUp() override {
    SetMessageHook([](const MessageRecord&) {});
    SetSoundHook([this] { ++sounds; });
    form = std::make_unique<TForm1>(TForm1Options{app.path(), "English", "."});
    ASSERT_TRUE(form->FormCreate());
  }
  void TearDown() override {
    SetMessageHook(nullptr);
    SetSoundHook(nullptr);
    SetFileDialogHook(nullptr);
  }

  void Start(const std::string& outName = "out.cia", const std::string& game = "AAT") {
    auto settings = Settings(outName, game);
    settings.lang = &form->LangList();
    form->StartJob(CreateInstallJob(".cia", form->JobHost(), settings));
  }
  bool WaitForEnd() {
    return QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000);
  }
  void WaitForCall(const std::string& tool) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Calls(tool).empty(); }, 30000));
  }
  QString Text(const char* key) { return form->GetLangText(key); }

  std::unique_ptr<TForm1> form;
  int sounds = 0;  // end-of-run sounds played
};

TEST_F(RunEnd, ASuccessfulRunUnlocksTheWindowAndRemovesTheWorkFolder) {
  form->Steps().GameIndex = 1;
  form->Steps().VoiceMissing = false;
  fs::create_directories(app / "Out Dir");
  Start("Out Dir/out.cia", "AA5");  // the stand-in tools give no sound archive to warn about
  EXPECT_TRUE(form->BTNCancel->isEnabled());
  EXPECT_FALSE(form->BTNInstallPatch->isEnabled());
  EXPECT_FALSE(form->btOldRomPath->isEnabled());
  EXPECT_EQ(sounds, 0);
  ASSERT_TRUE(WaitForEnd());
  EXPECT_EQ(sounds, 1);
  EXPECT_TRUE(form->LogText().endsWith(Text("PatchingSuccessful") + "\n[" +
                                       QString::fromStdString(PathToUtf8(app / "Out Dir/out.cia")) + "]"))
      << form->LogText().toStdString();
  EXPECT_FALSE(app.WorkFolderLeft());
  EXPECT_EQ(form->ProgressBar1->value(), 100);  // full until the next run starts
  EXPECT_TRUE(form->CBLang->isEnabled());
  EXPECT_TRUE(form->CBPatch->isEnabled());
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());  // no track list was read
  EXPECT_TRUE(form->TntRadioGroup2->isEnabled());
  EXPECT_FALSE(form->BTNCancel->isEnabled());
  EXPECT_TRUE(form->btOldRomPath->isEnabled());
  EXPECT_TRUE(form->ebNewRom->isEnabled());

  // "Check an image..." opens where the new image is, and the bar, which belongs to the last
  // installation, is full again once the check is done.
  QString opensIn;
  SetFileDialogHookWithFolder([&](bool, const QString&, const QString& folder) -> std::optional<TFileChoice> {
    opensIn = folder;
    return TFileChoice(QString::fromStdString(PathToUtf8(input)));
  });
  QTest::mouseClick(form->BTNCheckImage, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->CheckRunning() && form->BTNCheckImage->isEnabled(); }, 30000));
  EXPECT_EQ(opensIn.toStdString(), PathToUtf8(app / "Out Dir"));
  EXPECT_EQ(form->ProgressBar1->value(), 100);
}

TEST_F(RunEnd, AfterARunOnAGameWithoutMusicTheMusicButtonStaysOff) {
  form->Steps().GameIndex = 3;
  form->Steps().VoiceMissing = true;
  Start();
  ASSERT_TRUE(WaitForEnd());
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());
  EXPECT_FALSE(form->TntRadioGroup2->isEnabled());
}

TEST_F(RunEnd, CancelLogsAtOnceButTheRunEndsAfterTheRunningTool) {
  const fs::path release = app / "release";
  PlanTool("3dstool", "when -xtf romfs\nwaitfor " + release.string() + "\n");
  Start();
  WaitForCall("3dstool");
  QTest::mouseClick(form->BTNCancel, Qt::LeftButton);
  EXPECT_FALSE(form->BTNCancel->isEnabled());
  EXPECT_TRUE(form->LogText().endsWith("\n\n" + Text("CancelInstall")));
  EXPECT_TRUE(form->JobRunning());
  test::WriteFile(release, "");
  ASSERT_TRUE(WaitForEnd());
  EXPECT_FALSE(form->LogText().contains(Text("ExtractingCXIHeaders")));
  EXPECT_FALSE(app.WorkFolderLeft());
  EXPECT_FALSE(form->BTNCancel->isEnabled());
}

TEST_F(RunEnd, ClosingTheWindowDuringARunStopsItAndClosesAfterItsEnd) {
  form->show();
  const fs::path release = app / "release";
  PlanTool("3dstool", "when -xtf romfs\nwaitfor " + release.string() + "\n");
  Start();
  WaitForCall("3dstool");
  form->close();
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(form->LogText().endsWith(Text("CancelInstall")));
  test::WriteFile(release, "");
  ASSERT_TRUE(WaitForEnd());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000));
  EXPECT_FALSE(app.WorkFolderLeft());
}

TEST_F(RunEnd, AToolThatCannotStartStillEndsTheRun) {
  fs::remove(app.Tool("makerom"));
  Start();
  ASSERT_TRUE(WaitForEnd());
  EXPECT_TRUE(form->LogText().contains("makerom"));
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
  EXPECT_FALSE(app.WorkFolderLeft());
}

TEST_F(RunEnd, ARunRefusedBecauseAnotherRunHoldsTheFolderLeavesThatRunsWorkFolder) {
  // Another window or the command-line program is installing from this program folder.
  test::WriteFile(app / "tools/temp/romfs/pack.dat", "the other run's file");
  TRunLock other(app.path());
  ASSERT_TRUE(other.Held());
  Start();
  ASSERT_TRUE(WaitForEnd());
  // A failed run ends, below its reason, with the line that nothing was written.
  EXPECT_TRUE(form->LogText().endsWith(Text("ErrorAnotherRun") + "\n\n" + Text("InstallFailedNothingWritten")))
      << form->LogText().toStdString();
  EXPECT_EQ(sounds, 1);
  EXPECT_EQ(test::ReadFile(app / "tools/temp/romfs/pack.dat"), "the other run's file");
  EXPECT_TRUE(Calls("ctrtool").empty());
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
  EXPECT_FALSE(form->BTNCancel->isEnabled());
}

}  // namespace
}  // namespace qpt::ui
