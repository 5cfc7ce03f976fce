// RomFS images: 3dstool -xtf romfs, then -ctf romfs from what it wrote; the hash check and
// the superblock a CXI build reads.
#include "FuzzSupport.h"
#include "ctr/RomFs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto image = qpt::fuzz::WriteInput(data, size, "romfs.bin");
  ctr::InputFile file;
  if (!file.Open(image)) return 0;
  (void)ctr::VerifyRomFs(file, 0, file.size());
  (void)ctr::ReadRomFsSuperblock(file, 0, file.size(), 0x200);
  const auto out = qpt::fuzz::FreshFolder("romfs");
  if (ctr::ExtractRomFs(image, out / "tree")) (void)ctr::BuildRomFs(out / "tree", out / "rebuilt.bin");
  return 0;
}
