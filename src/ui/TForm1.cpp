#include "ui/TForm1.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QThread>

#include <algorithm>

#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/Receipt.h"
#include "core/install/WorkFolder.h"
#include "ctr/Names.h"
#include "ui/Dialogs.h"
#include "ui/MusicDialogs.h"

namespace qpt::ui {

namespace fs = std::filesystem;

namespace {

QString Q(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }

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
      folders_(options_.folders) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QString::fromUtf8(kProgramTitle));
  // An image or a patch folder dropped anywhere on the window.
  setAcceptDrops(true);
  QFont dialogFont(QStringLiteral("MS Shell Dlg 2"));
  dialogFont.setPointSize(8);
  setFont(dialogFont);
  BuildControls();
  DrawSteps();
  FitWindow();
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
  if (checkThread_.joinable()) checkThread_.join();
}

bool TForm1::FormCreate() {
  // The language box lists every language file; the starting language follows the locale.
  const std::vector<std::string> languages = FindLanguageFiles(folders_);
  std::string starting = StartingLanguageName(options_.localeLanguageName);
  {
    const QSignalBlocker block(CBLang);
    for (const std::string& name : languages) CBLang->addItem(Q(name));
    // The file may be named in other letter case ("english.lng"); its own name is loaded.
    const auto found = std::find_if(languages.begin(), languages.end(), [&](const std::string& name) {
      return ctr::FoldNameCase(name) == ctr::FoldNameCase(starting);
    });
    if (found != languages.end()) starting = *found;
    CBLang->setCurrentIndex(found != languages.end() ? static_cast<int>(found - languages.begin()) : -1);
  }
  if (ApplyMainTexts(starting) != 0) return false;
  currentLanguage_ = starting;

  if (const auto missingKey = FirstMissingToolKey(folders_)) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText(missingKey->c_str()));
    return false;
  }

  std::optional<std::uint64_t> freeBytes;
  std::error_code ec;
  const fs::space_info space = fs::space(folders_.work, ec);
  if (!ec && space.available != static_cast<std::uintmax_t>(-1)) freeBytes = space.available;
  // In the system's own form: Z:\ on Windows, not the Z:/ that a path built with slashes has.
  const std::string drive = PathToUtf8(fs::absolute(folders_.work).root_path().make_preferred());
  for (const std::string& line : DiskFreeSpaceLines(langList_, drive, freeBytes, options_.decimalSeparator)) {
    LogAppend(line);
  }
  // An installed program keeps the player's files away from itself; say where they are.
  if (folders_.installed) {
    std::string error;
    if (!PrepareFolders(folders_, &error)) LogAppend(error);
    for (const std::string& line : FolderLogLines(folders_, langList_.GetLangText("FoldersLanguages"),
                                                  langList_.GetLangText("FoldersPatches"),
                                                  langList_.GetLangText("FoldersWork"))) {
      LogAppend(line);
    }
  }
  startingUp_ = false;
  return true;
}

QString TForm1::GetLangText(const char* key) const { return Q(langList_.GetLangText(key)); }

int TForm1::ApplyMainTexts(const std::string& name) {
  // A failed reload keeps the previous table so that the window and a later run still have
  // texts; at start-up there is no previous table and the program ends.
  TLangList loaded;
  if (!LoadLanguage(name, loaded, folders_)) {
    ShowMessage(this, MessageKind::Error, QStringLiteral("Quilltool"),
                QStringLiteral("Отсутствуют языковые файлы.\r\nLanguage files are missing."));
    if (startingUp_) langList_.Clear();
    return -1;
  }
  langList_ = std::move(loaded);
  UseQtTranslation(QtTranslationFile(langList_, folders_));

  TntGroupBox1->setTitle(GetLangText("GroupBox1"));
  TntGroupBox2->setTitle(GetLangText("GroupBox2"));
  BTNInstallPatch->setText(GetLangText("BTNInstallPatch"));
  BTNCancel->setText(GetLangText("BTNCancel"));
  BTNMusicChange->setText(GetLangText("BTNMusicChange"));
  BTNCheckImage->setText(GetLangText("CheckImageButton"));
  BTNRemoveModFolder->setText(GetLangText("RemoveModFolderButton"));
  BTNOpenPatchFolder->setToolTip(GetLangText("OpenPatchFolderButton"));
  // An icon has no letter to underline: the mnemonic comes from a text of its own.
  BTNOpenPatchFolder->setShortcut(QKeySequence::mnemonic(GetLangText("OpenPatchFolderMnemonic")));
  SetDescription(GetLangText("DescriptionDefault"));
  QLabel* labels[] = {TntLabel0, TntLabel1, TntLabel2, TntLabel3, TntLabel4, TntLabel5};
  for (int i = 0; i < 6; ++i) {
    labels[i]->setText(GetLangText(QStringLiteral("Label%1").arg(i).toLatin1().constData()));
  }
  TntRadioGroup2->setTitle(GetLangText("RadioGroup2"));
  // The receipt names the voice set with RadioGroup2BTN*: the buttons' texts carry mnemonics.
  for (int i = 0; i < 3; ++i) {
    voiceItems[i]->setText(GetLangText(QStringLiteral("VoiceButton%1").arg(i + 1).toLatin1().constData()));
  }
  ApplyAccessibleTexts();
  FitWindow();
  return 0;
}

