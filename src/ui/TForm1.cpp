#include "ui/TForm1.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QThread>
#include <QToolTip>

#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/Receipt.h"
#include "core/install/WorkFolder.h"
#include "core/rom/PatchList.h"
#include "core/rom/RomIdentify.h"
#include "ui/Dialogs.h"
#include "ui/MusicDialogs.h"

namespace qpt::ui {

namespace fs = std::filesystem;

namespace {

QString Q(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }

template <typename T>
T* Named(T* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QLabel* AutoLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
  auto* label = Named(new QLabel(text, parent), name);
  label->move(x, y);
  label->adjustSize();
  return label;
}

}  // namespace

// Carries the job's calls over to the window's thread. The job waits for log, progress,
// language-box and voice calls; the end of the run is queued, since the window then waits
// for the job's thread to finish.
class TForm1::WindowJobHost : public TInstallHost {
 public:
  explicit WindowJobHost(TForm1& form) : form_(form) {}
  void LogAppend(const std::string& line) override {
    OnWindow([&] { form_.LogAppend(line); });
  }
  void LogReplaceLast(const std::string& line) override {
    OnWindow([&] { form_.LogReplaceLast(line); });
  }
  void SetProgress(int percent) override {
    OnWindow([&] { form_.SetProgress(percent); });
  }
  void SetLanguageBoxEnabled(bool enabled) override {
    OnWindow([&] { form_.SetLanguageBoxEnabled(enabled); });
  }
  int VoiceIndex() override {
    int index = 0;
    OnWindow([&] { index = form_.VoiceIndex(); });
    return index;
  }
  void ThreadCancel(TInstall* job) override {
    QMetaObject::invokeMethod(&form_, [this, job] { form_.ThreadCancel(job); }, Qt::QueuedConnection);
  }

