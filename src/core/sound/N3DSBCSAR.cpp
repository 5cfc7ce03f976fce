// Split and join of the sound archive (BCSAR): its header, STRG, INFO and FILE blocks as pieces,
// the FILE block cut into its contained files, and the INFO block's file table brought up to
// date with the rebuilt FILE block.
#include "core/sound/N3DSBCSAR.h"

#include <array>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <string>
#include <system_error>

#include "core/common/Common.h"
#include "core/sound/ArchivePieces.h"

namespace qpt {

namespace fs = std::filesystem;
using namespace pieces;

namespace {

// Type (with its 16 fill bits) of a file table entry whose data lies in the FILE block.
constexpr std::uint32_t kCsarInternalFile = 0x220C;
// An offset or reference of -1: nothing there.
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint64_t kCsarFileTableField = 0x3C;

#pragma pack(push, 1)
// Header of a sound archive at its offset 0, up to the end of its STRG/INFO/FILE block table.
struct TCsarHeader {
  char magic[4];
  std::uint16_t byteOrder;
  std::uint16_t headerLength;
  std::uint32_t version;
  std::uint32_t archiveLength;
  std::uint16_t blockCount;
  std::uint16_t reserved;
  TBlockRef strg;
  TBlockRef info;
  TBlockRef file;
};
static_assert(sizeof(TCsarHeader) == 0x38);

// The first bytes of every file contained in a FILE block (they share the common header).
struct TContainedFileHeader {
  char magic[4];
  std::uint16_t byteOrder;
  std::uint16_t headerLength;
  std::uint32_t version;
  std::uint32_t length;
};
static_assert(sizeof(TContainedFileHeader) == 0x10);

// One reference of the sound archive's file table, which starts at INFO + 8 + (INFO + 0x3C).
struct TCsarFileTableRef {
  std::uint16_t type;
  std::uint16_t fill;
  std::uint32_t offset;  // of the entry, from the table start
};
static_assert(sizeof(TCsarFileTableRef) == 8);

// Start of a file table entry: where the file's data lives. For internal files the data
// reference carries the offset (from FILE + 8) and length that the join rewrites.
struct TCsarFileLocation {
  std::uint32_t locationType;  // 0x220C internal, 0x220D external, fill bits included
  std::uint32_t locationOffset;
  std::uint32_t flags;
  std::uint32_t dataRefType;
  std::uint32_t fileOffset;
  std::uint32_t fileLength;
};
static_assert(sizeof(TCsarFileLocation) == 0x18);

#pragma pack(pop)

// The magic as part of a file name; anything but letters and digits (a separator, a dot, a
// control byte in a damaged archive) becomes "_" so that a name cannot leave the folder.
std::string MagicForName(const char (&magic)[4]) {
  std::string name;
  for (char c : magic) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    name += plain ? c : '_';
  }
  return name;
}

// ---------------------------------------------------------------- join

struct TCsarJoin {
  Bytes info;
  TFileBlockLayout layout;
};

// Gives each internal-file entry of the INFO file table, in table order, the place of the next
// piece. Entries of other types (files kept outside the archive), null references and
// internal entries without a FILE block offset (files that live only inside a group, which
// the split never cut out) keep their bytes and take no piece.
bool PatchCsarFileTable(Bytes& info, const TFileBlockLayout& layout) {
  const auto tableField = ReadStructAt<std::uint32_t>(info, kCsarFileTableField);
  if (!tableField) return false;
  const std::uint64_t table = 8 + std::uint64_t{*tableField};
  const auto count = ReadStructAt<std::uint32_t>(info, table);
  if (!count || !ctr::InRange(table + 4, std::uint64_t{*count} * sizeof(TCsarFileTableRef), info.size())) {
    return false;
  }
  std::size_t k = 0;
  for (std::uint64_t e = 0; e < *count; ++e) {
    const auto ref = ReadStructAt<TCsarFileTableRef>(info, table + 4 + e * sizeof(TCsarFileTableRef));
    if (!ref) return false;
    if (ref->offset == kNone) continue;
    const std::uint64_t entry = table + ref->offset;
    const auto type = ReadStructAt<std::uint32_t>(info, entry);
    if (!type) return false;
    if (*type != kCsarInternalFile) continue;
    auto location = ReadStructAt<TCsarFileLocation>(info, entry);
    if (!location) return false;
    if (location->fileOffset == kNone) continue;
    // More internal files in the table than pieces in the folder: the table would keep
    // stale places, so the join is refused.
    if (k >= layout.pieces.size()) return false;
    location->fileOffset = layout.offsets[k];
    location->fileLength = static_cast<std::uint32_t>(layout.pieces[k].length);
    PutStructAt(info, entry, *location);
    ++k;
  }
  return true;
}

std::optional<TCsarJoin> PrepareCsarJoin(const fs::path& infoPiece, const fs::path& subFolder) {
  auto pieces = ListPieces(subFolder, ".bin");
  if (!pieces) return std::nullopt;
  auto layout = LayOutFileBlock(std::move(*pieces));
  if (!layout) return std::nullopt;
  auto info = LoadPiece(infoPiece);
  if (!info) return std::nullopt;
  TCsarJoin join{std::move(*info), std::move(*layout)};
  if (!PatchCsarFileTable(join.info, join.layout)) return std::nullopt;
  return join;
}

bool WriteCsarInfoAndFile(std::ostream& out, const TCsarJoin& join) {
  return WriteBytes(out, join.info) && WriteFileBlock(out, join.layout);
}

}  // namespace

