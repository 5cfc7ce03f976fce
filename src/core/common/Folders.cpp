#include "core/common/Folders.h"

#include <system_error>

#include "core/common/Common.h"
#include "core/common/Platform.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

constexpr const char* kName = "quill-patch-tool";

// An XDG base folder: the variable when it holds an absolute path, else $HOME/<fallback>.
fs::path BaseFolder(const TEnvironment& environment, const char* variable, const char* fallback) {
  if (const auto value = environment(variable); value && !value->empty()) {
    const fs::path path = PathFromUtf8(*value);
    if (path.is_absolute()) return path;
  }
  const auto home = environment("HOME");
  return PathFromUtf8(home ? *home : std::string()) / PathFromUtf8(fallback);
}

}  // namespace

TFolders::TFolders(const fs::path& programDir)
    : program(programDir),
      lang(programDir / "lang"),
      patch(programDir / "patch"),
      tools(programDir / "tools"),
      work(programDir) {}

std::optional<std::string> ProcessEnvironment(const std::string& name) { return platform::EnvironmentVariable(name); }

TFolders FindFolders(const fs::path& programDir, const TEnvironment& environment) {
  std::error_code ec;
  if (fs::is_directory(programDir / "lang", ec)) return TFolders(programDir);
  TFolders folders;
  folders.installed = true;
  folders.program = programDir;
  const fs::path prefix = programDir.parent_path();
  folders.lang = prefix / "share" / kName / "lang";
  folders.tools = prefix / "lib" / kName / "tools";
  folders.patch = BaseFolder(environment, "XDG_DATA_HOME", ".local/share") / kName / "patch";
  folders.work = BaseFolder(environment, "XDG_CACHE_HOME", ".cache") / kName;
  const fs::path shared = prefix / "share" / kName / "patch";
  if (fs::is_directory(shared, ec)) folders.sharedPatch.push_back(shared);
  return folders;
}

bool PrepareFolders(const TFolders& folders, std::string* error) {
  if (!folders.installed) return true;
  // The run lock lives in the work root's tools/, which a portable folder always has.
  for (const fs::path& folder : {folders.patch, folders.work / "tools"}) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
      if (error) *error = PathToUtf8(folder) + ": " + ec.message();
      return false;
    }
  }
  return true;
}

std::vector<fs::path> PatchRoots(const TFolders& folders) {
  std::vector<fs::path> roots{folders.patch};
  roots.insert(roots.end(), folders.sharedPatch.begin(), folders.sharedPatch.end());
  return roots;
}

std::vector<std::string> FolderLogLines(const TFolders& folders, const std::string& languagesLabel,
                                        const std::string& patchesLabel, const std::string& workLabel) {
  std::string patches = patchesLabel + " " + PathToUtf8(folders.patch);
  for (const fs::path& shared : folders.sharedPatch) patches += ", " + PathToUtf8(shared);
  return {languagesLabel + " " + PathToUtf8(folders.lang), patches,
          workLabel + " " + PathToUtf8(folders.work / "tools" / "temp")};
}

}  // namespace qpt
