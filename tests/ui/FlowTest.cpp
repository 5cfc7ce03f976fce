// The player's path through the main window: image, output, patch, install.
#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTextBrowser>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "core/common/Common.h"
#include "core/install/InstallMods.h"
#include "core/install/ModFolderCheck.h"
#include "core/music/TrackLists.h"
#include "core/patches/PatchArchive.h"
#include "core/rom/RomIdentify.h"
#include "support/EnglishLeft.h"
#include "support/GameImages.h"
#include "support/JobFixture.h"
#include "support/RawImages.h"
#include "ui/Dialogs.h"
#include "ui/MusicDialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {
namespace {

namespace fs = std::filesystem;
using test::WriteFile;

class Flow : public ::testing::Test, protected test::JobFixture {
 protected:
  void SetUp() override {
    SetMessageHook([this](const MessageRecord& m) { messages.push_back(m); });
    SetFileDialogHook([this](bool save, const QString& filter) -> std::optional<TFileChoice> {
      (save ? saveFilters : openFilters).push_back(filter);
      auto& answers = save ? saveAnswers : openAnswers;
      if (answers.empty()) return std::nullopt;
      QString answer = answers.front();
      answers.erase(answers.begin());
      if (answer.isEmpty()) return std::nullopt;
      // The entry the player left selected: the first unless a test picks another.
      const QString selected = selectedEntry < 0 ? QString() : filter.split(";;").value(selectedEntry);
      selectedEntry = -1;
      return TFileChoice(answer, selected);
    });
    form = std::make_unique<TForm1>(TForm1Options{app.path(), "English", "."});
    // Step 2 finds cards and emulators among these only, never the machine's own.
    form->placeSources = [this] {
      return TPlaceSources{volumes, [this](const std::string& name) -> std::optional<std::string> {
                             if (name == "HOME") return PathToUtf8(home);
                             return std::nullopt;
                           }};
    };
    ASSERT_TRUE(form->FormCreate());
  }
  void TearDown() override {
    SetMessageHook(nullptr);
    SetFileDialogHook(nullptr);
  }
  QString Path(const fs::path& p) { return QString::fromStdString(PathToUtf8(p)); }
  // Picks an image in step 1.
  void ChooseImage(const fs::path& image) {
    openAnswers.push_back(Path(image));
    QTest::mouseClick(form->btOldRomPath, Qt::LeftButton);
  }
  void ChooseOutput(const QString& name) {
    saveAnswers.push_back(name.isEmpty() ? QString() : Path(app / name.toStdString()));
    QTest::mouseClick(form->btNewRomPath, Qt::LeftButton);
  }
  fs::path TrilogyImage(const std::string& name = "game.cxi", test::RawImageOptions o = {}) {
    o.kind = fs::path(name).extension().string();
    o.streamNames[SlotOffsetsFor("AAT")[0]] = "BGM077.bcstm";
    const fs::path path = app / name;
    test::WriteRawImage(path, o);
    return path;
  }
  QStringList Items() {
    QStringList items;
    for (int i = 0; i < form->CBPatch->count(); ++i) items << form->CBPatch->itemText(i);
    return items;
  }
  QString Text(const char* key) { return form->GetLangText(key); }