int UnpackBcsar(const fs::path& archive, const fs::path& folder, ctr::Status* writeFailure) {
  const fs::path target = folder.empty() ? ArchivePieceFolder(archive) : folder;
  if (target.empty()) return -1;
  std::error_code ec;
  if (fs::equivalent(archive, target, ec)) return -1;  // never delete the archive itself
  if (fs::exists(fs::symlink_status(target, ec)) && !DeleteFolder(target)) return -1;
  if (const ctr::Status created = CreatePieceFolder(target); !created) return Failed(created, writeFailure);
  std::ifstream in(archive, std::ios::binary);
  if (!in) return -1;
  if (SplitBcsar(in, target, writeFailure) != 0) {
    in.close();
    DeleteFolder(target);
    return -1;
  }
  return 0;
}

int SplitBcsar(std::istream& archive, const fs::path& folder, ctr::Status* writeFailure) {
  const auto size = StreamSize(archive);
  if (!size) return -1;
  const auto header = ReadStructAt<TCsarHeader>(archive, *size, 0);
  if (!header || !HasMagic(header->magic, "CSAR")) return -1;
  // The header piece must hold every field the join rewrites.
  if (header->headerLength < sizeof(TCsarHeader) || header->headerLength > *size) return -1;

  struct TBlockPiece {
    const TBlockRef& ref;
    const char* magic;
    const char* piece;
  };
  const TBlockPiece blocks[] = {{header->strg, "STRG", "2_CSAR_STRG.bin"},
                                {header->info, "INFO", "3_CSAR_INFO.bin"},
                                {header->file, "FILE", "4_CSAR_FILE.bin"}};
  for (const TBlockPiece& block : blocks) {
    char magic[4];
    if (!ReadAt(archive, *size, block.ref.offset, magic, sizeof(magic)) ||
        std::memcmp(magic, block.magic, 4) != 0 ||
        !ctr::InRange(block.ref.offset, block.ref.length, *size)) {
      return -1;
    }
  }

  if (const ctr::Status s = CopyRangeToFile(archive, *size, 0, header->headerLength, folder / "1_CSAR_Header.bin");
      !s) {
    return Failed(s, writeFailure);
  }
  for (const TBlockPiece& block : blocks) {
    if (const ctr::Status s = CopyRangeToFile(archive, *size, block.ref.offset, block.ref.length, folder / block.piece);
        !s) {
      return Failed(s, writeFailure);
    }
  }

  const fs::path subFolder = folder / "4_CSAR_FILE";
  std::error_code ec;
  if (fs::exists(fs::symlink_status(subFolder, ec)) && !DeleteFolder(subFolder)) return -1;
  if (const ctr::Status created = CreatePieceFolder(subFolder); !created) return Failed(created, writeFailure);
  if (SplitCsarFileBlock(archive, header->file.offset, header->file.length, subFolder, writeFailure) != 0) {
    DeleteFolder(subFolder);
    return -1;
  }
  return 0;
}