void TForm1::ApplyAccessibleTexts() {
  const auto labelled = [](const QLabel* label) { return WithoutMnemonic(label->text()); };
  const auto shown = [](const QAbstractButton* button) { return WithoutMnemonic(button->text()); };
  SetAccessibleTexts(CBLang, labelled(TntLabel0), GetLangText("A11yLanguageDesc"));
  SetAccessibleTexts(ebOldRom, labelled(TntLabel1), GetLangText("A11yImageDesc"));
  SetAccessibleTexts(btOldRomPath, GetLangText("A11yChooseImageName"), GetLangText("A11yChooseImageDesc"));
  SetAccessibleTexts(ebNewRom, labelled(TntLabel2), GetLangText("A11yOutputDesc"));
  SetAccessibleTexts(btNewRomPath, GetLangText("A11yChooseOutputName"), GetLangText("A11yChooseOutputDesc"));
  SetAccessibleTexts(BTNRemoveModFolder, shown(BTNRemoveModFolder), GetLangText("A11yRemoveModFolderDesc"));
  SetAccessibleTexts(CBPatch, labelled(TntLabel3), GetLangText("A11yPatchDesc"));
  SetAccessibleTexts(BTNOpenPatchFolder, GetLangText("OpenPatchFolderButton"), GetLangText("A11yOpenPatchFolderDesc"));
  SetAccessibleTexts(TntRadioGroup2, TntRadioGroup2->title(), GetLangText("A11yVoiceDesc"));
  for (QRadioButton* voice : voiceItems) SetAccessibleTexts(voice, shown(voice), GetLangText("A11yVoiceDesc"));
  SetAccessibleTexts(BTNCheckImage, shown(BTNCheckImage), GetLangText("A11yCheckImageDesc"));
  SetAccessibleTexts(BTNMusicChange, shown(BTNMusicChange), GetLangText("A11yMusicChangeDesc"));
  SetAccessibleTexts(BTNInstallPatch, shown(BTNInstallPatch), GetLangText("A11yInstallDesc"));
  SetAccessibleTexts(BTNCancel, shown(BTNCancel), GetLangText("A11yCancelDesc"));
  SetAccessibleTexts(RichDesc, TntGroupBox1->title(), GetLangText("A11yDescriptionDesc"));
  SetAccessibleTexts(MemoLog, GetLangText("A11yLogName"), GetLangText("A11yLogDesc"));
  SetAccessibleTexts(ProgressBar1, GetLangText("A11yProgressName"), GetLangText("A11yProgressDesc"));
}

void TForm1::SetDescription(const QString& plainText) { RichDesc->setHtml(LinkifyText(plainText)); }

void TForm1::CBLangChange(const QString& text) {
  if (ApplyMainTexts(text.toStdString()) != 0) {
    // The file went away since the list was made: the box goes back to the language that
    // is still loaded, so that the box, the texts and the music dialogs agree.
    const QSignalBlocker block(CBLang);
    CBLang->setCurrentIndex(CBLang->findText(Q(currentLanguage_)));
    return;
  }
  currentLanguage_ = text.toStdString();
  btNewRomPathClick(true);
}

void TForm1::DrawSteps() {
  const TStepControls& c = steps_.Controls();
  btOldRomPath->setEnabled(c.image);
  ebOldRom->setEnabled(c.image);
  ebNewRom->setEnabled(c.output);
  btNewRomPath->setEnabled(c.output);
  CBPatch->setEnabled(c.patch);
  TntRadioGroup2->setEnabled(c.voice);
  BTNMusicChange->setEnabled(c.music);
  BTNInstallPatch->setEnabled(c.install);
  BTNCancel->setEnabled(c.cancel);
  DrawRemoveModFolder();
}

