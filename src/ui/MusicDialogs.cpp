#include "ui/MusicDialogs.h"

#include <QCheckBox>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>

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

const char* const kRowNames[kRows] = {
    " Courtroom Lounge",           " Court Begins",          " Cross Examination ~ Moderate",
    " Logic and Trick",            " Objection!",            " Cross Examination ~ Allegro",
    " Pursuit ~ Cornered",         " Confess the Truth",     " Pursuit ~ Cornered / Variation",
    " Investigation ~ Opening",    " Investigation ~ Middle"};

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
  setWindowTitle(QStringLiteral("Music change"));
  setModal(true);
  QFont dialogFont(QStringLiteral("MS Sans Serif"));
  dialogFont.setPointSize(8);
  setFont(dialogFont);
  setFixedSize(trilogy ? 906 : 681, 325);

  Grid = new QTableWidget(kRows + 1, columns_ + 1, this);
  Grid->setObjectName(QStringLiteral("Grid"));
  Grid->setGeometry(8, 16, trilogy ? 887 : 666, 255);
  Grid->horizontalHeader()->hide();
  Grid->verticalHeader()->hide();
  Grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Grid->setSelectionMode(QAbstractItemView::SingleSelection);
  Grid->setShowGrid(true);
  for (int c = 0; c <= columns_; ++c) Grid->setColumnWidth(c, 220);
  for (int r = 0; r <= kRows; ++r) Grid->setRowHeight(r, 20);
  for (int r = 0; r <= kRows; ++r) {
    for (int c = 0; c <= columns_; ++c) {
      auto* item = new QTableWidgetItem();
      if (r == 0 || c == 0) {
        // The header row and the scene column are fixed: never selected, drawn like headers.
        item->setFlags(Qt::ItemIsEnabled);
        item->setBackground(palette().button());
      }
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
  TntLabel1 = new QLabel(QStringLiteral("Game Selection Menu:"), Panel1);
  TntLabel1->setObjectName(QStringLiteral("TntLabel1"));
  TntLabel1->setAlignment(Qt::AlignCenter);
  if (trilogy) {
    CB33->setGeometry(336, 291, 241, 21);
    Panel1->setGeometry(336, 274, 241, 14);
    TntLabel1->setGeometry(0, 0, 241, 14);
  } else {
    CB33->setGeometry(352, 291, 105, 21);
    CB33->hide();
    Panel1->setGeometry(336, 274, 241, 14);
    TntLabel1->hide();
  }

  CBShowSame = new QCheckBox(QStringLiteral("Show same type tracks only"), this);
  CBShowSame->setObjectName(QStringLiteral("CBShowSame"));
  CBShowSame->move(8, 276);
  CBShowSame->setChecked(true);
  CBApplyDirectly = new QCheckBox(QStringLiteral("Apply changes to the old rom instead"), this);
  CBApplyDirectly->setObjectName(QStringLiteral("CBApplyDirectly"));
  CBApplyDirectly->move(8, 300);
  CBApplyDirectly->setChecked(false);
  // The hint explains what writing into the old image means; it stays up long enough to read.
  CBApplyDirectly->setToolTipDuration(20000);
  connect(CBApplyDirectly, &QCheckBox::clicked, this, &TMusicDialog::CBApplyDirectlyClick);

  TntButton4 = new QPushButton(QStringLiteral("Save"), this);
  TntButton4->setObjectName(QStringLiteral("TntButton4"));
  TntButton4->setGeometry(trilogy ? 696 : 472, 288, 97, 25);
  connect(TntButton4, &QPushButton::clicked, this, [this] { TntButton4Click(); });
  TntButton5 = new QPushButton(QStringLiteral("Cancel"), this);
  TntButton5->setObjectName(QStringLiteral("TntButton5"));
  TntButton5->setGeometry(trilogy ? 800 : 576, 288, 97, 25);
  connect(TntButton5, &QPushButton::clicked, this, &TMusicDialog::TntButton5Click);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  FormShow();
}

QString TMusicDialog::CellText(int column, int row) const { return Grid->item(row, column)->text(); }

void TMusicDialog::SetCellText(int column, int row, const QString& text) { Grid->item(row, column)->setText(text); }

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
  SetGridTexts();
  ApplyMusicTexts();
}

