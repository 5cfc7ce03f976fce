#include "core/rom/RomIdentify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/common/Common.h"
#include "core/rom/PatchList.h"
#include "ctr/Io.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMediaUnit = 0x200;

// Bounds-checked little-endian reads from the image; nullopt past its end.
class ImageReader {
 public:
  explicit ImageReader(ctr::InputFile& file) : file_(file) {}
  template <typename T>
  std::optional<T> Read(std::uint64_t position) {
    T value{};
    if (!file_.ReadAt(position, &value, sizeof value)) return std::nullopt;
    return value;
  }
  bool Magic(std::uint64_t position, const char (&magic)[5]) {
    char bytes[4];
    return file_.ReadAt(position, bytes, 4).ok() && std::memcmp(bytes, magic, 4) == 0;
  }

 private:
  ctr::InputFile& file_;
};

}  // namespace

const std::vector<TGameRow>& IdentificationTable() {
  static const std::vector<TGameRow> kTable = {
      {0x00108800, "Gyakuten Saiban 123: Naruhodo Selection", "ROM Region: JAP", 1, 1, "AAT", 156},
      {0x00138F00, "Phoenix Wright: Ace Attorney Trilogy", "ROM Region: USA", 1, 2, "AAT", 104},
      {0x00133300, "Phoenix Wright: Ace Attorney Trilogy", "ROM Region: EUR", 1, 3, "AAT", 104},
      {0x001B9E00, "Gyakuten Saiban 4", "ROM Region: JAP", 2, 1, "AA4", 4492},
      {0x001BD200, "Apollo Justice: Ace Attorney", "ROM Region: USA", 2, 2, "AA4", 4492},
      {0x001BBD00, "Apollo Justice: Ace Attorney", "ROM Region: EUR", 2, 3, "AA4", 4492},
      {0x000BAA00, "Gyakuten Saiban 5", "ROM Region: JAP", 3, 1, "AA5", -1},
      {0x000F1400, "Phoenix Wright: Ace Attorney - Dual Destinies", "ROM Region: USA", 3, 2, "AA5", -1},
      {0x000F1E00, "Phoenix Wright: Ace Attorney - Dual Destinies", "ROM Region: EUR", 3, 3, "AA5", -1},
      {0x00166A00, "Gyakuten Saiban 6", "ROM Region: JAP", 4, 1, "AA6", -1},
      {0x0018F400, "Phoenix Wright: Ace Attorney - Spirit of Justice", "ROM Region: USA", 4, 2, "AA6", -1},
      {0x0018FA00, "Phoenix Wright: Ace Attorney - Spirit of Justice", "ROM Region: EUR", 4, 3, "AA6", -1},
      {0x00078B00, "Layton Kyouju vs Gyakuten Saiban", "ROM Region: JAP", 5, 1, "PLvsPW", -1},
      {0x00100700, "Professor Layton vs. Phoenix Wright: Ace Attorney", "ROM Region: USA", 5, 2, "PLvsPW", -1},
      {0x00100500, "Professor Layton vs. Phoenix Wright: Ace Attorney", "ROM Region: EUR", 5, 3, "PLvsPW", -1},
  };
  return kTable;
}

std::string TitleIdText(std::uint64_t programId) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(programId));
  return text;
}

std::vector<std::string> IdentityLogLines(const TRomIdentity& id, const TLangList& lang) {
  if (id.logLines.empty()) return {};
  if (id.Game().Id() == TGameId::Other) {
    return {lang.GetLangText("LogTitleID") + TitleIdText(id.programId), lang.GetLangText("LogModFoldersOnly")};
  }
  const auto& table = IdentificationTable();
  const auto row = std::find_if(table.begin(), table.end(),
                                [&](const TGameRow& r) { return r.programIdLow == id.programIdLow; });
  if (row == table.end() || id.gameIndex == 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", id.programIdLow);
    return {lang.GetLangText("LogProgramID") + hex, lang.GetLangText("UnknownROM")};
  }
  // Titles are the games' own names and stay as they are; the region code follows its label.
  const std::string region = row->region;
  return {row->title, lang.GetLangText("RomRegion") + region.substr(region.rfind(' ') + 1)};
}

