// The player's whole path through the window with our real tools: every game and region,
// every input kind and every output kind the window offers for it, with a realistic patch,
// a voice set and a music change; then bad input of every sort.
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/Receipt.h"
#include "support/AppFolder.h"
#include "support/GameImages.h"
#include "ui/Dialogs.h"
#include "ui/MusicDialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {
namespace {

namespace fs = std::filesystem;

class Acceptance : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHook([this](const MessageRecord& m) { messages.push_back(m); });
    SetFileDialogHook([this](bool save, const QString&) -> std::optional<QString> {
      auto& answers = save ? saveAnswers : openAnswers;
      if (answers.empty()) return std::nullopt;
      const QString answer = answers.front();
      answers.erase(answers.begin());
      return answer;
    });
    form = std::make_unique<TForm1>(TForm1Options{app.path(), "English", "."});
    ASSERT_TRUE(form->FormCreate());
  }
  void TearDown() override {
    SetMessageHook(nullptr);
    SetFileDialogHook(nullptr);
  }
  static QString Q(const fs::path& p) { return QString::fromStdString(PathToUtf8(p)); }
  void ChooseImage(const fs::path& image) {
    openAnswers.push_back(Q(image));
    QTest::mouseClick(form->btOldRomPath, Qt::LeftButton);
  }
  void ChooseOutput(const fs::path& out) {
    saveAnswers.push_back(Q(out));
    QTest::mouseClick(form->btNewRomPath, Qt::LeftButton);
  }
  // Installs and waits for the end of the run; true when it ended with the success line.
  bool Install() {
    QTest::mouseClick(form->BTNInstallPatch, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return !form->JobRunning(); }, 120000)) return false;
    return form->LogText().contains(form->GetLangText("PatchingSuccessful"));
  }
  QString Text(const char* key) { return form->GetLangText(key); }

  test::AppFolder app{test::AppFolder::RealTools{}};
  test::TempDir work{"accept"};
  std::unique_ptr<TForm1> form;
  std::vector<MessageRecord> messages;
  std::vector<QString> openAnswers, saveAnswers;
};