  std::unique_ptr<TForm1> form;
  std::vector<MessageRecord> messages;
  std::vector<QString> openAnswers, saveAnswers, openFilters, saveFilters;
  int selectedEntry = -1;  // the save dialog's selected filter entry for the next answer
  std::vector<TVolume> volumes;
  fs::path home = app / "home";
};

TEST_F(Flow, IdentifyingAnImageUnlocksTheOutput) {
  // Letters beyond ASCII and the system's code page come through the dialog's answer intact.
  const fs::path image = TrilogyImage("Игра ü.cxi");
  ChooseImage(image);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(form->ebOldRom->text(), Path(image));
  EXPECT_EQ(form->LogText(), "Phoenix Wright: Ace Attorney Trilogy\nROM Region: USA");
  EXPECT_EQ(form->Steps().GameCode, "AAT");
  EXPECT_EQ(form->Steps().RomExt, ".cxi");
  EXPECT_TRUE(form->ebNewRom->isEnabled());
  EXPECT_TRUE(form->btNewRomPath->isEnabled());
  EXPECT_FALSE(form->CBPatch->isEnabled());
  // All kinds first, ".cci" (an emulator's card image) among them, then one entry per kind.
  EXPECT_EQ(openFilters.at(0), Text("OpenFilterAll") + " (*.cia *.cxi *.3ds *.cci);;" +
                                   Text("OpenFilterCIA") + " (*.cia);;" + Text("OpenFilterCXI") +
                                   " (*.cxi);;" + Text("OpenFilter3DS") + " (*.3ds);;" +
                                   Text("OpenFilterCCI") + " (*.cci)");
}

// The walk that once installed the wrong thing, step by step: whatever order the steps are
// taken in, Install runs only with what the window shows.
TEST_F(Flow, EveryStepStaysTrueToTheOthers) {
  WriteFile(app / "patch/Trilogy/p.dsc", "Game=AAT Region=USA Title=Trilogy OriginalPackDatMD5=0123456789ABCDEF0123456789ABCDEF");
  WriteFile(app / "patch/Apollo/p.dsc", "Game=AA4 Region=USA Title=Apollo");
  ChooseImage(TrilogyImage());
  ChooseOutput("out.cxi");
  form->CBPatch->setCurrentIndex(1);
  ASSERT_EQ(form->CBPatch->currentText(), "Trilogy");

  // A new image forgets the old game's output, patch list, digests and music.
  test::RawImageOptions apollo;
  apollo.programId = 0x001BD200;
  apollo.entry = 4492;
  ChooseImage(TrilogyImage("apollo.cxi", apollo));
  EXPECT_EQ(form->Steps().GameCode, "AA4");
  EXPECT_TRUE(form->ebNewRom->text().isEmpty());
  EXPECT_EQ(form->CBPatch->count(), 0);
  EXPECT_TRUE(form->Steps().PatchDir.empty());
  EXPECT_TRUE(form->Steps().OriginalPackDatMD5.empty());
  EXPECT_EQ(form->TrackList(), nullptr);
  EXPECT_FALSE(form->BTNInstallPatch->isEnabled());
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());
  ChooseOutput("apollo out.cxi");
  EXPECT_EQ(Items(), (QStringList{Text("None"), "Apollo"}));
  ASSERT_NE(form->TrackList(), nullptr);
  EXPECT_EQ(form->TrackList()->GameCode, "AA4");
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());

  // A refused image keeps Install locked through language changes.
  test::RawImageOptions encrypted;
  encrypted.encrypted = true;
  ChooseImage(TrilogyImage("enc.cxi", encrypted));
  for (const char* language : {"Русский", "English"}) {
    form->CBLang->setCurrentIndex(form->CBLang->findText(language));
    EXPECT_FALSE(form->BTNInstallPatch->isEnabled()) << language;
    EXPECT_EQ(form->CBPatch->count(), 0) << language;
  }

  // The kind selected in the save dialog names a file typed without an extension.
  ChooseImage(TrilogyImage());
  selectedEntry = 1;  // the emulator's CXI
  ChooseOutput("patched");
  EXPECT_EQ(form->Steps().OutPath, app / "patched.cxi");

  // The chosen patch and its music stay through a language change and a new output...
  form->CBPatch->setCurrentIndex(form->CBPatch->findText("Trilogy"));
  ASSERT_NE(form->TrackList(), nullptr);
  form->TrackList()->SetSelected(0, "Objection! 2001");
  form->TrackList()->MusicChanged = true;
  form->CBLang->setCurrentIndex(form->CBLang->findText("Русский"));
  ChooseOutput("again.cxi");
  EXPECT_EQ(form->CBPatch->currentText(), "Trilogy");
  EXPECT_EQ(form->Steps().PatchDir, app / "patch/Trilogy");
  EXPECT_EQ(form->Steps().OriginalPackDatMD5, "0123456789ABCDEF0123456789ABCDEF");
  ASSERT_NE(form->TrackList(), nullptr);
  EXPECT_EQ(form->TrackList()->GetSelected(0), "Objection! 2001");
  EXPECT_TRUE(form->TrackList()->MusicChanged);
  // ... and when its folder is gone, the log says that the choice was reset.
  fs::remove_all(app / "patch/Trilogy");
  ChooseOutput("again.cxi");
  EXPECT_EQ(form->CBPatch->currentIndex(), 0);
  EXPECT_TRUE(form->Steps().PatchDir.empty());
  EXPECT_FALSE(form->TrackList()->MusicChanged);
  EXPECT_TRUE(form->LogText().endsWith(Text("PatchChoiceReset").replace("%1", "Trilogy")));

  // A cancelled run says so last.
  const fs::path release = app / "release";
  PlanTool("3dstool", "when -xtf romfs\nwaitfor " + release.string() + "\n");
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Calls("3dstool").empty(); }, 30000));
  QTest::mouseClick(form->BTNCancel, Qt::LeftButton);
  WriteFile(release, "");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000));
  EXPECT_TRUE(form->LogText().endsWith("\n\n" + Text("InstallCancelledNothingWritten"))) << form->LogText().toStdString();

  // The language box is a list of the files in lang/, not a field to type into.
  EXPECT_FALSE(form->CBLang->isEditable());
  EXPECT_EQ(form->CBLang->count(), static_cast<int>(FindLanguageFiles(app.path()).size()));
}

TEST_F(Flow, CancellingTheOpenDialogChangesNothing) {
  ChooseImage(TrilogyImage());
  openAnswers.push_back(QString());
  QTest::mouseClick(form->btOldRomPath, Qt::LeftButton);
  EXPECT_EQ(form->ebOldRom->text(), Path(app / "game.cxi"));
  EXPECT_TRUE(form->ebNewRom->isEnabled());
}

