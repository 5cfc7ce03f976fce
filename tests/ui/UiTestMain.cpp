// The window tests run on Qt's offscreen platform inside one application object.
#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
#ifdef _WIN32
  // Qt's offscreen platform has no theme on Windows and would draw in its 12 pt fallback; the
  // windows platform gives the system's 9 pt message font, which this stands in for.
  QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
#endif
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
