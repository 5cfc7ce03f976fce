// The IPS reader. The input is a 16-bit little-endian length n, then n bytes of program, then
// the patch. The bound is small so that runs and far offsets meet it often.
#include <algorithm>

#include "FuzzSupport.h"
#include "ctr/PatchFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t sourceSize = std::min<std::size_t>(size - 2, data[0] | data[1] << 8);
  const std::span<const std::uint8_t> source(data + 2, sourceSize);
  const std::span<const std::uint8_t> patch(data + 2 + sourceSize, size - 2 - sourceSize);
  (void)ctr::ApplyIps(source, patch, 1 << 20);
  return 0;
}
