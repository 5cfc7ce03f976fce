// The Windows side of CliProcess: CreateProcessW in a process group of its own, with its
// standard output and error going to files (or its output into a pipe).
#include "CliProcess.h"

#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cwchar>

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

// The caller's environment with LANG set to lang, LC_ALL and LC_MESSAGES removed, and the
// entries of extra added.
std::wstring Environment(const std::string& lang, const std::vector<std::string>& extra) {
  std::vector<std::wstring> replaced{L"LANG=", L"LC_ALL=", L"LC_MESSAGES="};
  for (const std::string& entry : extra) replaced.push_back(PathFromUtf8(entry.substr(0, entry.find('=') + 1)).wstring());
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; entry && *entry; entry += wcslen(entry) + 1) {
    const std::wstring text = entry;
    // Windows compares the names of its variables without regard to case.
    if (std::any_of(replaced.begin(), replaced.end(),
                    [&](const std::wstring& name) { return _wcsnicmp(text.c_str(), name.c_str(), name.size()) == 0; })) {
      continue;
    }
    block += text;
    block += L'\0';
  }
  if (strings) FreeEnvironmentStringsW(strings);
  block += L"LANG=" + PathFromUtf8(lang).wstring();
  block += L'\0';
  for (const std::string& entry : extra) {
    block += PathFromUtf8(entry).wstring();
    block += L'\0';
  }
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
                       const std::string& lang, CliOutput output, const std::vector<std::string>& environment)
    : output_(output) {
  std::string commandLine = QuoteArgument(PathToUtf8(program));
  for (const std::string& arg : args) commandLine += " " + QuoteArgument(arg);
  std::wstring wideLine = PathFromUtf8(commandLine).wstring();
  std::wstring environmentBlock = Environment(lang, environment);

  HANDLE out = INVALID_HANDLE_VALUE;
  if (output == CliOutput::Pipe) {
    // Only the writing end goes to the program: while it held the reading end too, its writes
    // would never fail.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    if (CreatePipe(&readEnd, &out, &inheritable, 0)) {
      SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
      outPipe_ = reinterpret_cast<std::intptr_t>(readEnd);
    } else {
      out = INVALID_HANDLE_VALUE;
    }
  } else {
    out = InheritableFile(logs_ / "out", GENERIC_WRITE, CREATE_ALWAYS);
  }
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
                     CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT, environmentBlock.data(), folder.c_str(),
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
  CloseOut();
}

bool CliProcess::ReadOutLine(std::string& line) {
  line.clear();
  char c = 0;
  DWORD got = 0;
  while (outPipe_ != -1 && ::ReadFile(Handle(outPipe_), &c, 1, &got, nullptr) && got == 1) {
    if (c == '\n') return true;
    if (c != '\r') line += c;
  }
  return !line.empty();
}

void CliProcess::CloseOut() {
  if (outPipe_ != -1) CloseHandle(Handle(outPipe_));
  outPipe_ = -1;
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
  if (output_ == CliOutput::File) result.out = PlainLineEnds(ReadFile(logs_ / "out"));
  result.err = PlainLineEnds(ReadFile(logs_ / "err"));
  return result;
}

}  // namespace qpt::test
