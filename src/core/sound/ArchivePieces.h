// What the split and join of sound archives (N3DSBCSAR.cpp) and of wave archives (N3DSCWAR.cpp)
// share: bounds-checked reads through a stream, piece files written whole or not at all,
// numbered pieces listed in the numeric order of their numbers, and the layout of a FILE block
// rebuilt from pieces. Not for use outside the two.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ctr/Io.h"

namespace qpt::pieces {

// Contained files and waves start at multiples of this, counted from the FILE block start.
inline constexpr std::uint64_t kFileAlignment = 32;
// The FILE block's own header: magic, length and zero bytes up to here.
inline constexpr std::uint64_t kFileBlockHeaderLength = 0x20;
// Offsets of contained files and waves are counted from this FILE block offset.
inline constexpr std::uint64_t kFileDataBase = 8;
// Offsets and lengths in both archives are 32-bit fields.
inline constexpr std::uint64_t kMaxField = 0xFFFFFFFFu;

#pragma pack(push, 1)
// One row of the block table in a CSAR or CWAR header.
struct TBlockRef {
  std::uint16_t type;
  std::uint16_t fill;
  std::uint32_t offset;
  std::uint32_t length;
};
static_assert(sizeof(TBlockRef) == 12);

// Start of every block: magic and the block's length.
struct TBlockHead {
  char magic[4];
  std::uint32_t length;
};
static_assert(sizeof(TBlockHead) == 8);
#pragma pack(pop)

using Bytes = std::vector<std::uint8_t>;

inline bool HasMagic(const char (&magic)[4], const char* expected) { return std::memcmp(magic, expected, 4) == 0; }

// ---------------------------------------------------------------- reading through a stream

// The stream's length; nothing when it cannot be told.
std::optional<std::uint64_t> StreamSize(std::istream& in);

// Reads [offset, offset + length) of a stream of streamSize bytes; false when the range is not
// inside it or the read comes up short.
bool ReadAt(std::istream& in, std::uint64_t streamSize, std::uint64_t offset, void* data, std::uint64_t length);

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

// Every failure to create, write or close a piece or folder is a write failure, and its status
// says so (with the system's reason), so that the caller can tell a full disk from damaged
// input. Failed hands such a status on through writeFailure, when given, and returns -1.
int Failed(const ctr::Status& status, ctr::Status* writeFailure);
// Creates one folder level; a failure (an existing folder too) is a write failure.
ctr::Status CreatePieceFolder(const std::filesystem::path& folder);

// Copies [offset, offset + length) of in to a new file at target, in blocks. A range that is
// not inside in, or a read that comes up short, is a plain error.
ctr::Status CopyRangeToFile(std::istream& in, std::uint64_t streamSize, std::uint64_t offset, std::uint64_t length,
                            const std::filesystem::path& target);
ctr::Status WriteBytesToFile(const Bytes& bytes, const std::filesystem::path& target);
bool WriteBytes(std::ostream& out, const Bytes& bytes);
// Appends a whole piece file, which must still be exactly as long as when it was listed.
bool CopyFileToStream(const std::filesystem::path& source, std::uint64_t expectedLength, std::ostream& out);
std::optional<Bytes> LoadPiece(const std::filesystem::path& path);

// Builds the output through build into a temporary file beside target and puts it in
// target's place only when build succeeded, so a failed join never damages the archive. The
// temporary name is the container tools' own, which no unpacked file can have.
int WriteReplacing(const std::filesystem::path& target, const std::function<int(std::ostream&)>& build,
                   ctr::Status* writeFailure);

// "dir/" and "dir" name the same piece folder; the archive is its sibling with an extension.
std::filesystem::path JoinTarget(std::filesystem::path folder, const char* extension);

// ---------------------------------------------------------------- numbered pieces

struct TPiece {
  std::filesystem::path path;
  std::uint64_t length = 0;
  std::uint64_t number = 0;
  bool numbered = false;
  std::string name;
};

// Lists the plain files with the given extension in folder, in the numeric order of the
// number each name starts with (000, 001, ..., 999, 1000, ...), so the order does not depend
// on how the platform sorts names. Names without a number follow, by name. Hidden files are
// not pieces. Nothing when the folder cannot be listed.
std::optional<std::vector<TPiece>> ListPieces(const std::filesystem::path& folder, const std::string& extension);

// A piece's number as the split writes it: at least three digits ("007", "1000").
std::string PieceNumber(std::uint64_t n);

// ---------------------------------------------------------------- FILE block layout

// Where the join puts each piece: the first at block offset 0x20, each later one at the next
// multiple of 32 after the end of the one before, no fill after the last.
struct TFileBlockLayout {
  std::vector<TPiece> pieces;
  std::vector<std::uint32_t> offsets;  // from FILE + 8
  std::uint64_t length = kFileBlockHeaderLength;
};

// Nothing when a piece or the whole block would not fit the 32-bit fields.
std::optional<TFileBlockLayout> LayOutFileBlock(std::vector<TPiece> pieces);
bool WriteFileBlock(std::ostream& out, const TFileBlockLayout& layout);

}  // namespace qpt::pieces
