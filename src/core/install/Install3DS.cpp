// A 3DS card image keeps the game in partition 0; 3dstool saves the image header beside it so
// that a 3DS image can be rebuilt around the new partition.
#include "core/install/Install3DS.h"

#include "core/common/Common.h"

namespace qpt {

bool TInstall3DS::ExtractNCCH() {
  ExpectGrowth(WithPartFile(WorkPath("tools\\temp\\Partition0.bin")), SizeOf(FRomPath));
  return RunToolStep("ExtractingNCCH", F3dstool,
                     "-xtf 3ds " + Quote(PathToUtf8(FRomPath)) + " --header " +
                         Arg("tools\\temp\\headers\\mainncchheader.bin") + " -0 " + Arg("tools\\temp\\Partition0.bin"),
                     "ErrorExtractingNCCH", ErrorLine::AfterBreak, "Unk3dstoolError");
}

bool TInstall3DS::ExtractExeFS() {
  return RunToolStep("ExtractingExeFS", F3dstool,
                     "-xtf cxi " + Arg("tools\\temp\\Partition0.bin") + " --exefs " + Arg("tools\\temp\\exefs.bin"),
                     "ErrorExtractingExeFs", ErrorLine::AfterBreak, "Unk3dstoolError");
}

bool TInstall3DS::ExtractRomFS() {
  ExpectGrowth(WithPartFile(WorkPath("tools\\temp\\romfs.bin")), SizeOf(WorkPath("tools\\temp\\Partition0.bin")));
  return RunToolStep("ExtractingRomFS", F3dstool,
                     "-xtf cxi " + Arg("tools\\temp\\Partition0.bin") + " --romfs " + Arg("tools\\temp\\romfs.bin"),
                     "ErrorExtractingRomFS", ErrorLine::AfterBreak, "Unk3dstoolError");
}

bool TInstall3DS::ExtractCXIHeaders() {
  return RunToolStep("ExtractingCXIHeaders", F3dstool,
                     "-xvtf cxi " + Arg("tools\\temp\\Partition0.bin") + " --header " +
                         Arg("tools\\temp\\headers\\ncchheader.bin") + " --exh " + Arg("tools\\temp\\headers\\exheader.bin") +
                         " --logo " + Arg("tools\\temp\\headers\\logo.bin"),
                     "ErrorExtractingCXIHeaders", ErrorLine::AfterBreak, "Unk3dstoolError");
}

bool TInstall3DS::DeleteTempFiles() {
  return DeleteWorkFiles({"tools\\temp\\Partition0.bin", "tools\\temp\\exefs.bin", "tools\\temp\\romfs.bin"});
}

}  // namespace qpt
