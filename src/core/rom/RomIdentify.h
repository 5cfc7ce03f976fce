// Identification of a chosen game image: its container kind, whether its extended header
// is still encrypted, the game and region from its program ID, and, for the two games with
// a music change, where the sound archive's INFO block lies in the image. An image of any
// other title is taken only when a mod-folder patch for it is at hand, since nothing else can
// patch it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/localization/Language.h"
#include "core/rom/Game.h"

namespace qpt {

struct TGameRow {
  std::uint32_t programIdLow;
  const char* title;
  const char* region;
  std::uint8_t gameIndex;
  std::uint8_t regionIndex;
  const char* gameCode;
  std::int32_t entry;  // offset of the sound archive's data offset in the file table; -1: none
};

// Every game and region the program knows.
const std::vector<TGameRow>& IdentificationTable();

struct TRomIdentity {
  // Message key of a refusal to show in an error dialog ("ErrorLoadingROM", "ErrorNOTCIAROM",
  // "ErrorNOT3DSROM", "ErrorNOTCXIROM", "ErrorWrongROM"); empty when none.
  std::string errorKey;
  // True when the extended header is still encrypted (the "LogEncrypted" line is due).
  bool encrypted = false;
  // Whether the kind check passed, so the log and patch list are to be cleared.
  bool kindChecked = false;
  std::string romExt;                // ".cia", ".3ds" or ".cxi" once the kind is known
  // The fixed title and region lines (or program ID lines; for another title its title ID);
  // empty when the program ID was not read.
  std::vector<std::string> logLines;
  std::uint32_t programIdLow = 0;
  std::uint64_t programId = 0;       // whole, for mod folders named by it
  std::uint8_t gameIndex = 0;        // TGame's index; that of TGameId::Other for another title
  std::uint8_t regionIndex = 0;      // 0 for another title
  std::string gameCode;
  std::int64_t soundInfoPos = -1;    // AAT and AA4 only; -1 when it could not be found

  bool Identified() const { return errorKey.empty() && !encrypted && gameIndex != 0; }
  TGame Game() const { return TGame::FromIndex(gameIndex); }
};

// The program ID as mod folders are named by it and the log shows it: 16 upper-case
// hexadecimal digits.
std::string TitleIdText(std::uint64_t programId);

// The log lines of an identification in the player's language: the game's own title and
// its region, the title ID of another title and that only mod-folder patches apply to it, or
// the program ID of an unknown image. Empty for an image refused earlier.
std::vector<std::string> IdentityLogLines(const TRomIdentity& id, const TLangList& lang);

// Reads what identification needs from the image. The kind follows the extension (any
// letter case); a file with none of the three extensions is taken by its content. An image of
// none of the known games is another title when a usable mod-folder patch for its program ID
// is listed in one of modPatchRoots (as the patch list finds them), and refused otherwise.
TRomIdentity IdentifyRom(const std::filesystem::path& romPath,
                         const std::vector<std::filesystem::path>& modPatchRoots = {});

}  // namespace qpt
