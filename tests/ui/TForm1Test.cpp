#include "ui/TForm1.h"

#include <QAbstractTextDocumentLayout>
#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>

#include <gtest/gtest.h>

#include "core/common/Common.h"
#include "support/AppFolder.h"
#include "ui/TextFit.h"
#include "ui/Dialogs.h"

namespace qpt::ui {
namespace {

namespace fs = std::filesystem;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHook([this](const MessageRecord& m) { messages_.push_back(m); });
    SetUrlHook([this](const QUrl& url) {
      opened_.push_back(url);
      return urlOpens_;
    });
  }
  void TearDown() override {
    SetMessageHook(nullptr);
    SetUrlHook(nullptr);
  }
  std::unique_ptr<TForm1> Start(const std::string& locale, bool expectOk = true,
                                const std::string& separator = ".") {
    auto form = std::make_unique<TForm1>(TForm1Options{app_.path(), locale, separator});
    EXPECT_EQ(form->FormCreate(), expectOk);
    return form;
  }
  template <typename T>
  T* Find(TForm1& form, const char* name) {
    T* w = form.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  test::AppFolder app_;
  std::vector<MessageRecord> messages_;
  std::vector<QUrl> opened_;
  bool urlOpens_ = true;  // false: no browser or file manager could be started
};

TEST_F(MainWindowTest, StartsInEnglishWithOnlyTheFirstStepEnabled) {
  auto form = Start("English");
  EXPECT_EQ(form->windowTitle(), "Quill Patch Tool v.1.0.1");
  EXPECT_EQ(form->size(), QSize(657, 482));
  EXPECT_TRUE(messages_.empty());

  struct Expect { const char* name; bool enabled; };
  const Expect controls[] = {
      {"CBLang", true},          {"TntGroupBox1", true},     {"RichDesc", true},       {"MemoLog", true},
      {"TntGroupBox2", true},    {"ebOldRom", true},         {"btOldRomPath", true},   {"ebNewRom", false},
      {"btNewRomPath", false},   {"CBPatch", false},         {"TntRadioGroup2", false}, {"BTNMusicChange", false},
      {"BTNInstallPatch", false}, {"BTNCancel", false},      {"ProgressBar1", true},
  };
  for (const Expect& c : controls) {
    QWidget* w = Find<QWidget>(*form, c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->isEnabled(), c.enabled) << c.name;
  }
  // Tab goes through the steps from the top, whatever order the controls were made in.
  QStringList chain;
  for (QWidget* w = form->CBLang; chain.size() < 11; w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().startsWith("qt_")) chain << w->objectName();
  }
  // The removal of a mod folder, while shown, right after the mod folder's choice.
  EXPECT_EQ(chain, (QStringList{"CBLang", "ebOldRom", "btOldRomPath", "ebNewRom", "btNewRomPath", "BTNRemoveModFolder", "CBPatch",
                                "BTNOpenPatchFolder", "TntRadioGroup2Item0", "TntRadioGroup2Item1", "TntRadioGroup2Item2"}));
  EXPECT_TRUE(Find<QLineEdit>(*form, "ebOldRom")->isReadOnly());
  // The patch folder is open to the player from the start, in the file manager.
  Find<QPushButton>(*form, "BTNOpenPatchFolder")->click();
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0], QUrl::fromLocalFile(QString::fromStdString(PathToUtf8(app_.path() / "patch"))));
  EXPECT_TRUE(messages_.empty());
  // Without a file manager the player is told so, with the folder to open by hand.
  urlOpens_ = false;
  Find<QPushButton>(*form, "BTNOpenPatchFolder")->click();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].kind, MessageKind::Error);
  EXPECT_EQ(messages_[0].text, form->GetLangText("OpenPatchFolderFailed")
                                   .replace("%1", QString::fromStdString(PathToUtf8(app_.path() / "patch"))));
  messages_.clear();
  EXPECT_FALSE(Find<QComboBox>(*form, "CBLang")->isEditable());
  EXPECT_EQ(Find<QComboBox>(*form, "CBLang")->currentText(), "English");
  EXPECT_EQ(Find<QComboBox>(*form, "CBLang")->count(), static_cast<int>(FindLanguageFiles(app_.path()).size()));
  EXPECT_EQ(Find<QProgressBar>(*form, "ProgressBar1")->value(), 0);
  EXPECT_EQ(Find<QPushButton>(*form, "BTNInstallPatch")->text(), form->GetLangText("BTNInstallPatch"));
  EXPECT_EQ(Find<QLabel>(*form, "TntLabel0")->text(), "Interface &language");
  EXPECT_EQ(Find<QGroupBox>(*form, "TntRadioGroup2")->title(), form->GetLangText("RadioGroup2"));
  EXPECT_EQ(form->VoiceIndex(), 0);
  EXPECT_EQ(Find<QTextBrowser>(*form, "RichDesc")->toPlainText(), form->GetLangText("DescriptionDefault"));

  // The disk report: the heading, an empty line, the drive and the free space.
  const QStringList log = form->LogText().split('\n');
  ASSERT_GE(log.size(), 4);
  EXPECT_EQ(log[0], form->GetLangText("MessageDiskFreeSpace"));
  EXPECT_EQ(log[1], "");