 private:
  template <typename F>
  void OnWindow(F&& f) {
    if (QThread::currentThread() == form_.thread()) {
      f();
    } else {
      QMetaObject::invokeMethod(&form_, std::forward<F>(f), Qt::BlockingQueuedConnection);
    }
  }
  TForm1& form_;
};

TForm1::TForm1(TForm1Options options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      jobHost_(std::make_unique<WindowJobHost>(*this)),
      options_(std::move(options)),
      appDir_(options_.appDir) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Quill Patch Tool v.1.0.1"));
  QFont dialogFont(QStringLiteral("MS Shell Dlg 2"));
  dialogFont.setPointSize(8);
  setFont(dialogFont);
  setFixedSize(657, 482);
  BuildControls();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TForm1::~TForm1() {
  // A window destroyed mid-run (only in tests; a user's close waits for the run's end)
  // must not leave the job's thread calling into it.
  if (job_) {
    job_->Terminate();
    while (job_) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
}

void TForm1::BuildControls() {
  TntLabel0 = AutoLabel(this, "TntLabel0", QStringLiteral("Язык интерфейса"), 16, 16);

  CBLang = Named(new QComboBox(this), "CBLang");
  CBLang->setEditable(true);
  CBLang->setInsertPolicy(QComboBox::NoInsert);
  CBLang->setGeometry(160, 12, 145, 21);
  connect(CBLang, &QComboBox::currentTextChanged, this, &TForm1::CBLangChange);

  TntGroupBox1 = Named(new QGroupBox(QStringLiteral("Описание патча"), this), "TntGroupBox1");
  TntGroupBox1->setGeometry(312, 8, 337, 257);

  RichDesc = Named(new QTextBrowser(this), "RichDesc");
  RichDesc->setGeometry(328, 32, 305, 225);
  RichDesc->setFrameShape(QFrame::NoFrame);
  RichDesc->setReadOnly(true);
  RichDesc->setOpenLinks(false);
  RichDesc->setOpenExternalLinks(false);
  RichDesc->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichDesc->viewport()->setAutoFillBackground(false);
  RichDesc->setStyleSheet(QStringLiteral("QTextBrowser { background: palette(window); }"));
  connect(RichDesc, &QTextBrowser::anchorClicked, this, [](const QUrl& url) { OpenUrl(url); });

  MemoLog = Named(new QPlainTextEdit(this), "MemoLog");
  MemoLog->setGeometry(312, 272, 337, 201);
  MemoLog->setReadOnly(true);
  MemoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  MemoLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QFont logFont(QStringLiteral("Courier New"));
  logFont.setStyleHint(QFont::Monospace);
  logFont.setPixelSize(12);
  MemoLog->setFont(logFont);

  TntGroupBox2 = Named(new QGroupBox(QStringLiteral("Установка патча"), this), "TntGroupBox2");
  TntGroupBox2->setGeometry(8, 40, 297, 433);
  QWidget* box = TntGroupBox2;

  TntLabel1 = AutoLabel(box, "TntLabel1", QStringLiteral("Шаг 1: старый РОМ:"), 16, 34);
  ebOldRom = Named(new QLineEdit(box), "ebOldRom");
  ebOldRom->setGeometry(16, 52, 233, 21);
  ebOldRom->setReadOnly(true);
  btOldRomPath = Named(new QPushButton(QStringLiteral("..."), box), "btOldRomPath");
  btOldRomPath->setGeometry(256, 49, 25, 25);
  connect(btOldRomPath, &QPushButton::clicked, this, &TForm1::btOldRomPathClick);

  TntLabel2 = AutoLabel(box, "TntLabel2", QStringLiteral("Шаг 2: новый РОМ:"), 16, 82);
  ebNewRom = Named(new QLineEdit(box), "ebNewRom");
  ebNewRom->setGeometry(16, 100, 233, 21);
  ebNewRom->setReadOnly(true);
  ebNewRom->setEnabled(false);
  btNewRomPath = Named(new QPushButton(QStringLiteral("..."), box), "btNewRomPath");
  btNewRomPath->setGeometry(256, 97, 25, 25);
  btNewRomPath->setEnabled(false);
  connect(btNewRomPath, &QPushButton::clicked, this, [this] { btNewRomPathClick(false); });

  TntLabel3 = AutoLabel(box, "TntLabel3", QStringLiteral("Шаг 3: патч:"), 16, 130);
  CBPatch = Named(new QComboBox(box), "CBPatch");
  CBPatch->setGeometry(16, 148, 265, 21);
  CBPatch->addItem(QStringLiteral("Только озвучка/музыка"));
  CBPatch->setEnabled(false);
  connect(CBPatch, &QComboBox::currentIndexChanged, this, [this] { CBPatchChange(); });

  TntLabel4 = AutoLabel(box, "TntLabel4", QStringLiteral("Поддерживаемые игры:"), 16, 181);
  lbSupportedGames = AutoLabel(box, "lbSupportedGames", QString(), 182, 181);
  TntLabel5 = AutoLabel(box, "TntLabel5", QStringLiteral("Поддерживаемые регионы:"), 16, 200);
  lbSupportedRegions = AutoLabel(box, "lbSupportedRegions", QString(), 182, 200);

  TntRadioGroup2 = Named(new QGroupBox(QStringLiteral("Голоса персонажей:"), box), "TntRadioGroup2");
  TntRadioGroup2->setGeometry(16, 224, 265, 81);
  voiceButtons = new QButtonGroup(this);
  static const char* const kVoiceTexts[3] = {"Английские", "Японские (частично взяты из GS5/GK2)",
                                             "Японские (оригинальные)"};
  for (int i = 0; i < 3; ++i) {
    voiceItems[i] = new QRadioButton(QString::fromUtf8(kVoiceTexts[i]), TntRadioGroup2);
    voiceItems[i]->setObjectName(QStringLiteral("TntRadioGroup2Item%1").arg(i));
    voiceItems[i]->setGeometry(8, 18 + i * 20, 249, 19);
    voiceButtons->addButton(voiceItems[i], i);
  }
  voiceItems[0]->setChecked(true);
  TntRadioGroup2->setEnabled(false);

  BTNMusicChange = Named(new QPushButton(QStringLiteral("Замена музыки"), box), "BTNMusicChange");
  BTNMusicChange->setGeometry(160, 316, 121, 25);
  BTNMusicChange->setEnabled(false);
  connect(BTNMusicChange, &QPushButton::clicked, this, &TForm1::BTNMusicChangeClick);
  BTNInstallPatch = Named(new QPushButton(QStringLiteral("Установить патч"), box), "BTNInstallPatch");
  BTNInstallPatch->setGeometry(16, 354, 121, 25);
  BTNInstallPatch->setEnabled(false);
  connect(BTNInstallPatch, &QPushButton::clicked, this, &TForm1::BTNInstallPatchClick);
  BTNCancel = Named(new QPushButton(QStringLiteral("Отменить установку"), box), "BTNCancel");
  BTNCancel->setGeometry(160, 354, 121, 25);
  BTNCancel->setEnabled(false);
  connect(BTNCancel, &QPushButton::clicked, this, &TForm1::BTNCancelClick);

  ProgressBar1 = Named(new QProgressBar(box), "ProgressBar1");
  ProgressBar1->setGeometry(16, 390, 265, 25);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
}

bool TForm1::FormCreate() {
  // The language box lists every language file; the starting language follows the locale.
  const std::vector<std::string> languages = FindLanguageFiles(appDir_);
  {
    const QSignalBlocker block(CBLang);
    for (const std::string& name : languages) CBLang->addItem(Q(name));
    CBLang->setEditText(Q(StartingLanguageName(options_.localeLanguageName)));
  }
  if (ApplyMainTexts(CBLang->currentText().toStdString()) != 0) return false;

  if (const auto missingKey = FirstMissingToolKey(appDir_)) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText(missingKey->c_str()));
    return false;
  }

  std::optional<std::uint64_t> freeBytes;
  std::error_code ec;
  const fs::space_info space = fs::space(appDir_, ec);
  if (!ec && space.available != static_cast<std::uintmax_t>(-1)) freeBytes = space.available;
  const std::string drive = PathToUtf8(fs::absolute(appDir_).root_path());
  for (const std::string& line : DiskFreeSpaceLines(langList_, drive, freeBytes, options_.decimalSeparator)) {
    LogAppend(line);
  }
  startingUp_ = false;
  return true;
}

QString TForm1::GetLangText(const char* key) const { return Q(langList_.GetLangText(key)); }

int TForm1::ApplyMainTexts(const std::string& name) {
  // A failed reload keeps the previous table so that the window and a later run still have
  // texts; at start-up there is no previous table and the program ends.
  TLangList loaded;
  if (!LoadLanguage(name, loaded, appDir_)) {
    ShowMessage(this, MessageKind::Error, QStringLiteral("Quilltool"),
                QStringLiteral("Отсутствуют языковые файлы.\r\nLanguage files are missing."));
    if (startingUp_) langList_.Clear();
    return -1;
  }
  langList_ = std::move(loaded);

  TntGroupBox1->setTitle(GetLangText("GroupBox1"));
  TntGroupBox2->setTitle(GetLangText("GroupBox2"));
  BTNInstallPatch->setText(GetLangText("BTNInstallPatch"));
  BTNCancel->setText(GetLangText("BTNCancel"));
  BTNMusicChange->setText(GetLangText("BTNMusicChange"));
  SetDescription(GetLangText("DescriptionDefault"));
  QLabel* labels[] = {TntLabel0, TntLabel1, TntLabel2, TntLabel3, TntLabel4, TntLabel5};
  for (int i = 0; i < 6; ++i) {
    labels[i]->setText(GetLangText(QStringLiteral("Label%1").arg(i).toLatin1().constData()));
    labels[i]->adjustSize();
  }
  TntRadioGroup2->setTitle(GetLangText("RadioGroup2"));
  for (int i = 0; i < 3; ++i) {
    voiceItems[i]->setText(GetLangText(QStringLiteral("RadioGroup2BTN%1").arg(i + 1).toLatin1().constData()));
  }
  voiceItems[0]->setChecked(true);
  return 0;
}

void TForm1::SetDescription(const QString& plainText) { RichDesc->setHtml(LinkifyText(plainText)); }

void TForm1::CBLangChange(const QString& text) {
  ApplyMainTexts(text.toStdString());
  btNewRomPathClick(true);
}

void TForm1::LockLaterSteps() {
  ebNewRom->setEnabled(false);
  btNewRomPath->setEnabled(false);
  CBPatch->setEnabled(false);
  BTNInstallPatch->setEnabled(false);
  BTNMusicChange->setEnabled(false);
  TntRadioGroup2->setEnabled(false);
}

void TForm1::btOldRomPathClick() {
  const auto chosen = SelectOpenFile(
      this, Q(PathToUtf8(appDir_)),
      QStringLiteral("Decrypted CIA ROM (*.cia)|*.cia|Decrypted CXI ROM (*.cxi)|*.cxi|Decrypted 3DS ROM (*.3ds)|*.3ds"));
  if (!chosen) return;
  RomPath = PathFromUtf8(chosen->toStdString());
  ebOldRom->setText(*chosen);

  const TRomIdentity id = IdentifyRom(RomPath);
  if (id.errorKey == "ErrorLoadingROM" && !id.kindChecked) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorLoadingROM"));
    return;
  }
  PatchFiles.clear();
  {
    const QSignalBlocker block(CBPatch);
    CBPatch->clear();
  }
  CBPatch->setEnabled(false);
  MemoLog->clear();
  // A refused image must not be installed with what was found out about the previous one.
  const auto refuse = [this](const char* key) {
    LockLaterSteps();
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText(key));
  };
  if (!id.kindChecked) {
    refuse(id.errorKey.c_str());
    return;
  }
  RomExt = id.romExt;
  if (id.encrypted) {
    LockLaterSteps();
    LogAppend(langList_.GetLangText("LogEncrypted") + "\r\n");
    return;
  }
  for (const std::string& line : id.logLines) LogAppend(line);
  if (!id.errorKey.empty() && id.gameIndex == 0 && !id.logLines.empty()) GameIndex = 0;
  if (!id.errorKey.empty()) {
    refuse(id.errorKey.c_str());
    return;
  }
  GameIndex = id.gameIndex;
  RegionIndex = id.regionIndex;
  GameCode = id.gameCode;
  if (GameIndex == 1 || GameIndex == 2) SoundInfoPos = id.soundInfoPos;
  ebNewRom->setEnabled(true);
  btNewRomPath->setEnabled(true);
}

