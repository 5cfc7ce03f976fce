// Minimal game images laid out byte by byte: just the header fields, RomFS tables and sound
// archive positions that identification and the track list read, nothing a container tool
// would accept. For whole images that the tools can take apart, use the image builder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace qpt::test {

struct RawImageOptions {
  std::string kind = ".cxi";          // ".cxi", ".3ds" or ".cia"
  std::uint64_t programId = 0x0004000000138F00ull;
  bool encrypted = false;             // second program ID differs
  std::int32_t entry = 104;           // where the sound archive's data offset sits in the file table
  // Stream names written into the INFO block, by offset from its start.
  std::map<std::int32_t, std::string> streamNames;
  std::uint64_t leadingPadding = 0;   // bytes before the RomFS (moves everything after it)
};

// The image as its header bytes and its RomFS part at tailOffset; the bytes between are
// zero (a sparse file on disk when the gap is large).
struct RawImage {
  std::string head;
  std::uint64_t tailOffset = 0;
  std::string tail;
  std::int64_t soundInfoPos = -1;     // where the INFO block was put
  std::string Bytes() const;          // the whole image in memory (small images only)
};

RawImage MakeRawImage(const RawImageOptions& options);
// Writes the image to path and returns where its INFO block lies.
std::int64_t WriteRawImage(const std::filesystem::path& path, const RawImageOptions& options);

}  // namespace qpt::test