TEST_F(Flow, ADroppedImageOrPatchFolderDoesWhatItsStepDoes) {
  // Through the window's own drop handling, as a file manager's drop arrives.
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(Path(TrilogyImage("dropped.cxi")))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.get(), &drop);
  EXPECT_EQ(form->Steps().GameCode, "AAT");
  EXPECT_EQ(form->ebOldRom->text(), Path(app / "dropped.cxi"));
  ChooseOutput("out.cia");

  test::WriteFile(app / "Downloads/New Patch/English.dsc", "Game=AAT\r\nRegion=USA\r\nTitle=\"Dropped Patch\"\r\n");
  test::WriteFile(app / "Downloads/New Patch/romfs/a.bin", "a");
  messages.clear();
  form->HandleDrop({app / "Downloads/New Patch"});
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages[0].kind, MessageKind::Question);
  EXPECT_TRUE(messages[0].text.contains("Dropped Patch"));
  EXPECT_TRUE(fs::exists(app / "patch/New Patch/romfs/a.bin"));
  EXPECT_TRUE(Items().contains("Dropped Patch"));

  // The same name again is asked about before it is replaced; a "no" keeps what is there.
  int asked = 0;
  SetQuestionHook([&](const MessageRecord&) { return ++asked == 1; });
  test::WriteFile(app / "Downloads/New Patch/romfs/a.bin", "newer");
  form->HandleDrop({app / "Downloads/New Patch"});
  SetQuestionHook(nullptr);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(test::ReadFile(app / "patch/New Patch/romfs/a.bin"), "a");

  // As a download: the archive is unpacked beside the window, which then lists it; a damaged
  // one is said so and leaves nothing.
  ASSERT_FALSE(PackFolderAsZip(app / "Downloads/New Patch", app / "Downloads/Zipped.zip"));
  test::WriteFile(app / "Downloads/Damaged.zip", "PK\x03\x04 cut short");
  for (const char* archive : {"Zipped.zip", "Damaged.zip"}) {
    messages.clear();
    form->HandleDrop({app / "Downloads" / archive});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->CheckRunning() && form->BTNCheckImage->isEnabled(); }, 30000));
  }
  EXPECT_EQ(test::ReadFile(app / "patch/Zipped/romfs/a.bin"), "newer");
  EXPECT_EQ(Items().count("Dropped Patch"), 2);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].kind, MessageKind::Error);
  EXPECT_TRUE(messages[1].text.startsWith(Text("ErrorArchiveDamaged").section("%1", 0, 0)));
  EXPECT_FALSE(fs::exists(app / "patch/Damaged"));

  for (const fs::path& other : {app / "Downloads", app / "Downloads/New Patch/English.dsc"}) {
    messages.clear();
    form->HandleDrop({other});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, Text("DropNotUnderstood"));
  }
}

TEST_F(Flow, CheckingAnImageLogsEveryRegionWithoutBlockingTheWindow) {
  const auto image = test::BuildGameImage(IdentificationTable()[0], ".cia", app / "good.cia", app / "build");
  std::string bytes = test::ReadFile(image.path);
  bytes[bytes.size() / 2] ^= 0x20;  // inside the game's files
  test::WriteFile(app / "damaged.cia", bytes);
  ChooseImage(TrilogyImage());
  ChooseOutput("out.cia");
  form->ProgressBar1->setValue(100);  // as the last run left it
  for (const char* name : {"good.cia", "damaged.cia"}) {
    openAnswers.push_back(Path(app / name));
    QTest::mouseClick(form->BTNCheckImage, Qt::LeftButton);
    // No run starts while the image is read, and the bar speaks of the check only.
    EXPECT_FALSE(form->BTNInstallPatch->isEnabled());
    EXPECT_NE(form->ProgressBar1->value(), 100);
    const QString last = Text(std::string(name) == "good.cia" ? "CheckAllGood" : "CheckSomeBad").right(10);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->CheckRunning() && form->BTNCheckImage->isEnabled(); }, 30000));
    const QStringList lines = form->LogText().split('\n');
    EXPECT_TRUE(lines.back().endsWith(last)) << name << ": " << lines.back().toStdString();
    EXPECT_TRUE(form->LogText().contains(Text("CheckRegionGood") + " ")) << name;
  }
  EXPECT_TRUE(form->LogText().contains(Text("CheckRegionBad")));
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());

  // In every other language, every word the check shows is the language file's: Latin
  // letters only in the image's path, the game's own title and region code, and what the
  // file itself writes in them (CIA, RomFS, ...).
  for (const std::string& language : test::LanguagesBesideEnglish(app.path())) {
    SCOPED_TRACE(language);
    form->CBLang->setCurrentIndex(form->CBLang->findText(QString::fromStdString(language)));
    const qsizetype before = form->LogText().split('\n').size();
    openAnswers.push_back(Path(app / "damaged.cia"));
    QTest::mouseClick(form->BTNCheckImage, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->CheckRunning() && form->BTNCheckImage->isEnabled(); }, 30000));
    const QStringList shown = form->LogText().split('\n').mid(before);
    ASSERT_GE(shown.size(), 5);
    EXPECT_TRUE(shown.join('\n').contains(Text("CheckRegionBad")));
    const std::string region = QString::fromUtf8(IdentificationTable()[0].region).section(' ', -1).toStdString();
    EXPECT_THAT(test::EnglishLeftIn(shown.join('\n').toStdString(), app.path(), language,
                                    {PathToUtf8(app / "damaged.cia"), IdentificationTable()[0].title, region}),
                ::testing::IsEmpty());
  }
}

