// The pack archive update: pack.inc read, its records checked, pack.dat unpacked into entry
// files and packed again. The input is a 16-bit little-endian length n, then n bytes of
// pack.inc, then pack.dat.
#include <algorithm>

#include "FuzzSupport.h"
#include "core/install/PackDat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t indexSize = std::min<std::size_t>(size - 2, data[0] | data[1] << 8);
  const std::span<const std::uint8_t> index(data + 2, indexSize);
  const auto folder = qpt::fuzz::FreshFolder("pack");
  const auto packDat = qpt::fuzz::WriteInput(data + 2 + indexSize, size - 2 - indexSize, "pack/pack.dat");
  const std::vector<qpt::TPackIndexEntry> table = qpt::ReadPackIndex(index);
  const qpt::TPackProgress quiet{[](const std::string&) {}, [](const std::string&) {}};
  ctr::InputFile dat;
  if (!dat.Open(packDat)) return 0;
  if (!qpt::UnpackPackEntries(dat, table, folder / "entries", quiet)) return 0;
  (void)qpt::RepackPackEntries(folder / "entries", folder / "new.dat", folder / "new.inc", index, quiet);
  return 0;
}
