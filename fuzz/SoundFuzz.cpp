// Sound archives (CSAR) and wave archives (CWAR): the split of the voice and music step, then
// the join from what it wrote.
#include "FuzzSupport.h"
#include "core/sound/N3DSBCSAR.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto folder = qpt::fuzz::FreshFolder("sound");
  const auto archive = qpt::fuzz::WriteInput(data, size, "sound/GS123.bcsar");
  if (qpt::UnpackBcsar(archive) == 0) (void)qpt::PackBcsar(folder / "GS123");
  const auto waves = qpt::fuzz::WriteInput(data, size, "sound/001_FILE_CWAR.bin");
  if (qpt::UnpackCwar(waves) == 0) (void)qpt::PackCwar(folder / "001_FILE_CWAR");
  return 0;
}