void TForm1::btNewRomPathClick(bool fromLanguageChange) {
  if (!fromLanguageChange) {
    const QString console = GetLangText("Console");
    const QString emulator = GetLangText("Emulator");
    SaveFilter = RomExt == ".3ds" ? console + " (CFW) (*.cia)|*.cia|" + emulator + " (*.cxi)|*.cxi|" + console +
                                        " (Sky3DS) (*.3ds)|*.3ds|"
                                  : console + " (*.cia)|*.cia|" + emulator + " (*.cxi)|*.cxi";
    if (const auto chosen = SelectSaveFile(this, SaveFilter)) {
      const fs::path path = PathFromUtf8(chosen->toStdString());
      if (AcceptOutput(path)) OutPath = path;
    }
    ebNewRom->setText(Q(PathToUtf8(OutPath)));
  }
  if (ebNewRom->text().isEmpty()) return;

  {
    const QSignalBlocker block(CBPatch);
    CBPatch->clear();
    PatchFiles.clear();
    CBPatch->addItem(GetLangText("None"));
    PatchFiles.emplace_back();
    for (const TPatchEntry& entry : PopulatePatchList(appDir_ / "patch", ".dsc", true, CBLang->currentText().toStdString(),
                                                      GameIndex, RegionIndex)) {
      CBPatch->addItem(Q(entry.title));
      PatchFiles.push_back(entry.descriptor);
    }
    CBPatch->setCurrentIndex(0);
  }
  CBPatch->setEnabled(true);
  BTNMusicChange->setEnabled(true);
  CBPatchChange();
}

