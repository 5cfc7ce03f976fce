#include "core/sound/N3DSBCSAR.h"

#include "core/common/Common.h"
#include "ctr/Io.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace qpt {

namespace fs = std::filesystem;

namespace {

// Contained files and waves start at multiples of this, counted from the FILE block start.
constexpr std::uint64_t kFileAlignment = 32;
// The FILE block's own header: magic, length and zero bytes up to here.
constexpr std::uint64_t kFileBlockHeaderLength = 0x20;
// Offsets of contained files and waves are counted from this FILE block offset.
constexpr std::uint64_t kFileDataBase = 8;
// Type (with its 16 fill bits) of a file table entry whose data lies in the FILE block.
constexpr std::uint32_t kCsarInternalFile = 0x220C;
// An offset or reference of -1: nothing there.
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxField = 0xFFFFFFFFu;
constexpr std::size_t kCopyBlock = std::size_t{1} << 20;

#pragma pack(push, 1)
// One row of the block table in a CSAR or CWAR header.
struct TBlockRef {
  std::uint16_t type;
  std::uint16_t fill;
  std::uint32_t offset;
  std::uint32_t length;
};
static_assert(sizeof(TBlockRef) == 12);

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

// Header of a wave archive at its offset 0, up to the end of its INFO/FILE block table.
struct TCwarHeader {
  char magic[4];
  std::uint16_t byteOrder;
  std::uint16_t headerLength;
  std::uint32_t version;
  std::uint32_t archiveLength;
  std::uint16_t blockCount;
  std::uint16_t reserved;
  TBlockRef info;
  TBlockRef file;
};
static_assert(sizeof(TCwarHeader) == 0x2C);

// The first bytes of every file contained in a FILE block (they share the common header).
struct TContainedFileHeader {
  char magic[4];
  std::uint16_t byteOrder;
  std::uint16_t headerLength;
  std::uint32_t version;
  std::uint32_t length;
};
static_assert(sizeof(TContainedFileHeader) == 0x10);

// Start of every block: magic and the block's length.
struct TBlockHead {
  char magic[4];
  std::uint32_t length;
};
static_assert(sizeof(TBlockHead) == 8);

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

// One wave entry of a wave archive's INFO block, from INFO + 0x0C.
struct TCwarWaveEntry {
  std::uint32_t typeAndFill;
  std::uint32_t offset;  // from FILE + 8
  std::uint32_t length;
};
static_assert(sizeof(TCwarWaveEntry) == 12);
#pragma pack(pop)

constexpr std::uint64_t kCsarFileTableField = 0x3C;
constexpr std::uint64_t kCwarWaveCountField = 0x08;
constexpr std::uint64_t kCwarFirstWaveEntry = 0x0C;

using Bytes = std::vector<std::uint8_t>;

bool HasMagic(const char (&magic)[4], const char* expected) {
  return std::memcmp(magic, expected, 4) == 0;
}

// ---------------------------------------------------------------- reading through a stream

std::optional<std::uint64_t> StreamSize(std::istream& in) {
  in.clear();
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (!in || end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

bool ReadAt(std::istream& in, std::uint64_t streamSize, std::uint64_t offset, void* data,
            std::uint64_t length) {
  if (!ctr::InRange(offset, length, streamSize)) return false;
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  if (!in) return false;
  in.read(static_cast<char*>(data), static_cast<std::streamsize>(length));
  return static_cast<std::uint64_t>(in.gcount()) == length;
}

template <typename T>
std::optional<T> ReadStructAt(std::istream& in, std::uint64_t streamSize, std::uint64_t offset) {
  T value;
  if (!ReadAt(in, streamSize, offset, &value, sizeof(T))) return std::nullopt;
  return value;
}

template <typename T>
std::optional<T> ReadStructAt(const Bytes& bytes, std::uint64_t offset) {
  return ctr::ReadLE<T>(std::span<const std::uint8_t>(bytes), offset);
}

template <typename T>
bool PutStructAt(Bytes& bytes, std::uint64_t offset, const T& value) {
  if (!ctr::InRange(offset, sizeof(T), bytes.size())) return false;
  std::memcpy(bytes.data() + offset, &value, sizeof(T));
  return true;
}

// ---------------------------------------------------------------- writing pieces

// Every failure to open, write or close a piece is a write failure: the caller tells a full
// disk from damaged input by the count ctr keeps.
bool WriteFailed() {
  ctr::NoteWriteFailure();
  return false;
}

bool CloseChecked(std::ofstream& out) {
  out.flush();
  const bool ok = static_cast<bool>(out);
  out.close();
  return (ok && !out.fail()) || WriteFailed();
}

// Copies [offset, offset + length) of in to a new file at target, in blocks.
bool CopyRangeToFile(std::istream& in, std::uint64_t streamSize, std::uint64_t offset,
                     std::uint64_t length, const fs::path& target) {
  if (!ctr::InRange(offset, length, streamSize)) return false;
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return WriteFailed();
  std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBlock)));
  std::uint64_t done = 0;
  while (done < length) {
    const std::uint64_t n = std::min<std::uint64_t>(length - done, block.size());
    if (!ReadAt(in, streamSize, offset + done, block.data(), n)) return false;
    out.write(block.data(), static_cast<std::streamsize>(n));
    if (!out) return WriteFailed();
    done += n;
  }
  return CloseChecked(out);
}

