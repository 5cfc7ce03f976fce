// Patch archives: the input is a .zip, .7z or .rar file, unpacked as add-patch unpacks one but
// with a bound of 1 MiB, so that inputs declaring or inflating to more meet the refusals often.
#include <filesystem>

#include "FuzzSupport.h"
#include "core/patches/PatchArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::filesystem::path archive = qpt::fuzz::WriteInput(data, size, "input.zip");
  const std::filesystem::path out = qpt::fuzz::Scratch() / "unpacked";
  std::error_code ec;
  std::filesystem::remove_all(out, ec);
  qpt::TUnpackOptions options;
  options.limits.maxBytes = 1 << 20;
  (void)qpt::UnpackArchive(archive, out, options);
  return 0;
}
