// A synthetic game image of any size, shaped like the fourth game (the one with the most
// files in its sound folder): a data archive pack.dat of several hundred MiB with its index,
// a sound archive at the file-table position the identification reads, a few hundred stream
// files, a few thousand small files in folders, and optionally one huge file stored sparse
// on disk. The RomFS tree is written to disk and built with our ctr builders, so images of
// any size can be made with little memory. Beside it, a patch as a player downloads it: a
// delta changing pack.dat in a few hundred places, both digests, a new program image, RomFS
// files and voice sets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qpt::bench {

struct TGameShape {
  std::uint64_t totalBytes = std::uint64_t{1} << 30;  // RomFS file data, roughly
  std::uint64_t hugeFileBytes = 0;  // a further file of zeros (sparse on disk); 0: none
  int smallFiles = 3000;            // spread over folders and sub-folders
  int streamFiles = 300;
  std::uint64_t streamBytes = 96ull << 20;      // all stream files together
  std::uint64_t soundArchiveBytes = 24ull << 20;
  int deltaChanges = 300;           // places the delta changes in pack.dat
  bool cia = true;                  // which input images to build
  bool threeDs = true;
};

struct TSyntheticGame {
  std::filesystem::path folder;     // everything generated lives below it
  std::filesystem::path cia;        // empty when not built
  std::filesystem::path threeDs;
  std::filesystem::path patchDir;
  std::filesystem::path packDat;    // the original archive (the delta's source)
  std::string game = "AA4";
  std::string packDatMd5, packIncMd5;  // digests the patch expects (upper-case hex)
  std::string patchedPackDatMd5;       // pack.dat after the delta
  std::uint64_t packDatBytes = 0;
  std::uint64_t romfsFileBytes = 0;    // file data of the RomFS tree
  std::uint64_t deltaBytes = 0;
  std::uint64_t changedOffset = 0;     // the first place the delta changes (for checks)
  std::string replacedFile;            // a RomFS file the patch replaces ('/'-separated)
  std::vector<std::uint8_t> replacedBytes;
};

// Builds the image(s) and the patch under folder (created; the caller removes it). Progress
// lines go to standard output. Throws std::runtime_error on any failure.
TSyntheticGame BuildSyntheticGame(const TGameShape& shape, const std::filesystem::path& folder);

// Checks an installed image: every hash valid, identified as the same game with its sound
// archive found, pack.dat equal to the patched archive, the patch's RomFS file in place.
// Empty when all is well, else the first problem.
std::string CheckInstalledImage(const TSyntheticGame& game, const std::filesystem::path& image);

// Upper-case hexadecimal MD5 of the bytes [offset, offset + size) of a file.
std::string RangeMd5(const std::filesystem::path& path, std::uint64_t offset, std::uint64_t size);

}  // namespace qpt::bench
