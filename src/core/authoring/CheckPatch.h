// Checking a patch folder before it is published: every piece an installation reads, read as
// the installation reads it, and each fault named with the file and what to change.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "core/common/Folders.h"
#include "core/localization/Language.h"

namespace qpt {

struct TPatchProblem {
  bool error = false;  // false: a warning (the install goes on, but not as the author meant)
  std::string file;    // in the patch folder, '/'-separated
  std::string text;
};

struct TCheckPatchSettings {
  std::filesystem::path patchDir;
  std::filesystem::path image;  // empty: only what can be checked without the game
  TFolders folders;             // its tools apply the patch on trial
  const TLangList* lang = nullptr;  // the language of the installation's lines
  // Where the trial installation's scratch folder goes; empty for the system's temporary folder.
  std::filesystem::path scratchRoot;
  // Set (from another thread) to stop the trial at its next step; may be null.
  const std::atomic<bool>* stop = nullptr;
};

// Checks the descriptors (encoding, keys, game and region codes, digest form), the track
// lists (keys fit their fields), the voice folders (the names the voice step looks for) and
// the pack entries (names the pack update accepts). With an image also the digests against
// it and each pack entry's number and kind against its pack archive; and, when all that found
// no error, installs the patch on trial as a mod folder (once per voice set) in a scratch
// folder that goes again, and reports each warning and the failure of that installation in
// its own words. The image and the patch folder are only read.
std::vector<TPatchProblem> CheckPatch(const TCheckPatchSettings& settings);

}  // namespace qpt
