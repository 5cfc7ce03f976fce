// patches IMAGE: the window's patch list for the image, a title and a folder a line.
#include <ostream>

#include "cli/CliCommon.h"
#include "core/common/Common.h"

namespace qpt::cli {

int RunPatches(TSession& session, const TOptions& options) {
  const TSession::TImage image = session.IdentifyImage(options.images.front(), false);
  const std::vector<TPatchEntry> patches = session.FittingPatches(image);
  for (const TPatchEntry& patch : patches) {
    session.Out() << patch.title << '\t' << PathToUtf8(patch.folder);
    // The form only where it is not the usual one, so that lists of descriptor patches read as before.
    if (patch.form == TPatchForm::ModFolder) session.Out() << '\t' << session.Text("CliModFolderForm");
    session.Out() << '\n';
  }
  if (patches.empty()) {
    session.Err() << session.Text("CliNoFittingPatch", PathToUtf8(session.Context().folders.patch)) << '\n';
  }
  return kExitOk;
}

}  // namespace qpt::cli