void TMusicDialog::SetGridTexts() {
  SetCellText(0, 0, QStringLiteral(" Title"));
  if (Trilogy()) {
    SetCellText(1, 0, QStringLiteral("                Ace Attorney 1 (2001)"));
    SetCellText(2, 0, QStringLiteral("                Ace Attorney 2 (2002)"));
    SetCellText(3, 0, QStringLiteral("                Ace Attorney 3 (2004)"));
  } else {
    SetCellText(1, 0, QStringLiteral("                         Present Day"));
    SetCellText(2, 0, QStringLiteral("                           7 Years Ago"));
  }
  for (int row = 1; row <= kRows; ++row) SetCellText(0, row, QString::fromLatin1(kRowNames[row - 1]));
}

void TMusicDialog::ApplyMusicTexts() {
  // The language file is read again, so that a file edited meanwhile shows its new texts.
  TLangList reloaded;
  if (!LoadLanguage(language_.languageName, reloaded, language_.appDir)) {
    ShowMessage(this, MessageKind::Error, QStringLiteral("Quilltool"),
                QStringLiteral("Отсутствуют языковые файлы.\r\nLanguage files are missing."));
    return;
  }
  *language_.langList = std::move(reloaded);
  const TLangList& lang = *language_.langList;
  const auto text = [&](const char* key) { return QString::fromStdString(lang.GetLangText(key)); };
  setWindowTitle(text("Form2Caption"));
  TntButton4->setText(text("Save"));
  TntButton5->setText(text("Cancel"));
  CBShowSame->setText(text("CBShowSame"));
  CBShowSame->adjustSize();
  CBApplyDirectly->setText(text("CBApplyDirectly"));
  CBApplyDirectly->adjustSize();
  CBApplyDirectly->setToolTip(text("CBApplyDirectlyHint"));
  if (Trilogy()) TntLabel1->setText(text("MainMenu"));
}

void TMusicDialog::GridSelectCell(int column, int row) {
  selectedColumn_ = column;
  selectedRow_ = row;
  const QRect cell = Grid->visualItemRect(Grid->item(row, column));
  const QPoint origin = Grid->viewport()->mapTo(this, QPoint(0, 0));
  CBSelected->setGeometry(origin.x() + cell.left() + 2, origin.y() + cell.top() + 1, cell.width(), cell.height());
  const QSignalBlocker block(CBSelected);
  CBSelected->setEditText(CellText(column, row));
  CBSelected->raise();
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

bool TMusicDialog::TntButton4Click() {
  // The choice goes into a copy first: when the old image refuses it, the track list stays as
  // it was and the dialog open.
  TTrackList chosen = trackList_;
  int slot = 0;
  for (int row = 1; row <= kRows; ++row) {
    for (int column = 1; column <= columns_; ++column) chosen.SetSelected(slot++, CellText(column, row).toStdString());
  }
  if (Trilogy()) chosen.SetSelected(33, CB33->currentText().toStdString());
  chosen.MusicChanged = true;
  if (CBApplyDirectly->isChecked()) {
    // The check afterwards reads the whole image, a few seconds for a large one.
    struct TWaitCursor {
      TWaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
      ~TWaitCursor() { QGuiApplication::restoreOverrideCursor(); }
    };
    const TDirectWriteResult written = [&] {
      const TWaitCursor wait;
      return WriteMusicIntoImage(chosen, *language_.langList);
    }();
    for (const std::string& line : written.log) log_(line);
    if (!written.error.empty()) {
      ShowMessage(this, MessageKind::Error, windowTitle(), QString::fromStdString(written.error));
      return false;
    }
    // The image itself now holds these titles; a later run's receipt compares with them.
    if (written.changed) chosen.ImageSelected = chosen.Selected;
  }
  trackList_ = std::move(chosen);
  accept();
  return true;
}

void TMusicDialog::TntButton5Click() { reject(); }

void TMusicDialog::CBApplyDirectlyClick() {
  ShowMessage(this, MessageKind::Warning, windowTitle(),
              QString::fromStdString(language_.langList->GetLangText(Trilogy() ? "CBApplyDirectlyHintAAT"
                                                                               : "CBApplyDirectlyHintAA4")));
}

}  // namespace qpt::ui
