// add-patch ARCHIVE|FOLDER [--replace]: a patch as it was downloaded put into the patch folder,
// where the patch list finds it: an archive unpacked into a folder named after it, a folder
// copied under its own name. Prints the folder it made.
#include <ostream>

#include "cli/CliCommon.h"
#include "core/common/Common.h"
#include "core/patches/PatchArchive.h"

namespace qpt::cli {

namespace fs = std::filesystem;

int RunAddPatch(TSession& session, const TOptions& options) {
  const TCliContext& context = session.Context();
  const fs::path source = UserPath(options.images.front());
  const fs::path& patchRoot = context.folders.patch;
  std::error_code ec;
  fs::create_directories(patchRoot, ec);
  const auto refuse = [&](const std::string& key, const std::string& detail) {
    std::string message = session.Text(key, detail);
    if (key == "ErrorArchiveTargetExists") message += " " + session.Text("CliAddPatchReplace");
    throw TFailure{message};
  };
  fs::path added;
  std::vector<std::string> links;
  if (fs::is_directory(source, ec)) {
    fs::path folder = source.has_filename() ? source : source.parent_path();
    if (!HoldsPatch(folder)) {
      throw TFailure{session.Text("ErrorArchiveNoPatch", PathToUtf8(folder.filename()))};
    }
    added = patchRoot / folder.filename();
    if (fs::exists(fs::symlink_status(added, ec)) && !options.replace) refuse("ErrorArchiveTargetExists", PathToUtf8(added));
    std::vector<fs::path> skipped;
    if (!ImportPatchFolder(folder, patchRoot, &skipped)) throw TFailure{session.Text("ErrorImportingPatch")};
    for (const fs::path& link : skipped) links.push_back(PathToUtf8(link));
  } else {
    TUnpackOptions unpack;
    // Ctrl+C stops the unpacking, which then removes what it wrote.
    if (context.interrupted && context.catchInterrupts) context.catchInterrupts();
    unpack.progress = [&](std::uint64_t, std::uint64_t) { return !session.Interrupted(); };
    const TArchiveImport result = ImportPatchArchive(source, patchRoot, options.replace, unpack);
    if (result.refusal) refuse(result.refusal->key, result.refusal->detail);
    added = result.imported.folder;
    links = result.imported.skippedLinks;
  }
  for (const std::string& link : links) session.Err() << session.Text("WarningSkippedLink") << ' ' << link << '\n';
  session.Out() << session.Text("CliPatchAdded", PathToUtf8(added)) << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