TEST_F(Flow, TheOutputIsNeverTheInputAndAnotherFileItWouldReplaceIsAskedAbout) {
  ChooseImage(TrilogyImage("game.cxi"));
  fs::create_hard_link(app / "game.cxi", app / "linked.cxi");
  // Each of these writes over the image itself: by the kind's own extension, or by identity.
  for (const char* name : {"game.CXI", "linked.cxi"}) {
    messages.clear();
    ChooseOutput(name);
    ASSERT_EQ(messages.size(), 1u) << name;
    EXPECT_EQ(messages[0].text, Text("ErrorOutputIsInput"));
    EXPECT_TRUE(form->ebNewRom->text().isEmpty()) << name;
  }
  // A card image only comes from a card image: refused with the reason when it is chosen.
  messages.clear();
  ChooseOutput("typed.3ds");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, Text("ErrorOutputKind3DS"));
  EXPECT_TRUE(form->ebNewRom->text().isEmpty());
  // "other.CIA" writes "other.cia": an existing file under that name is asked about.
  test::WriteFile(app / "other.cia", "a file of the player's");
  messages.clear();
  ChooseOutput("other.CIA");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].kind, MessageKind::Question);
  EXPECT_TRUE(messages[0].text.contains(Path(app / "other.cia")));
  // Asked again when Install is pressed and the file is there; a "no" starts nothing.
  ASSERT_TRUE(form->BTNInstallPatch->isEnabled());
  int asked = 0;
  SetQuestionHook([&](const MessageRecord& m) {
    ++asked;
    EXPECT_TRUE(m.text.contains(Path(app / "other.cia")));
    return false;
  });
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  SetQuestionHook(nullptr);
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(form->JobRunning());
  EXPECT_FALSE(form->LogText().contains(Text("StartPatching")));
  // The log says why nothing happened: the player's file stays as it was.
  EXPECT_TRUE(form->LogText().endsWith(Text("ReplaceDeclinedFile").replace("%1", Path(app / "other.cia"))))
      << form->LogText().toStdString();
  EXPECT_EQ(test::ReadFile(app / "other.cia"), "a file of the player's");
}

// Every other language's player reads no English on the way through the window: the log, each
// message and question, from the image's choice over a refused replacement and the music's
// choice to the patch folder that no file manager opens.
TEST_F(Flow, EveryOtherLanguageShowsNoEnglishOnTheWay) {
  std::vector<QString> asked;
  bool yes = true;
  SetQuestionHook([&](const MessageRecord& m) {
    asked.push_back(m.text);
    return yes;
  });
  SetUrlHook([](const QUrl&) { return false; });
  const fs::path image = TrilogyImage("game.cxi");
  test::WriteFile(app / "out.cxi", "the player's own file");
  for (const std::string& language : test::LanguagesBesideEnglish(app.path())) {
    SCOPED_TRACE(language);
    form->CBLang->setCurrentIndex(form->CBLang->findText(QString::fromStdString(language)));
    messages.clear();
    asked.clear();
    // What the log held before, unless the new image's choice started it over.
    const QString before = form->LogText();
    ChooseImage(image);
    yes = true;
    ChooseOutput("out.cxi");
    ASSERT_TRUE(form->BTNInstallPatch->isEnabled());
    yes = false;
    QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
    EXPECT_FALSE(form->JobRunning());
    form->onMusicDialogShown = [&](TMusicDialog& d) { d.TntButton4Click(); };
    QTest::mouseClick(form->BTNMusicChange, Qt::LeftButton);
    QTest::mouseClick(form->BTNOpenPatchFolder, Qt::LeftButton);
    QString shown = form->LogText();
    if (shown.startsWith(before)) shown = shown.mid(before.size());
    for (const MessageRecord& m : messages) shown += '\n' + m.text;
    for (const QString& question : asked) shown += '\n' + question;
    ASSERT_EQ(asked.size(), 1u);  // the save dialog itself asked about the chosen name
    EXPECT_TRUE(shown.contains(Text("ReplaceDeclinedFile").left(8)));
    EXPECT_TRUE(shown.contains(Text("MusicSaved")));
    EXPECT_THAT(test::EnglishLeftIn(shown.toStdString(), app.path(), language,
                                    {IdentificationTable()[0].title, "USA"}),
                ::testing::IsEmpty());
  }
  SetQuestionHook(nullptr);
  SetUrlHook(nullptr);
}

