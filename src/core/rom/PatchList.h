// Patch descriptors (".dsc") and the list of patches that fit an identified image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpt {

// A descriptor read as token text (delimiter "="). A key the descriptor lacks yields its
// first token, as the format has always behaved; an empty descriptor yields empty values.
class TPatchDescriptor {
 public:
  // nullopt when the file cannot be read.
  static std::optional<TPatchDescriptor> Load(const std::filesystem::path& path);
  static TPatchDescriptor FromBytes(const std::string& bytes);
  std::string Value(std::string_view key) const;

 private:
  std::vector<std::string> tokens_;
};

// Sets of supported games (bits 1..5 for GameIndex 1..5) and regions (bits 1..3 for
// RegionIndex 1..3; bit 0 alone means region free), from the descriptor's values.
std::uint8_t GetPatchTitle(const std::string& gameValue);
std::uint8_t GetPatchRegion(const std::string& regionValue);
inline constexpr std::uint8_t kRegionFree = 1;

// How a patch came: a folder with a descriptor, or a mod folder (a title folder as game
// patching loads it). Only for showing; the install job takes either folder as it is.
enum class TPatchForm { Descriptor, ModFolder };

struct TPatchEntry {
  std::string title;
  std::filesystem::path descriptor;  // folder + descriptor file name; empty for a mod folder
  std::filesystem::path folder;      // what the install job takes as its patch folder
  TPatchForm form = TPatchForm::Descriptor;
};

// The patches under folder (the folder itself and, with recurse, its direct sub-folders;
// sub-folders first, in case-insensitive name order) whose descriptor fits gameIndex and
// regionIndex (never another title, which no descriptor can name). In each folder the
// descriptor named after the language is taken, else the first in name order. A descriptor
// that cannot be read is skipped. A sub-folder without a descriptor that is a usable mod
// folder for programId is listed under its own name.
std::vector<TPatchEntry> PopulatePatchList(const std::filesystem::path& folder, const std::string& extension,
                                           bool recurse, const std::string& languageName,
                                           std::uint8_t gameIndex, std::uint8_t regionIndex, std::uint64_t programId);

// Whether PopulatePatchList lists a mod-folder patch for programId under any of patchRoots.
bool ModPatchListed(const std::vector<std::filesystem::path>& patchRoots, std::uint64_t programId);

// What the patch list shows of a patch and a run takes from it, whatever its form. A mod
// folder has no digests, games or regions; its read-me is its description.
struct TPatchDetails {
  std::string description;
  std::string games;
  std::string regions;
  std::string originalPackDatMD5;
  std::string originalPackIncMD5;
};
// Nothing when the patch can no longer be read (or, for a mod folder, installed).
std::optional<TPatchDetails> ReadPatchDetails(const TPatchEntry& entry);

// A folder a player hands the program as a patch (dropped on the window): the title of its
// descriptor (the one named after the language, else the first in name order), or nothing
// when the folder itself holds no readable descriptor.
std::optional<std::string> PatchFolderTitle(const std::filesystem::path& folder, const std::string& languageName);

// Copies a patch folder into patchRoot under its own name, replacing a patch folder of that
// name whole; links in it are never followed (each skipped one is listed). False when
// anything could not be copied.
bool ImportPatchFolder(const std::filesystem::path& source, const std::filesystem::path& patchRoot,
                       std::vector<std::filesystem::path>* skippedLinks = nullptr);

}  // namespace qpt