TRomIdentity IdentifyRom(const fs::path& romPath, const std::vector<fs::path>& modPatchRoots) {
  TRomIdentity id;
  ctr::InputFile file;
  if (!file.Open(romPath)) {
    id.errorKey = "ErrorLoadingROM";
    return id;
  }
  ImageReader image(file);

  std::string ext = Lower(PathToUtf8(romPath.extension()));
  if (ext != ".cia" && ext != ".3ds" && ext != ".cxi") {
    // Other names (".cci", none at all) are taken by what the file holds.
    if (image.Magic(0x100, "NCSD")) {
      ext = ".3ds";
    } else if (image.Magic(0x100, "NCCH")) {
      ext = ".cxi";
    } else if (image.Read<std::uint32_t>(0) == 0x2020u) {
      ext = ".cia";
    } else {
      id.errorKey = "ErrorWrongROM";
      return id;
    }
  }

  std::uint64_t base = 0;  // the main NCCH partition
  std::uint64_t programIdAt = 0, secondIdAt = 0, romfsOffsetAt = 0, l3Extra = 0x1000;
  if (ext == ".cia") {
    if (image.Read<std::uint32_t>(0) != 0x2020u) {
      id.errorKey = "ErrorNOTCIAROM";
      return id;
    }
    for (std::uint64_t at : {0u, 8u, 12u, 16u}) {
      const auto size = image.Read<std::uint32_t>(at);
      if (!size) {
        id.errorKey = "ErrorNOTCIAROM";
        return id;
      }
      base += static_cast<std::uint64_t>(*size) + static_cast<std::uint64_t>(PaddingTo64(*size));
    }
    programIdAt = base + 0x118;
    secondIdAt = base + 0x400;
    romfsOffsetAt = base + 0x1B0;
  } else if (ext == ".3ds") {
    if (!image.Magic(0x100, "NCSD")) {
      id.errorKey = "ErrorNOT3DSROM";
      return id;
    }
    base = 0;  // offsets below are absolute: the card header holds a copy of the NCCH header
    programIdAt = 0x1118;
    secondIdAt = 0x43C8;
    romfsOffsetAt = 0x11B0;
    l3Extra = 0x5000;
  } else {
    if (!image.Magic(0x100, "NCCH")) {
      id.errorKey = "ErrorNOTCXIROM";
      return id;
    }
    programIdAt = 0x118;
    secondIdAt = 0x400;
    romfsOffsetAt = 0x1B0;
  }
  id.romExt = ext;
  id.kindChecked = true;

  const auto programId = image.Read<std::uint64_t>(programIdAt);
  const auto secondId = image.Read<std::uint64_t>(secondIdAt);
  if (!programId || !secondId) {
    id.errorKey = "ErrorLoadingROM";
    return id;
  }
  if (*programId != *secondId) {
    id.encrypted = true;
    return id;
  }

  id.programIdLow = static_cast<std::uint32_t>(*programId);
  id.programId = *programId;
  const auto& table = IdentificationTable();
  const auto row = std::find_if(table.begin(), table.end(),
                                [&](const TGameRow& r) { return r.programIdLow == id.programIdLow; });
  if (row == table.end() && ModPatchListed(modPatchRoots, id.programId)) {
    id.logLines = {TitleIdText(id.programId)};
    id.gameIndex = TGame(TGameId::Other).Index();
    return id;
  }
  if (row == table.end()) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", id.programIdLow);
    id.logLines = {std::string("ProgramID: ") + hex, "Unknown ROM"};
    id.errorKey = "ErrorWrongROM";
    return id;
  }
  id.logLines = {row->title, row->region};
  id.gameIndex = row->gameIndex;
  id.regionIndex = row->regionIndex;
  id.gameCode = row->gameCode;

  if (row->entry >= 0) {
    // Follow the RomFS file table to the sound archive and its block table to the INFO block.
    // Any position that leaves the file leaves the INFO position unknown; the track list then
    // reports that it cannot read the music names.
    const auto romfsOffset = image.Read<std::uint32_t>(romfsOffsetAt);
    if (!romfsOffset) return id;
    const std::uint64_t l3 = base + static_cast<std::uint64_t>(*romfsOffset) * kMediaUnit + l3Extra;
    const auto metaTable = image.Read<std::uint32_t>(l3 + 0x1C);
    const auto dataOffset = image.Read<std::uint32_t>(l3 + 0x24);
    if (!metaTable || !dataOffset) return id;
    const auto fileOffset = image.Read<std::uint32_t>(l3 + *metaTable + static_cast<std::uint64_t>(row->entry));
    if (!fileOffset) return id;
    const std::uint64_t archive = l3 + *dataOffset + *fileOffset;
    const auto infoOffset = image.Read<std::uint32_t>(archive + 0x24);
    if (!infoOffset || archive + *infoOffset >= file.size()) return id;
    id.soundInfoPos = static_cast<std::int64_t>(archive + *infoOffset);
  }
  return id;
}

}  // namespace qpt
