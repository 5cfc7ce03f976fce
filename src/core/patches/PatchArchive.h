// Patches as they are published: a .zip, .7z or .rar file holding a patch folder (with a
// descriptor, or a mod folder). Read with libarchive. An archive is untrusted input twice
// over: its names could point anywhere on the disk and its sizes could be a lie, so every
// entry is checked before the first byte is written, and what is written is counted again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpt {

// Whether the file's extension is one of the archive kinds taken as patches (any letter case).
bool IsPatchArchive(const std::filesystem::path& path);

// How much an archive may unpack to: never more than maxBytes, nor more than maxRatio times
// its own size. A patch is at most a few GiB; anything beyond is a damaged or hostile file.
struct TArchiveLimits {
  std::uint64_t maxBytes = std::uint64_t{8} << 30;
  std::uint64_t maxRatio = 200;
  std::uint64_t Bound(std::uint64_t archiveSize) const;
};

// Why an archive could not be used: a message key with one %1 mark and what goes there.
struct TArchiveRefusal {
  std::string key;
  std::string detail;
};

// Bytes written so far and the total the archive declares; false stops the unpacking.
using TArchiveProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

struct TUnpackOptions {
  TArchiveLimits limits;
  TArchiveProgress progress;
  std::vector<std::string>* skippedLinks = nullptr;  // links are never made; each is named here
};

// Unpacks archive into folder, which must not exist yet. Nothing is written unless every
// entry's path stays inside folder and the sizes it declares are within the limits; on any
// failure (damage, a password, a full disk, a stop) folder is removed again.
std::optional<TArchiveRefusal> UnpackArchive(const std::filesystem::path& archive, const std::filesystem::path& folder,
                                             const TUnpackOptions& options = {});

// The name of an entry as stored, in UTF-8. Zip files made by old tools store names in the
// DOS code page of the packer's system, without saying which: the old Western one (437) or,
// from a Russian Windows, 866. Names that are valid UTF-8 are taken as they are; the others
// are read in whichever of the two code pages the archive's names as a whole fit better.
std::vector<std::string> DecodeEntryNames(const std::vector<std::string>& raw);

// Packs folder (its files and folders, sorted by name, without links) into a zip file at zip
// whose names are UTF-8 and say so; written beside and renamed into place when complete.
std::optional<TArchiveRefusal> PackFolderAsZip(const std::filesystem::path& folder, const std::filesystem::path& zip);

// Whether folder holds a patch the patch list would show: a descriptor, or a mod folder.
bool HoldsPatch(const std::filesystem::path& folder);

// An archive's patch unpacked into patchRoot as a folder named after the archive (without its
// extension). When the archive wraps the patch in one folder of its own, that folder's content
// is taken. The archive goes into a temporary folder beside the target first and is renamed
// into place only when it is complete and holds a patch; an existing folder of that name is
// replaced only with replace.
struct TImportedArchive {
  std::filesystem::path folder;          // where the patch now is
  std::vector<std::string> skippedLinks;
};
struct TArchiveImport {
  std::optional<TArchiveRefusal> refusal;
  TImportedArchive imported;
};
std::filesystem::path ArchiveImportTarget(const std::filesystem::path& archive, const std::filesystem::path& patchRoot);
TArchiveImport ImportPatchArchive(const std::filesystem::path& archive, const std::filesystem::path& patchRoot,
                                  bool replace, const TUnpackOptions& options = {});

// Unpacks archive into scratch (which must not exist) and gives the folder in it that holds
// the patch, as ImportPatchArchive would take it; for checking an archive without adding it.
TArchiveImport UnpackPatchArchiveForCheck(const std::filesystem::path& archive, const std::filesystem::path& scratch,
                                          const TUnpackOptions& options = {});

}  // namespace qpt