TEST_F(Flow, RefusedImagesSayWhyAndLockTheLaterSteps) {
  ChooseImage(TrilogyImage());
  WriteFile(app / "bad.cia", std::string(100, 'x'));
  ChooseImage(app / "bad.cia");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, Text("ErrorNOTCIAROM"));
  EXPECT_TRUE(form->LogText().isEmpty());
  EXPECT_FALSE(form->btNewRomPath->isEnabled());

  test::RawImageOptions enc;
  enc.encrypted = true;
  ChooseImage(TrilogyImage("enc.3ds", enc));
  EXPECT_EQ(form->LogText(), Text("LogEncrypted") + "\n");
  EXPECT_FALSE(form->btNewRomPath->isEnabled());

  test::RawImageOptions unknown;
  unknown.programId = 0x12300;
  ChooseImage(TrilogyImage("unknown.cxi", unknown));
  EXPECT_EQ(form->LogText(), "ProgramID: 00012300\nUnknown ROM");
  EXPECT_EQ(messages.back().text, Text("ErrorWrongROM"));
  EXPECT_EQ(form->Steps().GameIndex, 0);

  ChooseImage(app / "missing.cia");
  EXPECT_EQ(messages.back().text, Text("ErrorLoadingROM"));
}

// What the steps then offer for it is pinned without the window; here, that the window looks
// in its patch folder for it, and that its list says the patch is a mod folder.
TEST_F(Flow, AnotherTitleIsTakenForAModFolderPatchInThePatchFolder) {
  WriteFile(app / "patch/Fan mod/0004000000ABCD00/romfs/a.txt", "a");
  test::RawImageOptions other;
  other.programId = 0x0004000000ABCD00ull;
  ChooseImage(TrilogyImage("other.cxi", other));
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(form->LogText(), Text("LogTitleID") + "0004000000ABCD00\n" + Text("LogModFoldersOnly"));
  EXPECT_TRUE(form->btNewRomPath->isEnabled());
  ChooseOutput("out.cia");
  EXPECT_EQ(Items(), (QStringList{Text("None"), Text("PatchListModFolder").replace("%1", "Fan mod")}));
}

TEST_F(Flow, ChoosingTheOutputListsTheFittingPatchesAndReadsTheMusic) {
  WriteFile(patchDir / "p.dsc", "Game=AAT,AA4\r\nRegion=USA\r\nTitle=\"Trilogy Patch\"\r\n"
                                "Description=\"Made with care.\r\nNews: https://example.org/patch\"\r\n");
  WriteFile(app / "patch/Other/p.dsc", "Game=AA5\r\nRegion=USA\r\nTitle=Other");
  ChooseImage(TrilogyImage());
  ChooseOutput("out.cia");
  EXPECT_EQ(form->ebNewRom->text(), Path(app / "out.cia"));
  EXPECT_EQ(Items(), (QStringList{Text("None"), "Trilogy Patch"}));
  EXPECT_EQ(form->CBPatch->currentIndex(), 0);
  EXPECT_TRUE(form->CBPatch->isEnabled());
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
  EXPECT_TRUE(form->BTNMusicChange->isEnabled());
  EXPECT_FALSE(form->TntRadioGroup2->isEnabled());
  EXPECT_EQ(form->lbSupportedGames->text(), "N/A");
  ASSERT_NE(form->TrackList(), nullptr);
  EXPECT_EQ(form->TrackList()->GetSelected(0), "Courtroom Lounge 2002");
  EXPECT_EQ(saveFilters.at(0), Text("Console") + " (*.cia);;" + Text("Emulator") + " (*.cxi)");

  form->CBPatch->setCurrentIndex(1);
  EXPECT_EQ(form->Steps().PatchDir, patchDir);
  EXPECT_EQ(form->lbSupportedGames->text(), "AAT,AA4");
  EXPECT_EQ(form->lbSupportedRegions->text(), "USA");
  EXPECT_EQ(form->RichDesc->toPlainText(), "Made with care.\nNews: https://example.org/patch");
  EXPECT_TRUE(form->RichDesc->toHtml().contains("href=\"https://example.org/patch\""));
  EXPECT_TRUE(form->Steps().VoiceMissing);
  EXPECT_FALSE(form->TntRadioGroup2->isEnabled());
}