int SplitCsarFileBlock(std::istream& archive, std::uint64_t blockOffset, std::uint64_t blockLength,
                       const fs::path& subFolder, ctr::Status* writeFailure) {
  const auto size = StreamSize(archive);
  if (!size || !ctr::InRange(blockOffset, blockLength, *size)) return -1;
  std::uint64_t n = 0;
  std::uint64_t position = kFileBlockHeaderLength;
  while (position < blockLength) {
    if (!ctr::InRange(position, sizeof(TContainedFileHeader), blockLength)) {
      // Too short for a file header: only zero fill may end a block.
      std::array<char, sizeof(TContainedFileHeader)> tail{};
      const std::uint64_t rest = blockLength - position;
      if (!ReadAt(archive, *size, blockOffset + position, tail.data(), rest)) return -1;
      if (std::any_of(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(rest),
                      [](char c) { return c != 0; })) {
        return -1;
      }
      break;
    }
    const auto file = ReadStructAt<TContainedFileHeader>(archive, *size, blockOffset + position);
    if (!file) return -1;
    // A length of 0 is the fill after the last file (or a hole we cannot step over).
    if (file->length == 0) break;
    if (!ctr::InRange(position, file->length, blockLength)) return -1;
    const std::string name = PieceNumber(n) + "_FILE_" + MagicForName(file->magic) + ".bin";
    if (const ctr::Status s =
            CopyRangeToFile(archive, *size, blockOffset + position, file->length, subFolder / PathFromUtf8(name));
        !s) {
      return Failed(s, writeFailure);
    }
    ++n;
    position = ctr::AlignUp(position + file->length, kFileAlignment);
  }
  return 0;
}

int PackBcsar(const fs::path& folder, ctr::Status* writeFailure) {
  const fs::path target = JoinTarget(folder, ".bcsar");
  if (target.empty() || !FolderExists(folder)) return -1;
  return WriteReplacing(target, [&](std::ostream& out) { return BuildBcsar(out, folder); }, writeFailure);
}

int BuildBcsar(std::ostream& output, const fs::path& folder) {
  auto header = LoadPiece(folder / "1_CSAR_Header.bin");
  if (!header) return -1;
  auto fields = ReadStructAt<TCsarHeader>(*header, 0);
  if (!fields) return -1;
  const fs::path strgPiece = folder / "2_CSAR_STRG.bin";
  std::error_code ec;
  const std::uint64_t strgLength = fs::file_size(strgPiece, ec);
  if (ec) return -1;
  auto join = PrepareCsarJoin(folder / "3_CSAR_INFO.bin", folder / "4_CSAR_FILE");
  if (!join) return -1;

  // The blocks go back to back in this order; the block table says where they now are, so
  // the result is consistent even when the split archive had gaps between its blocks.
  const std::uint64_t strgOffset = header->size();
  const std::uint64_t infoOffset = strgOffset + strgLength;
  const std::uint64_t fileOffset = infoOffset + join->info.size();
  const std::uint64_t total = fileOffset + join->layout.length;
  if (total > kMaxField) return -1;
  fields->strg.offset = static_cast<std::uint32_t>(strgOffset);
  fields->strg.length = static_cast<std::uint32_t>(strgLength);
  fields->info.offset = static_cast<std::uint32_t>(infoOffset);
  fields->info.length = static_cast<std::uint32_t>(join->info.size());
  fields->file.offset = static_cast<std::uint32_t>(fileOffset);
  fields->file.length = static_cast<std::uint32_t>(join->layout.length);
  fields->archiveLength = static_cast<std::uint32_t>(total);
  PutStructAt(*header, 0, *fields);

  if (!WriteBytes(output, *header)) return -1;
  if (!CopyFileToStream(strgPiece, strgLength, output)) return -1;
  if (!WriteCsarInfoAndFile(output, *join)) return -1;
  return 0;
}

std::int64_t BuildCsarInfoAndFile(std::ostream& output, const fs::path& infoPiece,
                                  const fs::path& subFolder) {
  auto join = PrepareCsarJoin(infoPiece, subFolder);
  if (!join || !WriteCsarInfoAndFile(output, *join)) return -1;
  return static_cast<std::int64_t>(join->layout.length);
}

}  // namespace qpt
