// identify IMAGE: the window's first step, then the game code, the region and the kind.
#include <algorithm>
#include <cctype>
#include <ostream>

#include "cli/CliCommon.h"

namespace qpt::cli {

int RunIdentify(TSession& session, const TOptions& options) {
  const TSession::TImage image = session.IdentifyImage(options.images.front(), true);
  std::string kind = image.id.romExt.substr(1);
  std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  session.Out() << session.Text("CliGameCode") << ' ' << image.id.gameCode << '\n'
                << session.Text("CliRegion") << ' ' << RegionCode(image.id.regionIndex)
                << '\n'
                << session.Text("CliKind") << ' ' << kind << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