void TForm1::ShowImageForgotten() {
  ebNewRom->clear();
  {
    const QSignalBlocker block(CBPatch);
    CBPatch->clear();
  }
  lbSupportedGames->clear();
  lbSupportedRegions->clear();
  SetDescription(GetLangText("DescriptionDefault"));
  ProgressBar1->setValue(0);  // a full bar spoke of the previous image's run
  // The voice set is kept through a language change and a new output, but another image may
  // get another patch: it starts again from the first set.
  voiceItems[0]->setChecked(true);
}

void TForm1::btOldRomPathClick() {
  const auto chosen = SelectOpenFile(this, Q(PathToUtf8(lastImageFolder_.empty() ? folders_.program : lastImageFolder_)),
                                     OpenFilter());
  if (!chosen) return;
  OpenImage(PathFromUtf8(chosen->toStdString()));
}

void TForm1::OpenImage(const fs::path& image) {
  ebOldRom->setText(Q(PathToUtf8(image)));
  lastImageFolder_ = image.parent_path();
  const TImageOpening opening = steps_.OpenImage(image, langList_, PatchRoots(folders_));
  ShowImageForgotten();
  DrawSteps();
  if (opening.clearLog) MemoLog->clear();
  for (const std::string& line : opening.logLines) LogAppend(line);
  if (!opening.errorKey.empty()) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText(opening.errorKey.c_str()));
  }
}

QString TForm1::OpenFilter() const {
  // Every kind the identification takes, ".cci" (the name emulators give card images) too.
  return GetLangText("OpenFilterAll") + " (*.cia *.cxi *.3ds *.cci)|*.cia;*.cxi;*.3ds;*.cci|" +
         GetLangText("OpenFilterCIA") + " (*.cia)|*.cia|" + GetLangText("OpenFilterCXI") + " (*.cxi)|*.cxi|" +
         GetLangText("OpenFilter3DS") + " (*.3ds)|*.3ds|" + GetLangText("OpenFilterCCI") + " (*.cci)|*.cci";
}

void TForm1::btNewRomPathClick(bool fromLanguageChange) {
  if (!fromLanguageChange) {
    if (!steps_.ImageReady()) return;
    // A new image, or only the changed files as a mod folder that game patching and the
    // emulators load.
    const auto kind = ChooseFromMenu(btNewRomPath, {GetLangText("OutputKindImage"), GetLangText("OutputKindMods")});
    if (kind == 1) {
      ChooseModPlace();
    } else if (kind == 0) {
      const QString console = GetLangText("Console");
      const QString emulator = GetLangText("Emulator");
      SaveFilter = steps_.RomExt == ".3ds" ? console + " (CFW) (*.cia)|*.cia|" + emulator + " (*.cxi)|*.cxi|" + console +
                                                 " (Sky3DS) (*.3ds)|*.3ds|"
                                           : console + " (*.cia)|*.cia|" + emulator + " (*.cxi)|*.cxi";
      // Beside the input, named after it, as the first kind offered (a CIA).
      fs::path suggested = RemoveExtension(steps_.RomPath);
      suggested += " " + langList_.GetLangText("SuggestedOutputWord") + ".cia";
      if (const auto chosen = SelectSaveFile(this, SaveFilter, Q(PathToUtf8(suggested)))) {
        const fs::path path = OutputPathWithKind(PathFromUtf8(chosen->path.toStdString()),
                                                 ExtensionOfFilter(chosen->filter).toStdString());
        if (AcceptOutput(path)) steps_.ChooseOutput(path);
      }
    }
    // A mod folder shows the title folder the run will write.
    ebNewRom->setText(Q(PathToUtf8(steps_.ModFolder ? steps_.ModTitleFolder() : steps_.OutPath)));
  }
  // A refused or forgotten image has nothing to list patches for, whatever the box shows.
  if (!steps_.PatchListDue()) return;
  RebuildPatchList();
}

