// remove-mods DIR/<TitleID>: a mod folder a run wrote taken off again. The files its receipt
// lists are deleted, the player's own kept; a folder without our receipt is not touched.
#include <ostream>

#include "cli/CliCommon.h"
#include "core/install/ModFolderCheck.h"

namespace qpt::cli {

int RunRemoveMods(TSession& session, const TOptions& options) {
  const std::filesystem::path folder = UserPath(options.images.front());
  // The check first: the player sees what is damaged or not the run's before anything goes.
  const TModFolderReport report = CheckModFolder(folder, session.Lang());
  if (!report.receiptOurs) throw TFailure{RemovalRefusedText(folder, session.Lang())};
  for (const std::string& line : report.lines) session.Out() << line << '\n';
  const TModRemovalPlan plan = PlanModFolderRemoval(folder);
  for (const std::string& line : RemovalPlanLines(plan, session.Lang())) session.Out() << line << '\n';
  const TModRemoval removal = RemoveModFolder(folder, session.Lang());
  if (removal.refused || !removal.failure.empty()) {
    std::string message;
    for (const std::string& line : removal.lines) message += (message.empty() ? "" : "\n") + line;
    throw TFailure{message};
  }
  for (const std::string& line : removal.lines) session.Out() << line << '\n';
  return kExitOk;
}

}  // namespace qpt::cli
