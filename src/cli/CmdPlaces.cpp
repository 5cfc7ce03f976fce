// places: where a mod folder can go without the player looking for it, the SD cards with the
// console's firmware folder and the emulators' user folders, as install --mods sd|emulator
// chooses among them.
#include <ostream>

#include "cli/CliCommon.h"
#include "core/common/Common.h"
#include "core/install/OutputCheck.h"

namespace qpt::cli {

std::string PlaceLine(const TSession& session, const TModPlace& place) {
  const std::string kind = place.kind == TModPlace::Kind::SdCard ? session.Text("CliPlaceSdCard")
                                                                 : session.Text("CliPlaceEmulator", place.name);
  return kind + '\t' + PathToUtf8(place.target) + '\t' +
         session.Text("CliPlaceFree", FormatSize(place.freeBytes, session.Lang()));
}

int RunPlaces(TSession& session, const TOptions& /*options*/) {
  const std::vector<TModPlace> places = FindModPlaces();
  for (const TModPlace& place : places) session.Out() << PlaceLine(session, place) << '\n';
  if (places.empty()) session.Err() << session.Text("CliNoPlaces") << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