void TForm1::ChooseModPlace() {
  // Looked for now, so that a card put in since the window opened is offered too.
  const std::vector<TModPlace> places =
      FindModPlaces(placeSources ? placeSources() : SystemPlaceSources());
  if (!places.empty()) {
    QStringList items;
    for (const TModPlace& place : places) {
      items << (place.kind == TModPlace::Kind::SdCard
                    ? FormatLangText("ModPlaceSdCard", Q(place.name))
                    : Q(FillMarks(langList_.GetLangText("ModPlaceEmulator"), {place.name, PathToUtf8(place.root)})));
    }
    items << GetLangText("ModPlaceOther");
    const auto chosen = ChooseFromMenu(btNewRomPath, items);
    if (!chosen) return;
    if (static_cast<std::size_t>(*chosen) < places.size()) {
      const TModPlace& place = places[static_cast<std::size_t>(*chosen)];
      if (const ctr::Status made = PrepareModPlace(place); !made) {
        ShowMessage(this, MessageKind::Error, windowTitle(), FormatLangText("ErrorModPlaceNotMade", Q(made.message())));
        return;
      }
      steps_.ChooseModFolder(place.target);
      return;
    }
  }
  if (const auto folder = SelectFolder(this, GetLangText("ModFolderDialogTitle"))) {
    steps_.ChooseModFolder(PathFromUtf8(folder->toStdString()));
  }
}

void TForm1::RebuildPatchList() {
  const TPatchListing listing = steps_.RebuildPatchList(PatchRoots(folders_), CBLang->currentText().toStdString());
  {
    const QSignalBlocker block(CBPatch);
    CBPatch->clear();
    CBPatch->addItem(GetLangText("None"));
    for (std::size_t i = 0; i < listing.titles.size(); ++i) {
      const QString title = Q(listing.titles[i]);
      CBPatch->addItem(listing.forms[i] == TPatchForm::ModFolder ? FormatLangText("PatchListModFolder", title) : title);
    }
    CBPatch->setCurrentIndex(listing.selected);
  }
  DrawSteps();
  if (listing.choiceReset) {
    LogAppend("\r\n" + FormatLangText("PatchChoiceReset", Q(listing.resetTitle)).toStdString());
  }
  ShowPatch(listing.shown);
}

QString TForm1::FormatLangText(const char* key, const QString& value) const {
  QString text = GetLangText(key);
  text.replace(QStringLiteral("%1"), value);
  return text;
}

void TForm1::CBPatchChange() { ShowPatch(steps_.ChoosePatch(CBPatch->currentIndex())); }

void TForm1::ShowPatch(const TPatchShown& shown) {
  DrawSteps();
  if (!shown.selected) return;
  if (shown.loadError) {
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("LoadDescError"));
    return;
  }
  if (shown.none) {
    lbSupportedGames->setText(GetLangText("NotAvailable"));
    lbSupportedRegions->setText(GetLangText("NotAvailable"));
    SetDescription(GetLangText("DescriptionDefault"));
  } else {
    SetDescription(Q(shown.description));
    lbSupportedGames->setText(Q(shown.games));
    lbSupportedRegions->setText(Q(shown.regions));
  }
  lbSupportedGames->setToolTip(lbSupportedGames->text());
  lbSupportedRegions->setToolTip(lbSupportedRegions->text());
  if (!shown.trackList) return;
  switch (shown.trackList->status) {
    case TTrackListStatus::Ok:
      break;
    case TTrackListStatus::FormatError:
      ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorTrackListFormat"));
      break;
    case TTrackListStatus::ReadingError:
      ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorReadingTracks"));
      break;
    case TTrackListStatus::Failed:
      ShowMessage(this, MessageKind::Error, windowTitle(), Q(shown.trackList->message));
      break;
  }
}

void TForm1::BTNMusicChangeClick() {
  // A list that stopped at a reported error is incomplete: editing it would write guesses.
  TTrackList* list = steps_.MusicList();
  if (!list) return;
  std::unique_ptr<TMusicDialog> dialog;
  const auto log = [this](const std::string& line) { LogAppend(line); };
  if (steps_.Game().Id() == TGameId::AAT) {
    dialog = std::make_unique<TForm2>(*list, QueryLanguage(), log, this);
  } else if (steps_.Game().Id() == TGameId::AA4) {
    dialog = std::make_unique<TForm3>(*list, QueryLanguage(), log, this);
  } else {
    return;
  }
  if (onMusicDialogShown) {
    QMetaObject::invokeMethod(dialog.get(), [this, d = dialog.get()] { onMusicDialogShown(*d); }, Qt::QueuedConnection);
  }
  if (dialog->exec() != QDialog::Accepted) return;
  // Saved only in memory: the log tells the player the choice took and where it lands.
  LogAppend("\r\n" + langList_.GetLangText(dialog->CBApplyDirectly->isChecked() ? "MusicSavedIntoImage" : "MusicSaved"));
}

