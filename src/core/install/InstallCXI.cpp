// A CXI file already is the game's partition: the tools read the input image directly and
// there is no partition file to extract first.
#include "core/install/InstallCXI.h"

#include "core/common/Common.h"

namespace qpt {

bool TInstallCXI::ExtractExeFS() {
  return RunToolStep("ExtractingExeFS", FCtrtool, "-p --exefs=" + Arg("tools\\temp\\exefs.bin") + " " + Quote(PathToUtf8(FRomPath)),
                     "ErrorExtractingExeFs", ErrorLine::AfterBreak, "UnkctrtoolError");
}

bool TInstallCXI::ExtractRomFS() {
  ExpectGrowth(WithPartFile(WorkPath("tools\\temp\\romfs.bin")), SizeOf(FRomPath));
  return RunToolStep("ExtractingRomFS", FCtrtool, "-p --romfs=" + Arg("tools\\temp\\romfs.bin") + " " + Quote(PathToUtf8(FRomPath)),
                     "ErrorExtractingRomFS", ErrorLine::AfterBreak, "UnkctrtoolError");
}

bool TInstallCXI::ExtractCXIHeaders() {
  return RunToolStep("ExtractingCXIHeaders", F3dstool,
                     "-xvtf cxi " + Quote(PathToUtf8(FRomPath)) + " --header " + Arg("tools\\temp\\headers\\ncchheader.bin") +
                         " --exh " + Arg("tools\\temp\\headers\\exheader.bin") + " --logo " +
                         Arg("tools\\temp\\headers\\logo.bin"),
                     "ErrorExtractingCXIHeaders", ErrorLine::AfterBreak, "Unk3dstoolError");
}

bool TInstallCXI::DeleteTempFiles() {
  return DeleteWorkFiles({"tools\\temp\\exefs.bin", "tools\\temp\\romfs.bin"});
}

}  // namespace qpt
