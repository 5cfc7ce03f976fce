// Checking a patch folder before it is published: every piece an installation reads, read as
// the installation reads it, and each fault named with the file and what to change.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qpt {

struct TPatchProblem {
  bool error = false;  // false: a warning (the install goes on, but not as the author meant)
  std::string file;    // in the patch folder, '/'-separated
  std::string text;
};

// Checks the descriptors (encoding, keys, game and region codes, digest form), the track
// lists (keys fit their fields), the voice folders (the names the voice step looks for) and
// the pack entries (names the pack update accepts). With an image (not empty) also the
// digests against it and each pack entry's number and kind against its pack archive.
std::vector<TPatchProblem> CheckPatch(const std::filesystem::path& patchDir, const std::filesystem::path& image);

}  // namespace qpt
