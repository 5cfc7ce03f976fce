// install IMAGE --out PATH | --mods DIR|sd|emulator: the window's Install patch, with its log
// and progress on the console and Ctrl+C as its cancel button.
#include <cctype>
#include <chrono>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>

#include "cli/CliCommon.h"
#include "cli/ConsoleHost.h"
#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/Receipt.h"
#include "core/localization/Language.h"
#include "core/music/TrackLists.h"
#include "ctr/Names.h"

namespace qpt::cli {

namespace fs = std::filesystem;

namespace {

void ApplyMusicFile(const TSession& session, TTrackList& list, const std::string& argument) {
  std::string bytes;
  if (!ReadSmallFile(UserPath(argument), bytes)) throw TUsageError{"CliCannotReadMusicFile", {argument}};
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  std::size_t start = 0;
  for (int number = 1; start <= bytes.size(); ++number) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    session.SetMusic(list, line.substr(first),
                     FillMarks(session.Text("CliMusicFileLine"), {argument, std::to_string(number)}));
  }
}

// A yes from the terminal: "y" or "yes" in any language, or one of the language's own words
// (its key "CliYesWords", letter case aside); no terminal, or any other answer, is a no.
bool AskToReplace(TSession& session, const fs::path& written) {
  std::istream* answers = session.Context().answers;
  if (!answers) return false;
  session.Err() << session.Text("ConfirmReplaceOutput", PathToUtf8(written)) << ' ' << session.Text("CliYesNo") << ' ' << std::flush;
  std::string answer;
  if (!std::getline(*answers, answer)) return false;
  while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) answer.pop_back();
  std::istringstream words("y yes " + session.Text("CliYesWords"));
  for (std::string yes; words >> yes;) {
    if (ctr::FoldNameCase(answer) == ctr::FoldNameCase(yes)) return true;
  }
  return false;
}

// The target of the only place of a kind that was found, made when missing. None, or more than
// one, and the player must name the folder.
fs::path ModPlaceFolder(const TSession& session, TModPlace::Kind kind) {
  std::vector<TModPlace> places = FindModPlaces();
  std::erase_if(places, [kind](const TModPlace& place) { return place.kind != kind; });
  if (places.empty()) {
    throw TFailure{session.Text(kind == TModPlace::Kind::SdCard ? "CliNoSdCard" : "CliNoEmulatorFolder")};
  }
  if (places.size() > 1) {
    std::string message;
    for (const TModPlace& place : places) message += PlaceLine(session, place) + '\n';
    throw TFailure{message + session.Text("CliSeveralPlaces")};
  }
  if (const ctr::Status made = PrepareModPlace(places.front()); !made) {
    throw TFailure{session.Text("CliModsFolderNotMade", made.message())};
  }
  return places.front().target;
}

int VoiceIndexOf(const std::string& name) {
  if (name == "english") return 0;
  if (name == "japanese-mod") return 1;
  if (name == "japanese-orig") return 2;
  throw TUsageError{"CliVoiceValues", {name}};
}

}  // namespace