class EveryGame : public Acceptance, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(EveryGame, EveryKindEveryOfferedOutput) {
  {
    ASSERT_EQ(IdentificationTable().size(), 15u);
    const TGameRow& row = IdentificationTable()[GetParam()];
    const bool musicGame = row.entry >= 0;
    for (const std::string kind : {".cia", ".cxi", ".3ds"}) {
      // Paths with blanks and letters beyond ASCII, as players' folders have them.
      const fs::path input = work / ("Mes jeux/Ünïcode " + std::string(row.gameCode) + kind);
      const auto image = test::BuildGameImage(row, kind, input, work / "build");
      const std::string before = test::FileSha256(input);
      const fs::path patchDir = app / ("patch/" + std::string(row.gameCode) + " Übersetzung");
      fs::remove_all(app / "patch");
      const auto patch = test::BuildGamePatch(image, patchDir);
      std::vector<std::string> outputs = {"out.cia", "out.cxi"};
      if (kind == ".3ds") outputs.push_back("out.3ds");
      for (const std::string& name : outputs) {
        SCOPED_TRACE(std::string(row.title) + " / " + row.region + " / " + kind + " -> " + name);
        const fs::path out = work / ("Sortie ö/" + name);
        fs::create_directories(out.parent_path());
        ChooseImage(input);
        ChooseOutput(out);
        ASSERT_EQ(form->CBPatch->count(), 2);
        form->CBPatch->setCurrentIndex(1);
        std::map<int, std::string> music;
        int voiceSet = -1;
        if (musicGame) {
          voiceSet = 1;
          form->voiceItems[voiceSet]->setChecked(true);
          const QString title = row.gameCode == std::string("AAT") ? "Objection! 2004" : "Objection! 2001";
          music[0] = row.gameCode == std::string("AAT") ? "BGM121" : "BGM54";
          form->onMusicDialogShown = [&](TMusicDialog& d) {
            d.Grid->setCurrentCell(1, 1);
            d.CBSelected->setEditText(title);
            d.TntButton4Click();
          };
          ASSERT_TRUE(form->BTNMusicChange->isEnabled());
          QTest::mouseClick(form->BTNMusicChange, Qt::LeftButton);
          ASSERT_TRUE(form->TrackList()->MusicChanged);
        } else {
          EXPECT_FALSE(form->BTNMusicChange->isEnabled());
        }
        ASSERT_TRUE(Install()) << form->LogText().toStdString();
        // Texts that carry a mnemonic mark on a control never reach the log or the receipt.
        EXPECT_FALSE(form->LogText().contains('&'));
        EXPECT_EQ(test::ReadFile(ReceiptPath(WrittenOutputPath(out))).find('&'), std::string::npos);
        EXPECT_TRUE(messages.empty());
        EXPECT_FALSE(app.WorkFolderLeft());
        EXPECT_EQ(test::CheckInstalledImage(image, patch, test::ReadImageContents(out), voiceSet, music), "");
        EXPECT_EQ(test::FileSha256(input), before);
        fs::remove(out);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, EveryGame, ::testing::Range<std::size_t>(0, 15));

class BadInput : public Acceptance {
 protected:
  // The window must be usable afterwards: a good image still goes all the way through.
  void ExpectStillUsable() {
    const auto image = test::BuildGameImage(IdentificationTable()[7], ".cxi", work / "good.cxi", work / "b");
    ChooseImage(image.path);
    ChooseOutput(work / "good out.cia");
    EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
    EXPECT_TRUE(Install()) << form->LogText().toStdString();
    EXPECT_TRUE(fs::exists(work / "good out.cia"));
  }
};

TEST_F(BadInput, EmptyForeignTruncatedAndEncryptedImagesAreRefusedWithAMessage) {
  test::WriteFile(work / "empty.cia", "");
  ChooseImage(work / "empty.cia");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages.back().text, Text("ErrorNOTCIAROM"));
  EXPECT_FALSE(form->btNewRomPath->isEnabled());

  const auto cxi = test::BuildGameImage(IdentificationTable()[1], ".cxi", work / "real.cxi", work / "b");
  fs::copy_file(cxi.path, work / "disguised.3ds");
  ChooseImage(work / "disguised.3ds");
  EXPECT_EQ(messages.back().text, Text("ErrorNOT3DSROM"));

  // An encrypted image: the two program IDs differ.
  test::Bytes bytes = test::ReadBytes(cxi.path);
  bytes[0x400] ^= 0x01;
  test::WriteBytes(work / "encrypted.cxi", bytes);
  ChooseImage(work / "encrypted.cxi");
  EXPECT_EQ(form->LogText(), Text("LogEncrypted") + "\n");
  EXPECT_FALSE(form->btNewRomPath->isEnabled());
  ExpectStillUsable();
}

TEST_F(BadInput, TruncatedImagesNeverLeaveAPartialOutput) {
  const auto cia = test::BuildGameImage(IdentificationTable()[4], ".cia", work / "full.cia", work / "b");
  const test::Bytes full = test::ReadBytes(cia.path);
  for (const std::size_t length : {std::size_t(0x20), std::size_t(0x2100), std::size_t(0x3A00), full.size() / 3,
                                   full.size() / 2, full.size() - 0x200, full.size() - 1}) {
    SCOPED_TRACE(length);
    const fs::path cut = work / "cut.cia";
    test::WriteBytes(cut, test::Bytes(full.begin(), full.begin() + static_cast<long>(length)));
    messages.clear();
    ChooseImage(cut);
    if (!form->btNewRomPath->isEnabled()) {
      EXPECT_FALSE(messages.empty() && !form->LogText().contains(Text("LogEncrypted")));
      continue;
    }
    ChooseOutput(work / "cut out.cia");
    EXPECT_FALSE(Install());
    EXPECT_FALSE(fs::exists(work / "cut out.cia"));
    EXPECT_FALSE(app.WorkFolderLeft());
    EXPECT_EQ(test::ReadBytes(cut).size(), length);
  }
  ExpectStillUsable();
}

TEST_F(BadInput, DescriptorsInEveryEncodingAndAGarbageOneBesideThem) {
  const auto image = test::BuildGameImage(IdentificationTable()[10], ".cxi", work / "g.cxi", work / "b");
  const std::string text = "Game=AA6\r\nRegion=USA\r\nTitle=\"Titre ";
  auto utf16 = [](const std::u16string& s, bool be) {
    std::string out = be ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : s) {
      const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
      out += be ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
  };
  test::WriteFile(app / "patch/a/p.dsc", "\xEF\xBB\xBF" + text + "UTF-8 é\"");
  test::WriteFile(app / "patch/b/p.dsc", utf16(u"Game=AA6\r\nRegion=USA\r\nTitle=\"Titre UTF-16LE é\"", false));
  test::WriteFile(app / "patch/c/p.dsc", utf16(u"Game=AA6\r\nRegion=USA\r\nTitle=\"Titre UTF-16BE é\"", true));
  test::WriteFile(app / "patch/d/p.dsc", text + "ANSI \xE9\"");
  test::WriteBytes(app / "patch/e/p.dsc", test::PatternBytes(3000, 9));
  ChooseImage(image.path);
  ChooseOutput(work / "out.cia");
  QStringList titles;
  for (int i = 1; i < form->CBPatch->count(); ++i) titles << form->CBPatch->itemText(i);
  EXPECT_EQ(titles, (QStringList{"Titre UTF-8 é", "Titre UTF-16LE é", "Titre UTF-16BE é", "Titre ANSI é"}));
  EXPECT_TRUE(messages.empty());
}

TEST_F(BadInput, AMissingToolAndAnUnwritableOutputEndTheRunCleanly) {
  const auto image = test::BuildGameImage(IdentificationTable()[13], ".cia", work / "g.cia", work / "b");
  ChooseImage(image.path);
  test::WriteFile(work / "a file", "not a folder");
  ChooseOutput(work / "a file/out.cia");
  EXPECT_FALSE(Install());
  // Refused before anything is written, naming the folder.
  EXPECT_TRUE(form->LogText().endsWith(
      Text("ErrorOutputFolderNotWritable").replace("%1", QString::fromStdString(PathToUtf8(work / "a file"))) +
      "\n\n" + Text("InstallFailedNothingWritten")))
      << form->LogText().toStdString();
  EXPECT_FALSE(app.WorkFolderLeft());

  fs::remove(app.Tool("makerom"));
  ChooseOutput(work / "out.cia");
  EXPECT_FALSE(Install());
  EXPECT_TRUE(form->LogText().contains("makerom"));
  EXPECT_FALSE(fs::exists(work / "out.cia"));
  EXPECT_FALSE(app.WorkFolderLeft());
  EXPECT_TRUE(form->BTNInstallPatch->isEnabled());
}

TEST_F(BadInput, ALanguageFileRemovedWhileRunningKeepsTheTexts) {
  fs::remove(app / "lang/Русский.lng");
  form->CBLang->setCurrentIndex(form->CBLang->findText("Русский"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "Отсутствуют языковые файлы.\r\nLanguage files are missing.");
  EXPECT_EQ(Text("Done").toStdString(), form->LangList().GetLangText("Done"));
  EXPECT_NE(Text("Done"), "Label0");
  messages.clear();
  ExpectStillUsable();
  EXPECT_TRUE(form->LogText().contains(Text("PatchingSuccessful")));
}

}  // namespace
}  // namespace qpt::ui
