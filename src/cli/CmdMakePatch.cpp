// make-patch IMAGE --from DIR --out PATCHDIR --title TEXT [--mods] [--zip]: a patch folder (or
// a mod folder) out of a translated tree, for patch authors; with --zip also packed into
// PATCHDIR.zip for publishing.
#include <cstdio>
#include <ostream>

#include "cli/CliCommon.h"
#include "core/authoring/MakePatch.h"
#include "core/common/Common.h"
#include "core/localization/Language.h"
#include "core/localization/TokenText.h"
#include "core/patches/PatchArchive.h"

namespace qpt::cli {

int RunMakePatch(TSession& session, const TOptions& options) {
  if (!options.from || !options.out || !options.title) {
    throw TUsageError{"CliMakePatchNeeds"};
  }
  TMakePatchSettings settings;
  settings.folders = session.Context().folders;
  settings.image = UserPath(options.images.front());
  settings.from = UserPath(*options.from);
  settings.out = UserPath(*options.out);
  settings.title = *options.title;
  settings.modFolder = options.modsForm;
  settings.lang = &session.Lang();
  if (options.lang) settings.language = *options.lang;
  if (options.descriptionFile) {
    std::string bytes;
    if (!ReadSmallFile(UserPath(*options.descriptionFile), bytes)) {
      throw TUsageError{"CliCannotReadDescription", {*options.descriptionFile}};
    }
    settings.description = DecodeText(bytes);
  }
  // The zip is never written over: it may be a published file of an earlier version.
  const std::filesystem::path zip = settings.out.parent_path() / PathFromUtf8(PathToUtf8(settings.out.filename()) + ".zip");
  std::error_code ec;
  if (options.zip && std::filesystem::exists(std::filesystem::symlink_status(zip, ec))) {
    throw TFailure{session.Text("CliZipExists", PathToUtf8(zip))};
  }
  const TMakePatchResult made = MakePatch(settings);
  if (!made.ok()) throw TFailure{made.error};
  if (options.zip) {
    if (const auto refusal = PackFolderAsZip(settings.out, zip)) throw TFailure{session.Text(refusal->key, refusal->detail)};
    session.Out() << session.Text("CliZipWritten", PathToUtf8(zip)) << '\n';
  }
  std::ostream& out = session.Out();
  for (const std::string& line : made.lines) out << line << '\n';
  const double share = made.imageBytes ? 100.0 * static_cast<double>(made.patchBytes) / static_cast<double>(made.imageBytes) : 0.0;
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.2f", share);
  out << FillMarks(session.Text("CliPatchSummary"), {std::to_string(made.patchBytes), PathToUtf8(settings.out),
                                                     std::to_string(made.imageBytes), percent})
      << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
