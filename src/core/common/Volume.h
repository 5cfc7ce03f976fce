// The volumes files are written to: which are mounted, what file system holds a path, and
// the two things a removable card needs that a local disk forgives: getting what was written
// out of the computer's cache onto the device, and reading it back from the device itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace qpt {

struct TVolume {
  std::filesystem::path root;  // the mount point ("/media/ann/CARD", "E:\")
  std::string fileSystem;      // lower case, as the system names it: "vfat", "fuse.fusefat", "exfat", "fat32", "ntfs"
  bool removable = false;      // a card or stick the player may pull out
};

// Every mounted volume a player could write to: the system's own (proc, sysfs, cgroups, the
// kernel's pseudo file systems) left out. Linux reads /proc/self/mountinfo, macOS asks
// getmntinfo, Windows lists the drive letters.
std::vector<TVolume> MountedVolumes();

// The volume that holds path (the longest mount point above it, links in path resolved as far
// as the path exists), from the given list; nullopt when none does.
std::optional<TVolume> VolumeOf(const std::filesystem::path& path, const std::vector<TVolume>& volumes);
// The same among the volumes mounted now (on Windows only the path's own volume is asked).
std::optional<TVolume> VolumeOf(const std::filesystem::path& path);

// The rules of the file system a folder of files is written to, so that a run refuses what
// the card cannot hold before writing anything.
struct TFileSystemRules {
  std::string name;                 // as the volume reports it, for messages
  std::uint64_t maxFileSize = 0;    // the largest file it holds; 0: no limit that matters here
  bool caseInsensitive = false;     // "A.bin" and "a.bin" name one file
  bool restrictedNames = false;     // no " * : < > ? \ | or control characters; no part ends in a space or dot
};
// FAT (FAT32: files below 4 GiB) and exFAT have the card's rules; other file systems none.
TFileSystemRules RulesOf(const std::string& fileSystem);

// Why a relative path ("romfs/a/b.bin") cannot be written under rules, or empty when it can.
// A case-insensitive collision needs every path; FindNameCollision looks for one.
std::string NameProblem(const std::string& relativeUtf8, const TFileSystemRules& rules);
// Two of the paths that a case-insensitive file system takes for one file (names compared as
// such a file system compares them), or nullopt. Two folders that differ only in case are not
// a collision: their files meet in one folder, each under its own name.
std::optional<std::pair<std::string, std::string>> FindNameCollision(const std::vector<std::string>& relativeUtf8);

// Sends what was written to the file or folder at path from the computer's cache to the
// device: fsync on POSIX (F_FULLFSYNC on macOS), FlushFileBuffers on Windows. A folder is
// flushed so that the names it holds (a new file, a rename) reach the device too; where the
// system cannot flush a folder (Windows without administrator rights, some file systems), that
// is not an error, as its names reach the device with the files' own flush there.
std::error_code FlushToDevice(const std::filesystem::path& path);

// Drops the computer's cached copy of a flushed file, so that the next read of it comes from
// the device (posix_fadvise; on Windows, where a program cannot drop the system's cache, an
// unbuffered open, after which Windows reads a file it had cached from the device again only
// where it must: there Sha256FromDevice is the read from the device).
void ForgetCachedCopy(const std::filesystem::path& file);

// The SHA-256 (64 lower-case hexadecimal digits) of a file as the device holds it: the
// computer's cached copy of the file is dropped first (posix_fadvise on POSIX, F_NOCACHE on
// macOS) or bypassed (unbuffered reads on Windows), so a card that lost the write shows it.
// Flush the file first. Empty when it cannot be read or stop was set.
std::string Sha256FromDevice(const std::filesystem::path& file, const std::atomic<bool>* stop = nullptr);

}  // namespace qpt