int RunInstall(TSession& session, const TOptions& options) {
  const TCliContext& context = session.Context();
  if (options.out && options.mods) throw TUsageError{"CliOutOrMods"};
  if (!options.out && !options.mods) {
    throw TUsageError{"CliInstallNeedsOutput"};
  }
  if (context.catchInterrupts) context.catchInterrupts();
  const int voiceIndex = options.voice ? VoiceIndexOf(*options.voice) : 0;
  const TSession::TImage image = session.IdentifyImage(options.images.front(), true);
  if (const auto missingKey = FirstMissingToolKey(context.folders)) throw TFailure{session.Text(*missingKey)};

  const bool modPlace = options.mods == "sd" || options.mods == "emulator";
  const fs::path outPath = modPlace ? ModPlaceFolder(session, *options.mods == "sd" ? TModPlace::Kind::SdCard
                                                                                   : TModPlace::Kind::Emulator)
                                    : UserPath(options.out ? *options.out : *options.mods);
  if (options.mods && !modPlace) {
    std::error_code error;
    switch (MakeLastFolder(outPath, error)) {
      case TFolderMaking::Ready:
        break;
      case TFolderMaking::ParentMissing:
        throw TUsageError{"CliModsFolderMissing", {PathToUtf8(outPath)}};
      case TFolderMaking::Failed:
        throw TFailure{session.Text("CliModsFolderNotMade", PathToUtf8(outPath) + ": " + ctr::SystemReason(error))};
    }
  } else if (!options.mods) {
    if (!OutputKindPossible(image.id.romExt, outPath)) throw TUsageError{"ErrorOutputKind3DS"};
    if (!FolderExists(outPath.parent_path())) {
      throw TUsageError{"CliOutFolderMissing", {PathToUtf8(outPath.parent_path())}};
    }
    // What the run really writes: the name with the kind's own extension ("game.CIA" and
    // "game.backup" write "game.cia" and "game.3ds"), which must never be the input.
    if (SameFile(WrittenOutputPath(outPath), image.path)) throw TUsageError{"ErrorOutputIsInput"};
    // Another file under that name is written over only with the player's word: asked on a
    // terminal, given as --replace in a script.
    const fs::path written = WrittenOutputPath(outPath);
    std::error_code ec;
    if (!options.replace && fs::exists(fs::symlink_status(written, ec)) && !AskToReplace(session, written)) {
      throw TFailure{session.Text("CliOutputExists", PathToUtf8(written))};
    }
  }

  TInstallSettings settings;
  settings.folders = context.folders;
  settings.romPath = image.path;
  settings.outPath = outPath;
  settings.modFolder = options.mods.has_value();
  settings.replaceModFolder = options.replace;
  settings.game = image.id.Game();
  settings.lang = &session.Lang();
  bool voiceMissing = true;
  if (options.patch) {
    const TPatchEntry patch = session.ChoosePatch(image, *options.patch);
    settings.patchDir = patch.folder;
    const auto details = ReadPatchDetails(patch);
    if (!details) throw TFailure{session.Text("LoadDescError")};
    settings.originalPackDatMD5 = details->originalPackDatMD5;
    settings.originalPackIncMD5 = details->originalPackIncMD5;
    // Voice sets are the Ace Attorney games' own, as in the window.
    voiceMissing = !image.id.Game().Known() || !FolderExists(settings.patchDir / "voice");
  }
  if (options.voice && voiceMissing) {
    throw TUsageError{"CliNoVoiceSets"};
  }

  const bool musicAsked = !options.music.empty() || options.musicFile;
  std::unique_ptr<TTrackList> list;
  if (image.MusicGame()) {
    list = session.BuildTrackList(image, settings.patchDir, musicAsked);
    if (list && options.musicFile) ApplyMusicFile(session, *list, *options.musicFile);
    if (list) {
      for (const std::string& choice : options.music) session.SetMusic(*list, choice, "--music ");
    }
  } else if (musicAsked) {
    throw TUsageError{"CliNoMusicLeaveOut"};
  }
  settings.trackList = list.get();
  settings.writeReceipt = !options.noReceipt;
  std::string patchTitle;
  if (options.patch) patchTitle = session.ChoosePatch(image, *options.patch).title;
  settings.receiptFacts = MakeReceiptFacts(image.id.gameIndex, image.id.regionIndex, patchTitle,
                                           voiceMissing ? -1 : voiceIndex, list.get(), session.Lang());
  if (!image.id.Game().Known()) settings.receiptFacts.gameTitle = TitleIdText(image.id.programId);

  TConsoleHost host(session.Out(), context.outputIsTerminal, voiceIndex, context.folders.work,
                    session.Text("CliProgress"));
  auto job = CreateInstallJob(image.id.romExt, host, std::move(settings));
  if (!job) throw TFailure{session.Text("ErrorWrongROM")};
  if (session.Interrupted()) throw TFailure{session.Text("CliStoppedBeforeInstall")};
  host.CancelOnLostOutput(*job);
  host.LogAppend("\r\n" + session.Text("StartPatching") + "\r\n");
  if (host.OutputLost()) {
    session.Err() << session.Text("CliOutputClosed") << '\n';
    return kExitOutputClosed;
  }
  job->Start();
  bool cancelAsked = false;
  while (!host.WaitForEnd(std::chrono::milliseconds(50))) {
    if (!cancelAsked && session.Interrupted()) {
      // As the window's cancel button: say so at once; the job stops at its next checkpoint.
      cancelAsked = true;
      host.LogAppend("\r\n" + session.Text("CancelInstall"));
      job->Terminate();
    }
  }
  job->WaitFor();
  const bool succeeded = job->Succeeded();
  const bool warned = job->SucceededWithWarnings();
  // A cancelled run said so itself; a failed one ends, as in the window, with the line that
  // nothing was written, below the reason.
  if (!succeeded && !job->Terminated()) host.LogAppend("\r\n" + session.Text("InstallFailedNothingWritten"));
  job.reset();  // releases the run lock, after the work folder is gone
  // Nobody reads the log any more, so the run stopped as on a cancel. One already past its
  // last checkpoint went through and ends as usual: its receipt keeps the whole log. Ctrl+C
  // pressed first is the player's own cancel, even when it ended the reader too (a `tee`).
  if (!succeeded && !cancelAsked && host.CancelledForLostOutput()) {
    session.Err() << session.Text("CliOutputClosed") << '\n';
    return kExitOutputClosed;
  }
  return succeeded ? (warned ? kExitWarnings : kExitOk) : kExitFailed;
}

}  // namespace qpt::cli