#ifdef _WIN32
  EXPECT_EQ(log[2], form->GetLangText("CurrentDrive") + QString::fromStdString(PathToUtf8(app_.path().root_path())));
  EXPECT_TRUE(log[2].endsWith(":\\"));  // "C:\", as Windows names a drive
#else
  EXPECT_EQ(log[2], form->GetLangText("CurrentDrive") + "/");
#endif
  EXPECT_TRUE(log[3].startsWith(form->GetLangText("FreeSpace")));
  EXPECT_TRUE(log[3].endsWith(" GB"));
}

TEST_F(MainWindowTest, ARussianLocaleStartsInRussian) {
  auto form = Start("Russian");
  EXPECT_EQ(Find<QComboBox>(*form, "CBLang")->currentText(), "Русский");
  EXPECT_EQ(Find<QLabel>(*form, "TntLabel0")->text(), "&Язык интерфейса");
}

TEST_F(MainWindowTest, EveryCaptionFitsInEveryLanguageAtTheUsualAndALargerFont) {
  auto form = Start("English");
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  EXPECT_EQ(form->size(), QSize(657, 482));
  auto* lang = Find<QComboBox>(*form, "CBLang");
  ASSERT_GE(lang->count(), 10);
  for (const double scale : {1.0, 1.25}) {
    if (scale != 1.0) fit::ScaleFont(*form, scale);
    for (int i = 0; i < lang->count(); ++i) {
      lang->setCurrentIndex(i);
      QCoreApplication::processEvents();
      const std::string language = lang->itemText(i).toStdString();
      fit::ExpectNoClippedText(*form, (language + " at " + std::to_string(scale)).c_str());
      fit::ExpectUniqueMnemonics(*form, language.c_str());
      // The mod folder's removal, shown only at times, has a letter of its own too.
      form->BTNRemoveModFolder->setVisible(true);
      fit::ExpectUniqueMnemonics(*form, language.c_str());
      form->BTNRemoveModFolder->setVisible(false);
      EXPECT_GE(form->width(), 657);
      EXPECT_GE(form->height(), 482);
    }
  }
}

TEST_F(MainWindowTest, FreeSpaceUsesTheLocaleDecimalSeparator) {
  auto form = Start("German", true, ",");
  const QString freeLine = form->LogText().split('\n').value(3);
  EXPECT_FALSE(freeLine.contains('.')) << freeLine.toStdString();
}

TEST_F(MainWindowTest, OnlyTheFirstMissingToolIsReportedAndTheProgramEnds) {
  fs::remove(app_.Tool("3dstool"));
  fs::remove(app_.Tool("makerom"));
  auto form = Start("English", false);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].kind, MessageKind::Error);
  EXPECT_EQ(messages_[0].text, form->GetLangText("Missing3dstool"));
  EXPECT_TRUE(form->LogText().isEmpty());
}

TEST_F(MainWindowTest, MissingStartingLanguageEndsTheProgramBeforeTheToolCheck) {
  fs::remove(app_ / "lang/English.lng");
  fs::remove(app_.Tool("3dstool"));
  auto form = Start("English", false);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].title, "Quilltool");
  EXPECT_EQ(messages_[0].text, "Отсутствуют языковые файлы.\r\nLanguage files are missing.");
}

