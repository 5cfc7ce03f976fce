// What is dropped on the main window: an image does what step 1 does, a patch folder is copied
// into patch/ and a patch archive unpacked there after the player agreed, and anything else is
// said to be not understood.
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

#include <system_error>

#include "core/common/Common.h"
#include "core/patches/ModPatch.h"
#include "core/patches/PatchArchive.h"
#include "core/rom/PatchList.h"
#include "ctr/Image.h"
#include "ctr/Reader.h"
#include "ui/Dialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {

namespace fs = std::filesystem;

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
  std::vector<fs::path> paths;
  for (const QUrl& url : event->mimeData()->urls()) {
    // A URL's path has forward slashes; the window shows the system's own form.
    if (url.isLocalFile()) paths.push_back(PathFromUtf8(QDir::toNativeSeparators(url.toLocalFile()).toStdString()));
  }
  event->acceptProposedAction();
  HandleDrop(paths);
}

void TForm1::HandleDrop(const std::vector<fs::path>& paths) {
  const auto notUnderstood = [this] {
    ShowMessage(this, MessageKind::Information, windowTitle(), GetLangText("DropNotUnderstood"));
  };
  // While a run works nothing it depends on may change.
  if (job_) {
    ShowMessage(this, MessageKind::Information, windowTitle(), GetLangText("DropWhileRunning"));
    return;
  }
  if (paths.size() != 1) return notUnderstood();
  const fs::path& dropped = paths.front();
  std::error_code ec;
  if (fs::is_directory(dropped, ec)) {
    const fs::path folder = dropped.has_filename() ? dropped : dropped.parent_path();
    auto title = PatchFolderTitle(dropped, CBLang->currentText().toStdString());
    // A mod folder has no descriptor; its folder's name is its title, as in the patch list.
    if (!title && ReadModPatch(folder)) title = PathToUtf8(folder.filename());
    if (!title) return notUnderstood();
    QString question = GetLangText("DropPatchConfirm");
    question.replace(QStringLiteral("%1"), QString::fromStdString(*title));
    if (!AskYesNo(this, windowTitle(), question)) return;
    const fs::path target = folders_.patch / folder.filename();
    if (fs::exists(target, ec)) {
      QString replace = GetLangText("DropPatchReplace");
      replace.replace(QStringLiteral("%1"), QString::fromStdString(PathToUtf8(target)));
      if (!AskYesNo(this, windowTitle(), replace)) return;
    }
    std::vector<fs::path> links;
    if (!ImportPatchFolder(folder, folders_.patch, &links)) {
      ShowMessage(this, MessageKind::Error, windowTitle(), GetLangText("ErrorImportingPatch"));
      return;
    }
    QString done = GetLangText("PatchImported");
    done.replace(QStringLiteral("%1"), QString::fromStdString(*title));
    LogAppend(done.toStdString());
    for (const fs::path& link : links) LogAppend(langList_.GetLangText("WarningSkippedLink") + "\r\n" + PathToUtf8(link));
    if (steps_.PatchListDue()) RebuildPatchList();
    return;
  }
  if (!fs::is_regular_file(dropped, ec)) return notUnderstood();
  if (IsPatchArchive(dropped)) return ImportArchive(dropped);
  // An image is taken by its content, as Step 1 takes it; anything else is said plainly.
  ctr::FileReader file;
  if (!file.Open(dropped) || ctr::DetectImageKind(file) == ctr::ImageKind::Unknown) return notUnderstood();
  OpenImage(dropped);
}

void TForm1::ImportArchive(const fs::path& archive) {
  if (checkThread_.joinable()) {
    ShowMessage(this, MessageKind::Information, windowTitle(), GetLangText("DropWhileRunning"));
    return;
  }
  if (!AskYesNo(this, windowTitle(), FormatLangText("DropArchiveConfirm", QString::fromStdString(PathToUtf8(archive.filename()))))) {
    return;
  }
  std::error_code ec;
  fs::create_directories(folders_.patch, ec);
  const fs::path target = ArchiveImportTarget(archive, folders_.patch);
  if (fs::exists(fs::symlink_status(target, ec)) &&
      !AskYesNo(this, windowTitle(), FormatLangText("DropPatchReplace", QString::fromStdString(PathToUtf8(target))))) {
    return;
  }
  // Unpacking a large archive takes a while: it runs beside the window, whose bar follows it,
  // and no installation starts meanwhile.
  BTNCheckImage->setEnabled(false);
  BTNInstallPatch->setEnabled(false);
  const int shown = ProgressBar1->value();
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  const fs::path root = folders_.patch;
  checkThread_ = std::thread([this, archive, root, shown] {
    TUnpackOptions options;
    int percent = -1;
    options.progress = [this, &percent](std::uint64_t done, std::uint64_t total) {
      const int now = total ? static_cast<int>(done * 100 / total) : 0;
      if (now != percent) {
        percent = now;
        QMetaObject::invokeMethod(this, [this, now] { ProgressBar1->setValue(now); }, Qt::QueuedConnection);
      }
      return true;
    };
    const TArchiveImport result = ImportPatchArchive(archive, root, true, options);
    QMetaObject::invokeMethod(
        this,
        [this, result, shown] {
          if (checkThread_.joinable()) checkThread_.join();
          ProgressBar1->setValue(shown);
          BTNCheckImage->setEnabled(true);
          DrawSteps();
          if (result.refusal) {
            ShowMessage(this, MessageKind::Error, windowTitle(),
                        FormatLangText(result.refusal->key.c_str(), QString::fromStdString(result.refusal->detail)));
            return;
          }
          LogAppend(FormatLangText("ArchiveImported", QString::fromStdString(PathToUtf8(result.imported.folder))).toStdString());
          for (const std::string& link : result.imported.skippedLinks) {
            LogAppend(langList_.GetLangText("WarningSkippedLink") + "\r\n" + link);
          }
          if (steps_.PatchListDue()) RebuildPatchList();
        },
        Qt::QueuedConnection);
  });
}

void TForm1::BTNOpenPatchFolderClick() {
  // The folder may have been removed since the start; an opener shows nothing for a missing one.
  std::error_code ec;
  fs::create_directories(folders_.patch, ec);
  const QString folder = QString::fromStdString(PathToUtf8(folders_.patch));
  QString reason;
  if (OpenUrl(QUrl::fromLocalFile(folder), &reason)) return;
  // Without a file manager the player still learns where the folder is, to open it by hand.
  QString text = FormatLangText("OpenPatchFolderFailed", folder);
  if (!reason.isEmpty()) text += "\n\n" + reason;
  ShowMessage(this, MessageKind::Error, windowTitle(), text);
}

}  // namespace qpt::ui
