#include "core/install/InstallMods.h"

#include <algorithm>
#include <array>
#include <future>
#include <system_error>

#include "core/common/Common.h"
#include "core/common/Volume.h"
#include "core/install/OutputCheck.h"
#include "core/install/Receipt.h"
#include "core/music/TrackLists.h"
#include "core/rom/ImageFiles.h"
#include "core/rom/RomIdentify.h"
#include "ctr/Sha256.h"
#include "ctr/Vcdiff.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

constexpr const char* kOldSuffix = ".qpt-old";

// The SHA-256 of a file the run made and whether it holds exactly the bytes [offset, offset + size)
// of in, in one read of it. Empty digest when it cannot be read.
struct THashed {
  std::string sha256;
  bool same = false;
};
THashed HashAndCompare(const fs::path& file, ctr::InputFile* in, std::uint64_t offset, std::uint64_t size) {
  ctr::InputFile made;
  if (!made.Open(file)) return {};
  bool same = in && made.size() == size;
  ctr::Sha256 hash;
  std::vector<std::uint8_t> a(std::size_t{4} << 20), b(same ? a.size() : 0);
  for (std::uint64_t done = 0; done < made.size();) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(a.size(), made.size() - done));
    if (!made.ReadAt(done, a.data(), n)) return {};
    hash.Update(a.data(), n);
    if (same) {
      same = in->ReadAt(offset + done, b.data(), n) &&
             std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin());
    }
    done += n;
  }
  const ctr::Sha256Digest digest = hash.Final();
  return {HexText(digest.data(), digest.size(), false), same};
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// Moves a finished work file into the staged folder: a rename where both lie on one file
// system, a copy elsewhere (the work folder goes away at the end of the run either way).
ctr::Status MoveInto(const fs::path& from, const fs::path& to, bool& renamed) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (ec) return ctr::WriteFailure("create_directories", to.parent_path(), ec);
  renamed = RenameFile(from, to);
  if (renamed) return ctr::Status::Ok();
  // Read and written in plain blocks: the system's own copy calls are missing on some card
  // drivers (a FUSE one answers "not implemented").
  ctr::InputFile in;
  if (ctr::Status opened = in.Open(from); !opened) return opened;
  ctr::OutputFile out;
  if (ctr::Status s = out.Open(to); !s) return s;
  if (ctr::Status s = out.AppendFrom(in, 0, in.size()); !s) return s;
  return out.Commit();
}

// RenameFile's rule (never over an existing entry), with the system's reason when it fails.
ctr::Status Rename(const fs::path& from, const fs::path& to) {
  if (Exists(to)) return ctr::Status::Error(PathToUtf8(to) + " exists");
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec) return ctr::WriteFailure("rename", from, ec);
  return ctr::Status::Ok();
}

// Whether renaming a folder in parent keeps the files in it. Some card drivers running outside
// the kernel (fusefat) make a renamed folder empty, losing what it held.
bool FolderRenameKeepsFiles(const fs::path& parent, const std::string& name) {
  const fs::path probe = parent / (name + ".qpt-probe"), moved = parent / (name + ".qpt-probe-moved");
  DeleteFolder(probe);
  DeleteFolder(moved);
  std::error_code ec;
  const std::uint8_t byte = 1;
  bool kept = fs::create_directory(probe, ec) && ctr::WriteWholeFile(probe / "probe", {&byte, 1}).ok();
  if (kept) {
    fs::rename(probe, moved, ec);
    kept = !ec && FileExists(moved / "probe");
  }
  DeleteFolder(probe);
  DeleteFolder(moved);
  return kept;
}

}  // namespace

std::string ModTitleFolderName(std::uint64_t programId) { return TitleIdText(programId); }

bool TInstallMods::SoundChanges() const {
  const bool voices = !FPatchDir.empty() && FolderExists(FPatchDir / "voice");
  return voices || (settings_.trackList && settings_.trackList->MusicChanged);
}

