// Lays out what the window's keyboard and screen-reader tests start from, in a folder they own:
// a program folder (the window, the language files, our real tools, a patch for the game) and
// a small synthetic game image beside it. Usage: a11y_fixture WINDOW_PROGRAM FOLDER
#include <cstdio>
#include <exception>
#include <filesystem>

#include "core/common/Common.h"
#include "core/localization/Language.h"
#include "core/rom/RomIdentify.h"
#include "support/GameImages.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: a11y_fixture WINDOW_PROGRAM FOLDER\n");
    return 2;
  }
  try {
    const fs::path window = qpt::PathFromUtf8(argv[1]);
    const fs::path root = qpt::PathFromUtf8(argv[2]);
    const fs::path app = root / "app";
    const fs::path built = fs::path(QPT_APP_DIR);
    fs::create_directories(app / "tools");
    fs::create_directories(app / "patch");
    fs::copy_file(window, app / window.filename());
    fs::copy(fs::path(QPT_SOURCE_DIR) / "lang", app / "lang", fs::copy_options::recursive);
    for (const char* name : {"3dstool", "ctrtool", "makerom"}) {
      fs::copy_file(qpt::ToolPath(built, name), qpt::ToolPath(app, name));
    }
    fs::copy_file(QPT_XDELTA3, qpt::ToolPath(app, "xdelta"));
    // The trilogy (USA) as a CXI: a game with voices and a music dialog, and the quickest kind.
    const qpt::TGameRow& row = qpt::IdentificationTable()[1];
    const auto image = qpt::test::BuildGameImage(row, ".cxi", root / "game.cxi", root / "build");
    qpt::test::BuildGamePatch(image, app / "patch" / "Keyboard Test Patch");
    fs::remove_all(root / "build");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "a11y_fixture: %s\n", e.what());
    return 1;
  }
  return 0;
}
