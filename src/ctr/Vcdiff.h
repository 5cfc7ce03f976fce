// VCDIFF deltas, the format xdelta3 writes: moving where a delta reads its source.
#pragma once

#include <cstdint>
#include <filesystem>

#include "ctr/Io.h"

namespace ctr {

// Writes to out a copy of the VCDIFF delta at delta whose windows read their source shift
// bytes further on. Applied to a file that holds the delta's source at offset shift (a game
// image that holds the archive the delta was made for), the copy makes what the delta makes
// of that source, and the source need not be copied out of the file first.
//
// Only the windows' source positions change: the header, the encoded data and xdelta3's
// checksums of what each window makes are copied as they are. Refused, with nothing left at
// out, when the file is not a plain VCDIFF delta (compressed as a whole, a bit this format does
// not define, cut short), or when a window reads beyond sourceSize, the size of the source it
// was made for: in the larger file it would read other bytes where xdelta3 stops with an error.
Status ShiftVcdiffSource(const std::filesystem::path& delta, const std::filesystem::path& out, std::uint64_t shift,
                         std::uint64_t sourceSize);

}  // namespace ctr