TEST_F(Flow, VoiceSetsEnableTheVoiceChoiceAndNoneTurnsItOff) {
  WriteFile(patchDir / "p.dsc", "Game=AAT Region=USA Title=Voices");
  fs::create_directories(patchDir / "voice/ENG/3_BCWAV");
  ChooseImage(TrilogyImage());
  ChooseOutput("out.cia");
  form->CBPatch->setCurrentIndex(1);
  EXPECT_TRUE(form->TntRadioGroup2->isEnabled());
  EXPECT_FALSE(form->Steps().VoiceMissing);
  // The voice set chosen stays through a new output, as the patch does.
  form->voiceItems[2]->setChecked(true);
  ChooseOutput("again.cia");
  EXPECT_EQ(form->VoiceIndex(), 2);
  // A new image starts again from the first set.
  ChooseImage(TrilogyImage());
  EXPECT_EQ(form->VoiceIndex(), 0);
  ChooseOutput("out.cia");
  form->CBPatch->setCurrentIndex(1);
  form->CBPatch->setCurrentIndex(0);
  EXPECT_FALSE(form->TntRadioGroup2->isEnabled());
  EXPECT_TRUE(form->Steps().PatchDir.empty());
}

TEST_F(Flow, AThreeDsInputOffersThreeOutputKinds) {
  ChooseImage(TrilogyImage("game.3ds"));
  ChooseOutput("out.3ds");
  EXPECT_EQ(saveFilters.at(0), Text("Console") + " (CFW) (*.cia);;" + Text("Emulator") + " (*.cxi);;" +
                                   Text("Console") + " (Sky3DS) (*.3ds)");
}

TEST_F(Flow, ACancelledSaveDialogKeepsTheEarlierOutput) {
  ChooseImage(TrilogyImage());
  ChooseOutput("");
  EXPECT_TRUE(form->ebNewRom->text().isEmpty());
  EXPECT_FALSE(form->CBPatch->isEnabled());
  ChooseOutput("first.cia");
  ChooseOutput("");
  EXPECT_EQ(form->ebNewRom->text(), Path(app / "first.cia"));
}

TEST_F(Flow, ALanguageChangeRebuildsTheListWithoutTheDialog) {
  WriteFile(patchDir / "English.dsc", "Game=AAT Region=USA Title=english");
  WriteFile(patchDir / PathFromUtf8("Русский.dsc"), "Game=AAT Region=USA Title=russian");
  ChooseImage(TrilogyImage());
  ChooseOutput("out.cia");
  form->CBPatch->setCurrentIndex(1);
  form->CBLang->setCurrentIndex(form->CBLang->findText("Русский"));
  EXPECT_EQ(saveFilters.size(), 1u);
  EXPECT_EQ(Items(), (QStringList{Text("None"), "russian"}));
  EXPECT_EQ(form->CBPatch->currentIndex(), 1);  // the same patch folder, in the new language
}

TEST_F(Flow, ALanguageChangeBeforeAnOutputRebuildsNothing) {
  ChooseImage(TrilogyImage());
  form->CBLang->setCurrentIndex(form->CBLang->findText("Русский"));
  EXPECT_EQ(form->CBPatch->count(), 0);
  EXPECT_TRUE(saveFilters.empty());
}

TEST_F(Flow, ADescriptorThatCannotBeReadIsReportedWhenChosen) {
  WriteFile(patchDir / "p.dsc", "Game=AAT Region=USA Title=Vanishing");
  ChooseImage(TrilogyImage());
  ChooseOutput("out.cia");
  fs::remove(patchDir / "p.dsc");
  form->CBPatch->setCurrentIndex(1);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().text, Text("LoadDescError"));
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());
}

TEST_F(Flow, AnImageWhoseMusicCannotBeReadLeavesTheMusicButtonOff) {
  test::RawImageOptions o;
  o.entry = 0;  // the sound archive's offset is read from the wrong place
  ChooseImage(TrilogyImage("game.cxi", o));
  ChooseOutput("out.cia");
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back().text, Text("ErrorReadingTracks"));
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
}

TEST_F(Flow, InstallRunsTheJobForTheInputKindBelowTheStartLine) {
  // A whole image, handed back by the stand-in CXI build, so that the new image passes its check.
  const auto& table = IdentificationTable();
  const auto trilogy = std::find_if(table.begin(), table.end(), [](const TGameRow& r) { return r.gameCode == std::string("AAT"); });
  const auto image = test::BuildGameImage(*trilogy, ".cxi", app / "game.cxi", app / "build");
  standInImage = app / "made.cxi";
  fs::copy_file(image.path, standInImage);
  PlanTool("3dstool");
  ChooseImage(image.path);
  ChooseOutput("out.cxi");
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  EXPECT_TRUE(form->BTNCancel->isEnabled());
  EXPECT_FALSE(form->CBPatch->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000));
  const QStringList lines = form->LogText().split('\n');
  const auto start = lines.indexOf(Text("StartPatching"));
  ASSERT_GT(start, 0);
  EXPECT_EQ(lines[start - 1], "");
  EXPECT_EQ(lines[start + 1], "");
  EXPECT_EQ(lines[start + 2], Text("ExtractingExeFS"));  // CXI input: no partition to extract
  const auto success = lines.indexOf(Text("PatchingSuccessful"));
  ASSERT_GT(success, 0);
  EXPECT_EQ(lines[success + 1], "[" + Path(app / "out.cxi") + "]");
  // The stand-in tools unpack no sound archive, and the end of the log says so again.
  EXPECT_EQ(lines.mid(success + 2), (QStringList{"", Text("PatchingCompletedWithWarnings"), Text("WarningUnpackingBcsar")}));
  EXPECT_TRUE(form->BTNMusicChange->isEnabled());
}