bool TInstallMods::ApplySoundAAT() { return !SoundChanges() || TInstall::ApplySoundAAT(); }

bool TInstallMods::ApplySoundAA4() { return !SoundChanges() || TInstall::ApplySoundAA4(); }

std::vector<std::string> TInstallMods::FilesToRead() const {
  std::vector<std::string> paths;
  const auto add = [&paths](const std::string& path) {
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
  };
  const bool hasPatch = !FPatchDir.empty();
  const bool packGame = FGame.HasPackArchive();
  if (hasPatch && FileExists(FPatchDir / "patch.xdelta")) {
    add("pack.dat");
    if (!FOriginalPackIncMD5.empty()) add("pack.inc");
  }
  if (hasPatch && packGame && FolderExists(FPatchDir / "pack_dat")) {
    add("pack.dat");
    add("pack.inc");
  }
  if (FGame.HasVoicesAndMusic() && SoundChanges()) {
    add(FGame.SoundArchive());
    const TTrackList* list = settings_.trackList;
    if (FGame.MusicRenamesStreams() && list && list->MusicChanged) {
      // The fourth game's music step renames the streams it chooses.
      for (const TMusicSlotWrite& w : PlanMusicWrites(*list, InstallNameSuffix(list->GameCode))) {
        if (w.known) add("sound/stream/" + w.key + ".dspadpcm.bcstm");
      }
    }
  }
  return paths;
}

bool TInstallMods::CheckBeforeStart() {
  const auto refuse = [this](const std::string& why) {
    Log(FormatText("ErrorReadingImageFiles", {why}));
    return false;
  };
  const ctr::Status opened = image_.Open(FRomPath);
  if (!opened) return refuse(opened.message());
  titleFolder_ = ModTitleFolderName(image_.ProgramId());
  inputFile_ = &image_.File();
  hasRomFs_ = image_.HasRomFs();

  if (!FolderExists(FOutPath) || !CanWriteIn(FOutPath)) {
    Log(FormatText("ErrorOutputFolderNotWritable", {PathToUtf8(FOutPath)}));
    return false;
  }
  const auto volume = VolumeOf(FOutPath);
  targetRules_ = RulesOf(volume ? volume->fileSystem : std::string());
  // The kernel's drivers and the system's rename folders whole; a driver of its own is asked.
  moveFoldersByFiles_ = volume && volume->fileSystem.rfind("fuse", 0) == 0 && !FolderRenameKeepsFiles(FOutPath, titleFolder_);
  // On the target's volume the files the run makes are renamed into the title folder as they
  // are; elsewhere they are copied, and the work copies never need to reach the disk.
  const auto workVolume = VolumeOf(WorkPath("tools"));
  workFilesDelivered_ = volume && workVolume && volume->root == workVolume->root;
  const fs::path target = FOutPath / titleFolder_;
  RecoverInterruptedReplace(target);
  if (Exists(target) && !settings_.replaceModFolder) {
    Log(FormatText("ErrorModFolderExists", {PathToUtf8(target)}));
    return false;
  }
  // The work folder holds what is read, what the steps make of it and, for a while, the
  // pack archive's entries: three times what is read; the title folder about once more.
  std::uint64_t reading = 0;
  for (const std::string& path : FilesToRead()) {
    if (const auto entry = romfs_.Find(path)) reading += entry->size;
  }
  for (const TSpaceShortfall& shortfall : FindSpaceShortfalls(reading, WorkPath("tools"), FOutPath)) {
    Log(FormatText("ErrorNotEnoughSpace",
                   {PathToUtf8(shortfall.folder), FormatSize(shortfall.needed, Lang()), FormatSize(shortfall.available, Lang())}));
    return false;
  }
  return true;
}

