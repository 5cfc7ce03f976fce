// The "backward LZ" codec of a program image (.code) in an ExeFS. The stream is decoded from
// the end of the buffer towards its start, so the loader can decompress in place; the
// compressor keeps the stream safe for that.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ctr/Io.h"

namespace ctr {

// The loader's code buffer is never larger than this; a footer that claims more is garbage.
inline constexpr std::uint64_t kBlzMaxDecompressedSize = 0x2300000;

// Decodes a stored .code. Strict: the footer must be in range, the stream must never read or
// write outside the buffer, the writer must never overtake the reader (in-place safety), and
// the stream must end exactly on the end of the raw prefix. Any failure means "this is not a
// compressed .code" and carries a one-line reason.
Result<std::vector<std::uint8_t>> BlzDecompress(std::span<const std::uint8_t> stored);
// The same on a buffer that holds the stored .code and becomes the decompressed one, for
// large program images: besides it, only the compressed part is copied. Reserve the
// decompressed size beforehand (kBlzMaxDecompressedSize will do) so that growing it moves
// nothing. On failure the buffer's bytes are unspecified.
Status BlzDecompressInPlace(std::vector<std::uint8_t>& buffer);

// Encodes data into the stored form (raw prefix, stream, 0xFF padding, footer) that
// BlzDecompress accepts. Returns an empty vector when the data does not get smaller (or is too
// large for the footer's 24-bit field): the caller decides whether to store it raw.
std::vector<std::uint8_t> BlzCompress(std::span<const std::uint8_t> data);

}  // namespace ctr
