// Card images: 3dstool -xtf 3ds, then -ctf 3ds from what it wrote.
#include "FuzzSupport.h"
#include "ctr/Ncsd.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto out = qpt::fuzz::FreshFolder("ncsd");
  ctr::MemoryReader image({data, size}, "fuzz.3ds");
  if (ctr::ExtractNcsd(image, out / "header.bin", out / "partition0.bin")) {
    (void)ctr::BuildNcsd(out / "header.bin", out / "partition0.bin", out / "rebuilt.3ds", false);
  }
  return 0;
}