TEST_F(MainWindowTest, ChangingLanguageReappliesTextsAndKeepsTheVoiceChoice) {
  auto form = Start("English");
  form->TntRadioGroup2->setEnabled(true);
  form->voiceItems[2]->setChecked(true);
  ASSERT_EQ(form->VoiceIndex(), 2);
  auto* lang = Find<QComboBox>(*form, "CBLang");
  const auto qtYes = [] { return QCoreApplication::translate("QPlatformTheme", "&Yes"); };
  EXPECT_EQ(qtYes(), "&Yes");
  lang->setCurrentIndex(lang->findText("Русский"));
  EXPECT_EQ(Find<QLabel>(*form, "TntLabel0")->text(), "&Язык интерфейса");
  EXPECT_EQ(form->VoiceIndex(), 2);  // the next installation uses the voices chosen
  // Qt's own buttons and dialogs follow the language box, both ways.
  EXPECT_EQ(qtYes(), "&Да");
  lang->setCurrentIndex(lang->findText("English"));
  EXPECT_EQ(qtYes(), "&Yes");
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, ALanguageFileThatVanishedWarnsOnceAndKeepsTheTexts) {
  auto form = Start("English");
  auto* lang = Find<QComboBox>(*form, "CBLang");
  fs::remove(app_ / "lang/Русский.lng");
  lang->setCurrentIndex(lang->findText("Русский"));
  EXPECT_EQ(messages_.size(), 1u);
  // The box goes back to the language still loaded, which the texts and dialogs use.
  EXPECT_EQ(lang->currentText(), "English");
  EXPECT_EQ(form->QueryLanguage().languageName, "English");
  EXPECT_EQ(Find<QLabel>(*form, "TntLabel0")->text(), "Interface &language");
  EXPECT_NE(form->GetLangText("Done"), "Label0");
}

TEST_F(MainWindowTest, LogLinesAndProgressFromTheJob) {
  auto form = Start("English");
  form->LogAppend("\r\nfirst");
  form->LogAppend("1/10");
  form->LogReplaceLast("10/10");
  const QStringList lines = form->LogText().split('\n');
  ASSERT_GE(lines.size(), 3);
  EXPECT_EQ(lines[lines.size() - 3], "");
  EXPECT_EQ(lines[lines.size() - 2], "first");
  EXPECT_EQ(lines.back(), "10/10");
  form->SetProgress(55);
  EXPECT_EQ(Find<QProgressBar>(*form, "ProgressBar1")->value(), 55);
  form->SetLanguageBoxEnabled(false);
  EXPECT_FALSE(Find<QComboBox>(*form, "CBLang")->isEnabled());
  const LanguageQuery q = form->QueryLanguage();
  EXPECT_EQ(q.languageName, "English");
  EXPECT_EQ(q.folders.lang, app_.path() / "lang");
  EXPECT_EQ(q.langList, &form->LangList());
}

TEST_F(MainWindowTest, ClickingALinkInTheDescriptionOpensItAndPlainTextDoesNot) {
  auto form = Start("English");
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
  form->SetDescription("Made by us. See https://example.org/quill for news.");
  auto* desc = Find<QTextBrowser>(*form, "RichDesc");
  QTextCursor cursor(desc->document());
  const QString plain = desc->toPlainText();
  const auto linkAt = plain.indexOf("example.org");
  ASSERT_GT(linkAt, 0);
  cursor.setPosition(static_cast<int>(linkAt));
  QPoint onLink = desc->cursorRect(cursor).center() + QPoint(2, 0);
  cursor.setPosition(2);
  QPoint onText = desc->cursorRect(cursor).center();
  QTest::mouseClick(desc->viewport(), Qt::LeftButton, {}, onText);
  EXPECT_TRUE(opened_.empty());
  QTest::mouseClick(desc->viewport(), Qt::LeftButton, {}, onLink);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].toString(), "https://example.org/quill");
}

TEST(Linkify, AddressesBecomeLinksAndTextIsEscaped) {
  EXPECT_EQ(LinkifyText("a <b> www.x.org/p. c"),
            "<div style=\"white-space: pre-wrap\">a &lt;b&gt; <a href=\"http://www.x.org/p\">www.x.org/p</a>. c</div>");
  EXPECT_EQ(LinkifyText("line1\r\n  line2"), "<div style=\"white-space: pre-wrap\">line1\n  line2</div>");
}

TEST(FileFilters, PairsBecomeQtFilters) {
  EXPECT_EQ(ToQtFilter("3DS console (*.cia)|*.cia|Emulator (*.3ds;*.cxi)|*.3ds;*.cxi"),
            "3DS console (*.cia);;Emulator (*.3ds;*.cxi) (*.3ds *.cxi)");
}

}  // namespace
}  // namespace qpt::ui
