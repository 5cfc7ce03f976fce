// The mod-folder output: instead of a new image, the files the run changed or added, laid out
// as game patching on the console and the emulators load them ("<TitleID>/romfs/<path>" and
// "<TitleID>/code.bin", "<TitleID>/exheader.bin"). Only the RomFS files the patch steps work on are read out of the
// input image, into the usual work folder, so that the delta, the pack update and the voice
// and music step run exactly as in a rebuild; nothing is unpacked or rebuilt whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/common/Volume.h"
#include "core/install/Install.h"
#include "core/rom/ImageFiles.h"
#include "ctr/Io.h"
#include "ctr/RomFs.h"

namespace qpt {

// The title folder's name: the program ID as 16 upper-case hexadecimal digits.
std::string ModTitleFolderName(std::uint64_t programId);

class TInstallMods final : public TInstall {
 public:
  using TInstall::TInstall;

 protected:
  bool ExtractExeFS() override { return true; }
  // Reads the RomFS files the patch steps change into the work folder's romfs tree.
  bool ExtractRomFS() override;
  bool UnpackRomFS() override { return true; }
  bool ExtractCXIHeaders() override { return true; }
  bool ExtractExeFSHeaders() override { return true; }
  bool DeleteTempFiles() override { return true; }
  // The title folder takes the patch's extended header as it is, when staged.
  bool ReplaceExheader() override { return true; }
  // The sound archive is left alone (and not read) when neither voices nor music change.
  bool ApplySoundAAT() override;
  bool ApplySoundAA4() override;
  // Points the delta step at the archive inside the image when the delta allows it; false
  // when the archive is to be extracted for it as usual.
  bool PrepareDeltaOnImage();
  bool CheckBeforeStart() override;
  // Writes the title folder under a temporary name, checks it, and renames it into place.
  bool BuildOutput(std::filesystem::path& written) override;

 private:
  bool SoundChanges() const;
  // The RomFS paths the patch steps will work on, each once.
  std::vector<std::string> FilesToRead() const;
  // A file the title folder will hold, by its path in it, and its size.
  struct TPlannedFile {
    std::string path;
    std::uint64_t size = 0;
  };
  // The files the patch brings for the title folder, before the run makes them.
  std::vector<TPlannedFile> PatchFiles() const;
  // Whether the target's file system can hold these files: size, names, letter case. Logs why not.
  bool CheckFitsTarget(const std::vector<TPlannedFile>& files);
  // Finds the files the run changed or added (staged_), each hashed.
  ctr::Status ListChangedFiles();
  // Creates the staged title folder and moves the listed files into it; the reason when that
  // failed (a write that failed says so) or the run was cancelled.
  ctr::Status StageFiles(const std::filesystem::path& stage);
  // Says why writing to the target failed, or that the target went away (a card pulled out).
  void LogWriteFailure(const std::string& reason);
  // Whether the program the run made is the image's own, decompressed as a loader reads it.
  bool SameAsImageProgram(const std::filesystem::path& codeBin);
  // Whether a patch's extended header holds what the image's already does.
  bool SameAsImageExheader(const std::filesystem::path& exheader);
  // Whether a path may be in the mod folder's romfs: the input has it, the patch brings it,
  // or the run's music step named it.
  bool KnownRomFsPath(const std::string& path) const;
  // Every staged file flushed to the device and read back from it against what the run made,
  // every RomFS path known.
  bool CheckStaged(const std::filesystem::path& stage);
  // Renames a folder, never over an existing entry; file by file where the volume's driver
  // loses a renamed folder's files.
  ctr::Status MoveFolder(const std::filesystem::path& from, const std::filesystem::path& to);
  // Puts back the earlier title folder that an interrupted replace left under its old name.
  void RecoverInterruptedReplace(const std::filesystem::path& target);
  // Puts the staged folder in place of the title folder, replacing an existing one whole.
  ctr::Status PlaceTitleFolder(const std::filesystem::path& stage, const std::filesystem::path& target);

  TImageFiles image_;
  // What the steps read the input through, once CheckBeforeStart has opened it.
  ctr::InputFile* inputFile_ = nullptr;
  const ctr::RomFsReader& romfs_ = image_.RomFs();
  bool hasRomFs_ = false;
  std::string titleFolder_;
  struct TStagedFile {
    std::string path;                 // in the title folder, '/'-separated
    std::filesystem::path workFile;   // what the run made
    std::string sha256;
    std::uint64_t size = 0;
    bool renamed = false;  // moved into the stage by a rename, not copied
  };
  // The rules of the file system that receives the title folder.
  TFileSystemRules targetRules_;
  bool moveFoldersByFiles_ = false;
  bool workFilesDelivered_ = false;  // the work folder and the target share a volume
  std::vector<TStagedFile> staged_;
};

}  // namespace qpt
