// The receipt a successful run leaves beside the new image ("<image>.txt"): what went in, what
// was applied and what came out, with the SHA-256 of both images, so that a player (or a patch
// author helping one) can tell later exactly which image this is and how it was made.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/localization/Language.h"

namespace qpt {

// What the window or the command-line program knows about a run and the job does not.
struct TReceiptFacts {
  std::string gameTitle;   // "Phoenix Wright: Ace Attorney Trilogy"
  std::string region;      // "USA"
  std::string patchTitle;  // empty: no patch
  std::string voiceSet;    // the voice set's name as the window shows it; empty: none chosen
  // Every music slot whose title differs from the game's own: "<slot>: <title>".
  std::vector<std::string> musicChanges;
};

// A digest check of the run: which file, what the patch expected, what the file held.
struct TReceiptDigest {
  std::string file;
  std::string expected;
  std::string found;
};

struct TReceipt {
  TReceiptFacts facts;
  std::string date;  // "2026-12-08 00:50:12 UTC"
  std::filesystem::path input;
  std::string inputKind;  // ".cia", ".cxi", ".3ds"
  std::uint64_t inputSize = 0;
  std::string inputSha256;
  std::filesystem::path patchFolder;  // empty: no patch
  std::vector<TReceiptDigest> digests;
  std::filesystem::path output;
  std::uint64_t outputSize = 0;
  std::string outputSha256;
  // For a mod folder instead of an image: each file in the title folder ('/'-separated) with
  // its SHA-256; output is then the title folder.
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::string> log;  // the run's lines, as the log shows them
};

// The program's name and version, as the window's title shows it.
inline constexpr const char* kProgramTitle = "Quill Patch Tool v.1.0.1";

// The facts of a run from what the caller chose: the identified game and region, the patch's title, the
// voice set (index 0 to 2; -1 when the patch has no voices), and the music choice (may be null).
TReceiptFacts MakeReceiptFacts(int gameIndex, int regionIndex, const std::string& patchTitle, int voiceIndex,
                               const class TTrackList* trackList, const TLangList& lang);

// Where the receipt of an image goes: the image's own name followed by ".txt".
std::filesystem::path ReceiptPath(const std::filesystem::path& image);

// The current time in UTC for a receipt.
std::string ReceiptDate();

// The SHA-256 of a whole file as 64 lower-case hexadecimal digits (as sha256sum writes it);
// empty when the file cannot be read or stop was set while reading.
std::string FileSha256(const std::filesystem::path& path, const std::atomic<bool>* stop = nullptr);

// The receipt as UTF-8 text in the language of lang, with CR LF line ends.
std::string ReceiptText(const TReceipt& receipt, const TLangList& lang);

}  // namespace qpt
