#include <QApplication>
#include <QLocale>

#include "core/common/Common.h"
#include "ui/TForm1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Quill Patch Tool"));

  qpt::ui::TForm1Options options;
  options.appDir = qpt::PathFromUtf8(QCoreApplication::applicationDirPath().toStdString());
  const QLocale locale = QLocale::system();
  options.localeLanguageName = QLocale::languageToString(locale.language()).toStdString();
  options.decimalSeparator = locale.decimalPoint().toStdString();

  qpt::ui::TForm1 window(options);
  if (!window.FormCreate()) return 1;
  window.show();
  return app.exec();
}
