// The Windows side of ctr's file access and of the tools' entry point: wide-character paths
// and command lines, so that every letter of a name survives whatever the ANSI code page is.
#include "ctr/Platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <io.h>

#include "ctr/Io.h"

namespace ctr::platform {

namespace fs = std::filesystem;

std::FILE* OpenFile(const fs::path& path, const char* mode) {
  const std::wstring wideMode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wideMode.c_str());
}

bool Seek(std::FILE* file, std::uint64_t offset) { return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0; }

bool SyncFile(std::FILE* file) { return _commit(_fileno(file)) == 0; }

std::error_code RenameReplacing(const fs::path& from, const fs::path& to) {
  // Write-through: the rename is on the disk when the call returns, as a complete image
  // should be before a tool reports success.
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
  return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}

void RemoveFileNow(const fs::path::value_type* path) noexcept { DeleteFileW(path); }

std::uint64_t CopyRange(std::FILE*, std::uint64_t, std::FILE*, std::uint64_t, std::uint64_t) {
  // Windows copies whole files in the kernel (CopyFileExW), not ranges into another file; the
  // caller's large-block loop is what remains.
  return 0;
}

std::vector<std::string> ToolArguments(int, char**) {
  // The narrow argv of Windows is in the ANSI code page; paths need the wide command line.
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide && i < count; ++i) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(n > 0 ? static_cast<std::size_t>(n - 1) : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8.data(), n, nullptr, nullptr);
    args.push_back(utf8);
  }
  if (wide) LocalFree(wide);
  return args;
}

namespace {

// Runs on a thread of its own; returning FALSE lets the next handler (the default one) end
// the process as interrupted.
BOOL WINAPI OnConsoleControl(DWORD) {
  RemovePendingOutputs();
  return FALSE;
}

}  // namespace

void RemoveTemporariesOnInterrupt() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

}  // namespace ctr::platform
