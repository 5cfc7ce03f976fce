// ExeFS: a 0x200-byte header of up to 8 named files with their SHA-256, then the files, each
// padded to 0x200. Reading, verifying, unpacking into a folder and building from one.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ctr/Io.h"
#include "ctr/Sha256.h"

namespace ctr {

inline constexpr std::uint64_t kExeFsHeaderSize = 0x200;
inline constexpr std::uint64_t kExeFsAlignment = 0x200;
inline constexpr int kExeFsMaxFiles = 8;

#pragma pack(push, 1)
// One file slot of the ExeFS header (ExeFS+0x10*i). Offset is relative to the end of the
// header; an unused slot is all zero.
struct ExeFsFileRecord {
  char name[8];
  std::uint32_t offset;
  std::uint32_t size;
};
static_assert(sizeof(ExeFsFileRecord) == 0x10);

// The ExeFS header at ExeFS+0. Hashes are stored in reverse slot order: slot i's hash is
// hashes[7 - i].
struct ExeFsHeaderRecord {
  ExeFsFileRecord files[8];
  std::uint8_t reserved[0x80];
  std::uint8_t hashes[8][32];
};
static_assert(sizeof(ExeFsHeaderRecord) == 0x200);
#pragma pack(pop)

// A parsed ExeFS header. Offsets and sizes have been checked against the ExeFS size given to
// the parser, so every entry can be read without further checks.
struct ExeFsHeader {
  struct Entry {
    int slot = 0;            // 0..7, position in the header
    std::string name;        // ".code", "banner", "icon", "logo", ...
    std::uint64_t offset = 0;  // from the start of the ExeFS (header included)
    std::uint32_t size = 0;
    Sha256Digest hash{};
  };
  std::array<std::uint8_t, kExeFsHeaderSize> raw{};
  std::vector<Entry> entries;  // used slots, in slot order

  const Entry* Find(std::string_view name) const;
};

// True for the shape that extractors accept as an ExeFS header: slot 0 at offset 0 and the
// reserved bytes 0x80..0xFF all zero.
bool LooksLikeExeFsHeader(std::span<const std::uint8_t> header);

// Parses a 0x200-byte header of an ExeFS that is exefsSize bytes long.
Result<ExeFsHeader> ParseExeFsHeader(std::span<const std::uint8_t> header, std::uint64_t exefsSize);
// Reads and parses the header of the ExeFS at [offset, offset + size) of file.
Result<ExeFsHeader> ReadExeFsHeader(InputFile& file, std::uint64_t offset, std::uint64_t size);
// Reads one named file (as stored, .code not decompressed) of the ExeFS at [offset, offset + size).
Result<std::vector<std::uint8_t>> ReadExeFsFile(InputFile& file, std::uint64_t offset, std::uint64_t size,
                                                std::string_view name);
// The ExeFS file that failed its check, for a caller that words it itself.
struct ExeFsFileFault {
  std::string name;         // empty when the header itself could not be read
  bool misaligned = false;  // else its hash does not match
};

// Checks the header and every file's SHA-256; the message names the file whose hash is wrong,
// and so does *fault when given.
Status VerifyExeFs(InputFile& file, std::uint64_t offset, std::uint64_t size, ExeFsFileFault* fault = nullptr);

// The name under which an ExeFS entry lives in an unpacked folder (code.bin, banner.bnr,
// icon.icn, logo.darc.lz, NAME.bin). Slot matters: only slot 0 is the program image.
std::string ExeFsFolderName(std::string_view entryName, int slot);
// True when the entry in this slot is the program image (.code).
bool IsExeFsCodeEntry(std::string_view entryName, int slot);

// Unpacks an ExeFS image: the 0x200-byte header to headerOut, each file into outFolder under
// its folder name. With decompressCode the program image is BLZ-decoded; if it is not a valid
// stream its raw bytes are written and an error is returned (the caller then unpacks without
// decompression).
Status ExtractExeFs(const std::filesystem::path& exefsImage, const std::filesystem::path& outFolder,
                    const std::filesystem::path& headerOut, bool decompressCode);

// Builds an ExeFS image from a folder, taking names and reserved bytes from the header file and
// recomputing offsets, sizes and hashes. A missing file drops its entry (later entries move up)
// and makes the result an error, but the image is still written. With compressCode the program
// image is BLZ-compressed; if it does not shrink it is stored as is and an error is returned.
Status BuildExeFs(const std::filesystem::path& folder, const std::filesystem::path& headerIn,
                  const std::filesystem::path& exefsImage, bool compressCode);

}  // namespace ctr
