// identify IMAGE: the window's first step, then the game code, the region, the kind and the
// title ID.
#include <algorithm>
#include <cctype>
#include <ostream>

#include "cli/CliCommon.h"

namespace qpt::cli {

int RunIdentify(TSession& session, const TOptions& options) {
  const TSession::TImage image = session.IdentifyImage(options.images.front(), true);
  std::string kind = image.id.romExt.substr(1);
  std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  // Another title has neither code nor region, and its log lines named its title ID already.
  const bool known = image.id.Game().Known();
  if (known) {
    session.Out() << session.Text("CliGameCode") << ' ' << image.id.gameCode << '\n'
                  << session.Text("CliRegion") << ' ' << RegionCode(image.id.regionIndex) << '\n';
  }
  session.Out() << session.Text("CliKind") << ' ' << kind << '\n';
  // What a mod folder for the image is named by.
  if (known) session.Out() << session.Text("LogTitleID") << TitleIdText(image.id.programId) << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
