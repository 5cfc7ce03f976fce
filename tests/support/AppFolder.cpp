#include "support/AppFolder.h"

#include "core/install/WorkFolder.h"

#include "core/localization/Language.h"

namespace qpt::test {

namespace fs = std::filesystem;

AppFolder::AppFolder(const std::vector<std::string>& tools) {
  fs::create_directories(dir_ / "patch");
  fs::create_directories(dir_ / "tools");
  fs::copy(fs::path(QPT_SOURCE_DIR) / "lang", dir_ / "lang", fs::copy_options::recursive);
  // Qt's translations come into the built program folder from the system's Qt.
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(QPT_APP_DIR) / "lang", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".qm") fs::copy_file(it->path(), dir_ / "lang" / it->path().filename());
  }
  for (const std::string& name : tools) {
    fs::copy_file(QPT_FAKE_TOOL, Tool(name));
  }
}

AppFolder::AppFolder(RealTools) : AppFolder(std::vector<std::string>{}) {
  for (const char* name : {"3dstool", "ctrtool", "makerom"}) {
    fs::copy_file(ToolPath(fs::path(QPT_APP_DIR), name), Tool(name));
  }
  fs::copy_file(QPT_XDELTA3, Tool("xdelta"));
}

fs::path AppFolder::Tool(const std::string& name) const { return ToolPath(dir_.path(), name); }

}  // namespace qpt::test

namespace qpt::test {

AppFolder::~AppFolder() { TWorkFolderRemoval::Wait(path()); }

bool AppFolder::WorkFolderLeft() const {
  TWorkFolderRemoval::Wait(path());
  return std::filesystem::exists(path() / "tools" / "temp");
}

}  // namespace qpt::test
