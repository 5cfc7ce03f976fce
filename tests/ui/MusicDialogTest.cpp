#include "ui/MusicDialogs.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "core/common/Common.h"
#include "core/localization/Language.h"
#include "core/music/BuiltinResources.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Verify.h"
#include "support/AppFolder.h"
#include "support/GameImages.h"
#include "support/RawImages.h"
#include "ui/Dialogs.h"
#include "ui/TextFit.h"

namespace qpt::ui {
namespace {

namespace fs = std::filesystem;

class MusicDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageHook([this](const MessageRecord& m) { messages.push_back(m); });
    ASSERT_TRUE(LoadLanguage("English", lang, app.path()));
  }
  void TearDown() override { SetMessageHook(nullptr); }

  // An image whose every slot names the track with the same index (slot s plays track s),
  // except the slots given in `unknown`, which hold a name with no key.
  void Build(const std::string& game, std::map<int, std::string> unknown = {}) {
    test::RawImageOptions o;
    o.programId = game == "AAT" ? 0x00138F00 : 0x001BD200;
    o.entry = game == "AAT" ? 104 : 4492;
    TTrackList builtin;
    ASSERT_EQ(builtin.CreateFromText(*FindBuiltinResource("TrackList" + game), QPT_FAKE_TOOL, game, -1).status,
              TTrackListStatus::ReadingError);
    const auto& offsets = SlotOffsetsFor(game);
    for (std::size_t s = 0; s < offsets.size(); ++s) {
      o.streamNames[offsets[s]] = builtin.GetKey(static_cast<int>(s)) + ".dspadpcm.bcstm";
    }
    // Slot 11 of the trilogy shares slot 10's field.
    for (const auto& [slot, name] : unknown) o.streamNames[offsets[static_cast<std::size_t>(slot)]] = name + std::string(24 - name.size(), '\0');
    image = app / "old image.cxi";
    info = test::WriteRawImage(image, o);
    ASSERT_EQ(list.Create(image, game, info, {}).status, TTrackListStatus::Ok);
  }
  // A whole image of the game, for the writes into the old image, which must stay valid.
  void BuildWhole(const std::string& game, const std::string& kind) {
    const TGameRow& row = IdentificationTable()[game == "AAT" ? 1 : 4];
    image = app / ("old image" + kind);
    test::BuildGameImage(row, kind, image, app / "build");
    info = IdentifyRom(image).soundInfoPos;
    ASSERT_EQ(list.Create(image, game, info, {}).status, TTrackListStatus::Ok);
  }
  template <typename Dialog>
  std::unique_ptr<Dialog> Open() {
    return std::make_unique<Dialog>(list, LanguageQuery{&lang, app.path(), "English"},
                                    [this](const std::string& line) { log.push_back(line); });
  }
  std::string Field(int slot, std::size_t length = 24) {
    const std::string bytes = test::ReadFile(image);
    return bytes.substr(static_cast<std::size_t>(info + SlotOffsetsFor(list.GameCode)[static_cast<std::size_t>(slot)]), length);
  }
  static QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
    return items;
  }
  // Save, and for a write into the old image its end: whether the dialog was accepted.
  static bool Save(TMusicDialog& d) {
    d.TntButton4Click();
    return QTest::qWaitFor([&] { return !d.Writing(); }, 30000) && d.result() == QDialog::Accepted;
  }
  static void Choose(TMusicDialog& d, int column, int row, const QString& title) {
    d.Grid->setCurrentCell(row, column);
    d.CBSelected->setEditText(title);
  }

  test::AppFolder app;
  TLangList lang;
  TTrackList list;
  fs::path image;
  std::int64_t info = 0;
  std::vector<MessageRecord> messages;
  std::vector<std::string> log;
};

