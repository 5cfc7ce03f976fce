// NCCH partitions: 3dstool -xvtf cxi and -xtf cxi --exefs / --romfs (ctrtool -p alike), then
// -cvtf cxi from what they wrote.
#include <filesystem>

#include "FuzzSupport.h"
#include "ctr/Ncch.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  const fs::path out = qpt::fuzz::FreshFolder("ncch");
  ctr::MemoryReader ncch({data, size}, "fuzz.cxi");
  if (!ctr::ExtractNcchHeaders(ncch, {out / "header.bin", out / "exheader.bin", out / "logo.bin"})) return 0;
  if (!ctr::ExtractNcchSection(ncch, ctr::NcchSection::ExeFs, out / "exefs.bin")) return 0;
  if (!ctr::ExtractNcchSection(ncch, ctr::NcchSection::RomFs, out / "romfs.bin")) return 0;
  const auto optional = [&](const char* name) { return fs::exists(out / name) ? out / name : fs::path(); };
  (void)ctr::BuildCxi({out / "header.bin", out / "exheader.bin", out / "exefs.bin", optional("romfs.bin"),
                       optional("logo.bin")},
                      out / "rebuilt.cxi");
  return 0;
}
