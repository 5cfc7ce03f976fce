// The Windows side of the volume facts: the drive letters and their file systems,
// FlushFileBuffers, and unbuffered reads that go past the system's cache.
#include "core/common/Volume.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "core/common/Common.h"
#include "ctr/Sha256.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

std::error_code LastError() { return std::error_code(static_cast<int>(GetLastError()), std::system_category()); }

}  // namespace

namespace {

// The volume whose root is given ("E:\\"), or nullopt where it cannot be asked (no medium, a
// drive the system will not describe).
std::optional<TVolume> Describe(const wchar_t* root) {
  const UINT type = GetDriveTypeW(root);
  if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_UNKNOWN) return std::nullopt;
  wchar_t fileSystem[MAX_PATH + 1] = {};
  if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1)) return std::nullopt;
  TVolume volume;
  volume.root = fs::path(root);
  volume.fileSystem = Lower(PathToUtf8(fs::path(fileSystem)));
  volume.removable = type == DRIVE_REMOVABLE || RulesOf(volume.fileSystem).restrictedNames;
  return volume;
}

// While it lives, a drive without a medium (an empty card reader) fails at once instead of
// asking the player with a dialog box.
class TNoDriveDialogs {
 public:
  TNoDriveDialogs() : old_(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
  ~TNoDriveDialogs() { SetErrorMode(old_); }
  TNoDriveDialogs(const TNoDriveDialogs&) = delete;
  TNoDriveDialogs& operator=(const TNoDriveDialogs&) = delete;

 private:
  UINT old_;
};

}  // namespace

std::vector<TVolume> MountedVolumes() {
  std::vector<TVolume> volumes;
  const TNoDriveDialogs quiet;
  const DWORD drives = GetLogicalDrives();
  for (int letter = 0; letter < 26; ++letter) {
    if (!(drives & (1u << letter))) continue;
    const wchar_t root[] = {static_cast<wchar_t>(L'A' + letter), L':', L'\\', 0};
    if (auto volume = Describe(root)) volumes.push_back(std::move(*volume));
  }
  return volumes;
}

std::optional<TVolume> VolumeOf(const fs::path& path) {
  // Only the path's own volume is asked: every drive letter would wake sleeping disks and
  // wait for network drives.
  std::error_code ec;
  fs::path absolute = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) absolute = fs::absolute(path, ec).lexically_normal();
  const TNoDriveDialogs quiet;
  wchar_t root[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(absolute.c_str(), root, MAX_PATH + 1)) return std::nullopt;
  return Describe(root);
}

std::error_code FlushToDevice(const fs::path& path) {
  std::error_code ec;
  const bool folder = fs::is_directory(path, ec);
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  // A folder's names reach the device with its files' flush where Windows refuses to flush it.
  if (handle == INVALID_HANDLE_VALUE) return folder ? std::error_code() : LastError();
  const bool flushed = FlushFileBuffers(handle);
  const std::error_code error = flushed || folder ? std::error_code() : LastError();
  CloseHandle(handle);
  return error;
}

void ForgetCachedCopy(const fs::path& file) {
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

std::string Sha256FromDevice(const fs::path& file, const std::atomic<bool>* stop) {
  // Unbuffered reads come from the device, in whole sectors into memory aligned to a page;
  // the last read of a file asks for whole sectors too and gets what is left.
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return std::string();
  constexpr DWORD kBlock = DWORD{4} << 20;
  void* block = VirtualAlloc(nullptr, kBlock, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  bool ok = block != nullptr;
  ctr::Sha256 hash;
  while (ok) {
    if (stop && stop->load()) {
      ok = false;
      break;
    }
    DWORD read = 0;
    if (!ReadFile(handle, block, kBlock, &read, nullptr)) {
      ok = false;
      break;
    }
    if (read == 0) break;
    hash.Update(block, read);
  }
  if (block) VirtualFree(block, 0, MEM_RELEASE);
  CloseHandle(handle);
  if (!ok) return std::string();
  const ctr::Sha256Digest digest = hash.Final();
  return HexText(digest.data(), digest.size(), false);
}

}  // namespace qpt