std::vector<TInstallMods::TPlannedFile> TInstallMods::PatchFiles() const {
  std::vector<TPlannedFile> files;
  if (FPatchDir.empty()) return files;
  std::error_code ec;
  const fs::path romfs = FPatchDir / "romfs";
  if (FolderExists(romfs)) {
    for (fs::recursive_directory_iterator it(romfs, ec), end; !ec && it != end; it.increment(ec)) {
      if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
      files.push_back({"romfs/" + GenericUtf8(it->path().lexically_relative(romfs)), it->file_size(ec)});
    }
  }
  for (const auto& [name, file] : {std::pair<const char*, fs::path>{"code.bin", FPatchDir / "exefs" / "code.bin"},
                                   {"exheader.bin", patchExheader_}}) {
    if (!file.empty() && FileExists(file)) files.push_back({name, fs::file_size(file, ec)});
  }
  return files;
}

bool TInstallMods::CheckFitsTarget(const std::vector<TPlannedFile>& files) {
  const TFileSystemRules& rules = targetRules_;
  std::vector<std::string> paths;
  for (const TPlannedFile& file : files) {
    if (rules.maxFileSize != 0 && file.size > rules.maxFileSize) {
      Log("\r\n" + FormatText("ErrorTargetFileTooLarge", {file.path, FormatSize(file.size, Lang()), rules.name}));
      return false;
    }
    if (const std::string problem = NameProblem(file.path, rules); !problem.empty()) {
      Log("\r\n" + FormatText("ErrorTargetBadName", {file.path, rules.name}));
      return false;
    }
    paths.push_back(file.path);
  }
  if (rules.caseInsensitive) {
    if (const auto clash = FindNameCollision(paths)) {
      Log("\r\n" + FormatText("ErrorTargetNameCase", {clash->first, clash->second, rules.name}));
      return false;
    }
  }
  return true;
}

bool TInstallMods::ExtractRomFS() {
  // What the card cannot hold is refused before the long part of the run, from what the patch
  // brings; the files the run makes are checked again before the first is written.
  if (!CheckFitsTarget(PatchFiles())) return false;
  LogKey("ReadingModFiles");
  const bool deltaOnImage = PrepareDeltaOnImage();
  const fs::path tree = WorkPath("tools\\temp\\romfs");
  for (const std::string& path : FilesToRead()) {
    if (!Checkpoint()) return false;
    if (deltaOnImage && path == "pack.dat") continue;
    // A file the image lacks is missed by the step that needs it, as in a rebuild.
    const auto entry = hasRomFs_ ? romfs_.Find(path) : std::nullopt;
    if (!entry) continue;
    if (const ctr::Status status = image_.CopyRomFsFile(*entry, tree / PathFromUtf8(path)); !status) {
      Log("\r\n" + FormatText("ErrorWritingWorkFiles", {status.message()}));
      return false;
    }
  }
  LogKey("Done");
  return true;
}

bool TInstallMods::PrepareDeltaOnImage() {
  // The archive is most of the bytes a run reads. Where the delta can be pointed at it inside
  // the image, xdelta reads it there, and the run neither copies it nor holds it twice; its
  // digest then has to come from the input pass, as it does whenever one is stated.
  const fs::path delta = FPatchDir.empty() ? fs::path() : FPatchDir / "patch.xdelta";
  const auto entry = hasRomFs_ && !delta.empty() && FileExists(delta) ? romfs_.Find("pack.dat") : std::nullopt;
  if (!entry || (!FOriginalPackDatMD5.empty() && !InputPassHashes(0))) return false;
  const fs::path shifted = WorkPath("tools\\temp\\patch-on-image.xdelta");
  // A delta in a form this cannot read is applied as it is, to an extracted copy.
  if (!ctr::ShiftVcdiffSource(delta, shifted, entry->offset, entry->size)) return false;
  deltaOnImage_ = shifted;
  deltaSourceSize_ = entry->size;
  return true;
}

