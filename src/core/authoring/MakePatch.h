// Making a patch folder out of a translation team's work: the translated RomFS tree (whole or
// only the changed files, with the program's files in exefs/ beside it) compared with the
// game image, so that an installation of the folder gives back exactly that tree. Only what
// differs goes in: a delta for a changed pack.dat, the other changed or new files as they
// are, and a descriptor with the image's game, region and archive digests. Or, as a mod
// folder that consoles and emulators load as well, the changed RomFS files and a BPS patch of
// the program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/common/Folders.h"

namespace qpt {

class TLangList;

struct TMakePatchSettings {
  TFolders folders;  // its tools/xdelta makes the delta
  std::filesystem::path image;
  std::filesystem::path from;    // the translated tree
  std::filesystem::path out;     // the patch folder; must not exist, or be empty
  std::string title;
  std::string language = "English";  // the descriptor is <language>.dsc
  std::string description;           // UTF-8; may hold line breaks
  // A mod folder instead: out/<TitleID>/ with romfs/, the program change as code.bps and, when
  // the program outgrows the image's extended header, exheader.bin; the title and description
  // in out/readme.txt.
  bool modFolder = false;
  const TLangList* lang = nullptr;  // the language of the lines and the error; may be null
};

struct TMakePatchResult {
  std::string error;               // empty on success
  std::vector<std::string> lines;  // what went where, for the author
  std::uint64_t patchBytes = 0;
  std::uint64_t imageBytes = 0;
  bool ok() const { return error.empty(); }
};

// Writes the patch folder. On failure nothing of it is left; the image and the tree are only
// read. Links in the tree are never followed (each is named in lines and left out).
TMakePatchResult MakePatch(const TMakePatchSettings& settings);

// The descriptor's text (UTF-8 with a byte-order mark, CR LF): Game, Region, Title,
// Description and the two digests (empty for a game without a pack archive).
std::string DescriptorText(const std::string& game, const std::string& region, const std::string& title,
                           const std::string& description, const std::string& packDatMD5,
                           const std::string& packIncMD5);

}  // namespace qpt