void TForm1::CBPatchChange() {
  BTNMusicChange->setEnabled(false);
  const int index = CBPatch->currentIndex();
  if (index < 0 || static_cast<std::size_t>(index) >= PatchFiles.size()) return;
  if (index == 0) {
    lbSupportedGames->setText(QStringLiteral("N/A"));
    lbSupportedRegions->setText(QStringLiteral("N/A"));
    lbSupportedGames->adjustSize();
    lbSupportedRegions->adjustSize();
    TntRadioGroup2->setEnabled(false);
    VoiceMissing = true;
    PatchDir.clear();
    BTNInstallPatch->setEnabled(true);
    SetDescription(GetLangText("DescriptionDefault"));
    if (GameIndex == 1 || GameIndex == 2) RebuildTrackList({});
    return;
  }
  PatchDir = PatchFiles[static_cast<std::size_t>(index)].parent_path();
  const auto descriptor = TPatchDescriptor::Load(PatchFiles[static_cast<std::size_t>(index)]);
  if (!descriptor) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("LoadDescError"));
    return;
  }
  SetDescription(Q(descriptor->Value("Description")));
  OriginalPackDatMD5 = descriptor->Value("OriginalPackDatMD5");
  OriginalPackIncMD5 = descriptor->Value("OriginalPackIncMD5");
  lbSupportedGames->setText(Q(descriptor->Value("Game")));
  lbSupportedRegions->setText(Q(descriptor->Value("Region")));
  lbSupportedGames->adjustSize();
  lbSupportedRegions->adjustSize();
  VoiceMissing = !FolderExists(PatchDir / "voice");
  TntRadioGroup2->setEnabled(!VoiceMissing);
  if (GameIndex == 1 || GameIndex == 2) RebuildTrackList(PatchDir);
}

