#include "core/authoring/CheckPatch.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <span>

#include "core/common/Common.h"
#include "core/install/Install.h"
#include "core/install/InstallMods.h"
#include "core/install/PackDat.h"
#include "core/localization/TokenText.h"
#include "core/music/TrackLists.h"
#include "core/patches/ModPatch.h"
#include "core/rom/ImageFiles.h"
#include "core/rom/PatchList.h"
#include "core/rom/RomIdentify.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// A pack index larger than this is no index of these games.
constexpr std::uint64_t kMaxPackIndexSize = 64u << 20;

bool IsUpperHexDigest(const std::string& value) {
  return value.size() == 32 &&
         std::all_of(value.begin(), value.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F'); });
}

// The 8-bit code page a text without a mark was most likely written in: Windows-1251 when every
// byte above ASCII is a Cyrillic letter there, Windows-1252 otherwise.
int LikelyCodePage(std::string_view bytes) {
  const bool cyrillic = std::all_of(bytes.begin(), bytes.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x80 || b >= 0xC0 || b == 0xA8 || b == 0xB8;
  });
  return cyrillic ? 1251 : 1252;
}

const char* const kVoiceSets[] = {"ENG", "JAP MOD", "JAP ORIG"};

// The trial installation's window: keeps the log and answers the voice choice.
class TTrialHost final : public TInstallHost {
 public:
  explicit TTrialHost(int voiceIndex) : voiceIndex_(voiceIndex) {}
  void LogAppend(const std::string& line) override {
    for (std::string& shown : SplitLogLine(line)) lines_.push_back(std::move(shown));
  }
  void LogReplaceLast(const std::string& line) override {
    if (lines_.empty()) lines_.emplace_back();
    lines_.back() = line;
  }
  void SetProgress(int) override {}
  void SetLanguageBoxEnabled(bool) override {}
  int VoiceIndex() override { return voiceIndex_; }
  // The work folder goes with the whole scratch folder once the job is gone.
  void ThreadCancel(TInstall*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    endedChanged_.notify_all();
  }
  bool WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return endedChanged_.wait_for(lock, timeout, [this] { return ended_; });
  }
  // The log as shown; read it once the job's thread has finished.
  const std::vector<std::string>& Lines() const { return lines_; }

 private:
  const int voiceIndex_;
  std::vector<std::string> lines_;
  std::mutex mutex_;
  std::condition_variable endedChanged_;
  bool ended_ = false;
};

