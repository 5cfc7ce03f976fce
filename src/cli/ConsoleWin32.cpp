// The Windows side of the command-line program's console.
#include "cli/Console.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "cli/Cli.h"

namespace qpt::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> gInterrupted{false};

// Runs on a thread of its own that Windows starts for the event.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    gInterrupted.store(true);
    return TRUE;
  }
  if (type == CTRL_CLOSE_EVENT) {
    // Windows ends the program as soon as this returns (and a few seconds later in any case):
    // waiting here gives the run that time to stop at its next step and remove the work
    // folder. The program's own end ends the wait.
    gInterrupted.store(true);
    Sleep(INFINITE);
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

}  // namespace

// The narrow argv of Windows is in the ANSI code page; the wide command line keeps every letter.
std::vector<std::string> ProgramArguments(int, char**) {
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

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool InputIsTerminal() {
  // _isatty says yes for every character device, NUL among them, which a script hands a
  // program that must not wait for an answer; only a console has a console mode.
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool PrepareConsole() {
  SetConsoleOutputCP(CP_UTF8);
  if (!_isatty(_fileno(stdout))) return false;
  // The progress bar redraws its line with the usual terminal sequences.
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(console, &mode) &&
         SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

const std::atomic<bool>* InterruptFlag() { return &gInterrupted; }

}  // namespace qpt::cli
