// Where the program finds its folders. Everything asks this unit; no other code builds a path
// to lang/, patch/, tools/ or the work folder from the program's own folder.
//
// Portable (a lang/ folder stands beside the program): everything lives in the program folder,
// as it is unpacked. Installed (a package put the program in bin/): the language files and our
// tools come from the read-only share/ and lib/ beside bin/, and what the player writes goes to
// the player's own data and cache folders, so the program runs from folders it cannot write.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qpt {

struct TFolders {
  TFolders() = default;
  // The portable layout of programDir. Not explicit, so that a program folder can stand
  // wherever folders are asked for.
  TFolders(const std::filesystem::path& programDir);  // NOLINT(google-explicit-constructor)

  bool installed = false;
  std::filesystem::path program;  // the folder of the program itself
  std::filesystem::path lang;     // <name>.lng and Qt's .qm files
  std::filesystem::path patch;    // the player's patches; a dropped patch folder is copied here
  std::vector<std::filesystem::path> sharedPatch;  // read-only patch folders a package shipped
  std::filesystem::path tools;    // ctrtool, 3dstool, makerom, xdelta
  // Holds tools/temp (the work folder) and tools/run.lock. The install steps name their files
  // relative to it ("tools/temp/exefs.bin"), which is why it keeps the tools/ level.
  std::filesystem::path work;
};

// Reads one environment variable; nothing when it is not set.
using TEnvironment = std::function<std::optional<std::string>(const std::string& name)>;

// The process's own environment.
std::optional<std::string> ProcessEnvironment(const std::string& name);

// The folders of a program in programDir: portable when programDir holds lang/, otherwise the
// installed layout under programDir/.. with XDG_DATA_HOME and XDG_CACHE_HOME (else
// $HOME/.local/share and $HOME/.cache; a relative value counts as not set).
TFolders FindFolders(const std::filesystem::path& programDir, const TEnvironment& environment);

// Creates the player's patch folder and the work root's tools/ (where the run lock lives) of an
// installed layout; false with the system's words in
// *error when that fails. Nothing to do for a portable folder.
bool PrepareFolders(const TFolders& folders, std::string* error);

// Every folder that holds patches, the player's first.
std::vector<std::filesystem::path> PatchRoots(const TFolders& folders);

// The start-up lines of the log that say which folders are used, each after its label (from
// the language file).
std::vector<std::string> FolderLogLines(const TFolders& folders, const std::string& languagesLabel,
                                        const std::string& patchesLabel, const std::string& workLabel);

}  // namespace qpt
