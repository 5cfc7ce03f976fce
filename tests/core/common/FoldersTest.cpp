#include "core/common/Folders.h"

#include <gtest/gtest.h>

#include <map>

#include "support/TempDir.h"

namespace qpt {
namespace {

namespace fs = std::filesystem;

// Portable when lang/ stands beside the program; otherwise the XDG folders, each variable
// falling back to HOME when it is unset, empty or relative.
// An absolute path of the platform's (Windows wants a drive before the root).
std::string Abs(const std::string& rooted) {
#ifdef _WIN32
  return "C:" + rooted;
#else
  return rooted;
#endif
}

TEST(Folders, PortableBesideTheProgramElseTheXdgFolders) {
  test::TempDir root("folders");
  const fs::path portable = root / "portable";
  fs::create_directories(portable / "lang");
  const fs::path bin = root / "usr" / "bin";
  fs::create_directories(bin);
  fs::create_directories(root / "usr" / "share" / "quill-patch-tool" / "patch");
  const fs::path share = root / "usr" / "share" / "quill-patch-tool";

  struct Case {
    fs::path program;
    std::map<std::string, std::string> environment;
    bool installed;
    fs::path patch, work;
  } const cases[] = {
      {portable, {{"HOME", Abs("/h")}, {"XDG_DATA_HOME", Abs("/d")}}, false, portable / "patch", portable},
      {bin, {{"HOME", Abs("/h")}}, true, Abs("/h/.local/share/quill-patch-tool/patch"), Abs("/h/.cache/quill-patch-tool")},
      {bin, {{"HOME", Abs("/h")}, {"XDG_DATA_HOME", Abs("/d")}, {"XDG_CACHE_HOME", Abs("/c")}}, true,
       Abs("/d/quill-patch-tool/patch"), Abs("/c/quill-patch-tool")},
      {bin, {{"HOME", Abs("/h")}, {"XDG_DATA_HOME", ""}, {"XDG_CACHE_HOME", "rel"}}, true,
       Abs("/h/.local/share/quill-patch-tool/patch"), Abs("/h/.cache/quill-patch-tool")},
  };
  for (const Case& c : cases) {
    const TFolders f = FindFolders(c.program, [&](const std::string& name) -> std::optional<std::string> {
      const auto at = c.environment.find(name);
      return at == c.environment.end() ? std::nullopt : std::optional<std::string>(at->second);
    });
    SCOPED_TRACE(c.program.string() + " -> " + c.patch.string());
    EXPECT_EQ(f.installed, c.installed);
    EXPECT_EQ(f.patch, c.patch);
    EXPECT_EQ(f.work, c.work);
    EXPECT_EQ(f.lang, c.installed ? share / "lang" : portable / "lang");
    EXPECT_EQ(f.tools, c.installed ? root / "usr" / "lib" / "quill-patch-tool" / "tools" : portable / "tools");
    const std::vector<fs::path> roots =
        c.installed ? std::vector<fs::path>{c.patch, share / "patch"} : std::vector<fs::path>{c.patch};
    EXPECT_EQ(PatchRoots(f), roots);
  }
}

}  // namespace
}  // namespace qpt
