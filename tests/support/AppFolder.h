// A throw-away program folder for window and job tests: lang/ with the shipped language
// files, an empty patch/, and tools/ with stand-in tool files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace qpt::test {

class AppFolder {
 public:
  // tools: names of the tools to put in tools/ (copies of the fake tool).
  explicit AppFolder(const std::vector<std::string>& tools = {"3dstool", "ctrtool", "makerom", "xdelta"});
  // A program folder with our real container tools and xdelta3.
  struct RealTools {};
  explicit AppFolder(RealTools);
  // Waits for the background removal of the last run's work folder: deleting the folder
  // while that removal still works in it never ends on Windows.
  ~AppFolder();
  AppFolder(const AppFolder&) = delete;
  AppFolder& operator=(const AppFolder&) = delete;
  const std::filesystem::path& path() const { return dir_.path(); }
  std::filesystem::path operator/(const std::string& relative) const { return dir_ / relative; }
  std::filesystem::path Tool(const std::string& name) const;
  // Whether tools/temp is still there once the removal of the last run's work folder, which
  // goes on in the background after the run has ended, is over.
  bool WorkFolderLeft() const;

 private:
  TempDir dir_{"app"};
};

}  // namespace qpt::test
