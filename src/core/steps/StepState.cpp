#include "core/steps/StepState.h"

#include <system_error>

#include "core/common/Common.h"
#include "core/install/InstallMods.h"
#include "core/install/Receipt.h"
#include "core/rom/PatchList.h"
#include "core/rom/RomIdentify.h"

namespace qpt {

namespace fs = std::filesystem;

TStepState::TStepState() = default;
TStepState::~TStepState() = default;

void TStepState::LockLaterSteps() {
  controls_.output = false;
  controls_.patch = false;
  controls_.install = false;
  controls_.music = false;
  controls_.voice = false;
}

void TStepState::ForgetPatch() {
  patchReady_ = false;
  patchShown_ = false;
  PatchDir.clear();
  OriginalPackDatMD5.clear();
  OriginalPackIncMD5.clear();
  VoiceMissing = true;
  trackList_.reset();
  trackListPatchDir_.clear();
}

void TStepState::ForgetImage() {
  imageReady_ = false;
  GameIndex = 0;
  RegionIndex = 0;
  GameCode.clear();
  SoundInfoPos = -1;
  RomExt.clear();
  OutPath.clear();
  ModFolder = false;
  ProgramIdLow = 0;
  ProgramId = 0;
  PatchEntries.clear();
  patchTitles_.clear();
  patchIndex_ = -1;
  ForgetPatch();
  LockLaterSteps();
}

TImageOpening TStepState::OpenImage(const fs::path& image, const TLangList& lang,
                                    const std::vector<fs::path>& patchRoots) {
  RomPath = image;
  ForgetImage();

  TImageOpening opening;
  const TRomIdentity id = IdentifyRom(RomPath, patchRoots);
  if (id.errorKey == "ErrorLoadingROM" && !id.kindChecked) {
    opening.errorKey = id.errorKey;
    return opening;
  }
  opening.clearLog = true;
  if (!id.kindChecked) {
    opening.errorKey = id.errorKey;
    return opening;
  }
  RomExt = id.romExt;
  if (id.encrypted) {
    opening.logLines = {lang.GetLangText("LogEncrypted") + "\r\n"};
    return opening;
  }
  opening.logLines = IdentityLogLines(id, lang);
  if (!id.errorKey.empty()) {
    opening.errorKey = id.errorKey;
    return opening;
  }
  GameIndex = id.gameIndex;
  RegionIndex = id.regionIndex;
  ProgramIdLow = id.programIdLow;
  ProgramId = id.programId;
  GameCode = id.gameCode;
  if (Game().HasVoicesAndMusic()) SoundInfoPos = id.soundInfoPos;
  imageReady_ = true;
  controls_.output = true;
  return opening;
}

TOutputCheck TStepState::CheckOutput(const fs::path& chosen) const {
  TOutputCheck check;
  check.written = WrittenOutputPath(chosen);
  std::error_code ec;
  if (!OutputKindPossible(RomExt, chosen)) {
    check.verdict = TOutputCheck::TVerdict::KindImpossible;
  } else if (SameFile(check.written, RomPath)) {
    check.verdict = TOutputCheck::TVerdict::IsInput;
  } else if (check.written != chosen && fs::exists(check.written, ec)) {
    check.verdict = TOutputCheck::TVerdict::ReplacesAnother;
  }
  return check;
}

TPatchListing TStepState::RebuildPatchList(const std::vector<fs::path>& patchRoots, const std::string& languageName) {
  // What step 3 showed before, to be kept when the same patch folder is listed again.
  const bool hadChoice = patchShown_;
  const fs::path previousDir = PatchDir;
  const std::string previousTitle = patchIndex_ >= 0 && static_cast<std::size_t>(patchIndex_) < patchTitles_.size()
                                        ? patchTitles_[static_cast<std::size_t>(patchIndex_)]
                                        : std::string();

  TPatchListing listing;
  PatchEntries = {TPatchEntry()};
  patchTitles_ = {std::string()};
  for (const fs::path& patchRoot : patchRoots) {
    for (TPatchEntry& entry :
         PopulatePatchList(patchRoot, ".dsc", true, languageName, GameIndex, RegionIndex, ProgramId)) {
      listing.titles.push_back(entry.title);
      listing.forms.push_back(entry.form);
      patchTitles_.push_back(entry.title);
      PatchEntries.push_back(std::move(entry));
    }
  }
  int keep = -1;
  if (hadChoice) {
    for (std::size_t i = 0; i < PatchEntries.size(); ++i) {
      if (PatchEntries[i].folder == previousDir) {
        keep = static_cast<int>(i);
        break;
      }
    }
  }
  listing.selected = keep >= 0 ? keep : 0;
  controls_.patch = true;
  // The player chose something that is gone now; a run must not quietly install less.
  listing.choiceReset = hadChoice && keep < 0;
  if (listing.choiceReset) listing.resetTitle = previousTitle;
  listing.shown = ShowPatch(listing.selected, keep >= 0);
  return listing;
}

TPatchShown TStepState::ShowPatch(int index, bool keepMusic) {
  TPatchShown shown;
  patchIndex_ = index;
  patchReady_ = false;
  if (index < 0 || static_cast<std::size_t>(index) >= PatchEntries.size()) {
    SettleRunControls();
    return shown;
  }
  shown.selected = true;
  patchShown_ = true;
  const fs::path previousDir = PatchDir;
  if (index == 0) {
    shown.none = true;
    VoiceMissing = true;
    PatchDir.clear();
    OriginalPackDatMD5.clear();
    OriginalPackIncMD5.clear();
  } else {
    const TPatchEntry& entry = PatchEntries[static_cast<std::size_t>(index)];
    PatchDir = entry.folder;
    const auto details = ReadPatchDetails(entry);
    if (!details) {
      // Nothing of this patch is known: no run may start with another patch's digests.
      OriginalPackDatMD5.clear();
      OriginalPackIncMD5.clear();
      VoiceMissing = true;
      trackList_.reset();
      SettleRunControls();
      shown.loadError = true;
      return shown;
    }
    shown.description = details->description;
    OriginalPackDatMD5 = details->originalPackDatMD5;
    OriginalPackIncMD5 = details->originalPackIncMD5;
    shown.games = details->games;
    shown.regions = details->regions;
    // Voice sets are the Ace Attorney games' own; another title's patch has none to offer.
    VoiceMissing = !Game().Known() || !FolderExists(PatchDir / "voice");
  }
  patchReady_ = true;
  if (Game().HasVoicesAndMusic()) {
    // The music choice belongs to the patch's track list: kept while the same patch stays
    // chosen, built anew for another one.
    const bool same = keepMusic && trackList_ && trackListPatchDir_ == PatchDir && previousDir == PatchDir;
    if (!same) shown.trackList = RebuildTrackList(PatchDir);
  } else {
    trackList_.reset();
  }
  SettleRunControls();
  return shown;
}

TTrackListResult TStepState::RebuildTrackList(const fs::path& patchDir) {
  trackList_.reset();
  trackListPatchDir_ = patchDir;
  auto list = std::make_unique<TTrackList>();
  const TTrackListResult result = list->Create(RomPath, GameCode, SoundInfoPos, patchDir);
  // A list that stopped at a format or reading error stays, incomplete: no music dialog opens
  // on it and no music is written.
  if (result.status != TTrackListStatus::Failed) trackList_ = std::move(list);
  return result;
}

bool TStepState::MusicUsable() const {
  return Game().HasVoicesAndMusic() && trackList_ && trackList_->Complete();
}

void TStepState::SettleRunControls() {
  const bool runnable = !running_ && Runnable();
  controls_.install = runnable;
  controls_.music = runnable && MusicUsable();
  controls_.voice = runnable && !VoiceMissing;
}

bool TStepState::OutputIsInput() const { return !ModFolder && SameFile(WrittenOutputPath(OutPath), RomPath); }

fs::path TStepState::ModTitleFolder() const {
  // Every game the identification table holds is an application title: its high half is
  // 00040000. Another title was taken for a mod folder named by its whole program ID.
  const std::uint64_t titleId = Game().Known() ? 0x0004000000000000ull | ProgramIdLow : ProgramId;
  return ModFolder ? OutPath / ModTitleFolderName(titleId) : fs::path();
}

TInstallSettings TStepState::InstallSettings(const TFolders& folders, const TLangList& lang, int voiceIndex,
                                             bool replaceModFolder) const {
  TInstallSettings settings;
  settings.folders = folders;
  settings.patchDir = PatchDir;
  settings.romPath = RomPath;
  settings.outPath = OutPath;
  settings.modFolder = ModFolder;
  settings.replaceModFolder = ModFolder && replaceModFolder;
  settings.game = Game();
  settings.originalPackDatMD5 = OriginalPackDatMD5;
  settings.originalPackIncMD5 = OriginalPackIncMD5;
  settings.lang = &lang;
  settings.trackList = trackList_ && trackList_->Complete() ? trackList_.get() : nullptr;
  settings.writeReceipt = true;
  const std::string patchTitle = patchIndex_ > 0 && static_cast<std::size_t>(patchIndex_) < patchTitles_.size()
                                     ? patchTitles_[static_cast<std::size_t>(patchIndex_)]
                                     : std::string();
  settings.receiptFacts = MakeReceiptFacts(GameIndex, RegionIndex, patchTitle, VoiceMissing ? -1 : voiceIndex,
                                           settings.trackList, lang);
  // Another title has no name in our table: the receipt names it by its title ID.
  if (!Game().Known()) settings.receiptFacts.gameTitle = TitleIdText(ProgramId);
  return settings;
}

void TStepState::RunStarted() {
  running_ = true;
  controls_.voice = false;
  controls_.install = false;
  controls_.music = false;
  controls_.patch = false;
  controls_.image = false;
  controls_.output = false;
  controls_.cancel = true;
}

void TStepState::RunEnded() {
  running_ = false;
  controls_.install = true;
  controls_.voice = !VoiceMissing;
  controls_.music = MusicUsable();
  controls_.patch = true;
  controls_.cancel = false;
  controls_.image = true;
  controls_.output = true;
}

TTrackList* TStepState::MusicList() { return trackList_ && trackList_->Complete() ? trackList_.get() : nullptr; }

void TStepState::Close() {
  PatchEntries.clear();
  patchTitles_.clear();
  patchIndex_ = -1;
  trackList_.reset();
}

}  // namespace qpt