ctr::Status TInstallMods::ListChangedFiles() {
  const auto unlisted = [](const fs::path& folder, const std::error_code& error) {
    return ctr::Status::Error(PathToUtf8(folder) + ": " + ctr::SystemReason(error));
  };
  std::error_code ec;
  staged_.clear();
  // A loader reads the program decompressed, as the patch carries it; the other files of the
  // program partition have no place in a mod folder.
  const fs::path exefs = WorkPath("tools\\temp\\exefs");
  std::string leftOut;
  if (FolderExists(exefs)) {
    for (fs::directory_iterator it(exefs, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = PathToUtf8(it->path().filename());
      if (name == "code.bin" && it->is_regular_file(ec)) {
        if (!SameAsImageProgram(it->path())) staged_.push_back({"code.bin", it->path(), FileSha256(it->path())});
      } else {
        leftOut += (leftOut.empty() ? "" : ", ") + name;
      }
    }
    if (ec) return unlisted(exefs, ec);
  }
  if (!leftOut.empty()) LogWarning("WarningModExeFsLeftOut", leftOut);
  if (!patchExheader_.empty() && !SameAsImageExheader(patchExheader_)) {
    staged_.push_back({"exheader.bin", patchExheader_, FileSha256(patchExheader_)});
  }

  const fs::path tree = WorkPath("tools\\temp\\romfs");
  if (FolderExists(tree)) {
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(tree, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_regular_file(ec) && !it->is_symlink(ec)) files.push_back(it->path());
    }
    if (ec) return unlisted(tree, ec);
    std::sort(files.begin(), files.end());
    // What is renamed into the title folder is flushed before the run ends: that happens on a
    // thread of its own while the files are hashed here, rather than after.
    std::future<void> flushed;
    if (workFilesDelivered_) {
      flushed = std::async(std::launch::async, [&files] {
        for (const fs::path& file : files) FlushToDevice(file);
      });
    }
    for (const fs::path& file : files) {
      if (!Checkpoint()) return ctr::Status::Error("cancelled");
      const std::string path = GenericUtf8(file.lexically_relative(tree));
      const auto original = hasRomFs_ ? romfs_.Find(path) : std::nullopt;
      const THashed hashed = original ? HashAndCompare(file, inputFile_, original->offset, original->size)
                                      : HashAndCompare(file, nullptr, 0, 0);
      if (hashed.same) continue;
      staged_.push_back({"romfs/" + path, file, hashed.sha256});
    }
  }
  for (TStagedFile& file : staged_) {
    if (file.sha256.empty()) return ctr::Status::Error("cannot read " + PathToUtf8(file.workFile));
    file.size = fs::file_size(file.workFile, ec);
    if (ec) return ctr::Status::Error("cannot read " + PathToUtf8(file.workFile));
  }
  return ctr::Status::Ok();
}

ctr::Status TInstallMods::StageFiles(const fs::path& stage) {
  std::error_code ec;
  if (!fs::create_directory(stage, ec)) {
    return ctr::WriteFailure("create_directory", stage, ec ? ec : std::make_error_code(std::errc::file_exists));
  }
  for (TStagedFile& file : staged_) {
    if (!Checkpoint()) return ctr::Status::Error("cancelled");
    if (ctr::Status moved = MoveInto(file.workFile, stage / PathFromUtf8(file.path), file.renamed); !moved) return moved;
  }
  return ctr::Status::Ok();
}

