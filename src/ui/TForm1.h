// The main window: the player picks the game image, the output and the patch, reads the
// patch's description, chooses a voice set and music, and starts or cancels an installation
// while its progress shows in the log and the progress bar. The steps' state and rules live in
// TStepState (core); the window turns the player's actions into its calls and draws what it
// says. TForm1.cpp holds the steps and the run, TForm1Controls.cpp the controls and their
// layout, TForm1Drop.cpp what is dropped on the window, TForm1Check.cpp the check of an image.
#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/install/Install.h"
#include "core/install/ModPlaces.h"
#include "core/localization/Language.h"
#include "core/music/TrackLists.h"
#include "core/steps/StepState.h"

class QButtonGroup;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTextBrowser;

namespace qpt::ui {

struct TForm1Options {
  TFolders folders;               // where languages, patches, tools and the work folder are
  std::string localeLanguageName; // English name of the user's locale language
  std::string decimalSeparator = ".";
};

// What a music dialog needs to apply the current language to itself.
struct LanguageQuery {
  TLangList* langList;
  TFolders folders;
  std::string languageName;
};

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm1(TForm1Options options, QWidget* parent = nullptr);
  ~TForm1() override;

  // Runs the start-up checks: languages, tools, disk report. False when the program must
  // end (the reason was already shown to the player).
  bool FormCreate();

  // Surface used by the install job (through the window's thread) and the music dialogs.
  // A line may hold CR LF pairs, each starting a further line.
  void LogAppend(const std::string& utf8Line);
  // Rewrites the last line of the log (progress counters inside long steps).
  void LogReplaceLast(const std::string& utf8Line);
  QString LogText() const;
  void SetProgress(int percent);
  void SetLanguageBoxEnabled(bool enabled);
  int VoiceIndex() const;
  LanguageQuery QueryLanguage();

  TLangList& LangList() { return langList_; }
  const TFolders& Folders() const { return folders_; }
  QString GetLangText(const char* key) const;

  // Loads the named language and applies it to the window's captions. 0 or -1.
  int ApplyMainTexts(const std::string& name);
  // Shows a patch description (plain text) with its web addresses as live links.
  void SetDescription(const QString& plainText);

  // Starts an install job on its own thread and locks the window until its run ends.
  void StartJob(std::unique_ptr<TInstall> job);
  bool JobRunning() const { return job_ != nullptr; }
  // The cancel button: asks the running job to stop at its next checkpoint.
  void BTNCancelClick();
  // End of a run, on the window's thread: removes the work folder and unlocks the window.
  void ThreadCancel(TInstall* job);
  // The job host, through which the job reaches the window from its own thread.
  TInstallHost& JobHost();

  // Step 1: choose and identify the input image.
  void btOldRomPathClick();
  // Step 1 with a given file (chosen in the dialog or dropped on the window).
  void OpenImage(const std::filesystem::path& image);
  // What was dropped on the window: an image does what Step 1 does; a patch folder (holding
  // a descriptor) is copied into patch/ after the player agreed; anything else is said so.
  void HandleDrop(const std::vector<std::filesystem::path>& paths);
  // A dropped .zip, .7z or .rar: unpacked into patch/ off the window's thread after the player
  // agreed (and agreed again to replace the folder an earlier drop made).
  void ImportArchive(const std::filesystem::path& archive);
  // "Check an image...": checks a chosen image off the window's thread and logs every region.
  void BTNCheckImageClick();
  // "Open the patch folder": the folder where patches go, in the desktop's file manager.
  void BTNOpenPatchFolderClick();
  bool CheckRunning() const;
  // Step 2's "Remove this mod folder...": shown while the chosen mod folder's title folder
  // exists with our receipt; asks the player, listing what goes, then removes it.
  void BTNRemoveModFolderClick();
  // Step 2: choose the output; with fromLanguageChange the dialog is skipped and only the
  // patch list is rebuilt (descriptors may exist per language).
  // Whether an output chosen in the save dialog may be used: never the input image, and a
  // different file that the run would really replace only after the player agreed.
  bool AcceptOutput(const std::filesystem::path& chosen);
  void btNewRomPathClick(bool fromLanguageChange = false);
  // Step 3: a patch was chosen (or "None").
  void CBPatchChange();
  void BTNInstallPatchClick();
  // Opens the music dialog of the identified game on the current track list.
  void BTNMusicChangeClick();
  // Set by tests to reach the dialog while it is shown modally; it gets the dialog once it
  // is filled and before its modal loop starts.
  std::function<void(class TMusicDialog&)> onMusicDialogShown;
  // Where Step 2 looks for SD cards and emulator folders; the system's own when not set.
  std::function<TPlaceSources()> placeSources;
  // The current track list, or nullptr when none could be built.
  TTrackList* TrackList() { return steps_.TrackList(); }