bool WriteBytesToFile(const Bytes& bytes, const fs::path& target) {
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return WriteFailed();
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return CloseChecked(out);
}

bool WriteBytes(std::ostream& out, const Bytes& bytes) {
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool WriteZeros(std::ostream& out, std::uint64_t count) {
  static const std::array<char, 256> kZeros{};
  while (count > 0) {
    const std::uint64_t n = std::min<std::uint64_t>(count, kZeros.size());
    out.write(kZeros.data(), static_cast<std::streamsize>(n));
    count -= n;
  }
  return static_cast<bool>(out);
}

// Appends a whole piece file, which must still be exactly as long as when it was listed.
bool CopyFileToStream(const fs::path& source, std::uint64_t expectedLength, std::ostream& out) {
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  std::vector<char> block(
      static_cast<std::size_t>(std::min<std::uint64_t>(expectedLength, kCopyBlock)));
  std::uint64_t done = 0;
  while (done < expectedLength) {
    const std::uint64_t n = std::min<std::uint64_t>(expectedLength - done, block.size());
    in.read(block.data(), static_cast<std::streamsize>(n));
    if (static_cast<std::uint64_t>(in.gcount()) != n) return false;
    out.write(block.data(), static_cast<std::streamsize>(n));
    if (!out) return false;
    done += n;
  }
  return in.peek() == std::char_traits<char>::eof();
}

std::optional<Bytes> LoadPiece(const fs::path& path) {
  auto bytes = ctr::ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  return std::move(bytes.value());
}

// Builds the output through build into a temporary file beside target and puts it in
// target's place only when build succeeded, so a failed join never damages the archive. The
// temporary name is the container tools' own, which no unpacked file can have.
int WriteReplacing(const fs::path& target, const std::function<int(std::ostream&)>& build) {
  fs::path temp = target;
  temp += std::string(ctr::kTemporaryOutputSuffix);
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  if (!out) {
    WriteFailed();
    return -1;
  }
  const int result = build(out);
  const bool written = CloseChecked(out);
  if (result != 0 || !written) {
    RemoveFile(temp);
    return -1;
  }
  std::error_code ec;
  fs::rename(temp, target, ec);
  if (ec) {
    WriteFailed();
    RemoveFile(temp);
    return -1;
  }
  return 0;
}

// "dir/" and "dir" name the same piece folder; the archive is its sibling with an extension.
fs::path JoinTarget(fs::path folder, const char* extension) {
  if (!folder.has_filename()) folder = folder.parent_path();
  if (folder.empty()) return {};
  folder += extension;
  return folder;
}

// ---------------------------------------------------------------- numbered pieces

struct TPiece {
  fs::path path;
  std::uint64_t length = 0;
  std::uint64_t number = 0;
  bool numbered = false;
  std::string name;
};

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Lists the plain files with the given extension in folder, in the numeric order of the
// number each name starts with (000, 001, ..., 999, 1000, ...), so the order does not depend
// on how the platform sorts names. Names without a number follow, by name. Hidden files are
// not pieces. Nothing when the folder cannot be listed.
std::optional<std::vector<TPiece>> ListPieces(const fs::path& folder, const std::string& extension) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  std::vector<TPiece> pieces;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    const fs::directory_entry& entry = *it;
    TPiece piece;
    piece.path = entry.path();
    piece.name = PathToUtf8(piece.path.filename());
    if (piece.name.empty() || piece.name[0] == '.') continue;
    if (!EqualsIgnoreCase(PathToUtf8(piece.path.extension()), extension)) continue;
    if (!entry.is_regular_file(ec)) continue;
    piece.length = entry.file_size(ec);
    if (ec) return std::nullopt;
    std::size_t digits = 0;
    while (digits < piece.name.size() && piece.name[digits] >= '0' && piece.name[digits] <= '9' &&
           digits < 18) {
      piece.number = piece.number * 10 + static_cast<std::uint64_t>(piece.name[digits] - '0');
      ++digits;
    }
    piece.numbered = digits > 0;
    pieces.push_back(std::move(piece));
  }
  if (ec) return std::nullopt;
  std::sort(pieces.begin(), pieces.end(), [](const TPiece& a, const TPiece& b) {
    if (a.numbered != b.numbered) return a.numbered;
    if (a.number != b.number) return a.number < b.number;
    return a.name < b.name;
  });
  return pieces;
}

