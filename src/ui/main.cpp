#include <QApplication>
#include <QIcon>
#include <QLocale>

#include "core/common/Common.h"
#include "ui/TForm1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QIcon icon;
  for (const int size : {16, 32, 48, 256}) icon.addFile(QStringLiteral(":/icons/quill-patch-tool-%1.png").arg(size));
  QApplication::setWindowIcon(icon);

  qpt::ui::TForm1Options options;
  options.folders = qpt::FindFolders(qpt::PathFromUtf8(QCoreApplication::applicationDirPath().toStdString()),
                                     qpt::ProcessEnvironment);
  const QLocale locale = QLocale::system();
  // The system's own answer first: on Windows the user's default locale, which may differ
  // from the formats Qt reads.
  options.localeLanguageName = qpt::UserLanguageEnglishName();
  if (options.localeLanguageName.empty()) {
    options.localeLanguageName = QLocale::languageToString(locale.language()).toStdString();
  }
  options.decimalSeparator = locale.decimalPoint().toStdString();

  qpt::ui::TForm1 window(options);
  if (!window.FormCreate()) return 1;
  window.show();
  // A file handed to the program (dropped on its icon, "Open with", a shortcut's argument) is
  // taken as if dropped on the window: an image is Step 1, a patch folder is offered for patch/.
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() == 2) window.HandleDrop({qpt::PathFromUtf8(arguments[1].toStdString())});
  return app.exec();
}
