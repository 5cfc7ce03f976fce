// A CIA's first content is the game's main partition; ctrtool writes it to the work folder
// and every later step works on that file.
#include "core/install/InstallCIA.h"

#include "core/common/Common.h"

namespace qpt {

bool TInstallCIA::ExtractNCCH() {
  return RunToolStep("ExtractingNCCH", FCtrtool, "--contents=" + Arg("tools\\temp\\c") + " " + Quote(PathToUtf8(FRomPath)),
                     "ErrorExtractingNCCH", ErrorLine::AfterBreak, "UnkctrtoolError");
}

bool TInstallCIA::ExtractExeFS() {
  return RunToolStep("ExtractingExeFS", FCtrtool,
                     "-p --exefs=" + Arg("tools\\temp\\exefs.bin") + " " + Arg("tools\\temp\\c.0000.00000000"),
                     "ErrorExtractingExeFs", ErrorLine::AfterBreak, "UnkctrtoolError");
}

bool TInstallCIA::ExtractRomFS() {
  return RunToolStep("ExtractingRomFS", FCtrtool,
                     "-p --romfs=" + Arg("tools\\temp\\romfs.bin") + " " + Arg("tools\\temp\\c.0000.00000000"),
                     "ErrorExtractingRomFS", ErrorLine::AfterBreak, "UnkctrtoolError");
}

bool TInstallCIA::ExtractCXIHeaders() {
  return RunToolStep("ExtractingCXIHeaders", F3dstool,
                     "-xvtf cxi " + Arg("tools\\temp\\c.0000.00000000") + " --header " +
                         Arg("tools\\temp\\headers\\ncchheader.bin") + " --exh " + Arg("tools\\temp\\headers\\exheader.bin") +
                         " --logo " + Arg("tools\\temp\\headers\\logo.bin"),
                     "ErrorExtractingCXIHeaders", ErrorLine::AfterBreak, "Unk3dstoolError");
}

bool TInstallCIA::DeleteTempFiles() {
  return DeleteWorkFiles({"tools\\temp\\c.0000.00000000", "tools\\temp\\exefs.bin", "tools\\temp\\romfs.bin"});
}

}  // namespace qpt