TEST_F(Flow, AModFolderIsChosenInStepTwoAndAnExistingTitleFolderIsAskedAbout) {
  const auto& table = IdentificationTable();
  const auto trilogy = std::find_if(table.begin(), table.end(), [](const TGameRow& r) { return r.gameCode == std::string("AAT"); });
  const auto image = test::BuildGameImage(*trilogy, ".cia", app / "game.cia", app / "build");
  // A patch that adds a file, so that the run writes a mod folder with a receipt.
  WriteFile(patchDir / "English.dsc", "Game=AAT Region=JAP USA EUR Title=mod");
  WriteFile(patchDir / "romfs/added.bin", "added by the patch");
  ChooseImage(image.path);
  QStringList menu;
  SetMenuHook([&](const QStringList& items) -> std::optional<int> {
    menu = items;
    return 1;
  });
  fs::create_directories(app / "sd");
  saveAnswers.push_back(Path(app / "sd"));
  QTest::mouseClick(form->btNewRomPath, Qt::LeftButton);
  SetMenuHook(nullptr);
  EXPECT_EQ(menu, (QStringList{Text("OutputKindImage"), Text("OutputKindMods")}));
  EXPECT_EQ(saveFilters.back(), "");  // the folder dialog, not the image's save dialog
  const fs::path title = app / "sd" / ModTitleFolderName(0x0004000000000000ull | trilogy->programIdLow);
  EXPECT_EQ(form->ebNewRom->text(), Path(title));
  ASSERT_TRUE(form->BTNInstallPatch->isEnabled());
  ASSERT_EQ(Items(), (QStringList{Text("None"), "mod"}));
  form->CBPatch->setCurrentIndex(1);

  // A title folder already there is replaced whole only when the player agrees.
  WriteFile(title / "romfs/left over.bin", "an earlier mod");
  std::vector<QString> questions;
  bool agree = false;
  SetQuestionHook([&](const MessageRecord& m) {
    questions.push_back(m.text);
    return agree;
  });
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  EXPECT_FALSE(form->JobRunning());
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_TRUE(questions[0].contains(Path(title)));
  EXPECT_TRUE(form->LogText().endsWith(Text("ReplaceDeclinedFolder").replace("%1", Path(title))));
  agree = true;
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000));
  SetQuestionHook(nullptr);
  EXPECT_EQ(questions.size(), 2u);
  EXPECT_FALSE(fs::exists(title / "romfs/left over.bin")) << form->LogText().toStdString();
  EXPECT_TRUE(form->LogText().contains(Text("ModFolderSuccessful"))) << form->LogText().toStdString();

  // The folder the run wrote checks good through "Check an image...", and Step 2 offers to
  // remove it, naming every file that goes.
  const auto listed = ReadModReceipt(title);
  ASSERT_TRUE(listed) << form->LogText().toStdString();
  SetMenuHook([&](const QStringList& items) -> std::optional<int> {
    menu = items;
    return 1;
  });
  saveAnswers.push_back(Path(title));
  QTest::mouseClick(form->BTNCheckImage, Qt::LeftButton);
  SetMenuHook(nullptr);
  EXPECT_EQ(menu, (QStringList{Text("CheckMenuImage"), Text("CheckMenuModFolder")}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->CheckRunning() && form->BTNCheckImage->isEnabled(); }, 30000));
  EXPECT_EQ(form->LogText().split('\n').back(), Text("ModCheckAllGood").replace("%1", QString::number(listed->size())));
  ASSERT_TRUE(form->BTNRemoveModFolder->isVisibleTo(form.get()));
  ASSERT_TRUE(form->BTNRemoveModFolder->isEnabled());
  questions.clear();
  SetQuestionHook([&](const MessageRecord& m) {
    questions.push_back(m.text);
    return true;
  });
  QTest::mouseClick(form->BTNRemoveModFolder, Qt::LeftButton);
  SetQuestionHook(nullptr);
  ASSERT_EQ(questions.size(), 1u);
  for (const TModReceiptFile& file : *listed) EXPECT_TRUE(questions[0].contains(QString::fromStdString(file.path)));
  EXPECT_FALSE(fs::exists(title));
  EXPECT_FALSE(fs::exists(app / "sd" / (PathToUtf8(title.filename()) + ".txt")));
  EXPECT_FALSE(form->BTNRemoveModFolder->isVisibleTo(form.get()));
  EXPECT_TRUE(form->LogText().contains(Text("ModRemoveDone").replace("%1", Path(title)).section("%2", 0, 0)));
}

