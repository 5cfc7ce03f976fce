// The platform side of the support routines, one file per platform (PlatformPosix.cpp,
// PlatformWin32.cpp): starting a tool and waiting for it (RunTool, declared in Common.h),
// the run lock (TRunLock, RunLock.h), and the few questions only the system can answer.
// Internal to core/common; the rest of the program uses Common.h and RunLock.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace qpt::platform {

// The handles that every tool started now must inherit (ShareWithTools).
std::vector<std::intptr_t> SharedHandles();

// Keeps the end of what a tool writes to its error stream, and gives its last non-empty line.
class TErrorTail {
 public:
  void Add(const char* data, std::size_t size);
  std::string LastLine() const;

 private:
  static constexpr std::size_t kKeep = 4096;
  std::string tail_;
};

// Copies the file from to to, replacing a file already there, in the system's own way (the
// kernel's copy on Linux, CopyFileExW on Windows, where the standard library of our compiler
// refuses to replace an existing file).
std::error_code CopyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// This process's ID, for names that two programs running at once must not share.
unsigned long CurrentProcessId();

// Whether a file is one the system or the user has hidden: flagged hidden or system on
// Windows; a name beginning with "." elsewhere (".DS_Store" and the like).
bool IsHiddenFile(const std::filesystem::path& path);

// One variable of this process's environment as UTF-8 (Windows keeps it in UTF-16, which the C
// library's getenv would give in the code page, losing a user name beyond it); nothing when it
// is not set.
std::optional<std::string> EnvironmentVariable(const std::string& name);

}  // namespace qpt::platform
