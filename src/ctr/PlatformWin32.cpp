// The Windows side of ctr's file access and of the tools' entry point: wide-character paths
// and command lines, so that every letter of a name survives whatever the ANSI code page is.
#include "ctr/Platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdlib>
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

// The system's code for a user's disk quota used up; the mingw-w64 headers lack its name.
constexpr DWORD kErrorDiskQuotaExceeded = 1295;

WriteFault SystemWriteFault(int code) {
  switch (static_cast<DWORD>(code)) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kErrorDiskQuotaExceeded:
    case ERROR_FILE_TOO_LARGE:
      return WriteFault::DiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return WriteFault::NoPermission;
    // A memory card or a USB drive pulled out while it was written.
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
      return WriteFault::DeviceGone;
    default:
      return WriteFault::None;
  }
}

std::string SystemMessage(int code) {
  // The standard library of our compiler reads these codes as errno values; the system has
  // its own texts for them, in the user's language.
  LPWSTR text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string utf8;
  if (length > 0 && text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    utf8.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), n, nullptr, nullptr);
  }
  if (text) LocalFree(text);
  while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == ' ' || utf8.back() == '.')) {
    utf8.pop_back();
  }
  return utf8.empty() ? "system error " + std::to_string(code) : utf8;
}

std::error_code LastFileError() {
  // The C library keeps the system's own code beside the errno value it maps it to; only the
  // system's code tells a full disk from a pulled card.
  const unsigned long system = _doserrno;
  if (system != 0) return std::error_code(static_cast<int>(system), std::system_category());
  const int code = errno;
  return code == 0 ? std::error_code() : std::error_code(code, std::generic_category());
}

void ClearFileError() {
  errno = 0;
  _doserrno = 0;
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
