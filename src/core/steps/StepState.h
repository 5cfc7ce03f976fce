// The main window's steps without the window: the image (step 1), the output (step 2), the
// patch (step 3), and what Install and "Change music" need. It knows which step is open, what a
// new image, output, patch or language resets, and which controls a state makes usable. The
// window calls the operation that matches what the player did, shows what the operation hands
// back (log lines, message keys, list items) and draws its controls from Controls(); tests
// drive it the same way without a display.
//
// Thread: the window's thread only. A run reads the state it was started with through its
// settings; nothing here changes between RunStarted and RunEnded, since the controls that
// would change it are locked meanwhile.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/install/Install.h"
#include "core/localization/Language.h"
#include "core/music/TrackLists.h"
#include "core/rom/Game.h"
#include "core/rom/PatchList.h"
#include "core/rom/PatchList.h"

namespace qpt {

// Which of the window's controls can be used.
struct TStepControls {
  bool image = true;    // step 1: the image field and its button
  bool output = false;  // step 2: the output field and its button
  bool patch = false;   // step 3: the patch list
  bool voice = false;   // the voice sets
  bool music = false;   // "Change music"
  bool install = false;
  bool cancel = false;
  bool operator==(const TStepControls&) const = default;
};

// What opening an image shows: the log is cleared first when clearLog is set, the lines are
// added, then the text for errorKey, when there is one, goes to an error dialog.
struct TImageOpening {
  bool clearLog = false;
  std::vector<std::string> logLines;
  std::string errorKey;
};

// How an output chosen in the save dialog stands. The run writes `written` (the name with its
// kind's own extension), which may be a file the dialog never asked about.
struct TOutputCheck {
  enum class TVerdict { Usable, KindImpossible, IsInput, ReplacesAnother };
  TVerdict verdict = TVerdict::Usable;
  std::filesystem::path written;
};

// What showing the selected patch changed on screen.
struct TPatchShown {
  bool selected = false;    // an item of the list is selected; nothing to show otherwise
  bool loadError = false;   // its descriptor could not be read ("LoadDescError"); the details stay
  bool none = false;        // "None": no details
  std::string description;  // the descriptor's values, for a patch
  std::string games;
  std::string regions;
  // The outcome of reading the music, when the track list was built anew.
  std::optional<TTrackListResult> trackList;
};

// The patch list after it was built again for the identified image.
struct TPatchListing {
  std::vector<std::string> titles;  // the patches that fit, after "None" (which the window names)
  std::vector<TPatchForm> forms;    // the form of each, for the list to say
  int selected = 0;                 // 0: "None"
  // The patch chosen before is no longer listed: the choice went back to "None", and the log
  // says so with its title.
  bool choiceReset = false;
  std::string resetTitle;
  TPatchShown shown;
};

class TStepState {
 public:
  TStepState();
  ~TStepState();
  TStepState(const TStepState&) = delete;
  TStepState& operator=(const TStepState&) = delete;

  const TStepControls& Controls() const { return controls_; }

  // Step 1. A new image forgets everything found out about, or chosen for, the one before:
  // its output, the patches that fit its game, their digests and the music read from it. An
  // image that is identified opens step 2; a refused one leaves the later steps locked. An
  // image of none of the known games is taken when patchRoots hold a mod-folder patch for it.
  TImageOpening OpenImage(const std::filesystem::path& image, const TLangList& lang,
                          const std::vector<std::filesystem::path>& patchRoots);
  bool ImageReady() const { return imageReady_; }

  // Step 2. The output is a kind the input can become and never the input image, and another
  // file that the run would really replace is asked about first.
  TOutputCheck CheckOutput(const std::filesystem::path& chosen) const;
  void ChooseOutput(const std::filesystem::path& output) {
    OutPath = output;
    ModFolder = false;
  }
  // Step 2 as a mod folder: folder receives the title folder; nothing else of the steps changes.
  void ChooseModFolder(const std::filesystem::path& folder) {
    OutPath = folder;
    ModFolder = true;
  }
  // The title folder a mod-folder run writes ("<folder>/<TitleID>"); empty for an image.
  std::filesystem::path ModTitleFolder() const;
  // Whether there is a patch list to build: an identified image and an output. A new output
  // and a language change (descriptors may exist per language) build it again.
  bool PatchListDue() const { return imageReady_ && !OutPath.empty(); }