TEST_F(MusicDialog, TrilogyDialogShowsEverySlotWithItsHeaders) {
  Build("AAT", {{5, "MYSTERY"}});
  auto d = Open<TForm2>();
  EXPECT_GE(d->width(), 906);
  EXPECT_GE(d->height(), 325);
  EXPECT_EQ(d->Grid->rowCount(), 12);
  EXPECT_EQ(d->Grid->columnCount(), 4);
  EXPECT_GE(d->CB33->width(), 241);
  const auto text = [&](const char* key) { return QString::fromStdString(lang.GetLangText(key)); };
  EXPECT_EQ(d->Grid->item(0, 0)->text(), text("MusicGridTitle"));
  EXPECT_EQ(d->Grid->item(0, 1)->text(), text("MusicGridAA1"));
  EXPECT_EQ(d->Grid->item(0, 3)->text(), text("MusicGridAA3"));
  EXPECT_EQ(d->Grid->item(7, 0)->text(), text("MusicScene7"));
  EXPECT_EQ(d->Grid->item(11, 0)->text(), text("MusicScene11"));
  // Cell (c, r) is slot (r-1)*3 + (c-1).
  EXPECT_EQ(d->Grid->item(1, 1)->text(), "Courtroom Lounge 2001");
  EXPECT_EQ(d->Grid->item(1, 2)->text(), "Courtroom Lounge 2002");
  EXPECT_EQ(d->Grid->item(2, 3)->text(), "MYSTERY");  // raw name up to its first zero byte
  EXPECT_EQ(d->CB33->currentText(), "Investigation ~ Middle 2004");  // slot 33 plays track 33
  EXPECT_EQ(d->CB33->count(), 35);
  EXPECT_EQ(d->CBSelected->currentText(), "Courtroom Lounge 2001");
  EXPECT_TRUE(d->CBShowSame->isChecked());
  EXPECT_FALSE(d->CBApplyDirectly->isChecked());
  // Texts from the language file.
  EXPECT_EQ(d->windowTitle(), QString::fromStdString(lang.GetLangText("Form2Caption")));
  EXPECT_EQ(d->TntButton4->text(), QString::fromStdString(lang.GetLangText("Save")));
  EXPECT_EQ(d->TntLabel1->text(), QString::fromStdString(lang.GetLangText("MainMenu")));
  EXPECT_EQ(d->CBApplyDirectly->toolTip(), QString::fromStdString(lang.GetLangText("CBApplyDirectlyHint")));
}

TEST_F(MusicDialog, EveryTextAndTitleFitsInEveryLanguageAtTheUsualAndALargerFont) {
  Build("AAT");
  const std::vector<std::string> languages = FindLanguageFiles(app.path());
  ASSERT_GE(languages.size(), 10u);
  for (const std::string& language : languages) {
    for (const double scale : {1.0, 1.25}) {
      const std::string what = language + " at " + std::to_string(scale);
      TForm2 d(list, LanguageQuery{&lang, app.path(), language}, [](const std::string&) {});
      d.show();
      ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
      if (scale != 1.0) fit::ScaleFont(d, scale);
      fit::ExpectNoClippedText(d, what.c_str());
      fit::ExpectUniqueMnemonics(d, what.c_str());
      // Every cell shows its whole text, and so would any title chosen in a title column.
      const QFontMetrics metrics(d.Grid->font());
      for (int c = 0; c < d.Grid->columnCount(); ++c) {
        QStringList texts;
        for (int r = 0; r < d.Grid->rowCount(); ++r) texts << d.Grid->item(r, c)->text();
        if (c > 0) texts << d.CB33->itemText(d.CB33->count() - 1);
        for (const QString& text : texts) {
          EXPECT_LT(metrics.horizontalAdvance(text), d.Grid->columnWidth(c)) << what << ": " << text.toStdString();
        }
      }
      EXPECT_LE(d.Grid->geometry().right(), d.width()) << what;
    }
  }
}

TEST_F(MusicDialog, SameTypeFilterOffersOnlyTheRowsTracks) {
  Build("AAT");
  auto d = Open<TForm2>();
  d->Grid->setCurrentCell(7, 2);
  d->CBSelectedDropDown();
  EXPECT_EQ(Items(d->CBSelected), (QStringList{"Pursuit ~ Cornered 2001", "Pursuit ~ Cornered 2002",
                                               "Pursuit ~ Cornered 2004", "Reminiscence ~ Cornered 2004"}));
  EXPECT_EQ(d->CBSelected->currentText(), "Pursuit ~ Cornered 2004");  // slot 19
  d->CBShowSame->setChecked(false);
  d->CBSelectedDropDown();
  EXPECT_EQ(Items(d->CBSelected).size(), 35);
  EXPECT_TRUE(Items(d->CBSelected).contains("Main Menu Theme (Trilogy)"));
  EXPECT_EQ(d->Grid->item(7, 2)->text(), "Pursuit ~ Cornered 2004");  // filling the list changes no cell
}

