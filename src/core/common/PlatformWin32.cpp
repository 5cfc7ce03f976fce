// The Windows side of the support routines: starting a tool with CreateProcessW inside a job
// object, the run lock as a handle opened without sharing, and the platform's answers for
// Platform.h.
#include "core/common/Platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

#include <cstdlib>
#include <system_error>

#include "core/common/Common.h"
#include "core/common/RunLock.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// Every tool joins one job object whose last handle this process holds: when the program ends,
// however it ends, Windows closes the handle and kills what is still running in the job.
HANDLE ToolJob() {
  static const HANDLE job = [] {
    HANDLE created = CreateJobObjectW(nullptr, nullptr);
    if (created) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    }
    return created;
  }();
  return job;
}

}  // namespace

std::uint32_t RunTool(const std::string& program, const std::string& arguments,
                      const fs::path& workFolder, std::string* errorLine) {
  std::wstring commandLine = PathFromUtf8(program + " " + arguments).wstring();
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "Cannot start " + program);
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, 0, nullptr);

  // Only the handles named here reach the tool: its standard streams and the shared ones.
  std::vector<HANDLE> inherited{writeEnd};
  if (nul != INVALID_HANDLE_VALUE) inherited.push_back(nul);
  for (const std::intptr_t h : platform::SharedHandles()) {
    SetHandleInformation(reinterpret_cast<HANDLE>(h), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    inherited.push_back(reinterpret_cast<HANDLE>(h));
  }
  SIZE_T attributeSize = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
  std::vector<unsigned char> attributeBytes(attributeSize);
  auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBytes.data());
  InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize);
  UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                            inherited.size() * sizeof(HANDLE), nullptr, nullptr);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = nul;
  startup.StartupInfo.hStdOutput = nul;
  startup.StartupInfo.hStdError = writeEnd;
  startup.lpAttributeList = attributes;
  PROCESS_INFORMATION info{};
  const std::wstring folder = workFolder.wstring();
  const BOOL started = CreateProcessW(
      nullptr, commandLine.data(), nullptr, nullptr, TRUE,
      CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
      folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &info);
  const DWORD startError = GetLastError();
  DeleteProcThreadAttributeList(attributes);
  CloseHandle(writeEnd);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(readEnd);
    throw std::system_error(static_cast<int>(startError), std::system_category(), "Cannot start " + program);
  }
  if (HANDLE job = ToolJob()) AssignProcessToJobObject(job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);

  platform::TErrorTail tail;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0) tail.Add(buffer, got);
  CloseHandle(readEnd);

  std::uint32_t code = kExitWaitFailed;
  if (WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0) {
    DWORD exitCode = 0;
    if (GetExitCodeProcess(info.hProcess, &exitCode)) code = exitCode;
  }
  CloseHandle(info.hProcess);
  if (errorLine) *errorLine = tail.LastLine();
  return code;
}

TRunLock::TRunLock(const fs::path& appDir) {
  // A handle opened without any sharing is the lock: a second open fails with a sharing
  // violation until the holder closes it, which Windows does when the process ends.
  const HANDLE handle = CreateFileW(LockPath(appDir).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    state_ = TState::Held;
    ShareWithTools(handle_);
    return;
  }
  const DWORD code = GetLastError();
  if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
    state_ = TState::HeldElsewhere;
  } else {
    error_ = "Cannot open " + PathToUtf8(LockPath(appDir)) + " (system error " + std::to_string(code) + ").";
  }
}

TRunLock::~TRunLock() {
  if (handle_ != -1) {
    StopSharingWithTools(handle_);
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
  }
}

std::string ExecutableSuffix() { return ".exe"; }

std::string UserLanguageEnglishName() {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SENGLISHLANGUAGENAME, name, LOCALE_NAME_MAX_LENGTH) <= 0) {
    return {};
  }
  return PathToUtf8(fs::path(name));
}

TUtf8ThreadLocale::TUtf8ThreadLocale() = default;
TUtf8ThreadLocale::~TUtf8ThreadLocale() = default;

bool PlaySystemExclamation() {
  // SND_NODEFAULT: a system without the sound stays silent rather than play another one.
  PlaySoundW(L"SYSTEMEXCLAMATION", nullptr, SND_ALIAS | SND_ASYNC | SND_NODEFAULT);
  return true;
}

std::error_code platform::CopyFileReplacing(const fs::path& from, const fs::path& to) {
  if (CopyFileExW(from.c_str(), to.c_str(), nullptr, nullptr, nullptr, 0)) return {};
  return std::error_code(static_cast<int>(GetLastError()), std::system_category());
}

unsigned long platform::CurrentProcessId() { return GetCurrentProcessId(); }

bool platform::IsHiddenFile(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

std::optional<std::string> platform::EnvironmentVariable(const std::string& name) {
  const wchar_t* value = _wgetenv(PathFromUtf8(name).c_str());
  if (!value) return std::nullopt;
  return PathToUtf8(fs::path(value));
}

}  // namespace qpt