TEST_F(Flow, CardsAndEmulatorsFoundWhenStepTwoAsksAreOfferedBeforeAnotherFolder) {
  const auto& table = IdentificationTable();
  const auto trilogy = std::find_if(table.begin(), table.end(), [](const TGameRow& r) { return r.gameCode == std::string("AAT"); });
  const auto image = test::BuildGameImage(*trilogy, ".cia", app / "game.cia", app / "build");
  ChooseImage(image.path);
  std::vector<QStringList> menus;
  SetMenuHook([&](const QStringList& items) -> std::optional<int> {
    menus.push_back(items);
    return 1;  // the mod folder, then the emulator
  });
  // Nothing found: the folder dialog at once, as before; what comes since is found next time.
  QTest::mouseClick(form->btNewRomPath, Qt::LeftButton);
  EXPECT_EQ(saveFilters, (std::vector<QString>{""}));
  fs::create_directories(app / "card/luma");
  volumes.push_back({app / "card", "vfat", true});
  const fs::path citra = home / ".local" / "share" / "citra-emu";
  fs::create_directories(citra);
  QTest::mouseClick(form->btNewRomPath, Qt::LeftButton);
  SetMenuHook(nullptr);
  ASSERT_EQ(menus.size(), 3u);
  EXPECT_EQ(menus[2], (QStringList{Text("ModPlaceSdCard").replace("%1", Path(app / "card")),
                                   Text("ModPlaceEmulator").replace("%1", "Citra").replace("%2", Path(citra)),
                                   Text("ModPlaceOther")}));
  EXPECT_EQ(saveFilters.size(), 1u);  // no folder dialog
  const fs::path title = citra / "load" / "mods" / ModTitleFolderName(0x0004000000000000ull | trilogy->programIdLow);
  EXPECT_EQ(form->ebNewRom->text(), Path(title));
  EXPECT_FALSE(fs::exists(app / "card/luma/titles"));
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000));
  EXPECT_TRUE(form->LogText().contains(Text("ModFolderSuccessful"))) << form->LogText().toStdString();
  EXPECT_TRUE(fs::is_directory(title));
}

}  // namespace
}  // namespace qpt::ui

namespace qpt::ui {
namespace {

TEST_F(Flow, EachInstallClickRunsExactlyOneJob) {
  ChooseImage(TrilogyImage("game.cxi"));
  ChooseOutput("out.cxi");
  for (int run = 1; run <= 3; ++run) {
    QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000));
    EXPECT_EQ(form->LogText().count(Text("StartPatching")), run);
    EXPECT_EQ(Calls("ctrtool").size(), 2u * static_cast<std::size_t>(run));  // ExeFS and RomFS of a CXI
  }
}

}  // namespace
}  // namespace qpt::ui

namespace qpt::ui {
namespace {

TEST_F(Flow, NoMusicDialogOpensOnAnIncompleteTrackList) {
  test::RawImageOptions o;
  o.entry = 0;  // the music names cannot be read
  ChooseImage(TrilogyImage("game.cxi", o));
  ChooseOutput("out.cxi");
  ASSERT_NE(form->TrackList(), nullptr);
  EXPECT_FALSE(form->TrackList()->Complete());
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());
  // Nor after a run of a music game, and not when asked directly either.
  QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form->JobRunning(); }, 30000));
  EXPECT_FALSE(form->BTNMusicChange->isEnabled());
  bool opened = false;
  form->onMusicDialogShown = [&](TMusicDialog& d) {
    opened = true;
    d.reject();
  };
  form->BTNMusicChangeClick();
  EXPECT_FALSE(opened);
}

TEST_F(Flow, TheMusicButtonOpensTheDialogOfTheGame) {
  ChooseImage(TrilogyImage("game.cxi"));
  ChooseOutput("out.cxi");
  QString shownBy;
  form->onMusicDialogShown = [&](TMusicDialog& d) {
    shownBy = d.objectName();
    d.reject();
  };
  QTest::mouseClick(form->BTNMusicChange, Qt::LeftButton);
  EXPECT_EQ(shownBy, "Form2");
  EXPECT_FALSE(form->TrackList()->MusicChanged);
  EXPECT_FALSE(form->LogText().contains(Text("MusicSaved")));
  // Saved, the choice is told in the log, as it shows nowhere else until the next run.
  form->onMusicDialogShown = [&](TMusicDialog& d) { d.TntButton4Click(); };
  QTest::mouseClick(form->BTNMusicChange, Qt::LeftButton);
  EXPECT_TRUE(form->TrackList()->MusicChanged);
  EXPECT_TRUE(form->LogText().endsWith(Text("MusicSaved"))) << form->LogText().toStdString();
}

}  // namespace
}  // namespace qpt::ui
