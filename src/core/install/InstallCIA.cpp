// A CIA's first content is the game's main partition; ctrtool writes it to the work folder
// and every later step works on that file.
#include "core/install/InstallCIA.h"

#include <filesystem>
#include <system_error>

#include "core/common/Common.h"

namespace qpt {

namespace fs = std::filesystem;

bool TInstallCIA::ExtractNCCH() {
  // The content's file name holds its ID, unknown before: the whole work folder is watched.
  ExpectGrowth({WorkPath("tools\\temp")}, SizeOf(FRomPath));
  if (!RunToolStep("ExtractingNCCH", FCtrtool, "--contents=" + Arg("tools\\temp\\c") + " " + Quote(PathToUtf8(FRomPath)),
                   "ErrorExtractingNCCH", ErrorLine::AfterBreak, "UnkctrtoolError")) {
    return false;
  }
  // ctrtool names each content by its index and its ID. Builders give the first content any
  // ID they like, so the one of index 0 is given the name the later steps read.
  const fs::path expected = WorkPath("tools\\temp\\c.0000.00000000");
  if (FileExists(expected)) return true;
  std::error_code ec;
  for (fs::directory_iterator it(WorkPath("tools\\temp"), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = PathToUtf8(it->path().filename());
    if (name.rfind("c.0000.", 0) == 0 && it->is_regular_file(ec)) {
      RenameFile(it->path(), expected);
      break;
    }
  }
  return true;
}

bool TInstallCIA::ExtractExeFS() {
  return RunToolStep("ExtractingExeFS", FCtrtool,
                     "-p --exefs=" + Arg("tools\\temp\\exefs.bin") + " " + Arg("tools\\temp\\c.0000.00000000"),
                     "ErrorExtractingExeFs", ErrorLine::AfterBreak, "UnkctrtoolError");
}

bool TInstallCIA::ExtractRomFS() {
  ExpectGrowth(WithPartFile(WorkPath("tools\\temp\\romfs.bin")), SizeOf(WorkPath("tools\\temp\\c.0000.00000000")));
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