TEST_F(MusicDialog, LogicAndTrickOfTheLaterGamesStayLinked) {
  Build("AAT");
  auto d = Open<TForm2>();
  Choose(*d, 3, 4, "Logic and Trick 2001");
  EXPECT_EQ(d->Grid->item(4, 2)->text(), "Logic and Trick 2001");
  Choose(*d, 2, 4, "Typed title");
  EXPECT_EQ(d->Grid->item(4, 3)->text(), "Typed title");
  Choose(*d, 1, 4, "Logic and Trick 2002/2004");
  EXPECT_EQ(d->Grid->item(4, 2)->text(), "Typed title");
}

TEST_F(MusicDialog, SaveStoresTheChoiceAndCancelStoresNothing) {
  Build("AAT");
  {
    auto d = Open<TForm2>();
    Choose(*d, 1, 1, "Courtroom Lounge 2004");
    d->TntButton5Click();
    EXPECT_EQ(d->result(), QDialog::Rejected);
  }
  EXPECT_EQ(list.GetSelected(0), "Courtroom Lounge 2001");
  EXPECT_FALSE(list.MusicChanged);
  {
    auto d = Open<TForm2>();
    Choose(*d, 1, 1, "Courtroom Lounge 2004");
    d->CB33->setEditText("Objection! 2001");
    EXPECT_TRUE(Save(*d));
  }
  EXPECT_EQ(list.GetSelected(0), "Courtroom Lounge 2004");
  EXPECT_EQ(list.GetSelected(33), "Objection! 2001");
  EXPECT_TRUE(list.MusicChanged);
  EXPECT_EQ(Field(0, 6), "BGM008");  // not written: direct mode was off
  // The next opening shows the saved choice.
  auto again = Open<TForm2>();
  EXPECT_EQ(again->Grid->item(1, 1)->text(), "Courtroom Lounge 2004");
  // The menu's title finds its track whatever its letter case, and is shown as it was saved.
  list.SetSelected(33, "OBJECTION! 2001");
  auto cased = Open<TForm2>();
  EXPECT_EQ(cased->CB33->itemText(cased->CB33->currentIndex()), "Objection! 2001");
  EXPECT_EQ(cased->CB33->currentText(), "OBJECTION! 2001");
}

TEST_F(MusicDialog, EveryClickOnDirectModeWarns) {
  Build("AAT");
  auto d = Open<TForm2>();
  d->show();
  QTest::mouseClick(d->CBApplyDirectly, Qt::LeftButton, {}, QPoint(5, d->CBApplyDirectly->height() / 2));
  QTest::mouseClick(d->CBApplyDirectly, Qt::LeftButton, {}, QPoint(5, d->CBApplyDirectly->height() / 2));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].kind, MessageKind::Warning);
  EXPECT_EQ(messages[1].text, QString::fromStdString(lang.GetLangText("CBApplyDirectlyHintAAT")));
  EXPECT_FALSE(d->CBApplyDirectly->isChecked());
}

