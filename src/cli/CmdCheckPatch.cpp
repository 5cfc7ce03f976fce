// check-patch PATCHDIR|ARCHIVE [IMAGE]: every fault of a patch folder, for patch authors; with
// an image the patch is also installed on trial. An archive is unpacked into a scratch folder
// for the check, as add-patch would unpack it, and the folder is removed afterwards.
#include <optional>
#include <ostream>
#include <random>
#include <string>

#include "cli/CliCommon.h"
#include "core/authoring/CheckPatch.h"
#include "core/common/Common.h"
#include "core/patches/PatchArchive.h"

namespace qpt::cli {

namespace fs = std::filesystem;

namespace {

class TScratch {
 public:
  explicit TScratch(fs::path folder) : folder_(std::move(folder)) {}
  ~TScratch() { DeleteFolder(folder_); }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;
  const fs::path& folder() const { return folder_; }

 private:
  fs::path folder_;
};

}  // namespace

// One line per problem, the file first; exit 0 clean, 3 warnings only, 1 errors.
int RunCheckPatch(TSession& session, const TOptions& options) {
  const TCliContext& context = session.Context();
  TCheckPatchSettings settings;
  settings.patchDir = UserPath(options.images.front());
  std::error_code ec;
  std::optional<TScratch> scratch;
  if (!fs::is_directory(settings.patchDir, ec) && fs::is_regular_file(settings.patchDir, ec)) {
    std::error_code tempError;
    const fs::path temp = fs::temp_directory_path(tempError);
    scratch.emplace((tempError ? context.folders.work : temp) /
                    ("quill-patch-check-" + std::to_string(std::random_device{}())));
    DeleteFolder(scratch->folder());
    const TArchiveImport unpacked = UnpackPatchArchiveForCheck(settings.patchDir, scratch->folder());
    if (unpacked.refusal) throw TFailure{session.Text(unpacked.refusal->key, unpacked.refusal->detail)};
    settings.patchDir = unpacked.imported.folder;
  }
  if (options.images.size() > 1) settings.image = UserPath(options.images[1]);
  settings.folders = context.folders;
  settings.lang = &session.Lang();
  // Ctrl+C during the trial installation stops it, so that its scratch folder goes.
  settings.stop = context.interrupted;
  if (!settings.image.empty() && settings.stop && context.catchInterrupts) context.catchInterrupts();
  const std::vector<TPatchProblem> problems = CheckPatch(settings);
  if (session.Interrupted()) throw TFailure{session.Text("CliStoppedBeforeCheck")};
  std::ostream& out = session.Out();
  bool errors = false;
  for (const TPatchProblem& problem : problems) {
    out << session.Text(problem.error ? "CliErrorPrefix" : "CliWarningPrefix") << ' '
        << (problem.file.empty() ? "" : problem.file + ": ")
        << problem.text << '\n';
    errors = errors || problem.error;
  }
  if (problems.empty()) out << session.Text("CliNoProblem") << '\n';
  return errors ? kExitFailed : problems.empty() ? kExitOk : kExitWarnings;
}

}  // namespace qpt::cli