std::string PieceNumber(std::uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3llu", static_cast<unsigned long long>(n));
  return text;
}

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

// ---------------------------------------------------------------- FILE block layout

// Where the join puts each piece: the first at block offset 0x20, each later one at the next
// multiple of 32 after the end of the one before, no fill after the last.
struct TFileBlockLayout {
  std::vector<TPiece> pieces;
  std::vector<std::uint32_t> offsets;  // from FILE + 8
  std::uint64_t length = kFileBlockHeaderLength;
};

std::optional<TFileBlockLayout> LayOutFileBlock(std::vector<TPiece> pieces) {
  TFileBlockLayout layout;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) layout.length = ctr::AlignUp(layout.length, kFileAlignment);
    if (pieces[i].length > kMaxField) return std::nullopt;
    layout.offsets.push_back(static_cast<std::uint32_t>(layout.length - kFileDataBase));
    layout.length += pieces[i].length;
    if (layout.length > kMaxField) return std::nullopt;
  }
  layout.pieces = std::move(pieces);
  return layout;
}

bool WriteFileBlock(std::ostream& out, const TFileBlockLayout& layout) {
  TBlockHead head{{'F', 'I', 'L', 'E'}, static_cast<std::uint32_t>(layout.length)};
  out.write(reinterpret_cast<const char*>(&head), sizeof(head));
  if (!WriteZeros(out, kFileBlockHeaderLength - sizeof(head))) return false;
  std::uint64_t written = kFileBlockHeaderLength;
  for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
    const std::uint64_t start = layout.offsets[i] + kFileDataBase;
    if (!WriteZeros(out, start - written)) return false;
    if (!CopyFileToStream(layout.pieces[i].path, layout.pieces[i].length, out)) return false;
    written = start + layout.pieces[i].length;
  }
  return written == layout.length;
}

// ---------------------------------------------------------------- sound archive join

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

// ---------------------------------------------------------------- wave archive

struct TCwarSplit {
  TCwarHeader header;
  Bytes info;
  std::vector<TCwarWaveEntry> waves;
};

