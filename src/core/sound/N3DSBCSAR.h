// Split and join of the 3DS sound archive (BCSAR, magic "CSAR"; N3DSBCSAR.cpp) and of the wave
// archives (CWAR; N3DSCWAR.cpp) kept inside it. A split writes plain byte copies of the
// archive's parts into a folder of numbered pieces; a join reads such a folder, lays the
// contained files out again and rewrites the lengths and offsets that depend on that layout.
// Nothing is decoded.
//
// Functions that write take an optional writeFailure: when they give -1 because a piece, a
// folder or the joined archive could not be written (a full disk, no right to write), it
// receives that write's status, so that a caller can tell that from damaged input.
//
// Piece folder of a sound archive:
//   1_CSAR_Header.bin, 2_CSAR_STRG.bin, 3_CSAR_INFO.bin, 4_CSAR_FILE.bin (the FILE block whole,
//   written for reference, never read back), 4_CSAR_FILE/NNN_FILE_MAGIC.bin (one per contained
//   file, NNN counting from 000 in FILE block order).
// Piece folder of a wave archive:
//   1_CWAR_Header.bin, 2_CWAR_INFO.bin, 3_BCWAV/NNN.bcwav (one per wave, in entry order).
//
// Results: 0 on success, -1 on any failure (unreadable or damaged archive, unreadable piece,
// folder that cannot be written). Every offset and length read from an archive or piece is
// checked against the bytes that are really there, so damaged input gives -1, never a read
// past the end. Numbered pieces are joined in the numeric order of their numbers, so 1000 and
// more pieces join in the order the split wrote them.
//
// Memory: archives are read through streams and copied piece by piece; at most the INFO
// block and one copy buffer are held at a time, whatever the archive size.
//
// Thread: any, one call per folder at a time; no state beyond the files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>

#include "ctr/Io.h"

namespace qpt {

// The piece folder of an archive: its path with the final extension removed
// (sound/GS123.bcsar -> sound/GS123). Empty when the file name has no extension to remove
// (the folder would then be the archive itself).
std::filesystem::path ArchivePieceFolder(const std::filesystem::path& archive);

// ---------------------------------------------------------------- sound archive (BCSAR)

// Splits the archive file into folder (empty: ArchivePieceFolder(archive)). An existing
// folder is removed with all its content first. A damaged archive leaves no folder behind;
// an archive that cannot be opened leaves the fresh, empty folder.
int UnpackBcsar(const std::filesystem::path& archive, const std::filesystem::path& folder = {},
                ctr::Status* writeFailure = nullptr);

// The split proper, on an archive readable through archive (a file or a memory stream), into
// the existing folder. The magic at the start and at each block must match.
int SplitBcsar(std::istream& archive, const std::filesystem::path& folder, ctr::Status* writeFailure = nullptr);

// Cuts the FILE block lying at [blockOffset, blockOffset + blockLength) of archive into one
// piece per contained file in the existing subFolder. The cut starts at block offset 0x20;
// each contained file is as long as the 32-bit number at its offset 0x0C says and the next
// one starts at the next multiple of 32 counted from the block start. A length of 0 (the
// zero fill some writers leave after the last file) ends the cut; a file running past the
// block end is a failure.
int SplitCsarFileBlock(std::istream& archive, std::uint64_t blockOffset,
                       std::uint64_t blockLength, const std::filesystem::path& subFolder,
                       ctr::Status* writeFailure = nullptr);

// Joins the pieces in folder and writes folder + ".bcsar", replacing that file. The file is
// replaced only when the join succeeded.
int PackBcsar(const std::filesystem::path& folder, ctr::Status* writeFailure = nullptr);

// Writes the joined archive to output: header, STRG, INFO and the new FILE block back to back,
// with the block table, the FILE length and the archive length updated to that layout. On -1
// the output may hold a partial archive; PackBcsar discards it.
int BuildBcsar(std::ostream& output, const std::filesystem::path& folder);

// Appends the INFO piece, with the entries of its file table that describe contained files
// updated to the new layout, and then the FILE block rebuilt from the pieces in subFolder.
// Returns the length of the new FILE block, or -1.
std::int64_t BuildCsarInfoAndFile(std::ostream& output, const std::filesystem::path& infoPiece,
                                  const std::filesystem::path& subFolder);

// ---------------------------------------------------------------- wave archive (CWAR)

// Splits the wave archive file into folder (empty: ArchivePieceFolder(archive), so
// 001_FILE_CWAR.bin goes to 001_FILE_CWAR beside it). An existing folder is used as it is;
// its "3_BCWAV" sub-folder is replaced. A damaged archive is refused before any piece is
// written.
int UnpackCwar(const std::filesystem::path& archive, const std::filesystem::path& folder = {},
               ctr::Status* writeFailure = nullptr);

// The split proper, on a wave archive readable through archive, into the existing folder.
// The magic is not looked at; the header and INFO entries must describe bytes that exist.
int SplitCwar(std::istream& archive, const std::filesystem::path& folder, ctr::Status* writeFailure = nullptr);

// Joins the pieces in folder and writes folder + ".bin", replacing that file only when the
// join succeeded. The wave count comes from the INFO piece: wave files beyond it are not
// used, fewer wave files than it names is a failure.
int PackCwar(const std::filesystem::path& folder, ctr::Status* writeFailure = nullptr);

// Writes the joined wave archive to output: header, INFO and the new FILE block back to back.
int BuildCwar(std::ostream& output, const std::filesystem::path& folder);

}  // namespace qpt