bool TForm1::AcceptOutput(const fs::path& chosen) {
  const TOutputCheck check = steps_.CheckOutput(chosen);
  switch (check.verdict) {
    case TOutputCheck::TVerdict::KindImpossible:
      ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorOutputKind3DS"));
      return false;
    case TOutputCheck::TVerdict::IsInput:
      ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorOutputIsInput"));
      return false;
    case TOutputCheck::TVerdict::ReplacesAnother:
      return AskYesNo(this, windowTitle(), FormatLangText("ConfirmReplaceOutput", Q(PathToUtf8(check.written))));
    case TOutputCheck::TVerdict::Usable:
      break;
  }
  return true;
}

void TForm1::BTNInstallPatchClick() {
  if (job_ || CheckRunning()) return;  // one run at a time, and none while an image is checked
  if (!steps_.Runnable()) return;
  if (steps_.OutputIsInput()) {
    // Checked again: the files may have changed since the output was chosen.
    ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorOutputIsInput"));
    return;
  }
  std::error_code ec;
  // The file may have appeared since the output was chosen, or be the previous run's image:
  // nothing is written over without the player's word at the moment the run starts.
  if (const fs::path written = WrittenOutputPath(steps_.OutPath);
      !steps_.ModFolder && fs::exists(fs::symlink_status(written, ec)) &&
      !AskYesNo(this, windowTitle(), FormatLangText("ConfirmReplaceOutput", Q(PathToUtf8(written))))) {
    // The log says why the press did nothing, as the end of a run would.
    LogAppend("\r\n" + FormatLangText("ReplaceDeclinedFile", Q(PathToUtf8(written))).toStdString());
    return;
  }
  bool replaceModFolder = false;
  if (const fs::path title = steps_.ModTitleFolder(); !title.empty() && fs::exists(fs::symlink_status(title, ec))) {
    QString question = GetLangText("ModFolderReplace");
    question.replace(QStringLiteral("%1"), Q(PathToUtf8(title)));
    if (!AskYesNo(this, windowTitle(), question)) {
      LogAppend("\r\n" + FormatLangText("ReplaceDeclinedFolder", Q(PathToUtf8(title))).toStdString());
      return;
    }
    replaceModFolder = true;
  }
  auto job = CreateInstallJob(steps_.RomExt, *jobHost_,
                              steps_.InstallSettings(folders_, langList_, VoiceIndex(), replaceModFolder));
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

LanguageQuery TForm1::QueryLanguage() { return {&langList_, folders_, currentLanguage_}; }

TInstallHost& TForm1::JobHost() { return *jobHost_; }

void TForm1::StartJob(std::unique_ptr<TInstall> job) {
  job_ = std::move(job);
  steps_.RunStarted();
  DrawSteps();
  job_->Start();
}

void TForm1::BTNCancelClick() {
  if (!job_) return;
  LogAppend("\r\n" + langList_.GetLangText("CancelInstall"));
  job_->Terminate();
  steps_.CancelAsked();
  DrawSteps();
}

void TForm1::ThreadCancel(TInstall* /*job*/) {
  PlayExclamation();
  bool succeeded = false;
  if (job_) {
    const bool cancelled = job_->Terminated();
    job_->Terminate();
    // The job queued this call as its last act, so its thread is ending or has ended.
    job_->WaitFor();
    succeeded = job_->Succeeded();
    if (succeeded) lastOutputFolder_ = steps_.ModFolder ? job_->OutPath() : job_->OutPath().parent_path();
    // A cancelled run said so itself; a failed one ends with the line that nothing was written,
    // below the reason.
    if (!succeeded && !cancelled) LogAppend("\r\n" + langList_.GetLangText("InstallFailedNothingWritten"));
    // A run refused because another run holds the program folder leaves that run's work
    // folder be. Our own goes away in the background, under the run's lock: the player sees
    // the end of the run at once.
    if (job_->OwnsWorkFolder()) TWorkFolderRemoval::Start(folders_.work, job_->TakeRunLock());
    job_.reset();
  } else {
    DeleteFolder(folders_.work / "tools" / "temp");
  }
  // A bar left full says that the run went through; anything else starts again from nothing.
  if (!succeeded) ProgressBar1->setValue(0);
  steps_.RunEnded();
  DrawSteps();
  CBLang->setEnabled(true);
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

void TForm1::FormClose() { steps_.Close(); }

}  // namespace qpt::ui
