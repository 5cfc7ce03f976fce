// The checks that frame an installation: before it starts, that the disks can take what it
// will write; after its last tool, that the new image is one a console will load. Used by the
// install job; the window and the command line ask the same questions through it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/install/Install.h"
#include "ctr/Verify.h"

namespace qpt {

// A file system that lacks room for a run: the folder checked, what the run needs there and
// what is free.
struct TSpaceShortfall {
  std::filesystem::path folder;
  std::uint64_t needed = 0;
  std::uint64_t available = 0;
};

// What a run needs, from the input image's size:
//  - the work folder holds at once the extracted partition, its RomFS image and the unpacked
//    RomFS tree (and later the tree, the rebuilt RomFS and the rebuilt partition), each about
//    the size of the input: three times the input's size;
//  - the output folder holds the new image, about the size of the input (a patch that grows
//    the game by more is rare, and the check of the image would catch a cut-off write).
// When both lie on one file system the two needs add up. Folders whose free space cannot be
// read are not held against the run.
std::vector<TSpaceShortfall> FindSpaceShortfalls(std::uint64_t inputSize, const std::filesystem::path& workFolder,
                                                 const std::filesystem::path& outputFolder);

// "1.50 GB", "230.0 MB", "512 KB": sizes for a message, in binary units named by the language
// ("SizeGB", "SizeMB", "SizeKB").
std::string FormatSize(std::uint64_t bytes, const TLangList& lang);

// One item of an image check in the language's words: where it lies and what it covers, and
// for a bad item why after a colon ("content 0: RomFS hash levels: block 12 of level 3 does
// not match its hash"). Only names the image holds (an ExeFS file's) and numbers come from it.
std::string VerifyItemText(const ctr::VerifyItem& item, const TLangList& lang);
// The first bad item of a check as VerifyItemText words it; empty when there is none.
std::string VerifyProblemText(const ctr::VerifyReport& report, const TLangList& lang);

// Checks the image a run wrote against the input it was made from: every hash the image
// carries, the same program ID as the input, and a RomFS that still holds every top-level
// entry of the input's RomFS. Nothing when all is good; otherwise the message key of the
// first problem with its values, worded by lang. With outputSha256 the check also works out
// the image's SHA-256 (lower-case hexadecimal) from the bytes it reads; it stays empty when
// the image could not be read through.
std::optional<TImageProblem> CheckNewImage(const std::filesystem::path& input, const std::filesystem::path& output,
                                           const TLangList& lang, std::string* outputSha256 = nullptr);

// What a check of any image shows a player, in the language's words: the game and region (or
// why the image is not identified), then one line per region checked, "good" or "BAD" with
// the reason, then a summary. ok is true when every region is good.
struct TImageCheckReport {
  std::vector<std::string> lines;
  bool ok = false;
};
TImageCheckReport CheckImageForPlayer(const std::filesystem::path& image, const TLangList& lang);

}  // namespace qpt
