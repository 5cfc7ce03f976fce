// The voice and music step: the game's sound archive is split, the chosen voice set laid
// over the voice wave archive, the music choice written into the INFO block's stream names,
// and the archive joined again. Nothing here ends the run: a problem is logged as a warning
// and the image is rebuilt with the archive as it was.
#include <span>
#include <utility>
#include <vector>

#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/music/TrackLists.h"
#include "core/sound/N3DSBCSAR.h"
#include "ctr/Io.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

const char* const kVoiceSets[] = {"ENG", "JAP MOD", "JAP ORIG"};

}  // namespace

bool TInstall::ApplySoundAAT() { return ApplySound("GS123", "001_FILE_CWAR", false); }

bool TInstall::ApplySoundAA4() { return ApplySound("GSB43DS", "086_FILE_CWAR", true); }

bool TInstall::ApplySound(const std::string& archiveName, const std::string& voicePiece, bool wholeNames) {
  const fs::path sound = WorkPath("tools\\temp\\romfs\\sound");
  const fs::path pieces = sound / archiveName;
  const fs::path archive = sound / (archiveName + ".bcsar");
  const fs::path voices = pieces / "4_CSAR_FILE" / voicePiece;
  const fs::path streams = sound / "stream";
  // Pieces left in the RomFS tree would be packed into the image beside the archive. A write
  // that failed on the way goes to RunWarningStep, which ends the run on it.
  ctr::Status writeFailure;
  const auto warn = [&](const char* key) {
    LogWarning(key);
    KeepWriteFailure(writeFailure);
    DeleteFolder(pieces);
    return true;
  };

  if (UnpackBcsar(archive, {}, &writeFailure) != 0) return warn("WarningUnpackingBcsar");

  if (!FPatchDir.empty() && FolderExists(FPatchDir / "voice")) {
    if (!wholeNames) LogKey("ApplyingVoice");
    if (UnpackCwar(fs::path(voices) += ".bin", {}, &writeFailure) != 0) return warn("WarningUnpackingCwar");
    if (wholeNames) LogKey("ApplyingVoice");
    const int choice = host_.VoiceIndex();
    const char* set = kVoiceSets[choice >= 0 && choice <= 2 ? choice : 0];
    const fs::path source = FPatchDir / "voice" / set / "3_BCWAV";
    if (!CopyPatchFolder(source, voices)) return warn("WarningCopyingSoundFiles");
    if (PackCwar(voices, &writeFailure) != 0) return warn("WarningPackingCwar");
    LogKey("Done");
  }

  // The fourth game's streams are renamed to the short names the archive will hold. Every
  // rename is remembered: if the archive cannot be joined, they are undone, so that the
  // archive and the stream files always agree.
  std::vector<std::pair<fs::path, fs::path>> renamed;
  const auto undoRenames = [&] {
    for (auto it = renamed.rbegin(); it != renamed.rend(); ++it) RenameFile(it->second, it->first);
  };
  const TTrackList* list = settings_.trackList;
  if (list && list->MusicChanged) {
    LogKey("ChangingMusic");
    const fs::path infoPiece = pieces / "3_CSAR_INFO.bin";
    std::string info;
    if (!ReadSmallFile(infoPiece, info)) return warn("WarningPackingBcsar");
    const std::string suffix = InstallNameSuffix(list->GameCode);
    for (const TMusicSlotWrite& w : PlanMusicWrites(*list, suffix)) {
      if (!w.known) {
        LogWarning("WarningUnknownTrack", w.title.substr(0, w.title.find('\0')));
        continue;
      }
      if (w.offset < 0 || static_cast<std::size_t>(w.offset) + w.bytes.size() > info.size()) continue;
      if (wholeNames) {
        // The stream keeps only the short name the slot now names; the outcome does not
        // matter when two slots chose the same track and the first already renamed it.
        const fs::path from = streams / PathFromUtf8(w.key + ".dspadpcm.bcstm");
        const fs::path to = streams / PathFromUtf8(w.key + ".bcstm");
        if (RenameFile(from, to)) renamed.emplace_back(from, to);
      }
      info.replace(static_cast<std::size_t>(w.offset), w.bytes.size(), w.bytes);
    }
    writeFailure = ctr::WriteWholeFile(
        infoPiece, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(info.data()), info.size()));
    if (!writeFailure) {
      undoRenames();
      return warn("WarningPackingBcsar");
    }
    LogKey("Done");
  }

  if (PackBcsar(pieces, &writeFailure) != 0) {
    undoRenames();
    return warn("WarningPackingBcsar");
  }
  if (!DeleteFolder(pieces)) LogWarning("ErrorFolderDelete");
  return true;
}

}  // namespace qpt
