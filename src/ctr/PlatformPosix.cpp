// The POSIX side of ctr's file access and of the tools' entry point.
#include "ctr/Platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "ctr/Io.h"

namespace ctr::platform {

namespace fs = std::filesystem;

std::FILE* OpenFile(const fs::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool Seek(std::FILE* file, std::uint64_t offset) { return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0; }

bool SyncFile(std::FILE* file) { return fsync(fileno(file)) == 0; }

std::error_code RenameReplacing(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  return ec;
}

void RemoveFileNow(const fs::path::value_type* path) noexcept { unlink(path); }

std::uint64_t CopyRange(std::FILE* in, std::uint64_t inOffset, std::FILE* out, std::uint64_t outOffset,
                        std::uint64_t size) {
#ifdef __linux__
  // copy_file_range copies inside the kernel, as cp does: the pure copies of the extraction
  // steps then cost what cp costs. Whatever it cannot do (another file system on an old
  // kernel, a special file) is left to the caller's buffered loop.
  const int inFd = fileno(in);
  const int outFd = fileno(out);
  loff_t from = static_cast<loff_t>(inOffset);
  loff_t to = static_cast<loff_t>(outOffset);
  std::uint64_t copied = 0;
  while (copied < size) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size - copied, 1u << 30));
    const ssize_t n = copy_file_range(inFd, &from, outFd, &to, chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    copied += static_cast<std::uint64_t>(n);
  }
  return copied;
#else
  (void)in;
  (void)inOffset;
  (void)out;
  (void)outOffset;
  (void)size;
  return 0;
#endif
}

WriteFault SystemWriteFault(int code) {
  // The system's codes are errno values here, and Io.cpp tells them apart, but for the one our
  // standard library does not map to a portable condition.
#ifdef EDQUOT
  if (code == EDQUOT) return WriteFault::DiskFull;
#endif
  (void)code;
  return WriteFault::None;
}

std::string SystemMessage(int code) { return std::system_category().message(code); }

std::error_code LastFileError() {
  const int code = errno;
  return code == 0 ? std::error_code() : std::error_code(code, std::generic_category());
}

void ClearFileError() { errno = 0; }

std::vector<std::string> ToolArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

namespace {

// The process still ends by the signal, so the caller sees the interrupt.
void OnTerminatingSignal(int signal) {
  RemovePendingOutputs();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void RemoveTemporariesOnInterrupt() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, OnTerminatingSignal);
}

}  // namespace ctr::platform
