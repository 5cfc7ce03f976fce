// "Check an image...": an image, or a mod folder against its receipt, read and checked on a
// thread of its own while the window stays responsive; the log then shows what was found.
// Step 2's "Remove this mod folder...": the mod folder a run wrote, taken off again.
#include <QProgressBar>
#include <QPushButton>

#include <system_error>

#include "core/common/Common.h"
#include "core/install/ModFolderCheck.h"
#include "core/install/OutputCheck.h"
#include "ui/Dialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {

namespace fs = std::filesystem;

void TForm1::BTNCheckImageClick() {
  if (checkThread_.joinable()) return;
  const auto kind = ChooseFromMenu(BTNCheckImage, {GetLangText("CheckMenuImage"), GetLangText("CheckMenuModFolder")});
  if (!kind) return;
  fs::path chosen;
  if (*kind == 1) {
    const auto folder = SelectFolder(this, GetLangText("CheckModFolderDialogTitle"));
    if (!folder) return;
    chosen = PathFromUtf8(folder->toStdString());
  } else {
    // The image checked most often is the one a run has just written.
    const fs::path& start = !lastOutputFolder_.empty()  ? lastOutputFolder_
                            : !lastImageFolder_.empty() ? lastImageFolder_
                                                        : folders_.program;
    const auto file = SelectOpenFile(this, QString::fromStdString(PathToUtf8(start)), OpenFilter());
    if (!file) return;
    chosen = PathFromUtf8(file->toStdString());
  }
  const bool modFolder = *kind == 1;
  LogAppend("\r\n" + langList_.GetLangText(modFolder ? "CheckingModFolder" : "CheckingImage") + "\r\n" +
            PathToUtf8(chosen));
  BTNCheckImage->setEnabled(false);
  // No run starts while the check reads the image; the step rules give Install back after it.
  BTNInstallPatch->setEnabled(false);
  DrawRemoveModFolder();
  // A busy bar: the check reads the whole image, which takes seconds for a large one, and
  // the window stays responsive meanwhile. A full bar of the last run would speak of this check;
  // the bar belongs to the last installation, so it shows that again once the check is done.
  const int shown = ProgressBar1->value();
  if (!job_) {
    ProgressBar1->setValue(0);
    ProgressBar1->setRange(0, 0);
  }
  const TLangList lang = langList_;
  checkThread_ = std::thread([this, chosen, modFolder, lang, shown] {
    const std::vector<std::string> lines =
        modFolder ? CheckModFolder(chosen, lang).lines : CheckImageForPlayer(chosen, lang).lines;
    QMetaObject::invokeMethod(
        this,
        [this, lines, shown] {
          if (checkThread_.joinable()) checkThread_.join();
          if (!job_) {
            ProgressBar1->setRange(0, 100);
            ProgressBar1->setValue(shown);
          }
          for (const std::string& line : lines) LogAppend(line);
          BTNCheckImage->setEnabled(true);
          DrawSteps();
        },
        Qt::QueuedConnection);
  });
}

bool TForm1::CheckRunning() const { return checkThread_.joinable(); }

void TForm1::DrawRemoveModFolder() {
  // Only a title folder with our receipt can be taken off: its receipt says what to delete.
  const fs::path title = steps_.ModTitleFolder();
  std::error_code ec;
  const bool shown = !title.empty() && fs::is_directory(title, ec) && ReadModReceipt(title).has_value();
  if (BTNRemoveModFolder->isVisibleTo(this) != shown) {
    BTNRemoveModFolder->setVisible(shown);
    FitWindow();
  }
  BTNRemoveModFolder->setEnabled(shown && !job_ && !CheckRunning());
}

void TForm1::BTNRemoveModFolderClick() {
  if (job_ || CheckRunning()) return;
  const fs::path title = steps_.ModTitleFolder();
  if (title.empty()) return;
  // Only names: the files are not read, so the question comes at once even from a slow card.
  const TModRemovalPlan plan = PlanModFolderRemoval(title);
  QString question = FormatLangText("RemoveModFolderConfirm", QString::fromStdString(PathToUtf8(title)));
  for (const std::string& line : RemovalPlanLines(plan, langList_)) question += "\n" + QString::fromStdString(line);
  if (plan.receiptOurs && !AskYesNo(this, windowTitle(), question)) return;
  const TModRemoval removal = RemoveModFolder(title, langList_);
  LogAppend("");
  for (const std::string& line : removal.lines) LogAppend(line);
  if (removal.refused || !removal.failure.empty()) {
    ShowMessage(this, MessageKind::Error, windowTitle(), QString::fromStdString(removal.lines.front()));
  }
  DrawSteps();
}

}  // namespace qpt::ui
