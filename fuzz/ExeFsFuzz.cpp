// ExeFS images and the .code decoder: 3dstool -xutf exefs (and -xtf when decompressing fails,
// as the install job retries), then the rebuild from what it wrote; and the decoder alone. The
// rebuild stores .code as it is: the compressor only ever sees what the decoder made, and
// running it on every input would slow the harness a hundredfold.
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
  (void)ctr::BuildExeFs(out / "files", out / "header.bin", out / "rebuilt.bin", false);
  return 0;
}
