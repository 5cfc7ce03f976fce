// The game data archive of "AAT" and "AA4": pack.dat holds the entries back to back with no
// header of its own; pack.inc holds one 20-byte record per entry and, possibly, a few trailing
// bytes that belong to no record. The install step TInstall::UpdatePackDat unpacks the archive
// into numbered work files ("00017.bin"), lays the patch's pack_dat folder over them and packs
// them back; the pieces below do that work without a job, so they can be tested on their own.
// Nothing here logs a message text: the step turns results into log lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "ctr/Io.h"

namespace qpt {

// One record of pack.inc, at 20 * entry index. Only Offset, HeaderValue and Size are ours to
// rewrite; the game gives the two opaque fields a meaning we do not know, so they pass through
// byte for byte.
#pragma pack(push, 1)
struct TPackIndexEntry {
  std::int32_t Offset;        // position of the entry's data in pack.dat
  std::uint32_t OpaqueA;
  std::uint32_t HeaderValue;  // bytes 1 to 3 of the entry's data, little-endian; top byte 0
  std::int32_t Size;          // length of the entry's data
  std::uint32_t OpaqueB;
};
#pragma pack(pop)
static_assert(sizeof(TPackIndexEntry) == 20);

inline constexpr std::size_t kPackIndexEntrySize = sizeof(TPackIndexEntry);
// Every this many entries a pass over the archive rewrites its progress line.
inline constexpr std::int64_t kPackProgressStep = 50;

// The extension of an entry's work file, from the signature at bytes 5 to 8 of its data:
// ".bch", ".file", ".ans", or ".bin" for anything else (including data of fewer than 9 bytes).
std::string GuessPackEntryExtension(std::span<const std::uint8_t> data);

// Bytes 1 to 3 of an entry's data as a 24-bit little-endian number; missing bytes count as 0.
std::uint32_t PackHeaderValue(std::span<const std::uint8_t> data);

// Whole records in an index of the given length; trailing bytes make no record.
std::size_t PackEntryCount(std::uint64_t indexSize);

// The records of an index, in order. Throws std::bad_alloc when the table cannot be set up.
std::vector<TPackIndexEntry> ReadPackIndex(std::span<const std::uint8_t> index);

// Stores record i into an index; false when the record does not lie inside it.
bool WritePackIndexEntry(std::span<std::uint8_t> index, std::size_t i, const TPackIndexEntry& entry);

// "%.5d" of i followed by the extension: PackEntryFileName(17, ".bin") is "00017.bin".
std::string PackEntryFileName(std::int64_t i, const std::string& extension);

// How a pass over the entries shows its progress in the log: addLine starts the line
// "0/<last>", replaceLast rewrites it. <last> is the last entry index, -1 for no entries.
struct TPackProgress {
  std::function<void(const std::string&)> addLine;
  std::function<void(const std::string&)> replaceLast;
};

// Fails unless every record with data lies inside pack.dat (of packDatSize bytes) and no two
// of them share a byte. Records of size 0 read nothing and may say anything about where.
ctr::Status CheckPackRecords(std::span<const TPackIndexEntry> table, std::uint64_t packDatSize);

// Writes entry i of the archive, as table[i] describes it, to folder/PackEntryFileName(i, ext),
// replacing files of that name. Holds one entry in memory at a time. Writes nothing when
// CheckPackRecords refuses the table; on a later failure the files written so far stay. The
// archive is only read.
ctr::Status UnpackPackEntries(ctr::InputFile& packDat, std::span<const TPackIndexEntry> table,
                              const std::filesystem::path& folder, const TPackProgress& progress);

// The entry files of a work folder in entry order: plain files that are neither hidden nor
// system files, sorted by name (byte order of their UTF-8 names). Sub-folders are skipped.
ctr::Result<std::vector<std::filesystem::path>> ListPackEntryFiles(const std::filesystem::path& folder);

// Packs the listed files of folder, the i-th file becoming entry i, into a new packDat laid
// back to back, and writes packInc as index with Offset, HeaderValue and Size of every record
// recomputed (everything else, trailing bytes included, kept). Files beyond the record count
// are not packed. Fails without touching either archive file when the folder holds fewer
// files than records, a file cannot be read, an entry would not fit the index's 32-bit
// fields, or the new files cannot be written: both are built beside their targets and
// replace them only at the end.
ctr::Status RepackPackEntries(const std::filesystem::path& folder, const std::filesystem::path& packDat,
                              const std::filesystem::path& packInc, std::span<const std::uint8_t> index,
                              const TPackProgress& progress);

}  // namespace qpt
