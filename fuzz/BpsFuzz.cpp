// The BPS reader and writer. The input is a 16-bit little-endian length n, a flags byte, then
// n bytes of program, then the patch. Unless bit 0 of the flags is set, the patch's checksums
// of the program and of itself are made right first: otherwise almost no input would get past
// them to the actions. The writer's patch from the program to those bytes, taken as a program
// made of it, must give them back through the reader.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "ctr/Crc32.h"
#include "ctr/PatchFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t sourceSize = std::min<std::size_t>(size - 3, data[0] | data[1] << 8);
  const bool keepChecksums = (data[2] & 1) != 0;
  const std::span<const std::uint8_t> source(data + 3, sourceSize);
  std::vector<std::uint8_t> patch(data + 3 + sourceSize, data + size);
  auto back = ctr::ApplyBps(source, ctr::MakeBps(source, patch), patch.size());
  if (!back || *back != patch) std::abort();
  if (!keepChecksums && patch.size() >= 12) {
    const auto put = [&patch](std::size_t at, std::uint32_t crc) {
      for (int i = 0; i < 4; ++i) patch[at + i] = static_cast<std::uint8_t>(crc >> (8 * i));
    };
    put(patch.size() - 12, ctr::Crc32(source));
    put(patch.size() - 4, ctr::Crc32(std::span<const std::uint8_t>(patch).first(patch.size() - 4)));
  }
  (void)ctr::ApplyBps(source, patch, 1 << 20);
  return 0;
}
