// The main window's controls: made once, named as the tests and the other windows find them,
// and laid out so that a longer text makes the window grow instead of being cut off. Which of
// them can be used is drawn from the step state (TForm1::DrawSteps).
#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTextBrowser>
#include <QVBoxLayout>

#include <iterator>

#include "ui/Dialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {

namespace {

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

}  // namespace

void TForm1::BuildControls() {
  // The controls sit in layouts rather than at fixed places, so that a longer text (another
  // language, a larger font) makes the window grow instead of cutting the text off; at the
  // usual font the window keeps its size of 657 x 482.
  TntLabel0 = Named(new QLabel(QStringLiteral("Язык интерфейса"), this), "TntLabel0");

  // A list, not an edit field: only names that have a file in lang/ can be chosen.
  CBLang = Named(new QComboBox(this), "CBLang");
  // Explicit minimum widths would win over what a text asks for: sizes that only set a floor
  // are given by the layouts (struts, column widths) instead.
  connect(CBLang, &QComboBox::currentTextChanged, this, &TForm1::CBLangChange);

  TntGroupBox1 = Named(new QGroupBox(QStringLiteral("Описание патча"), this), "TntGroupBox1");
  TntGroupBox1->setMinimumHeight(257);

  RichDesc = Named(new QTextBrowser(TntGroupBox1), "RichDesc");
  RichDesc->setFrameShape(QFrame::NoFrame);
  RichDesc->setReadOnly(true);
  RichDesc->setOpenLinks(false);
  RichDesc->setOpenExternalLinks(false);
  RichDesc->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichDesc->viewport()->setAutoFillBackground(false);
  RichDesc->setStyleSheet(QStringLiteral("QTextBrowser { background: palette(window); }"));
  connect(RichDesc, &QTextBrowser::anchorClicked, this, [](const QUrl& url) { OpenUrl(url); });
  auto* descLayout = new QVBoxLayout(TntGroupBox1);
  descLayout->setContentsMargins(16, 8, 16, 8);
  descLayout->addWidget(RichDesc);

  MemoLog = Named(new QPlainTextEdit(this), "MemoLog");
  MemoLog->setMinimumHeight(201);
  MemoLog->setReadOnly(true);
  MemoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QFont logFont(QStringLiteral("Courier New"));
  logFont.setStyleHint(QFont::Monospace);
  logFont.setPixelSize(12);
  MemoLog->setFont(logFont);
  // A keyboard can move through the log and select in it, so that a screen reader reads it
  // line by line.
  MemoLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

  TntGroupBox2 = Named(new QGroupBox(QStringLiteral("Установка патча"), this), "TntGroupBox2");
  QWidget* box = TntGroupBox2;

  TntLabel1 = Named(new QLabel(QStringLiteral("Шаг 1: старый РОМ:"), box), "TntLabel1");
  ebOldRom = Named(new QLineEdit(box), "ebOldRom");
  ebOldRom->setReadOnly(true);
  btOldRomPath = Named(new QPushButton(QStringLiteral("..."), box), "btOldRomPath");
  btOldRomPath->setFixedSize(25, 25);
  connect(btOldRomPath, &QPushButton::clicked, this, &TForm1::btOldRomPathClick);

  TntLabel2 = Named(new QLabel(QStringLiteral("Шаг 2: новый РОМ:"), box), "TntLabel2");
  ebNewRom = Named(new QLineEdit(box), "ebNewRom");
  ebNewRom->setReadOnly(true);
  btNewRomPath = Named(new QPushButton(QStringLiteral("..."), box), "btNewRomPath");
  btNewRomPath->setFixedSize(25, 25);
  connect(btNewRomPath, &QPushButton::clicked, this, [this] { btNewRomPathClick(false); });
  // Shown only while Step 2 names a mod folder of ours that is there (TForm1::DrawRemoveModFolder).
  BTNRemoveModFolder = Named(new QPushButton(QStringLiteral("Удалить эту папку мода..."), box), "BTNRemoveModFolder");
  BTNRemoveModFolder->setMinimumHeight(25);
  BTNRemoveModFolder->setVisible(false);
  connect(BTNRemoveModFolder, &QPushButton::clicked, this, &TForm1::BTNRemoveModFolderClick);

  TntLabel3 = Named(new QLabel(QStringLiteral("Шаг 3: патч:"), box), "TntLabel3");
  CBPatch = Named(new QComboBox(box), "CBPatch");
  // A long patch title must not widen the window; the open list shows it whole.
  CBPatch->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  CBPatch->setMinimumContentsLength(16);
  connect(CBPatch, &QComboBox::currentIndexChanged, this, [this] { CBPatchChange(); });
  // Beside the patch list, so that a player who finds it empty finds where patches go; an icon,
  // so that the window keeps its size in every language.
  BTNOpenPatchFolder = Named(new QPushButton(box), "BTNOpenPatchFolder");
  BTNOpenPatchFolder->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  BTNOpenPatchFolder->setFixedSize(25, 25);
  connect(BTNOpenPatchFolder, &QPushButton::clicked, this, &TForm1::BTNOpenPatchFolderClick);

  TntLabel4 = Named(new QLabel(QStringLiteral("Поддерживаемые игры:"), box), "TntLabel4");
  lbSupportedGames = Named(new QLabel(box), "lbSupportedGames");
  TntLabel5 = Named(new QLabel(QStringLiteral("Поддерживаемые регионы:"), box), "TntLabel5");
  lbSupportedRegions = Named(new QLabel(box), "lbSupportedRegions");
  for (QLabel* value : {lbSupportedGames, lbSupportedRegions}) {
    // The descriptor's own values: a long one is cut at the box's edge and shown whole as a tip.
    value->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }

  TntRadioGroup2 = Named(new QGroupBox(QStringLiteral("Голоса персонажей:"), box), "TntRadioGroup2");
  voiceButtons = new QButtonGroup(this);
  auto* voiceLayout = new QVBoxLayout(TntRadioGroup2);
  voiceLayout->setContentsMargins(6, 2, 6, 4);
  voiceLayout->setSpacing(1);
  static const char* const kVoiceTexts[3] = {"Английские", "Японские (частично взяты из GS5/GK2)",
                                             "Японские (оригинальные)"};
  for (int i = 0; i < 3; ++i) {
    voiceItems[i] = new QRadioButton(QString::fromUtf8(kVoiceTexts[i]), TntRadioGroup2);
    voiceItems[i]->setObjectName(QStringLiteral("TntRadioGroup2Item%1").arg(i));
    voiceButtons->addButton(voiceItems[i], i);
    voiceLayout->addWidget(voiceItems[i]);
  }
  voiceItems[0]->setChecked(true);

  BTNMusicChange = Named(new QPushButton(QStringLiteral("Замена музыки"), box), "BTNMusicChange");
  connect(BTNMusicChange, &QPushButton::clicked, this, &TForm1::BTNMusicChangeClick);
  BTNInstallPatch = Named(new QPushButton(QStringLiteral("Установить патч"), box), "BTNInstallPatch");
  connect(BTNInstallPatch, &QPushButton::clicked, this, &TForm1::BTNInstallPatchClick);
  BTNCancel = Named(new QPushButton(QStringLiteral("Отменить установку"), box), "BTNCancel");
  connect(BTNCancel, &QPushButton::clicked, this, &TForm1::BTNCancelClick);
  BTNCheckImage = Named(new QPushButton(QStringLiteral("Проверить образ..."), box), "BTNCheckImage");
  connect(BTNCheckImage, &QPushButton::clicked, this, &TForm1::BTNCheckImageClick);
  for (QPushButton* button : {BTNMusicChange, BTNInstallPatch, BTNCancel, BTNCheckImage}) button->setMinimumHeight(25);

  ProgressBar1 = Named(new QProgressBar(box), "ProgressBar1");
  ProgressBar1->setMinimumHeight(25);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);

  // Step by step from the top, as the player goes through them.
  auto* steps = new QVBoxLayout(box);
  steps->setContentsMargins(10, 12, 10, 12);
  steps->setSpacing(3);
  const auto pathRow = [](QLineEdit* edit, QPushButton* button) {
    auto* row = new QHBoxLayout;
    row->setSpacing(7);
    row->addWidget(edit, 1);
    row->addWidget(button);
    return row;
  };
  steps->addWidget(TntLabel1);
  steps->addLayout(pathRow(ebOldRom, btOldRomPath));
  steps->addSpacing(6);
  steps->addWidget(TntLabel2);
  steps->addLayout(pathRow(ebNewRom, btNewRomPath));
  steps->addWidget(BTNRemoveModFolder, 0, Qt::AlignRight);
  steps->addSpacing(6);
  steps->addWidget(TntLabel3);
  auto* patchRow = new QHBoxLayout;
  patchRow->setSpacing(7);
  patchRow->addWidget(CBPatch, 1);
  patchRow->addWidget(BTNOpenPatchFolder);
  steps->addLayout(patchRow);
  steps->addSpacing(9);
  auto* supported = new QGridLayout;
  supported->setHorizontalSpacing(12);
  supported->setVerticalSpacing(4);
  supported->addWidget(TntLabel4, 0, 0);
  supported->addWidget(lbSupportedGames, 0, 1);
  supported->addWidget(TntLabel5, 1, 0);
  supported->addWidget(lbSupportedRegions, 1, 1);
  supported->setColumnStretch(1, 1);
  steps->addLayout(supported);
  steps->addSpacing(6);
  steps->addWidget(TntRadioGroup2);
  steps->addSpacing(6);
  // The music button above the cancel button, both as wide as the install button.
  auto* buttons = new QGridLayout;
  buttons->setHorizontalSpacing(12);
  buttons->setVerticalSpacing(12);
  buttons->addWidget(BTNCheckImage, 0, 0);
  buttons->addWidget(BTNMusicChange, 0, 1);
  buttons->addWidget(BTNInstallPatch, 1, 0);
  buttons->addWidget(BTNCancel, 1, 1);
  for (int column : {0, 1}) {
    buttons->setColumnMinimumWidth(column, 121);
    buttons->setColumnStretch(column, 1);
  }
  steps->addLayout(buttons);
  steps->addSpacing(8);
  steps->addWidget(ProgressBar1);
  steps->addStretch(1);

  auto* languageRow = new QHBoxLayout;
  languageRow->setContentsMargins(8, 4, 0, 0);
  languageRow->addWidget(TntLabel0);
  languageRow->addStretch(1);
  languageRow->addWidget(CBLang);
  CBLang->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  CBLang->setMinimumContentsLength(14);
  auto* leftColumn = new QVBoxLayout;
  leftColumn->setSpacing(7);
  leftColumn->addStrut(297);
  leftColumn->addLayout(languageRow);
  leftColumn->addWidget(TntGroupBox2, 1);
  auto* rightColumn = new QVBoxLayout;
  rightColumn->setSpacing(7);
  rightColumn->addStrut(337);
  rightColumn->addWidget(TntGroupBox1, 257);
  rightColumn->addWidget(MemoLog, 201);
  auto* columns = new QHBoxLayout(this);
  columns->setContentsMargins(8, 8, 8, 9);
  columns->setSpacing(7);
  columns->addLayout(leftColumn, 297);
  columns->addLayout(rightColumn, 337);

  // Enter presses the focused button as Space does (a window, unlike a dialog, does not), so
  // that Step 2's menu and the others open on either key.
  for (QPushButton* button : findChildren<QPushButton*>()) button->setAutoDefault(true);

  // A label's mnemonic takes the focus to its step: Step 1 and 2 to their "..." buttons, since
  // the read-only fields beside them only show what was chosen.
  TntLabel0->setBuddy(CBLang);
  TntLabel1->setBuddy(btOldRomPath);
  TntLabel2->setBuddy(btNewRomPath);
  TntLabel3->setBuddy(CBPatch);

  // Tab goes through the steps from the top, as the eye does, and then to the texts on the right.
  QWidget* const tabOrder[] = {CBLang,        ebOldRom,      btOldRomPath,   ebNewRom,        btNewRomPath,
                               BTNRemoveModFolder, CBPatch,       BTNOpenPatchFolder, voiceItems[0], voiceItems[1],  voiceItems[2],   BTNCheckImage,
                               BTNMusicChange, BTNInstallPatch, BTNCancel,   RichDesc,        MemoLog};
  for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void TForm1::FitWindow() {
  // Fixed like the original window (no resizing by the player), but never smaller than what
  // its texts need.
  layout()->invalidate();
  layout()->activate();
  setFixedSize(minimumSizeHint().expandedTo(kInitialSize));
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::FontChange && layout()) FitWindow();
}

}  // namespace qpt::ui