  // State of the chosen image, output and patch, and which steps are open.
  TStepState& Steps() { return steps_; }
  QString SaveFilter;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  // A change of font (the system's text size) fits the window to its texts again.
  void changeEvent(QEvent* event) override;

 private:
  void BuildControls();
  // Sizes the window to what its texts need, never below its usual size.
  void FitWindow();
  static constexpr QSize kInitialSize{657, 482};
  // Names and descriptions for screen readers, in the loaded language.
  void ApplyAccessibleTexts();
  void CBLangChange(const QString& text);
  void FormClose();
  // Enables the controls as the step state says.
  void DrawSteps();
  // Shows the removal of the chosen mod folder only when there is one of ours to remove.
  void DrawRemoveModFolder();
  // Clears what the window showed of the previous image: the output, the patch list and the
  // patch's details, and a bar left full by its run.
  void ShowImageForgotten();
  // Lists the patches for the identified image (see TStepState::RebuildPatchList) and shows
  // the list and the selected patch.
  void RebuildPatchList();
  // Step 2's mod folder: an SD card or emulator folder found now, from a menu that ends with
  // "Another folder...", or, with none found, a folder from the folder dialog.
  void ChooseModPlace();
  // Shows the selected patch's details and what reading its music came to.
  void ShowPatch(const TPatchShown& shown);
  QString OpenFilter() const;
  QString FormatLangText(const char* key, const QString& value) const;

  class WindowJobHost;
  std::unique_ptr<WindowJobHost> jobHost_;
  std::unique_ptr<TInstall> job_;
  // The check of an image or the unpacking of a dropped archive, while it runs: either keeps
  // an installation from starting and the window from closing.
  std::thread checkThread_;
  TStepState steps_;
  bool closeAfterRun_ = false;
  // Where the open dialogs start: the folder of the image opened last (the program folder before).
  std::filesystem::path lastImageFolder_;
  std::filesystem::path lastOutputFolder_;  // of the last run that succeeded
  std::string currentLanguage_;  // the language loaded into langList_

  TForm1Options options_;
  TFolders folders_;
  TLangList langList_;
  bool startingUp_ = true;

 public:
  // Controls, named as the tests and the other windows find them.
  QLabel* TntLabel0 = nullptr;
  QComboBox* CBLang = nullptr;
  QGroupBox* TntGroupBox1 = nullptr;
  QTextBrowser* RichDesc = nullptr;
  QPlainTextEdit* MemoLog = nullptr;
  QGroupBox* TntGroupBox2 = nullptr;
  QLabel* TntLabel1 = nullptr;
  QLineEdit* ebOldRom = nullptr;
  QPushButton* btOldRomPath = nullptr;
  QLabel* TntLabel2 = nullptr;
  QLineEdit* ebNewRom = nullptr;
  QPushButton* btNewRomPath = nullptr;
  QPushButton* BTNRemoveModFolder = nullptr;
  QLabel* TntLabel3 = nullptr;
  QComboBox* CBPatch = nullptr;
  QLabel* TntLabel4 = nullptr;
  QLabel* lbSupportedGames = nullptr;
  QLabel* TntLabel5 = nullptr;
  QLabel* lbSupportedRegions = nullptr;
  QGroupBox* TntRadioGroup2 = nullptr;
  QButtonGroup* voiceButtons = nullptr;
  QRadioButton* voiceItems[3] = {nullptr, nullptr, nullptr};
  QPushButton* BTNMusicChange = nullptr;
  QPushButton* BTNInstallPatch = nullptr;
  QPushButton* BTNCancel = nullptr;
  QPushButton* BTNCheckImage = nullptr;
  QPushButton* BTNOpenPatchFolder = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
};

}  // namespace qpt::ui