void TForm1::RebuildTrackList(const fs::path& patchDir) {
  trackList_.reset();
  auto list = std::make_unique<TTrackList>();
  const TTrackListResult result = list->Create(RomPath, GameCode, SoundInfoPos, patchDir);
  switch (result.status) {
    case TTrackListStatus::Ok:
      BTNMusicChange->setEnabled(true);
      trackList_ = std::move(list);
      break;
    case TTrackListStatus::FormatError:
    case TTrackListStatus::ReadingError:
      // The list stays, incomplete: no music dialog opens on it and no music is written.
      trackList_ = std::move(list);
      BTNMusicChange->setEnabled(false);
      ShowMessage(this, MessageKind::Error, windowTitle(),
                  GetLangText(result.status == TTrackListStatus::FormatError ? "ErrorTrackListFormat"
                                                                               : "ErrorReadingTracks"));
      break;
    case TTrackListStatus::Failed:
      BTNMusicChange->setEnabled(false);
      ShowMessage(this, MessageKind::Error, windowTitle(), Q(result.message));
      break;
  }
}

void TForm1::BTNMusicChangeClick() {
  // A list that stopped at a reported error is incomplete: editing it would write guesses.
  if (!trackList_ || !trackList_->Complete()) return;
  std::unique_ptr<TMusicDialog> dialog;
  const auto log = [this](const std::string& line) { LogAppend(line); };
  if (GameIndex == 1) {
    dialog = std::make_unique<TForm2>(*trackList_, QueryLanguage(), log, this);
  } else if (GameIndex == 2) {
    dialog = std::make_unique<TForm3>(*trackList_, QueryLanguage(), log, this);
  } else {
    return;
  }
  if (onMusicDialogShown) {
    QMetaObject::invokeMethod(dialog.get(), [this, d = dialog.get()] { onMusicDialogShown(*d); }, Qt::QueuedConnection);
  }
  dialog->exec();
}

bool TForm1::AcceptOutput(const fs::path& chosen) {
  // The run writes the name with its kind's own extension, which may be a file the save
  // dialog never asked about ("game.CIA" for "game.cia", "game.backup" for "game.3ds").
  const fs::path written = WrittenOutputPath(chosen);
  if (SameFile(written, RomPath)) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorOutputIsInput"));
    return false;
  }
  std::error_code ec;
  if (written != chosen && fs::exists(written, ec)) {
    QString question = GetLangText("ConfirmReplaceOutput");
    question.replace(QStringLiteral("%1"), Q(PathToUtf8(written)));
    return AskYesNo(this, windowTitle(), question);
  }
  return true;
}

void TForm1::BTNInstallPatchClick() {
  if (job_) return;  // one run at a time
  if (SameFile(WrittenOutputPath(OutPath), RomPath)) {
    // Checked again: the files may have changed since the output was chosen.
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorOutputIsInput"));
    return;
  }
  TInstallSettings settings;
  settings.appDir = appDir_;
  settings.patchDir = PatchDir;
  settings.romPath = RomPath;
  settings.outPath = OutPath;
  settings.game = GameCode;
  settings.originalPackDatMD5 = OriginalPackDatMD5;
  settings.originalPackIncMD5 = OriginalPackIncMD5;
  settings.lang = &langList_;
  settings.trackList = trackList_ && trackList_->Complete() ? trackList_.get() : nullptr;
  settings.writeReceipt = true;
  settings.receiptFacts =
      MakeReceiptFacts(GameIndex, RegionIndex, CBPatch->currentIndex() > 0 ? CBPatch->currentText().toStdString() : "",
                       VoiceMissing ? -1 : VoiceIndex(), settings.trackList, langList_);
  auto job = CreateInstallJob(RomExt, *jobHost_, settings);
  if (!job) return;
  LogAppend("\r\n" + langList_.GetLangText("StartPatching") + "\r\n");
  StartJob(std::move(job));
}

