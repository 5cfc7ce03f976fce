// quill-patch-cli's entry point: what only the process itself can know (its own folder, the
// locale, whether it writes to a terminal, Ctrl+C) is gathered here and handed to RunCli.
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/common/Common.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <csignal>
#include <unistd.h>
#endif
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace {

namespace fs = std::filesystem;

std::atomic<bool> gInterrupted{false};

#ifdef _WIN32

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
    gInterrupted.store(true);
    return TRUE;
  }
  return FALSE;
}

std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  if (!utf8.empty()) utf8.pop_back();  // the terminating zero
  return utf8;
}

// The narrow argv of Windows is in the ANSI code page; the wide command line keeps every letter.
std::vector<std::string> Arguments(int, char**) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

fs::path ProgramFolder(const char*) {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return fs::path(buffer).parent_path();
}

std::string LocaleLanguage() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  return GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH) > 0
             ? qpt::cli::LocaleLanguageName(Utf8(name))
             : std::string();
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
  if (!_isatty(_fileno(stdout))) return false;
  // The progress bar redraws its line with the usual terminal sequences.
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(console, &mode) &&
         SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

#else

extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

std::vector<std::string> Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

fs::path ProgramFolder(const char* argv0) {
  std::error_code ec;
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) == 0) {
    const fs::path resolved = fs::canonical(path.c_str(), ec);
    if (!ec) return resolved.parent_path();
  }
#else
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.parent_path();
#endif
  return fs::absolute(argv0, ec).parent_path();
}

std::string LocaleLanguage() {
  // The variables in the order the C library itself consults them for messages.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return qpt::cli::LocaleLanguageName(value);
  }
  return {};
}

void CatchInterrupts() {
  // Ctrl+C, a closed terminal or a polite kill ask the run to stop at its next step, so that
  // the work folder is removed and no half-built image is left.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool PrepareConsole() {
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) && !(term && std::string(term) == "dumb");
}

#endif

}  // namespace

int main(int argc, char** argv) {
  qpt::cli::TCliContext context;
  context.outputIsTerminal = PrepareConsole();
  context.appDir = ProgramFolder(argc > 0 ? argv[0] : "");
  context.localeLanguageName = LocaleLanguage();
  context.interrupted = &gInterrupted;
  context.catchInterrupts = CatchInterrupts;
  const int code = qpt::cli::RunCli(Arguments(argc, argv), context, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
