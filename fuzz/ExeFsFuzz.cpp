// ExeFS images and the .code codec: 3dstool -xutf exefs (and -xtf when decompressing fails,
// as the install job retries), then -cztf exefs from what it wrote; and the decoder alone.
#include "FuzzSupport.h"
#include "ctr/Blz.h"
#include "ctr/ExeFs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)ctr::BlzDecompress({data, size});
  const auto image = qpt::fuzz::WriteInput(data, size, "exefs.bin");
  const auto out = qpt::fuzz::FreshFolder("exefs");
  if (!ctr::ExtractExeFs(image, out / "files", out / "header.bin", true) &&
      !ctr::ExtractExeFs(image, out / "files", out / "header.bin", false)) {
    return 0;
  }
  (void)ctr::BuildExeFs(out / "files", out / "header.bin", out / "rebuilt.bin", true);
  return 0;
}
