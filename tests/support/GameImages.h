// Whole game images for the end-to-end tests: a complete CIA, CXI or 3DS image for any row of
// the identification table, built with our own container code, whose RomFS holds what the
// program works on (pack archive, sound archive at the file-table position the identification
// reads, stream files), plus a realistic patch for it, and readers that take an output image
// apart again for the checks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/rom/RomIdentify.h"
#include "support/ImageBuilder.h"
#include "support/SoundFixtures.h"

namespace qpt::test {

// A small pack archive: entries of assorted lengths and kinds, and its index with opaque
// fields and trailing bytes.
struct PackArchive {
  Bytes dat;
  Bytes inc;
  std::vector<Bytes> entries;
};
PackArchive BuildPackArchive(std::size_t entryCount, std::uint32_t seed);

struct GameImage {
  std::filesystem::path path;
  std::string kind;                      // ".cia", ".cxi" or ".3ds"
  TGameRow row;
  std::map<std::string, Bytes> romfs;    // every RomFS file of the image
  Bytes code;                            // the program image (.code, uncompressed)
  std::optional<GameSoundArchive> sound; // AAT and AA4
  std::optional<PackArchive> pack;       // AAT and AA4
};

// Builds the image at out (work: a scratch folder the caller owns).
// contentId: of a CIA's content 0.
GameImage BuildGameImage(const TGameRow& row, const std::string& kind, const std::filesystem::path& out,
                         const std::filesystem::path& work, std::uint32_t contentId = 0);

// A patch for an image, as a player downloads it: descriptor, delta of pack.dat with both
// digests, exefs/code.bin, romfs files (one replaced, one new in a new folder), for AAT and
// AA4 a pack_dat entry and three voice sets.
struct GamePatch {
  std::filesystem::path folder;
  Bytes newCode;
  Bytes patchedPackDat;                          // after the delta, before pack_dat entries
  std::map<std::string, Bytes> romfsFiles;       // relative path -> bytes
  std::map<std::string, Bytes> packEntries;      // pack_dat file name -> bytes
  std::map<int, std::map<std::size_t, Bytes>> voices;  // voice set index -> wave -> bytes
};
GamePatch BuildGamePatch(const GameImage& image, const std::filesystem::path& folder, bool withDelta = true);

// An output image taken apart with our readers.
struct ImageContents {
  bool verified = false;
  std::string problem;      // the verifier's first problem, if any
  bool noCrypto = false;
  std::map<std::string, Bytes> romfs;
  Bytes code;               // .code, decompressed when the exheader says it is compressed
  std::map<std::string, Bytes> exefs;  // every ExeFS file as stored
  Bytes exheader;           // with its access descriptor
};
ImageContents ReadImageContents(const std::filesystem::path& image);

// The pack archive the update step must make of the delta-patched archive and the patch's
// entries: entries back to back, offsets, header values and sizes recomputed, the rest kept.
std::pair<Bytes, Bytes> ExpectedPackArchive(const PackArchive& original, const Bytes& patchedDat,
                                            const std::map<std::string, Bytes>& replaced);

// Checks an installed image against its input and patch: hashes valid, NoCrypto, the new
// code, the patch's RomFS files, every other file byte-identical; for the music games also
// the pack archive, the waves of voiceSet (-1: no voices expected) and, per slot, the key the
// INFO block must name.
std::string CheckInstalledImage(const GameImage& input, const GamePatch& patch, const ImageContents& out,
                                int voiceSet, const std::map<int, std::string>& musicKeys);

}  // namespace qpt::test
