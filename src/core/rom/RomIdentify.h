// Identification of a chosen game image: its container kind, whether its extended header
// is still encrypted, the game and region from its program ID, and, for the two games with
// a music change, where the sound archive's INFO block lies in the image.
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
  std::vector<std::string> logLines; // the fixed title and region lines (or program ID lines)
  std::uint32_t programIdLow = 0;
  std::uint64_t programId = 0;       // whole, for mod folders named by it
  std::uint8_t gameIndex = 0;
  std::uint8_t regionIndex = 0;
  std::string gameCode;
  std::int64_t soundInfoPos = -1;    // AAT and AA4 only; -1 when it could not be found

  bool Identified() const { return errorKey.empty() && !encrypted && gameIndex != 0; }
  TGame Game() const { return TGame::FromIndex(gameIndex); }
};

// The log lines of an identification in the player's language: the game's own title and
// its region, or the program ID of an unknown image. Empty for an image refused earlier.
std::vector<std::string> IdentityLogLines(const TRomIdentity& id, const TLangList& lang);

// Reads what identification needs from the image. The kind follows the extension (any
// letter case); a file with none of the three extensions is taken by its content.
TRomIdentity IdentifyRom(const std::filesystem::path& romPath);

}  // namespace qpt
