#include "core/common/RunLock.h"

#include "core/common/Common.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace qpt {

namespace fs = std::filesystem;

fs::path TRunLock::LockPath(const fs::path& appDir) { return appDir / "tools" / "run.lock"; }

#ifdef _WIN32

TRunLock::TRunLock(const fs::path& appDir) {
  // A handle opened without any sharing is the lock: a second open fails with a sharing
  // violation until the holder closes it, which Windows does when the process ends.
  const HANDLE handle = CreateFileW(LockPath(appDir).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    handle_ = handle;
    state_ = TState::Held;
    ShareWithTools(reinterpret_cast<std::intptr_t>(handle));
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
  if (handle_) {
    StopSharingWithTools(reinterpret_cast<std::intptr_t>(handle_));
    CloseHandle(static_cast<HANDLE>(handle_));
  }
}

#else

TRunLock::TRunLock(const fs::path& appDir) {
  // flock belongs to the open file description, so a second open in the same process is
  // refused as well. Close-on-exec keeps unrelated programs from inheriting it; the tools of
  // the run are handed it on purpose, so that the lock lasts until the last of them has ended
  // (and tools die with the program, so a crashed run frees the folder a moment later).
  const fs::path path = LockPath(appDir);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error_ = "Cannot open " + PathToUtf8(path) + ": " + std::strerror(errno) + ".";
    return;
  }
  int result;
  do {
    result = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    state_ = TState::Held;
    ShareWithTools(fd_);
    return;
  }
  if (errno == EWOULDBLOCK) {
    state_ = TState::HeldElsewhere;
  } else {
    error_ = "Cannot lock " + PathToUtf8(path) + ": " + std::strerror(errno) + ".";
  }
  ::close(fd_);
  fd_ = -1;
}

TRunLock::~TRunLock() {
  if (fd_ >= 0) {
    StopSharingWithTools(fd_);
    ::close(fd_);
  }
}

#endif

}  // namespace qpt
