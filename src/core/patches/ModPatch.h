// Mod folders as patches: a folder in the patch folder that holds a title folder, as game
// patching on the console and the emulators loads it, instead of a descriptor. Read here once
// for the patch list, check-patch and the install job, and laid out for the job in the form it
// already takes, so that none of them handles the folder's own layout.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qpt {

// A title folder's name read as a program ID: 16 hexadecimal digits, either letter case.
std::optional<std::uint64_t> ParseTitleId(std::string_view name);

struct TModPatch {
  std::filesystem::path folder;       // the patch folder, as listed
  std::filesystem::path titleFolder;  // the folder named by the program ID
  std::uint64_t titleId = 0;
  std::filesystem::path romfs;        // its romfs/ folder; empty when none
  std::filesystem::path program;      // code.bin, code.ips or code.bps; empty when none
  std::filesystem::path exheader;     // exheader.bin; empty when none
  std::filesystem::path readme;       // readme.txt or README.md beside the title folder; empty when none
  // Each names the files concerned and says why the folder cannot be installed as it stands.
  std::vector<std::string> errors;
  // Files left out that the console would ignore as well, each by its path in the patch folder.
  std::vector<std::string> ignored;
  bool Usable() const { return errors.empty(); }
};

// The mod-folder patch in folder: its title folder at the top ("<TitleID>/"), under
// "luma/titles/<TitleID>/", or folder itself named by the title ID. Nothing when folder has a
// descriptor (that form wins) or no title folder in any of these shapes. The title folder may
// use the console's layout or the emulator's (the program files under exefs/).
std::optional<TModPatch> ReadModPatch(const std::filesystem::path& folder);

// The description of a mod-folder patch: its read-me as text, empty without one.
std::string ModPatchDescription(const TModPatch& patch);

// Why a mod-folder patch cannot be laid out for a run: a message key with one %1 mark and
// what goes there.
struct TModRefusal {
  std::string key;
  std::string detail;
};

// Lays a usable patch out in destination as a patch folder of the job's own layout: the
// RomFS files under destination/romfs, the program the patch makes as destination/exefs/code.bin
// (a code.ips or code.bps applied to the image's decompressed program), and its extended header
// as destination/exheader.bin, which only a mod-folder patch brings. A patch for another title,
// one that does not fit the program, an extended header that is not the image's title's or has
// no room for the program, or a write that failed is refused; links inside romfs/ are skipped
// and listed in skippedLinks.
std::optional<TModRefusal> PrepareModPatch(const TModPatch& patch, const std::filesystem::path& image,
                                           const std::filesystem::path& destination,
                                           std::vector<std::filesystem::path>* skippedLinks);

// The largest program a code.ips or code.bps may make of a program of programSize bytes:
// room for a program that grows, never the memory a damaged patch could ask for.
std::uint64_t ProgramPatchBound(std::uint64_t programSize);

}  // namespace qpt
