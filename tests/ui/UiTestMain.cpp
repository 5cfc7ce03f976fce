// The window tests run on Qt's offscreen platform inside one application object.
#include <QApplication>
#include <QFont>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef QPT_TEST_FONT_DIR
  qputenv("QT_QPA_FONTDIR", QPT_TEST_FONT_DIR);
#endif
  QApplication app(argc, argv);
#ifdef _WIN32
  // Qt's offscreen platform on Windows reads the fonts of one folder (DejaVu) and knows none of
  // the system's substitutes: the windows' fonts are given the ones fontconfig gives on Linux,
  // so that texts are measured alike on both.
  QFont::insertSubstitution(QStringLiteral("MS Shell Dlg 2"), QStringLiteral("DejaVu Sans"));
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans"));
  QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("DejaVu Sans Mono"));
#endif
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
