#include "ui/MusicDialogs.h"

#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

#include "core/localization/Language.h"
#include "ui/Dialogs.h"

namespace qpt::ui {

namespace {

constexpr int kRows = 11;

QString Q(const std::string& bytes) {
  // Names read from an image are shown up to their first zero byte.
  const std::string visible = bytes.substr(0, bytes.find('\0'));
  return QString::fromUtf8(visible.data(), static_cast<qsizetype>(visible.size()));
}

// The scenes of the grid's rows, as language keys.
const char* const kSceneKeys[kRows] = {"MusicScene1", "MusicScene2", "MusicScene3", "MusicScene4",
                                       "MusicScene5", "MusicScene6", "MusicScene7", "MusicScene8",
                                       "MusicScene9", "MusicScene10", "MusicScene11"};

// Room around a cell's text, and for the drop-down arrow of the box over the selected cell.
constexpr int kCellPadding = 12;
constexpr int kArrowRoom = 24;
constexpr int kMinColumnWidth = 220;

}  // namespace

TMusicDialog::TMusicDialog(TTrackList& trackList, LanguageQuery language, std::function<void(const std::string&)> log,
                           int columns, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      trackList_(trackList),
      language_(std::move(language)),
      log_(std::move(log)),
      columns_(columns) {
  const bool trilogy = Trilogy();
  setObjectName(trilogy ? QStringLiteral("Form2") : QStringLiteral("Form3"));
  // Every caption comes from the language file (ApplyMusicTexts), as the dialog is shown.
  setModal(true);
  QFont dialogFont(QStringLiteral("MS Sans Serif"));
  dialogFont.setPointSize(8);
  setFont(dialogFont);

  Grid = new QTableWidget(kRows + 1, columns_ + 1, this);
  Grid->setObjectName(QStringLiteral("Grid"));
  Grid->horizontalHeader()->hide();
  Grid->verticalHeader()->hide();
  Grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Grid->setSelectionMode(QAbstractItemView::SingleSelection);
  Grid->setShowGrid(true);
  Grid->setWordWrap(false);
  // Tab leaves the grid for the track box over its selected cell; the arrows move between cells.
  Grid->setTabKeyNavigation(false);
  Grid->installEventFilter(this);
  for (int r = 0; r <= kRows; ++r) {
    for (int c = 0; c <= columns_; ++c) {
      auto* item = new QTableWidgetItem();
      if (r == 0 || c == 0) {
        // The header row and the scene column are fixed: never selected, drawn like headers.
        item->setFlags(Qt::ItemIsEnabled);
        item->setBackground(palette().button());
      }
      if (r == 0 && c > 0) item->setTextAlignment(Qt::AlignCenter);
      Grid->setItem(r, c, item);
    }
  }
  connect(Grid, &QTableWidget::currentCellChanged, this, [this](int row, int column) {
    if (row >= 1 && column >= 1) GridSelectCell(column, row);
  });

  CBSelected = new TDropDownCombo(this);
  CBSelected->setObjectName(QStringLiteral("CBSelected"));
  CBSelected->setEditable(true);
  CBSelected->setInsertPolicy(QComboBox::NoInsert);
  CBSelected->setFrame(false);
  CBSelected->setStyleSheet(QStringLiteral("QComboBox { background: palette(highlight); color: palette(highlighted-text); }"));
  CBSelected->onDropDown = [this] { CBSelectedDropDown(); };
  connect(CBSelected, &QComboBox::editTextChanged, this, &TMusicDialog::CBSelectedChange);

  CB33 = new QComboBox(this);
  CB33->setObjectName(QStringLiteral("CB33"));
  CB33->setEditable(true);
  CB33->setInsertPolicy(QComboBox::NoInsert);
  Panel1 = new QFrame(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  TntLabel1 = new QLabel(Panel1);
  TntLabel1->setObjectName(QStringLiteral("TntLabel1"));
  TntLabel1->setAlignment(Qt::AlignCenter);
  auto* panelLayout = new QVBoxLayout(Panel1);
  panelLayout->setContentsMargins(0, 0, 0, 0);
  panelLayout->addWidget(TntLabel1);
  if (!trilogy) {
    // The fourth game has no menu track.
    CB33->hide();
    Panel1->hide();
  }

  CBShowSame = new QCheckBox(this);
  CBShowSame->setObjectName(QStringLiteral("CBShowSame"));
  CBShowSame->setChecked(true);
  CBApplyDirectly = new QCheckBox(this);
  CBApplyDirectly->setObjectName(QStringLiteral("CBApplyDirectly"));
  CBApplyDirectly->setChecked(false);
  // The hint explains what writing into the old image means; it stays up long enough to read.
  CBApplyDirectly->setToolTipDuration(20000);
  connect(CBApplyDirectly, &QCheckBox::clicked, this, &TMusicDialog::CBApplyDirectlyClick);

  TntButton4 = new QPushButton(this);
  TntButton4->setObjectName(QStringLiteral("TntButton4"));
  connect(TntButton4, &QPushButton::clicked, this, [this] { TntButton4Click(); });
  TntButton5 = new QPushButton(this);
  TntButton5->setObjectName(QStringLiteral("TntButton5"));
  connect(TntButton5, &QPushButton::clicked, this, &TMusicDialog::TntButton5Click);
  for (QPushButton* button : {TntButton4, TntButton5}) button->setMinimumHeight(25);
  // Enter saves wherever the focus is but on Cancel; Escape discards (QDialog::reject).
  TntButton4->setDefault(true);
  TntLabel1->setBuddy(CB33);
  ProgressBar = new QProgressBar(this);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setTextVisible(false);
  // Shown only while the old image is written; its room is kept so that the dialog, sized to
  // its texts, does not change size when it appears.
  QSizePolicy barPolicy = ProgressBar->sizePolicy();
  barPolicy.setRetainSizeWhenHidden(true);
  ProgressBar->setSizePolicy(barPolicy);
  ProgressBar->hide();

  // The grid on top, sized to its columns; below it the options, the menu's track and the
  // buttons. Longer texts widen the dialog rather than being cut off.
  auto* options = new QVBoxLayout;
  options->setSpacing(4);
  options->addWidget(CBShowSame);
  options->addWidget(CBApplyDirectly);
  options->addWidget(ProgressBar);
  auto* menu = new QVBoxLayout;
  menu->setSpacing(3);
  menu->addWidget(Panel1);
  menu->addWidget(CB33);
  auto* bottom = new QHBoxLayout;
  bottom->setSpacing(8);
  bottom->addLayout(options);
  bottom->addStretch(1);
  bottom->addLayout(menu);
  bottom->addStretch(1);
  bottom->addWidget(TntButton4, 0, Qt::AlignBottom);
  bottom->addWidget(TntButton5, 0, Qt::AlignBottom);
  auto* page = new QVBoxLayout(this);
  page->setContentsMargins(8, 16, 9, 12);
  page->setSpacing(6);
  page->addWidget(Grid, 0, Qt::AlignLeft | Qt::AlignTop);
  page->addLayout(bottom);
  QWidget* const tabOrder[] = {Grid, CBSelected, CB33, CBShowSame, CBApplyDirectly, TntButton4, TntButton5};
  for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

  FormShow();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TMusicDialog::~TMusicDialog() {
  if (writer_.joinable()) writer_.join();
}

QString TMusicDialog::CellText(int column, int row) const { return Grid->item(row, column)->text(); }

void TMusicDialog::SetCellText(int column, int row, const QString& text) {
  QTableWidgetItem* item = Grid->item(row, column);
  item->setText(text);
  item->setToolTip(text);
}

QString TMusicDialog::LangText(const char* key) const {
  return QString::fromStdString(language_.langList->GetLangText(key));
}

void TMusicDialog::FitGrid() {
  // Every column is as wide as its longest text, and a title column as the longest title
  // the player could choose there, so that no title is cut off in the grid or in the box.
  const QFontMetrics metrics(Grid->font());
  int longestTitle = 0;
  for (int i = 0; i < trackList_.TrackCount; ++i) {
    longestTitle = std::max(longestTitle, metrics.horizontalAdvance(Q(trackList_.GetTitle(i))));
  }
  int width = 0;
  for (int c = 0; c <= columns_; ++c) {
    int column = c == 0 ? 0 : longestTitle + kArrowRoom;
    for (int r = 0; r <= kRows; ++r) column = std::max(column, metrics.horizontalAdvance(CellText(c, r)));
    column = std::max(kMinColumnWidth, column + kCellPadding);
    Grid->setColumnWidth(c, column);
    width += column;
  }
  // Floors of the original layout that a longer text or title may exceed.
  CB33->setMinimumWidth(std::max(241, longestTitle + kArrowRoom + kCellPadding));
  for (QPushButton* button : {TntButton4, TntButton5}) button->setMinimumWidth(std::max(97, button->sizeHint().width()));
  const int rowHeight = std::max(20, metrics.height() + 6);
  for (int r = 0; r <= kRows; ++r) Grid->setRowHeight(r, rowHeight);
  const int frame = 2 * Grid->frameWidth();
  Grid->setFixedSize(width + frame + 2, rowHeight * (kRows + 1) + frame + 2);
  layout()->activate();
  setFixedSize(minimumSizeHint().expandedTo(QSize(Trilogy() ? 906 : 681, 325)));
  PlaceSelector();
}

void TMusicDialog::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange && layout()) FitGrid();
}

void TMusicDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  PlaceSelector();
}

void TMusicDialog::FormShow() {
  {
    const QSignalBlocker blockSelected(CBSelected);
    CB33->clear();
    CBSelected->clear();
    for (int i = 0; i < trackList_.TrackCount; ++i) {
      CB33->addItem(Q(trackList_.GetTitle(i)));
      CBSelected->addItem(Q(trackList_.GetTitle(i)));
    }
  }
  if (Trilogy()) {
    const QString menu = Q(trackList_.GetSelected(33));
    CB33->setCurrentIndex(CB33->findText(menu, Qt::MatchFixedString));
    CB33->setEditText(menu);
  }
  int slot = 0;
  for (int row = 1; row <= kRows; ++row) {
    for (int column = 1; column <= columns_; ++column) SetCellText(column, row, Q(trackList_.GetSelected(slot++)));
  }
  Grid->setCurrentCell(1, 1);
  GridSelectCell(1, 1);
  ApplyMusicTexts();
}

void TMusicDialog::SetGridTexts() {
  SetCellText(0, 0, LangText("MusicGridTitle"));
  if (Trilogy()) {
    SetCellText(1, 0, LangText("MusicGridAA1"));
    SetCellText(2, 0, LangText("MusicGridAA2"));
    SetCellText(3, 0, LangText("MusicGridAA3"));
  } else {
    SetCellText(1, 0, LangText("MusicGridPresentDay"));
    SetCellText(2, 0, LangText("MusicGridSevenYearsAgo"));
  }
  for (int row = 1; row <= kRows; ++row) SetCellText(0, row, LangText(kSceneKeys[row - 1]));
}

void TMusicDialog::ApplyMusicTexts() {
  // The language file is read again, so that a file edited meanwhile shows its new texts.
  TLangList reloaded;
  if (!LoadLanguage(language_.languageName, reloaded, language_.folders)) {
    ShowMessage(this, MessageKind::Error, QStringLiteral("Quilltool"),
                QStringLiteral("Отсутствуют языковые файлы.\r\nLanguage files are missing."));
    return;
  }
  *language_.langList = std::move(reloaded);
  setWindowTitle(LangText("Form2Caption"));
  TntButton4->setText(LangText("Save"));
  TntButton5->setText(LangText("Cancel"));
  CBShowSame->setText(LangText("CBShowSame"));
  CBApplyDirectly->setText(LangText("CBApplyDirectly"));
  CBApplyDirectly->setToolTip(LangText("CBApplyDirectlyHint"));
  if (Trilogy()) TntLabel1->setText(LangText("MainMenu"));
  SetAccessibleTexts(Grid, LangText("A11yMusicGridName"), LangText("A11yMusicGridDesc"));
  SetAccessibleTexts(CBSelected, LangText("A11yMusicTrackName"), LangText("A11yMusicTrackDesc"));
  SetAccessibleTexts(CB33, WithoutMnemonic(LangText("MainMenu")), LangText("A11yMenuTrackDesc"));
  SetAccessibleTexts(CBShowSame, WithoutMnemonic(CBShowSame->text()), LangText("A11yShowSameDesc"));
  SetAccessibleTexts(CBApplyDirectly, WithoutMnemonic(CBApplyDirectly->text()), LangText("A11yApplyDirectlyDesc"));
  SetAccessibleTexts(TntButton4, WithoutMnemonic(TntButton4->text()), LangText("A11ySaveDesc"));
  SetAccessibleTexts(TntButton5, WithoutMnemonic(TntButton5->text()), LangText("A11yDiscardDesc"));
  SetAccessibleTexts(ProgressBar, LangText("A11yProgressName"), LangText("A11yProgressDesc"));
  SetGridTexts();
  FitGrid();
}

bool TMusicDialog::eventFilter(QObject* watched, QEvent* event) {
  // The grid's cells are not edited in place: Space or F2 on a scene opens the track box over
  // it, as a click on its arrow does, and the box keeps the focus until a track is chosen.
  if (watched == Grid && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Space || key == Qt::Key_F2) && CBSelected->isEnabled()) {
      CBSelected->setFocus(Qt::OtherFocusReason);
      CBSelected->showPopup();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TMusicDialog::GridSelectCell(int column, int row) {
  selectedColumn_ = column;
  selectedRow_ = row;
  PlaceSelector();
  const QSignalBlocker block(CBSelected);
  CBSelected->setEditText(CellText(column, row));
  CBSelected->raise();
}

void TMusicDialog::PlaceSelector() {
  const QRect cell = Grid->visualItemRect(Grid->item(selectedRow_, selectedColumn_));
  const QPoint origin = Grid->viewport()->mapTo(this, QPoint(0, 0));
  CBSelected->setGeometry(origin.x() + cell.left(), origin.y() + cell.top(), cell.width(), cell.height());
}

void TMusicDialog::CBSelectedDropDown() {
  const QString text = CBSelected->currentText();
  const QSignalBlocker block(CBSelected);
  CBSelected->clear();
  if (CBShowSame->isChecked()) {
    for (int i = 0; i < trackList_.TrackCount; ++i) {
      if (trackList_.GetType(i) == selectedRow_) CBSelected->addItem(Q(trackList_.GetTitle(i)));
    }
  } else {
    for (int i = 0; i < CB33->count(); ++i) CBSelected->addItem(CB33->itemText(i));
  }
  CBSelected->setCurrentIndex(CBSelected->findText(text));
  CBSelected->setEditText(text);
}

void TMusicDialog::CBSelectedChange(const QString& text) {
  SetCellText(selectedColumn_, selectedRow_, text);
  // Logic and Trick of the 2002 and 2004 games is one stream field: keep both cells equal.
  if (Trilogy() && selectedRow_ == 4 && (selectedColumn_ == 2 || selectedColumn_ == 3)) {
    SetCellText(selectedColumn_ == 2 ? 3 : 2, 4, text);
  }
}

void TMusicDialog::TntButton4Click() {
  if (Writing()) return;
  // The choice goes into a copy first: when the old image refuses it, the track list stays as
  // it was and the dialog open.
  TTrackList chosen = trackList_;
  int slot = 0;
  for (int row = 1; row <= kRows; ++row) {
    for (int column = 1; column <= columns_; ++column) chosen.SetSelected(slot++, CellText(column, row).toStdString());
  }
  if (Trilogy()) chosen.SetSelected(33, CB33->currentText().toStdString());
  chosen.MusicChanged = true;
  if (!CBApplyDirectly->isChecked()) {
    trackList_ = std::move(chosen);
    accept();
    return;
  }
  // The check after the write reads the whole image, seconds for a large one: off the
  // dialog's thread, on copies of what it reads, so that the windows keep drawing.
  SetWriting(true);
  const TLangList lang = *language_.langList;
  writer_ = std::thread([this, chosen = std::move(chosen), lang]() mutable {
    TDirectWriteResult written = WriteMusicIntoImage(chosen, lang);
    QMetaObject::invokeMethod(
        this, [this, chosen = std::move(chosen), written = std::move(written)]() mutable { WriteEnded(std::move(chosen), written); },
        Qt::QueuedConnection);
  });
}

void TMusicDialog::WriteEnded(TTrackList chosen, const TDirectWriteResult& written) {
  if (writer_.joinable()) writer_.join();
  SetWriting(false);
  for (const std::string& line : written.log) log_(line);
  if (!written.error.empty()) {
    ShowMessage(this, MessageKind::Error, windowTitle(), QString::fromStdString(written.error));
    return;
  }
  // The image itself now holds these titles; a later run's receipt compares with them.
  if (written.changed) chosen.ImageSelected = chosen.Selected;
  trackList_ = std::move(chosen);
  accept();
}

void TMusicDialog::SetWriting(bool writing) {
  for (QWidget* control : std::initializer_list<QWidget*>{Grid, CBSelected, CB33, CBShowSame, CBApplyDirectly,
                                                          TntButton4, TntButton5}) {
    control->setEnabled(!writing);
  }
  // A busy bar: the write reports no steps, and most of its time is the check's one pass.
  ProgressBar->setRange(0, writing ? 0 : 100);
  ProgressBar->setVisible(writing);
}

void TMusicDialog::reject() {
  if (Writing()) return;
  QDialog::reject();
}

void TMusicDialog::TntButton5Click() { reject(); }

void TMusicDialog::CBApplyDirectlyClick() {
  ShowMessage(this, MessageKind::Warning, windowTitle(),
              LangText(Trilogy() ? "CBApplyDirectlyHintAAT" : "CBApplyDirectlyHintAA4"));
}

}  // namespace qpt::ui
