// The music change dialogs: a grid of scenes by game (TForm2, the trilogy) or by time period
// (TForm3, the fourth game) in which the player picks the music track of every scene. Save
// stores the choice in the track list for the next installation and, on request, writes it
// straight into the old image; that write and its check run on a thread of their own while
// the dialog stays locked and its bar moves.
#pragma once

#include <QComboBox>
#include <QDialog>

#include <functional>
#include <string>
#include <thread>

#include "core/music/TrackLists.h"
#include "ui/TForm1.h"

class QCheckBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace qpt::ui {

// A combo box that lets its owner fill the list just before it opens.
class TDropDownCombo : public QComboBox {
 public:
  using QComboBox::QComboBox;
  std::function<void()> onDropDown;
  void showPopup() override {
    if (onDropDown) onDropDown();
    QComboBox::showPopup();
  }
};

class TMusicDialog : public QDialog {
  Q_OBJECT

 public:
  // columns: 3 for the trilogy, 2 for the fourth game. log receives lines for the main log.
  TMusicDialog(TTrackList& trackList, LanguageQuery language, std::function<void(const std::string&)> log,
               int columns, QWidget* parent);
  // Waits for a write into the old image that is still running.
  ~TMusicDialog() override;

  void FormShow();
  void GridSelectCell(int column, int row);
  void CBSelectedDropDown();
  void CBSelectedChange(const QString& text);
  // Save. Without direct mode the choice is stored and the dialog accepted at once. With it,
  // the write into the old image starts on its own thread and Save returns; when the write
  // has ended (back on the dialog's thread) its lines go to the log and the dialog is
  // accepted, or, when the image could not be written, the reason is shown and the dialog
  // stays open with the track list as it was.
  void TntButton4Click();
  void TntButton5Click();
  void CBApplyDirectlyClick();
  // Whether a write into the old image is running; the dialog cannot be closed meanwhile.
  bool Writing() const { return writer_.joinable(); }
  // Closing or discarding waits for a running write: stopping it half-way would leave the
  // image's hashes unchecked.
  void reject() override;

  QTableWidget* Grid = nullptr;
  TDropDownCombo* CBSelected = nullptr;
  QComboBox* CB33 = nullptr;
  QFrame* Panel1 = nullptr;
  QLabel* TntLabel1 = nullptr;
  QCheckBox* CBShowSame = nullptr;
  QCheckBox* CBApplyDirectly = nullptr;
  QPushButton* TntButton4 = nullptr;
  QPushButton* TntButton5 = nullptr;
  QProgressBar* ProgressBar = nullptr;  // busy while the old image is written and checked

 protected:
  // A change of font (the system's text size) sizes the grid and the dialog again.
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool Trilogy() const { return columns_ == 3; }
  int SlotOf(int column, int row) const { return (row - 1) * columns_ + (column - 1); }
  QString CellText(int column, int row) const;
  void SetCellText(int column, int row, const QString& text);
  void ApplyMusicTexts();
  void SetGridTexts();
  QString LangText(const char* key) const;
  // Sizes every column to its longest text and the dialog to the grid.
  void FitGrid();
  // Puts the track box over the selected cell.
  void PlaceSelector();
  // Locks every control and shows the busy bar while a write runs, and gives them back.
  void SetWriting(bool writing);
  // The end of a write into the old image, on the dialog's thread.
  void WriteEnded(TTrackList chosen, const TDirectWriteResult& written);

  TTrackList& trackList_;
  LanguageQuery language_;
  std::function<void(const std::string&)> log_;
  int columns_;
  int selectedColumn_ = 1;
  int selectedRow_ = 1;
  std::thread writer_;  // the write into the old image, while it runs
};

// The trilogy's dialog: three games and the game selection menu.
class TForm2 : public TMusicDialog {
 public:
  TForm2(TTrackList& trackList, LanguageQuery language, std::function<void(const std::string&)> log,
         QWidget* parent = nullptr)
      : TMusicDialog(trackList, std::move(language), std::move(log), 3, parent) {}
};

// The fourth game's dialog: the present day and seven years ago.
class TForm3 : public TMusicDialog {
 public:
  TForm3(TTrackList& trackList, LanguageQuery language, std::function<void(const std::string&)> log,
         QWidget* parent = nullptr)
      : TMusicDialog(trackList, std::move(language), std::move(log), 2, parent) {}
};

}  // namespace qpt::ui