bool TInstallMods::SameAsImageProgram(const fs::path& codeBin) {
  const auto files = image_.ExeFsFiles();
  if (!files) return false;
  const auto original = files->find("code.bin");
  std::string made;
  return original != files->end() && ReadSmallFile(codeBin, made) && made.size() == original->second.size() &&
         std::equal(made.begin(), made.end(), original->second.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

bool TInstallMods::SameAsImageExheader(const fs::path& exheader) {
  const auto original = image_.Exheader();
  std::string made;
  // A patch's may lack the access descriptor, which a loader takes from the image then.
  return original && ReadSmallFile(exheader, made) && made.size() <= original->size() &&
         std::equal(made.begin(), made.end(), original->begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

bool TInstallMods::KnownRomFsPath(const std::string& path) const {
  if (hasRomFs_ && romfs_.Find(path)) return true;
  if (!FPatchDir.empty() && FileExists(FPatchDir / "romfs" / PathFromUtf8(path))) return true;
  // The fourth game's music step gives the streams it plays their short names.
  const std::string stream = "sound/stream/", shortEnd = ".bcstm";
  if (FGame.MusicRenamesStreams() && path.rfind(stream, 0) == 0 && path.size() > stream.size() + shortEnd.size() &&
      path.compare(path.size() - shortEnd.size(), shortEnd.size(), shortEnd) == 0) {
    const std::string longName = path.substr(0, path.size() - shortEnd.size()) + ".dspadpcm.bcstm";
    return hasRomFs_ && romfs_.Find(longName);
  }
  return false;
}

bool TInstallMods::CheckStaged(const fs::path& stage) {
  LogKey("CheckingModFolder");
  const auto fail = [this](const std::string& what) {
    if (!FolderExists(FOutPath)) {
      LogWriteFailure(what);
    } else {
      Log("\r\n" + FormatText("ErrorCheckModFolder", {what}));
    }
    return false;
  };
  std::vector<std::pair<fs::path, const TStagedFile*>> files;
  // The folder that names the staged one, and every folder in it: a new name is on the device
  // only once its folder was flushed.
  std::vector<fs::path> folders{FOutPath, stage};
  std::error_code ec;
  for (fs::recursive_directory_iterator it(stage, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      folders.push_back(it->path());
      continue;
    }
    const std::string path = GenericUtf8(it->path().lexically_relative(stage));
    const auto file = std::find_if(staged_.begin(), staged_.end(), [&](const TStagedFile& f) { return f.path == path; });
    if (file == staged_.end() || !it->is_regular_file(ec)) return fail(path);
    if (path.rfind("romfs/", 0) == 0 && !KnownRomFsPath(path.substr(6))) return fail(path);
    files.emplace_back(it->path(), &*file);
  }
  if (ec) return fail(ec.message());
  if (files.size() != staged_.size()) return fail(PathToUtf8(stage));
  // A card is pulled the moment the run says it is done: everything goes to the device first.
  for (const auto& [file, staged] : files) {
    if (const std::error_code flushed = FlushToDevice(file)) {
      LogWriteFailure(ctr::WriteFailure("fsync", file, flushed).message());
      return false;
    }
  }
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    if (const std::error_code flushed = FlushToDevice(*folder)) {
      LogWriteFailure(ctr::WriteFailure("fsync", *folder, flushed).message());
      return false;
    }
  }
  // Then each file copied here is read back from the device itself, not from what the computer
  // kept of it: the one read that tells a card that lost a write. A file only renamed onto this
  // volume is the one its digest was read from.
  std::uint64_t total = 0, done = 0;
  for (const auto& [file, staged] : files) total += staged->renamed ? 0 : staged->size;
  for (const auto& [file, staged] : files) {
    if (!Checkpoint()) return false;
    if (staged->renamed) continue;
    if (Sha256FromDevice(file, StopFlag()) != staged->sha256) {
      if (!FolderExists(FOutPath)) return fail(PathToUtf8(file));
      Log("\r\n" + FormatText("ErrorModFolderReadBack", {staged->path}));
      return false;
    }
    done += staged->size;
    if (total != 0) Progress(91 + static_cast<int>(8 * done / total));
  }
  LogKey("Done");
  return true;
}

void TInstallMods::LogWriteFailure(const std::string& reason) {
  // The folder itself gone means its volume went: a card taken out mid-run.
  if (!FolderExists(FOutPath)) {
    Log("\r\n" + FormatText("ErrorTargetGone", {PathToUtf8(FOutPath)}));
  } else {
    Log("\r\n" + FormatText("ErrorWritingModFolder", {reason}));
  }
}

ctr::Status TInstallMods::MoveFolder(const fs::path& from, const fs::path& to) {
  if (!moveFoldersByFiles_) return Rename(from, to);
  if (Exists(to)) return ctr::Status::Error(PathToUtf8(to) + " exists");
  // File by file into a new folder: the renames such a driver does keep.
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec)) files.push_back(it->path().lexically_relative(from));
  }
  if (ec) return ctr::Status::Error(PathToUtf8(from) + ": " + ctr::SystemReason(ec));
  if (!fs::create_directory(to, ec)) return ctr::WriteFailure("create_directory", to, ec);
  for (const fs::path& file : files) {
    fs::create_directories((to / file).parent_path(), ec);
    if (!ec) fs::rename(from / file, to / file, ec);
    if (ec) return ctr::WriteFailure("rename", from / file, ec);
  }
  DeleteFolder(from);
  return ctr::Status::Ok();
}

