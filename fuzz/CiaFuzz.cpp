// CIA archives: ctrtool --contents, and finding the main NCCH as ctrtool -p does.
#include "FuzzSupport.h"
#include "ctr/Cia.h"
#include "ctr/Image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto out = qpt::fuzz::FreshFolder("cia");
  ctr::MemoryReader cia({data, size}, "fuzz.cia");
  (void)ctr::LocateMainNcch(cia);
  (void)ctr::ExtractCiaContents(cia, out / "c");
  return 0;
}