TEST_F(MusicDialog, DirectWriteIntoTheOldTrilogyImage) {
  BuildWhole("AAT", ".cia");
  auto d = Open<TForm2>();
  Choose(*d, 1, 1, "Court Begins 2004");           // slot 0
  Choose(*d, 2, 4, "Logic and Trick 2001");        // slots 10 and 11 (linked)
  d->Grid->item(4, 3)->setText("Objection! 2002");  // slot 11 differs: its field is slot 10's
  Choose(*d, 3, 2, "MYSTERY");                      // slot 5: no track of the list
  d->CB33->setEditText("Court Begins 2001");        // slot 33
  d->CBApplyDirectly->setChecked(true);
  d->show();
  d->TntButton4Click();
  // The write and its check run off the dialog's thread, which goes on drawing: the dialog is
  // locked with its bar busy, and neither Discard nor closing it ends the write half-way.
  ASSERT_TRUE(d->Writing());
  for (QWidget* control : std::initializer_list<QWidget*>{d->Grid, d->CB33, d->CBApplyDirectly, d->TntButton4, d->TntButton5}) {
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  }
  EXPECT_TRUE(d->ProgressBar->isVisible());
  EXPECT_EQ(d->ProgressBar->maximum(), 0);
  d->reject();
  EXPECT_TRUE(d->isVisible());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !d->Writing(); }, 30000));
  EXPECT_EQ(d->result(), QDialog::Accepted);
  EXPECT_FALSE(d->ProgressBar->isVisible());
  EXPECT_EQ(Field(0), "BGM118.dspadpcm.bcstm" + std::string(3, '\0'));  // key only, name kept
  EXPECT_EQ(Field(10, 6), "BGM005");
  EXPECT_EQ(Field(33, 6), "BGM013");
  EXPECT_EQ(Field(5, 6), "BGM118");  // unknown title: left alone and logged
  EXPECT_EQ(log, (std::vector<std::string>{lang.GetLangText("WarningUnknownTrack") + "\r\nMYSTERY",
                                           lang.GetLangText("LogOldRomVerified")}));
  EXPECT_TRUE(ctr::VerifyImage(image).ok());
  EXPECT_EQ(list.GetSelected(0), "Court Begins 2004");
  EXPECT_TRUE(list.MusicChanged);
  EXPECT_TRUE(messages.empty());
}

TEST_F(MusicDialog, FourthGameDialogWritesWholeNames) {
  BuildWhole("AA4", ".3ds");
  auto d = Open<TForm3>();
  EXPECT_GE(d->width(), 681);
  EXPECT_EQ(d->Grid->columnCount(), 3);
  EXPECT_TRUE(d->CB33->isHidden());
  EXPECT_TRUE(d->Panel1->isHidden());
  EXPECT_EQ(d->Grid->item(0, 1)->text(), QString::fromStdString(lang.GetLangText("MusicGridPresentDay")));
  EXPECT_EQ(d->Grid->item(0, 2)->text(), QString::fromStdString(lang.GetLangText("MusicGridSevenYearsAgo")));
  EXPECT_EQ(d->Grid->item(5, 1)->text(), "A New Trial is in Session! 2007");  // slot 8
  Choose(*d, 1, 5, "Objection! 2001");
  Choose(*d, 1, 1, "Pursuit ~ Cornered 2007");  // slot 0 holds a shorter name: no room
  d->CBApplyDirectly->setChecked(true);
  ASSERT_TRUE(Save(*d));
  EXPECT_EQ(Field(8, 22), std::string("BGM54.dspadpcm.bcstm\0", 21) + "m");
  EXPECT_EQ(Field(0, 21), std::string("BGM39.dspadpcm.bcstm\0", 21));
  EXPECT_EQ(log, (std::vector<std::string>{lang.GetLangText("WarningTrackNameTooLong") + "\r\nPursuit ~ Cornered 2007",
                                           lang.GetLangText("LogOldRomVerified")}));
  EXPECT_TRUE(ctr::VerifyImage(image).ok());
}

TEST_F(MusicDialog, AnImageThatCannotBeWrittenKeepsTheDialogOpenAndChangesNothing) {
  Build("AAT");
  // The image was moved away and something else stands at its path.
  fs::remove(image);
  fs::create_directories(image);
  auto d = Open<TForm2>();
  Choose(*d, 1, 1, "Court Begins 2004");
  d->CBApplyDirectly->setChecked(true);
  EXPECT_FALSE(Save(*d));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(d->TntButton4->isEnabled());  // given back for another try
  EXPECT_EQ(messages[0].text, QString::fromStdString(lang.GetLangText("ErrorOpeningOldRom")));
  EXPECT_FALSE(list.MusicChanged);
  EXPECT_EQ(list.GetSelected(0), "Courtroom Lounge 2001");
  EXPECT_NE(d->result(), QDialog::Accepted);
}

}  // namespace
}  // namespace qpt::ui