// A new folder of a name no other run takes, removed with everything in it when this ends
// (also when a check throws): nothing of a trial stays behind.
class TScratchFolder {
 public:
  explicit TScratchFolder(const fs::path& root) {
    if (root.empty()) return;
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "qpt-check-%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
      if (CreateFolder(root / name)) {
        path_ = root / name;
        return;
      }
    }
  }
  ~TScratchFolder() {
    if (!path_.empty()) DeleteFolder(path_);
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class TChecker {
 public:
  explicit TChecker(const TCheckPatchSettings& settings)
      : settings_(settings), dir_(settings.patchDir), imagePath_(settings.image) {}

  std::vector<TPatchProblem> Run() {
    if (!FolderExists(dir_)) {
      Error("", T("CheckPatchNoFolder", {PathToUtf8(dir_)}));
      return problems_;
    }
    if (!imagePath_.empty()) {
      // A mod folder may be made for a game that is none of ours: its image is then taken, as
      // the patch list would take it with this folder beside the others.
      fs::path folder = dir_;
      if (!folder.has_filename()) folder = folder.parent_path();
      std::vector<fs::path> beside;
      if (ReadModPatch(folder)) beside.push_back(folder.parent_path());
      id_ = IdentifyRom(imagePath_, beside);
      const ctr::Status opened = id_.Identified() ? image_.Open(imagePath_) : ctr::Status::Error("not identified");
      if (!opened) {
        Error("", T("PatchToolNotAnImage", {PathToUtf8(imagePath_)}));
        return problems_;
      }
      hasImage_ = true;
    }
    if (const auto mod = ReadModPatch(dir_)) {
      CheckModFolder(*mod);
    } else {
      CheckDescriptors();
      CheckTrackLists();
      CheckVoices();
      CheckPackEntries();
    }
    // A fault found so far would only stop the trial or be said twice by it.
    const bool clean = std::none_of(problems_.begin(), problems_.end(), [](const TPatchProblem& p) { return p.error; });
    if (hasImage_ && clean) TryInstalls();
    return problems_;
  }

 private:
  void Error(const std::string& file, const std::string& text) { problems_.push_back({true, file, text}); }
  // The author's language; a check without one names the keys, which still tell the fault.
  std::string T(const char* key, const std::vector<std::string>& values = {}) const {
    static const TLangList kNone;
    return FillMarks((settings_.lang ? *settings_.lang : kNone).GetLangText(key), values);
  }
  void Warning(const std::string& file, const std::string& text) { problems_.push_back({false, file, text}); }

  void CheckModFolder(const TModPatch& mod) {
    const std::string titleFolder = mod.titleFolder == mod.folder ? std::string()
                                                                  : GenericUtf8(mod.titleFolder.lexically_relative(mod.folder));
    for (const std::string& error : mod.errors) Error(titleFolder, T("CheckPatchNotListed", {error}));
    for (const std::string& file : mod.ignored) Warning(file, T("CheckPatchModFileIgnored"));
    if (hasImage_ && mod.titleId != id_.programId) {
      Error(titleFolder, T("CheckPatchOtherTitle", {ModTitleFolderName(mod.titleId), ModTitleFolderName(id_.programId)}));
    }
  }

  void CheckDescriptors() {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && SameTextIgnoringCase(PathToUtf8(it->path().extension()), ".dsc")) found.push_back(it->path());
    }
    if (found.empty()) Error("", T("CheckPatchNoDescriptor", {".dsc", "English.dsc"}));
    std::sort(found.begin(), found.end());
    for (const fs::path& path : found) CheckDescriptor(path);
  }

  void CheckDescriptor(const fs::path& path) {
    const std::string file = PathToUtf8(path.filename());
    std::string bytes;
    if (!ReadSmallFile(path, bytes)) return Error(file, T("CheckPatchUnreadable"));
    const bool marked = bytes.rfind("\xEF\xBB\xBF", 0) == 0 || bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0;
    if (!marked && !IsUtf8Text(bytes)) {
      // Read in each player's own code page: right only on machines set up like the author's.
      const int codePage = LikelyCodePage(bytes);
      const auto title = FindTokenValue(ReadTokens(DecodeText(bytes, codePage), '='), "Title");
      Warning(file, T("CheckPatch8Bit", {"Windows-" + std::to_string(codePage), title}));
    }
    const std::vector<std::string> tokens =
        ReadTokens(marked || IsUtf8Text(bytes) ? DecodeText(bytes) : DecodeText(bytes, LikelyCodePage(bytes)), '=');
    const auto value = [&](const char* key, bool& present) { return FindTokenValue(tokens, key, &present); };
    bool present = false;
    const std::string game = value("Game", present);
    if (!present || GetPatchTitle(game) == 0) {
      Error(file, T("CheckPatchNoGame"));
    } else if (hasImage_ && !(GetPatchTitle(game) & (1u << id_.gameIndex))) {
      Error(file, T("CheckPatchOtherGame", {"Game=" + game, id_.gameCode}));
    }
    if (!digestsTaken_) {
      // The installation takes the digests of the descriptor the player's language picks;
      // checked against the image, every descriptor's are the same where they are given.
      packDatMD5_ = value("OriginalPackDatMD5", present);
      packIncMD5_ = value("OriginalPackIncMD5", present);
      digestsTaken_ = true;
    }
    const std::string region = value("Region", present);
    if (!present) Error(file, T("CheckPatchNoRegion"));
    if (present && hasImage_) {
      const std::uint8_t regions = GetPatchRegion(region);
      if (regions != kRegionFree && !(regions & (1u << id_.regionIndex))) {
        Error(file, T("CheckPatchOtherRegion", {"Region=" + region}));
      }
    }
    if (value("Title", present).empty()) Error(file, T("CheckPatchNoTitle", {"Title"}));
    for (const char* key : {"OriginalPackDatMD5", "OriginalPackIncMD5"}) {
      const std::string digest = value(key, present);
      if (!present || digest.empty()) {
        if (FileExists(dir_ / "patch.xdelta")) Warning(file, T("CheckPatchNoDigest", {key}));
        continue;
      }
      if (!IsUpperHexDigest(digest)) {
        Error(file, T("CheckPatchBadDigest", {key, digest}));
        continue;
      }
      const std::string romfsFile = std::string(key) == "OriginalPackDatMD5" ? "pack.dat" : "pack.inc";
      if (hasImage_) CheckDigest(file, key, digest, romfsFile);
    }
  }

  void CheckDigest(const std::string& file, const char* key, const std::string& digest, const std::string& romfsFile) {
    const auto entry = image_.Find(romfsFile);
    if (!entry) return Error(file, T("CheckPatchDigestNoFile", {key, romfsFile}));
    auto actual = image_.RomFsFileMD5(*entry);
    if (!actual) return Error(file, T("CheckPatchCannotReadFromImage", {romfsFile}));
    if (*actual != digest) Error(file, T("CheckPatchDigestMismatch", {key, digest, romfsFile, *actual}));
  }

  void CheckTrackLists() {
    for (const char* code : {"AAT", "AA4"}) {
      const std::string file = std::string("TrackList") + code + ".tls";
      if (!FileExists(dir_ / file)) continue;
      std::string bytes;
      if (!ReadSmallFile(dir_ / file, bytes)) {
        Error(file, T("CheckPatchUnreadable"));
        continue;
      }
      TTrackList list;
      const TTrackListResult read = list.ReadTracks(bytes, code);
      if (read.status == TTrackListStatus::Ok) continue;
      if (read.status == TTrackListStatus::Failed) {
        Error(file, read.message);
        continue;
      }
      const int room = kStreamNameLength - static_cast<int>(InstallNameSuffix(code).size());
      const int i = list.TrackCount;
      if (i < kMaxTracks && static_cast<int>(list.Keys[i].size()) > room) {
        Error(file, T("CheckPatchKeyTooLong", {std::to_string(i + 1), list.Keys[i], std::to_string(list.Keys[i].size()),
                                               std::to_string(room)}));
      } else {
        Error(file, T("CheckPatchTrackType", {std::to_string(i)}));
      }
    }
  }

  void CheckVoices() {
    const fs::path voice = dir_ / "voice";
    if (!FolderExists(voice)) return;
    std::error_code ec;
    for (fs::directory_iterator it(voice, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string set = PathToUtf8(it->path().filename());
      if (set != "ENG" && set != "JAP MOD" && set != "JAP ORIG") {
        Warning("voice/" + set, T("CheckPatchNotAVoiceSet"));
        continue;
      }
      const fs::path waves = it->path() / "3_BCWAV";
      if (!FolderExists(waves)) {
        Error("voice/" + set, T("CheckPatchNoWaves", {"3_BCWAV"}));
        continue;
      }
      for (fs::directory_iterator w(waves, ec), wend; !ec && w != wend; w.increment(ec)) {
        const std::string name = PathToUtf8(w->path().filename());
        const bool digits = name.size() > 7 && name.compare(name.size() - 6, 6, ".bcwav") == 0 &&
                            std::all_of(name.begin(), name.end() - 6, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        if (!digits) {
          Warning("voice/" + set + "/3_BCWAV/" + name, T("CheckPatchWaveName"));
        }
      }
    }
  }

  void CheckPackEntries() {
    const fs::path folder = dir_ / "pack_dat";
    if (!FolderExists(folder)) return;
    std::vector<TPackIndexEntry> table;
    bool haveTable = false;
    if (hasImage_) {
      const auto index = image_.ReadRomFsFile("pack.inc", kMaxPackIndexSize);
      if (!index) {
        Error("pack_dat", T("CheckPatchNoPack"));
      } else {
        table = ReadPackIndex(std::span(reinterpret_cast<const std::uint8_t*>(index->data()), index->size()));
        haveTable = true;
      }
    }
    auto files = ListPackEntryFiles(folder);
    if (!files) return Error("pack_dat", files.message());
    for (const fs::path& path : *files) {
      const std::string name = PathToUtf8(path.filename());
      const std::string file = "pack_dat/" + name;
      const std::size_t dot = name.find('.');
      const std::string number = name.substr(0, dot);
      const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
      const bool wellNamed = number.size() == 5 &&
                             std::all_of(number.begin(), number.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
                             (extension == ".bin" || extension == ".bch" || extension == ".file" || extension == ".ans");
      if (!wellNamed) {
        Error(file, T("CheckPatchEntryName"));
        continue;
      }
      if (!haveTable) continue;
      const std::size_t i = static_cast<std::size_t>(std::stoul(number));
      if (i >= table.size()) {
        Error(file, T("CheckPatchEntryRange",
                      {number, "00000", PackEntryFileName(static_cast<std::int64_t>(table.size()) - 1, "")}));
      }
    }
  }

  // The mod-folder installation of the patch, once for each voice set it brings (the sets
  // differ in nothing else), until one fails.
  void TryInstalls() {
    std::vector<int> sets;
    for (int i = 0; i < 3; ++i) {
      if (FolderExists(dir_ / "voice" / kVoiceSets[i])) sets.push_back(i);
    }
    if (sets.empty()) sets.push_back(0);
    for (std::size_t n = 0; n < sets.size(); ++n) {
      if (!TryInstall(sets[n], n == 0 ? std::string() : std::string("voice/") + kVoiceSets[sets[n]])) return;
    }
  }

  // False when the run failed. A problem the runs before did not meet is put down to the
  // voice set (voiceFile) unless its line names a file of the patch.
  bool TryInstall(int voiceIndex, const std::string& voiceFile) {
    std::error_code ec;
    const fs::path root = settings_.scratchRoot.empty() ? fs::temp_directory_path(ec) : settings_.scratchRoot;
    // Never a folder taken from wherever the program was started.
    const TScratchFolder scratch(root.is_absolute() ? root : fs::path());
    if (scratch.path().empty() || !CreateFolder(scratch.path() / "tools") || !CreateFolder(scratch.path() / "mods")) {
      Error("", T("CheckPatchNoScratch", {PathToUtf8(root)}));
      return false;
    }
    // The run's work folder and run lock lie in the scratch folder too, so a run of the
    // window beside this one is never in the way.
    TInstallSettings s;
    s.folders = settings_.folders;
    s.folders.work = scratch.path();
    s.patchDir = dir_;
    s.romPath = imagePath_;
    s.outPath = scratch.path() / "mods";
    s.game = id_.Game();
    s.originalPackDatMD5 = packDatMD5_;
    s.originalPackIncMD5 = packIncMD5_;
    s.lang = settings_.lang;
    s.modFolder = true;
    TTrialHost host(voiceIndex);
    auto job = CreateInstallJob(id_.romExt, host, std::move(s));
    job->Start();
    bool stopAsked = false;
    while (!host.WaitForEnd(std::chrono::milliseconds(50))) {
      if (!stopAsked && settings_.stop && settings_.stop->load()) {
        stopAsked = true;
        job->Terminate();
      }
    }
    job->WaitFor();
    for (const std::string& warning : job->Warnings()) AddTrialProblem(false, warning, voiceFile);
    const bool succeeded = job->Succeeded();
    if (!succeeded) {
      // What stopped the run: its last lines, after the break an error line is set off with
      // or, for a refusal without one, after the last step that went through.
      const std::vector<std::string>& lines = host.Lines();
      const std::string done = settings_.lang ? settings_.lang->GetLangText("Done") : "Done";
      const auto start = std::find_if(lines.rbegin(), lines.rend(), [&](const std::string& line) {
        return line.empty() || line == done;
      });
      std::string reason;
      for (auto it = start.base(); it != lines.end(); ++it) reason += (reason.empty() ? "" : "\r\n") + *it;
      AddTrialProblem(true, reason.empty() ? T("CheckPatchTrialFailed") : reason, voiceFile);
    }
    job.reset();  // its run lock goes before the scratch folder
    return succeeded;
  }

  // One line of a trial's problem: the installation's text, its detail after it; the file is
  // the one the detail names when it lies in the patch folder.
  void AddTrialProblem(bool error, const std::string& logged, const std::string& voiceFile) {
    std::string text;
    std::string file = voiceFile;
    const std::vector<std::string> lines = SplitLogLine(logged);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].empty()) continue;
      text += (text.empty() ? "" : " ") + lines[i];
      if (i == 0) continue;
      const fs::path named = PathFromUtf8(lines[i]);
      const fs::path relative = named.lexically_relative(dir_);
      if (named.is_absolute() && !relative.empty() && *relative.begin() != "..") file = GenericUtf8(relative);
    }
    const bool known = std::any_of(problems_.begin(), problems_.end(),
                                   [&](const TPatchProblem& p) { return p.error == error && p.text == text; });
    if (!known) problems_.push_back({error, file, text});
  }

  const TCheckPatchSettings& settings_;
  fs::path dir_;
  fs::path imagePath_;
  std::string packDatMD5_, packIncMD5_;
  bool digestsTaken_ = false;
  TRomIdentity id_;
  TImageFiles image_;
  bool hasImage_ = false;
  std::vector<TPatchProblem> problems_;
};

}  // namespace

std::vector<TPatchProblem> CheckPatch(const TCheckPatchSettings& settings) { return TChecker(settings).Run(); }

}  // namespace qpt
