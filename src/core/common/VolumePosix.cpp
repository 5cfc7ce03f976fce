// The POSIX side of the volume facts: the mount table (/proc/self/mountinfo on Linux,
// getmntinfo on macOS), fsync, and reads that go past the computer's cache.
#include "core/common/Volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <vector>

#ifdef __APPLE__
#include <sys/mount.h>
#include <sys/param.h>
#endif

#include "core/common/Common.h"
#include "ctr/Sha256.h"

namespace qpt {

namespace fs = std::filesystem;

namespace {

// The kernel's own file systems, which hold nothing a player writes to.
bool PseudoFileSystem(const std::string& type) {
  static const char* const kPseudo[] = {
      "proc",     "sysfs",     "cgroup",     "cgroup2",  "devpts",     "devtmpfs",   "mqueue",      "securityfs",
      "debugfs",  "tracefs",   "pstore",     "bpf",      "configfs",   "fusectl",    "hugetlbfs",   "autofs",
      "binfmt_misc", "rpc_pipefs", "nsfs",   "efivarfs", "selinuxfs",  "ramfs",      "devfs",       "squashfs"};
  return std::find_if(std::begin(kPseudo), std::end(kPseudo), [&type](const char* p) { return type == p; }) !=
         std::end(kPseudo);
}

// A file system of a card or a stick, by its type: what a computer mounts from one.
bool CardFileSystem(const std::string& type) {
  const TFileSystemRules rules = RulesOf(type);
  return rules.restrictedNames || type == "fuseblk";
}

#ifdef __linux__
// Mount points are written with space, tab, newline and backslash as octal escapes.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i >= 4 &&
        std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i) + 1, field.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                    [](char c) { return c >= '0' && c <= '7'; })) {
      out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Whether the block device behind source ("/dev/sdb1", "/dev/mmcblk0p1") says it is removable.
bool RemovableDevice(const std::string& source) {
  if (source.rfind("/dev/", 0) != 0) return false;
  const std::string name = source.substr(5);
  if (name.rfind("mmcblk", 0) == 0) return true;  // a card reader's card
  std::error_code ec;
  // /sys/class/block/<partition> leads to the disk's folder, whose "removable" tells.
  fs::path device = fs::canonical(fs::path("/sys/class/block") / name, ec);
  if (ec) return false;
  for (int up = 0; up < 2; ++up, device = device.parent_path()) {
    std::string flag;
    if (ReadSmallFile(device / "removable", flag)) return !flag.empty() && flag[0] == '1';
  }
  return false;
}
#endif

}  // namespace

std::vector<TVolume> MountedVolumes() {
  std::vector<TVolume> volumes;
#if defined(__linux__)
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // ID parent major:minor root mount-point options [optional fields...] - type source options
    std::vector<std::string> fields;
    for (std::size_t start = 0; start < line.size();) {
      const std::size_t end = std::min(line.find(' ', start), line.size());
      fields.push_back(line.substr(start, end - start));
      start = end + 1;
    }
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 3) continue;
    TVolume volume;
    volume.root = fs::path(Unescape(fields[4]));
    volume.fileSystem = Lower(*(dash + 1));
    if (PseudoFileSystem(volume.fileSystem)) continue;
    const std::string source = Unescape(*(dash + 2));
    const std::string mountPoint = volume.root.string();
    volume.removable = CardFileSystem(volume.fileSystem) || RemovableDevice(source) ||
                       mountPoint.rfind("/media/", 0) == 0 || mountPoint.rfind("/run/media/", 0) == 0;
    // A later mount over the same point hides the earlier one.
    volumes.erase(std::remove_if(volumes.begin(), volumes.end(), [&](const TVolume& v) { return v.root == volume.root; }),
                  volumes.end());
    volumes.push_back(std::move(volume));
  }
#elif defined(__APPLE__)
  struct statfs* mounts = nullptr;
  const int count = getmntinfo(&mounts, MNT_NOWAIT);
  for (int i = 0; i < count; ++i) {
    TVolume volume;
    volume.root = fs::path(mounts[i].f_mntonname);
    volume.fileSystem = Lower(mounts[i].f_fstypename);
    if (PseudoFileSystem(volume.fileSystem)) continue;
    volume.removable = CardFileSystem(volume.fileSystem) || !(mounts[i].f_flags & MNT_LOCAL) ||
                       volume.root.string().rfind("/Volumes/", 0) == 0;
    volumes.push_back(std::move(volume));
  }
#endif
  return volumes;
}

std::optional<TVolume> VolumeOf(const fs::path& path) { return VolumeOf(path, MountedVolumes()); }

std::error_code FlushToDevice(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::error_code(errno, std::generic_category());
  struct stat info {};
  const bool folder = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  int result = 0;
#ifdef __APPLE__
  // macOS's fsync stops at the drive's own cache; F_FULLFSYNC reaches the medium.
  result = fcntl(fd, F_FULLFSYNC);
  if (result != 0) result = fsync(fd);
#else
  result = fsync(fd);
#endif
  const int error = result != 0 ? errno : 0;
  close(fd);
  // Some file systems flush no folder; the names in it reach the device with its files there.
  if (error == 0 || (folder && (error == EINVAL || error == ENOTSUP || error == EBADF))) return {};
  return std::error_code(error, std::generic_category());
}

namespace {

void Forget(int fd) {
#ifdef __APPLE__
  fcntl(fd, F_NOCACHE, 1);
#else
  // Only pages that are on the device can be dropped: what is still to be written goes first.
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#endif
}

}  // namespace

void ForgetCachedCopy(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  Forget(fd);
  close(fd);
}

std::string Sha256FromDevice(const fs::path& file, const std::atomic<bool>* stop) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  Forget(fd);
  ctr::Sha256 hash;
  std::vector<std::uint8_t> block(std::size_t{4} << 20);
  bool ok = true;
  for (;;) {
    if (stop && stop->load()) {
      ok = false;
      break;
    }
    const ssize_t n = read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    hash.Update(block.data(), static_cast<std::size_t>(n));
  }
#ifndef __APPLE__
  // What was read to check it is not kept either: a card's files are not read again soon.
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
#endif
  close(fd);
  if (!ok) return std::string();
  const ctr::Sha256Digest digest = hash.Final();
  return HexText(digest.data(), digest.size(), false);
}

}  // namespace qpt
