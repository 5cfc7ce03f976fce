// "Check an image...": the whole image is read and every region's hashes checked on a thread
// of its own, while the window stays responsive; the log then shows a line per region.
#include <QProgressBar>
#include <QPushButton>

#include "core/common/Common.h"
#include "core/install/OutputCheck.h"
#include "ui/Dialogs.h"
#include "ui/TForm1.h"

namespace qpt::ui {

namespace fs = std::filesystem;

void TForm1::BTNCheckImageClick() {
  if (checkThread_.joinable()) return;
  // The image checked most often is the one a run has just written.
  const fs::path& start = !lastOutputFolder_.empty() ? lastOutputFolder_
                          : !lastImageFolder_.empty() ? lastImageFolder_
                                                      : folders_.program;
  const auto chosen = SelectOpenFile(this, QString::fromStdString(PathToUtf8(start)), OpenFilter());
  if (!chosen) return;
  const fs::path image = PathFromUtf8(chosen->toStdString());
  LogAppend("\r\n" + langList_.GetLangText("CheckingImage") + "\r\n" + PathToUtf8(image));
  BTNCheckImage->setEnabled(false);
  // No run starts while the check reads the image; the step rules give Install back after it.
  BTNInstallPatch->setEnabled(false);
  // A busy bar: the check reads the whole image, which takes seconds for a large one, and
  // the window stays responsive meanwhile. A full bar of the last run would speak of this check;
  // the bar belongs to the last installation, so it shows that again once the check is done.
  const int shown = ProgressBar1->value();
  if (!job_) {
    ProgressBar1->setValue(0);
    ProgressBar1->setRange(0, 0);
  }
  const TLangList lang = langList_;
  checkThread_ = std::thread([this, image, lang, shown] {
    const TImageCheckReport report = CheckImageForPlayer(image, lang);
    QMetaObject::invokeMethod(
        this,
        [this, report, shown] {
          if (checkThread_.joinable()) checkThread_.join();
          if (!job_) {
            ProgressBar1->setRange(0, 100);
            ProgressBar1->setValue(shown);
          }
          for (const std::string& line : report.lines) LogAppend(line);
          BTNCheckImage->setEnabled(true);
          DrawSteps();
        },
        Qt::QueuedConnection);
  });
}

bool TForm1::CheckRunning() const { return checkThread_.joinable(); }

}  // namespace qpt::ui
