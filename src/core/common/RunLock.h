// The lock that keeps two installation runs from sharing one program folder's work folder.
// Every run works in tools/temp and removes it at its end, so a second run started beside a
// first one (a second window, the command-line program, or both) would destroy the first
// one's files. A run holds an exclusive lock on tools/run.lock for as long as it may touch
// the work folder; the operating system drops the lock when the holder ends, however it
// ends, so a crashed run never leaves the folder locked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace qpt {

class TRunLock {
 public:
  enum class TState {
    Held,          // this object holds the lock
    HeldElsewhere, // another run (in this or another process) holds it
    Failed,        // the lock file could not be opened (tools/ missing or read-only)
  };

  // Tries once, without waiting, to take the lock of the program folder appDir.
  explicit TRunLock(const std::filesystem::path& appDir);
  // Releases the lock (the lock file stays, so that no run ever races on creating it).
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

  TState State() const { return state_; }
  bool Held() const { return state_ == TState::Held; }
  // For Failed: what the system said, as one sentence.
  const std::string& Error() const { return error_; }

  // appDir/tools/run.lock
  static std::filesystem::path LockPath(const std::filesystem::path& appDir);

 private:
  TState state_ = TState::Failed;
  std::string error_;
  std::intptr_t handle_ = -1;  // the lock file's descriptor (POSIX) or HANDLE (Windows)
};

}  // namespace qpt
