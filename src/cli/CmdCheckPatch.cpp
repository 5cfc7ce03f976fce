// check-patch PATCHDIR [IMAGE]: every fault of a patch folder, for patch authors; with an
// image the patch is also installed on trial.
#include <ostream>

#include "cli/CliCommon.h"
#include "core/authoring/CheckPatch.h"

namespace qpt::cli {

// One line per problem, the file first; exit 0 clean, 3 warnings only, 1 errors.
int RunCheckPatch(TSession& session, const TOptions& options) {
  const TCliContext& context = session.Context();
  TCheckPatchSettings settings;
  settings.patchDir = UserPath(options.images.front());
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
    out << (problem.error ? "error: " : "warning: ") << (problem.file.empty() ? "" : problem.file + ": ")
        << problem.text << '\n';
    errors = errors || problem.error;
  }
  if (problems.empty()) out << session.Text("CliNoProblem") << '\n';
  return errors ? kExitFailed : problems.empty() ? kExitOk : kExitWarnings;
}

}  // namespace qpt::cli