  // Step 3. Lists the patches under the patch roots that fit the image, keeping the chosen one (and
  // its music) when its folder is still listed, and opens the list.
  TPatchListing RebuildPatchList(const std::vector<std::filesystem::path>& patchRoots, const std::string& languageName);
  TPatchListing RebuildPatchList(const std::filesystem::path& patchRoot, const std::string& languageName) {
    return RebuildPatchList(std::vector<std::filesystem::path>{patchRoot}, languageName);
  }
  // The player selected item index of the list (0: "None"); the music is read anew.
  TPatchShown ChoosePatch(int index) { return ShowPatch(index, false); }

  // Install: usable once an identified image, an output and a readable patch choice are there.
  bool Runnable() const { return imageReady_ && !OutPath.empty() && patchReady_; }
  // Checked again before a run: the files may have changed since the output was chosen.
  bool OutputIsInput() const;
  // The settings of a run started now; lang is the window's table, which the run reads.
  // replaceModFolder: the player agreed that an existing title folder is replaced whole.
  TInstallSettings InstallSettings(const TFolders& folders, const TLangList& lang, int voiceIndex,
                                   bool replaceModFolder = false) const;
  void RunStarted();
  void CancelAsked() { controls_.cancel = false; }
  // The state a run was started with cannot have changed while it ran: Install is usable
  // again, and music and voices as they were.
  void RunEnded();

  // "Change music": the track list, when it was read completely (nullptr otherwise, since
  // editing an incomplete list would write guesses).
  TTrackList* MusicList();
  // The current track list, complete or not; nullptr when none could be built.
  TTrackList* TrackList() { return trackList_.get(); }
  // The window closes: the lists go.
  void Close();

  // State of the chosen image, output and patch.
  std::filesystem::path RomPath;
  std::string RomExt;
  std::uint8_t GameIndex = 0;  // 0 none, 1 AAT, 2 AA4, 3 AA5, 4 AA6, 5 PLvsPW, 6 another title
  // What the game of GameIndex has (a pack archive, voices and music, ...).
  TGame Game() const { return TGame::FromIndex(GameIndex); }
  std::uint8_t RegionIndex = 0;
  std::string GameCode;
  std::int64_t SoundInfoPos = -1;
  std::filesystem::path OutPath;
  bool ModFolder = false;  // OutPath is the folder that receives the title folder
  std::uint32_t ProgramIdLow = 0;
  std::uint64_t ProgramId = 0;
  std::filesystem::path PatchDir;
  bool VoiceMissing = true;  // the chosen patch offers no voice sets
  std::string OriginalPackDatMD5;
  std::string OriginalPackIncMD5;
  // Each item of the patch list; the first ("None") is empty.
  std::vector<TPatchEntry> PatchEntries;

 private:
  void ForgetImage();
  // Forgets the chosen patch's values and the track list.
  void ForgetPatch();
  void LockLaterSteps();
  // Takes over item index of the patch list; keepMusic keeps the track list when the same
  // patch folder stays chosen.
  TPatchShown ShowPatch(int index, bool keepMusic);
  TTrackListResult RebuildTrackList(const std::filesystem::path& patchDir);
  bool MusicUsable() const;
  // Install, the music and the voices follow the state a run would be started with, never
  // the order in which the steps happened to be taken.
  void SettleRunControls();

  TStepControls controls_;
  bool running_ = false;
  bool imageReady_ = false;  // the image at RomPath was identified and may be installed
  bool patchShown_ = false;  // the patch list has a selection whose values were taken over
  bool patchReady_ = false;  // ... and its descriptor could be read
  int patchIndex_ = -1;      // the selected item of the patch list
  std::vector<std::string> patchTitles_;  // per item; the first ("None") is empty
  std::unique_ptr<TTrackList> trackList_;
  std::filesystem::path trackListPatchDir_;  // the patch folder the track list was built for
};

}  // namespace qpt