void TForm1::LogAppend(const std::string& utf8Line) {
  QString text = Q(utf8Line);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  MemoLog->appendPlainText(text);
  MemoLog->verticalScrollBar()->setValue(MemoLog->verticalScrollBar()->maximum());
}

void TForm1::LogReplaceLast(const std::string& utf8Line) {
  QTextCursor cursor(MemoLog->document()->lastBlock());
  cursor.select(QTextCursor::BlockUnderCursor);
  if (MemoLog->document()->blockCount() > 1) {
    cursor.removeSelectedText();
    MemoLog->appendPlainText(Q(utf8Line));
  } else {
    cursor.insertText(Q(utf8Line));
  }
}

QString TForm1::LogText() const { return MemoLog->toPlainText(); }

void TForm1::SetProgress(int percent) { ProgressBar1->setValue(percent); }

void TForm1::SetLanguageBoxEnabled(bool enabled) { CBLang->setEnabled(enabled); }

int TForm1::VoiceIndex() const { return voiceButtons->checkedId() < 0 ? 0 : voiceButtons->checkedId(); }

void TForm1::SetMusicButtonEnabled(bool enabled) { BTNMusicChange->setEnabled(enabled); }

LanguageQuery TForm1::QueryLanguage() { return {&langList_, appDir_, CBLang->currentText().toStdString()}; }

TInstallHost& TForm1::JobHost() { return *jobHost_; }

void TForm1::StartJob(std::unique_ptr<TInstall> job) {
  job_ = std::move(job);
  TntRadioGroup2->setEnabled(false);
  BTNInstallPatch->setEnabled(false);
  BTNMusicChange->setEnabled(false);
  CBPatch->setEnabled(false);
  btOldRomPath->setEnabled(false);
  btNewRomPath->setEnabled(false);
  ebOldRom->setEnabled(false);
  ebNewRom->setEnabled(false);
  BTNCancel->setEnabled(true);
  job_->Start();
}

void TForm1::BTNCancelClick() {
  if (!job_) return;
  LogAppend("\r\n" + langList_.GetLangText("CancelInstall"));
  job_->Terminate();
  BTNCancel->setEnabled(false);
}

void TForm1::ThreadCancel(TInstall* /*job*/) {
  QApplication::beep();
  if (job_) {
    job_->Terminate();
    // The job queued this call as its last act, so its thread is ending or has ended.
    job_->WaitFor();
    // A run refused because another run holds the program folder leaves that run's work
    // folder be. Our own goes away in the background, under the run's lock: the player sees
    // the end of the run at once.
    if (job_->OwnsWorkFolder()) TWorkFolderRemoval::Start(appDir_, job_->TakeRunLock());
    job_.reset();
  } else {
    DeleteFolder(appDir_ / "tools" / "temp");
  }
  ProgressBar1->setValue(0);
  if (!VoiceMissing) TntRadioGroup2->setEnabled(true);
  BTNInstallPatch->setEnabled(true);
  BTNMusicChange->setEnabled(GameIndex == 1 || GameIndex == 2);
  CBLang->setEnabled(true);
  CBPatch->setEnabled(true);
  BTNCancel->setEnabled(false);
  btOldRomPath->setEnabled(true);
  btNewRomPath->setEnabled(true);
  ebOldRom->setEnabled(true);
  ebNewRom->setEnabled(true);
  if (closeAfterRun_) close();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (job_) {
    // Closing mid-run would leave the work folder behind and the job writing into a window
    // that is gone: stop the run first and close when it has ended.
    closeAfterRun_ = true;
    if (BTNCancel->isEnabled()) BTNCancelClick();
    event->ignore();
    return;
  }
  FormClose();
  event->accept();
}

void TForm1::FormClose() {
  PatchFiles.clear();
  trackList_.reset();
}

}  // namespace qpt::ui
