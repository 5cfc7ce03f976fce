// Identification of a chosen image (the window's step 1, the command line's identify).
#include <filesystem>

#include "FuzzSupport.h"
#include "core/rom/RomIdentify.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  // The kind follows the extension, or the content for an unknown one: every input is taken
  // under each.
  fs::path path = qpt::fuzz::WriteInput(data, size, "image.cia");
  for (const char* extension : {".cia", ".3ds", ".cxi", ".cci"}) {
    const fs::path named = fs::path(path).replace_extension(extension);
    fs::rename(path, named);
    path = named;
    (void)qpt::IdentifyRom(path);
  }
  return 0;
}
