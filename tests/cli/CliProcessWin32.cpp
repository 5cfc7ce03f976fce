// The Windows side of CliProcess: CreateProcessW in a process group of its own, with its
// standard output and error going to files.
#include "CliProcess.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "core/common/Common.h"

namespace qpt::test {

namespace fs = std::filesystem;

namespace {

HANDLE InheritableFile(const fs::path& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  // Shared for reading and writing, so that the test can read what the program wrote so far.
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The caller's environment with LANG set to lang and LC_ALL and LC_MESSAGES removed.
std::wstring Environment(const std::string& lang) {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; entry && *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    if (text.rfind(L"LANG=", 0) == 0 || text.rfind(L"LC_ALL=", 0) == 0 || text.rfind(L"LC_MESSAGES=", 0) == 0) {
      continue;
    }
    block += text;
    block += L'\0';
  }
  if (strings) FreeEnvironmentStringsW(strings);
  block += L"LANG=" + PathFromUtf8(lang).wstring();
  block += L'\0';
  block += L'\0';
  return block;
}

HANDLE Handle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

// The program's standard streams are in text mode, as a console program's are on Windows:
// every line ends in CR LF. The tests compare lines, so the ends are made plain again.
std::string PlainLineEnds(std::string text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  return plain;
}

}  // namespace

CliProcess::CliProcess(const fs::path& program, const std::vector<std::string>& args, const fs::path& workFolder,
                       const std::string& lang) {
  std::string commandLine = QuoteArgument(PathToUtf8(program));
  for (const std::string& arg : args) commandLine += " " + QuoteArgument(arg);
  std::wstring wideLine = PathFromUtf8(commandLine).wstring();
  std::wstring environment = Environment(lang);

  const HANDLE out = InheritableFile(logs_ / "out", GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err = InheritableFile(logs_ / "err", GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE in = InheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  const std::wstring folder = workFolder.wstring();
  if (CreateProcessW(nullptr, wideLine.data(), nullptr, nullptr, TRUE,
                     CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, environment.data(), folder.c_str(),
                     &startup, &info)) {
    CloseHandle(info.hThread);
    pid_ = reinterpret_cast<std::intptr_t>(info.hProcess);
    processId_ = info.dwProcessId;
  } else {
    ADD_FAILURE() << "cannot start " << PathToUtf8(program) << ": system error " << GetLastError();
  }
  for (HANDLE h : {out, err, in}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
}

CliProcess::~CliProcess() {
  if (pid_ != -1) {
    TerminateProcess(Handle(pid_), kKilledExitCode);
    WaitForSingleObject(Handle(pid_), INFINITE);
    CloseHandle(Handle(pid_));
  }
}

void CliProcess::Kill() {
  if (pid_ != -1) TerminateProcess(Handle(pid_), kKilledExitCode);
}

bool CliProcess::InterruptGroup() {
  // Ctrl+C is never delivered to a group started apart from the console's own; Ctrl+Break is,
  // to the processes that share the test's console.
  return pid_ != -1 && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processId_);
}

std::string CliProcess::OutSoFar() const { return PlainLineEnds(ReadFile(logs_ / "out")); }

CliResult CliProcess::Wait() {
  CliResult result;
  if (pid_ == -1) return result;
  if (WaitForSingleObject(Handle(pid_), 2 * 60 * 1000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the program did not end within two minutes";
    TerminateProcess(Handle(pid_), kKilledExitCode);
    WaitForSingleObject(Handle(pid_), INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(Handle(pid_), &code);
  CloseHandle(Handle(pid_));
  pid_ = -1;
  result.exitCode = static_cast<int>(code);
  result.out = PlainLineEnds(ReadFile(logs_ / "out"));
  result.err = PlainLineEnds(ReadFile(logs_ / "err"));
  return result;
}

}  // namespace qpt::test
