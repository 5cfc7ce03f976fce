// The image check before success is said (quill-patch-cli verify).
#include "FuzzSupport.h"
#include "ctr/Verify.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)ctr::VerifyImageReport(qpt::fuzz::WriteInput(data, size, "image.bin"));
  return 0;
}
