// CRC-32 as zip and most patch formats use it (reflected, polynomial 0xEDB88320, starting
// from and finished with 0xFFFFFFFF).
#pragma once

#include <cstdint>
#include <span>

namespace ctr {

// The CRC-32 of bytes. To check a stream in pieces, pass the result for the bytes so far as
// previous: Crc32(b, Crc32(a)) == Crc32(a followed by b).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t previous = 0);

}  // namespace ctr
