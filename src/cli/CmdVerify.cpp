// verify IMAGE: every hash of an image, region by region, as the window's image check.
// verify DIR/<TitleID>: every file of a mod folder against the receipt beside it.
#include <ostream>

#include "cli/CliCommon.h"
#include "core/common/Common.h"
#include "core/install/ModFolderCheck.h"
#include "core/install/OutputCheck.h"

namespace qpt::cli {

int RunVerify(TSession& session, const TOptions& options) {
  const std::filesystem::path path = UserPath(options.images.front());
  if (FolderExists(path)) {
    const TModFolderReport report = CheckModFolder(path, session.Lang());
    for (const std::string& line : report.lines) session.Out() << line << '\n';
    return report.ok ? kExitOk : kExitFailed;
  }
  if (!FileExists(path)) throw TFailure{session.Text("CheckImageUnreadable") + "\n" + PathToUtf8(path)};
  const TImageCheckReport report = CheckImageForPlayer(path, session.Lang());
  for (const std::string& line : report.lines) session.Out() << line << '\n';
  return report.ok ? kExitOk : kExitFailed;
}

}  // namespace qpt::cli