void TInstallMods::RecoverInterruptedReplace(const fs::path& target) {
  // Only a run of this program names a folder so. Without a title folder beside it, a replace
  // was stopped between its two renames and it is the last complete folder: it goes back in
  // place. Beside one, it is what a finished replace could not delete.
  const fs::path old = FOutPath / (titleFolder_ + kOldSuffix);
  if (!Exists(old)) return;
  if (!Exists(target)) {
    MoveFolder(old, target);
  } else {
    DeleteFolder(old);
  }
}

ctr::Status TInstallMods::PlaceTitleFolder(const fs::path& stage, const fs::path& target) {
  const fs::path old = FOutPath / (titleFolder_ + kOldSuffix);
  const bool replacing = Exists(target);
  if (replacing) {
    if (!settings_.replaceModFolder) {
      Log(FormatText("ErrorModFolderExists", {PathToUtf8(target)}));
      return ctr::Status::Error(PathToUtf8(target) + " exists");
    }
    if (Exists(old)) DeleteFolder(old);
    if (ctr::Status moved = MoveFolder(target, old); !moved) return moved;
  }
  if (ctr::Status placed = MoveFolder(stage, target); !placed) {
    if (replacing) MoveFolder(old, target);
    return placed;
  }
  if (replacing && !DeleteFolder(old)) LogWarning("ErrorFolderDelete", PathToUtf8(old));
  // The renames are on the device only once the folder that holds both names was flushed.
  if (const std::error_code flushed = FlushToDevice(FOutPath)) return ctr::WriteFailure("fsync", FOutPath, flushed);
  return ctr::Status::Ok();
}

bool TInstallMods::BuildOutput(fs::path& written) {
  LogKey("WritingModFolder");
  const fs::path target = FOutPath / titleFolder_;
  const fs::path stage = FOutPath / (titleFolder_ + std::string(ctr::kTemporaryOutputSuffix));
  // Only a run of this program names a folder so; one left by a run that was killed goes.
  if (Exists(stage)) DeleteFolder(stage);
  const ctr::Status listed = ListChangedFiles();
  if (!listed || !Checkpoint()) {
    if (Checkpoint()) Log("\r\n" + FormatText("ErrorWritingModFolder", {listed.message()}));
    return false;
  }
  std::vector<TPlannedFile> planned;
  for (const TStagedFile& file : staged_) planned.push_back({file.path, file.size});
  if (!CheckFitsTarget(planned)) return false;
  const ctr::Status staged = StageFiles(stage);
  if (!staged || !Checkpoint()) {
    DeleteFolder(stage);
    if (Checkpoint()) LogWriteFailure(staged.message());
    return false;
  }
  LogKey("Done");
  Progress(90);
  if (!CheckStaged(stage) || !Checkpoint()) {
    DeleteFolder(stage);
    return false;
  }
  if (const ctr::Status placed = PlaceTitleFolder(stage, target); !placed) {
    DeleteFolder(stage);
    LogWriteFailure(placed.message());
    return false;
  }
  writtenFiles_.clear();
  for (const TStagedFile& file : staged_) writtenFiles_.emplace_back(file.path, file.sha256);
  written = target;
  return true;
}

}  // namespace qpt
