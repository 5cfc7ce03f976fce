// xdelta.exe for Windows: xdelta3 (built from its own source, as the Linux program folder
// uses the system's xdelta3), started with its arguments as UTF-8 taken from the wide command
// line, and opening files by UTF-8 names (Utf8Names.h). The command line, the options, the
// messages and the exit codes are xdelta3's own.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int xd3_main_cmdline(int argc, char** argv);

namespace {

std::wstring Wide(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), n);
  wide.pop_back();  // the terminating zero
  return wide;
}

std::string Utf8(const wchar_t* wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), n, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

}  // namespace

extern "C" HANDLE QptCreateFileUtf8(const char* name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile) {
  const std::wstring wide = Wide(name);
  if (wide.empty()) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(wide.c_str(), access, share, security, disposition, flags, templateFile);
}

extern "C" int QptStatUtf8(const char* name, struct stat* status) {
  // xdelta3 asks only whether a regular file is there (before refusing to overwrite it).
  const DWORD attributes = GetFileAttributesW(Wide(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return -1;
  *status = {};
  status->st_mode = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? S_IFDIR : S_IFREG;
  return 0;
}

int main() {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return 1;
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return xd3_main_cmdline(static_cast<int>(args.size()), argv.data());
}