// Reads and checks everything the wave split needs before a single piece is written.
std::optional<TCwarSplit> ReadCwarLayout(std::istream& archive, std::uint64_t size) {
  TCwarSplit split;
  const auto header = ReadStructAt<TCwarHeader>(archive, size, 0);
  if (!header) return std::nullopt;
  split.header = *header;
  if (header->headerLength < sizeof(TCwarHeader) || header->headerLength > size) return std::nullopt;
  if (!ctr::InRange(header->info.offset, header->info.length, size)) return std::nullopt;
  split.info.resize(header->info.length);
  if (!ReadAt(archive, size, header->info.offset, split.info.data(), split.info.size())) {
    return std::nullopt;
  }
  const auto count = ReadStructAt<std::uint32_t>(split.info, kCwarWaveCountField);
  if (!count) return std::nullopt;
  if (!ctr::InRange(kCwarFirstWaveEntry, std::uint64_t{*count} * sizeof(TCwarWaveEntry),
                    split.info.size())) {
    return std::nullopt;
  }
  const std::uint64_t data = std::uint64_t{header->file.offset} + kFileDataBase;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto wave = ReadStructAt<TCwarWaveEntry>(split.info, kCwarFirstWaveEntry + i * sizeof(TCwarWaveEntry));
    if (!wave || !ctr::InRange(data + wave->offset, wave->length, size)) return std::nullopt;
    split.waves.push_back(*wave);
  }
  return split;
}

}  // namespace

// ================================================================ piece folder

fs::path ArchivePieceFolder(const fs::path& archive) {
  const fs::path::string_type name = archive.filename().native();
  if (name.empty() || name == fs::path(".").native() || name == fs::path("..").native()) return {};
  const auto dot = name.rfind(static_cast<fs::path::value_type>('.'));
  if (dot == fs::path::string_type::npos || dot == 0) return {};
  return archive.parent_path() / fs::path(name.substr(0, dot));
}

// ================================================================ sound archive

int UnpackBcsar(const fs::path& archive, const fs::path& folder) {
  const fs::path target = folder.empty() ? ArchivePieceFolder(archive) : folder;
  if (target.empty()) return -1;
  std::error_code ec;
  if (fs::equivalent(archive, target, ec)) return -1;  // never delete the archive itself
  if (fs::exists(fs::symlink_status(target, ec)) && !DeleteFolder(target)) return -1;
  if (!CreateFolder(target)) {
    WriteFailed();
    return -1;
  }
  std::ifstream in(archive, std::ios::binary);
  if (!in) return -1;
  if (SplitBcsar(in, target) != 0) {
    in.close();
    DeleteFolder(target);
    return -1;
  }
  return 0;
}

int SplitBcsar(std::istream& archive, const fs::path& folder) {
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

  if (!CopyRangeToFile(archive, *size, 0, header->headerLength, folder / "1_CSAR_Header.bin")) {
    return -1;
  }
  for (const TBlockPiece& block : blocks) {
    if (!CopyRangeToFile(archive, *size, block.ref.offset, block.ref.length, folder / block.piece)) {
      return -1;
    }
  }

  const fs::path subFolder = folder / "4_CSAR_FILE";
  std::error_code ec;
  if (fs::exists(fs::symlink_status(subFolder, ec)) && !DeleteFolder(subFolder)) return -1;
  if (!CreateFolder(subFolder)) {
    WriteFailed();
    return -1;
  }
  if (SplitCsarFileBlock(archive, header->file.offset, header->file.length, subFolder) != 0) {
    DeleteFolder(subFolder);
    return -1;
  }
  return 0;
}

int SplitCsarFileBlock(std::istream& archive, std::uint64_t blockOffset, std::uint64_t blockLength,
                       const fs::path& subFolder) {
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
    if (!CopyRangeToFile(archive, *size, blockOffset + position, file->length,
                         subFolder / PathFromUtf8(name))) {
      return -1;
    }
    ++n;
    position = ctr::AlignUp(position + file->length, kFileAlignment);
  }
  return 0;
}

int PackBcsar(const fs::path& folder) {
  const fs::path target = JoinTarget(folder, ".bcsar");
  if (target.empty() || !FolderExists(folder)) return -1;
  return WriteReplacing(target, [&](std::ostream& out) { return BuildBcsar(out, folder); });
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

// ================================================================ wave archive

int UnpackCwar(const fs::path& archive, const fs::path& folder) {
  const fs::path target = folder.empty() ? ArchivePieceFolder(archive) : folder;
  if (target.empty()) return -1;
  if (!FolderExists(target) && !CreateFolder(target)) {
    WriteFailed();
    return -1;
  }
  std::ifstream in(archive, std::ios::binary);
  if (!in) return -1;
  return SplitCwar(in, target);
}

int SplitCwar(std::istream& archive, const fs::path& folder) {
  const auto size = StreamSize(archive);
  if (!size) return -1;
  const auto split = ReadCwarLayout(archive, *size);
  if (!split) return -1;

  if (!CopyRangeToFile(archive, *size, 0, split->header.headerLength, folder / "1_CWAR_Header.bin")) {
    return -1;
  }
  if (!WriteBytesToFile(split->info, folder / "2_CWAR_INFO.bin")) return -1;
  const fs::path waveFolder = folder / "3_BCWAV";
  std::error_code ec;
  if (fs::exists(fs::symlink_status(waveFolder, ec)) && !DeleteFolder(waveFolder)) return -1;
  if (!CreateFolder(waveFolder)) {
    WriteFailed();
    return -1;
  }
  const std::uint64_t data = std::uint64_t{split->header.file.offset} + kFileDataBase;
  for (std::size_t i = 0; i < split->waves.size(); ++i) {
    const TCwarWaveEntry& wave = split->waves[i];
    if (!CopyRangeToFile(archive, *size, data + wave.offset, wave.length,
                         waveFolder / PathFromUtf8(PieceNumber(i) + ".bcwav"))) {
      return -1;
    }
  }
  return 0;
}

int PackCwar(const fs::path& folder) {
  const fs::path target = JoinTarget(folder, ".bin");
  if (target.empty() || !FolderExists(folder)) return -1;
  return WriteReplacing(target, [&](std::ostream& out) { return BuildCwar(out, folder); });
}

int BuildCwar(std::ostream& output, const fs::path& folder) {
  auto header = LoadPiece(folder / "1_CWAR_Header.bin");
  auto info = LoadPiece(folder / "2_CWAR_INFO.bin");
  if (!header || !info) return -1;
  auto fields = ReadStructAt<TCwarHeader>(*header, 0);
  const auto head = ReadStructAt<TBlockHead>(*info, 0);
  const auto count = ReadStructAt<std::uint32_t>(*info, kCwarWaveCountField);
  if (!fields || !head || !HasMagic(head->magic, "INFO") || !count) return -1;
  if (!ctr::InRange(kCwarFirstWaveEntry, std::uint64_t{*count} * sizeof(TCwarWaveEntry), info->size())) {
    return -1;
  }

  auto waves = ListPieces(folder / "3_BCWAV", ".bcwav");
  // Every entry needs its wave; a short folder would leave entries pointing at nothing.
  if (!waves || waves->size() < *count) return -1;
  waves->resize(*count);
  auto layout = LayOutFileBlock(std::move(*waves));
  if (!layout) return -1;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const std::uint64_t at = kCwarFirstWaveEntry + i * sizeof(TCwarWaveEntry);
    auto entry = ReadStructAt<TCwarWaveEntry>(*info, at);
    if (!entry) return -1;
    entry->offset = layout->offsets[i];
    entry->length = static_cast<std::uint32_t>(layout->pieces[i].length);
    PutStructAt(*info, at, *entry);
  }

  const std::uint64_t infoOffset = header->size();
  const std::uint64_t fileOffset = infoOffset + info->size();
  const std::uint64_t total = fileOffset + layout->length;
  if (total > kMaxField) return -1;
  fields->info.offset = static_cast<std::uint32_t>(infoOffset);
  fields->info.length = static_cast<std::uint32_t>(info->size());
  fields->file.offset = static_cast<std::uint32_t>(fileOffset);
  fields->file.length = static_cast<std::uint32_t>(layout->length);
  fields->archiveLength = static_cast<std::uint32_t>(total);
  PutStructAt(*header, 0, *fields);

  if (!WriteBytes(output, *header) || !WriteBytes(output, *info)) return -1;
  return WriteFileBlock(output, *layout) ? 0 : -1;
}

}  // namespace qpt
