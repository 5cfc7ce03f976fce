// The platform side of ctr's file access and of the tools' entry point, one file per platform
// (PlatformPosix.cpp, PlatformWin32.cpp). Internal to ctr: the rest uses Io.h and Commands.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "ctr/Io.h"

namespace ctr::platform {

// fopen with a path that keeps every letter (UTF-16 on Windows); nullptr on failure.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);
// Moves the position of file to a 64-bit offset; false on failure.
bool Seek(std::FILE* file, std::uint64_t offset);
// Puts what was written to file on its storage device; false on failure.
bool SyncFile(std::FILE* file);
// Renames from to to, replacing a file already there, in one step of the file system.
std::error_code RenameReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Deletes a file; async-signal-safe.
void RemoveFileNow(const std::filesystem::path::value_type* path) noexcept;
// Copies size bytes from in at inOffset to out at outOffset inside the kernel where the
// system can, without moving either stream's position; returns how many bytes it copied
// (0 where no such copy applies: the caller copies the rest through its own buffers). out
// must have been flushed.
std::uint64_t CopyRange(std::FILE* in, std::uint64_t inOffset, std::FILE* out, std::uint64_t outOffset,
                        std::uint64_t size);

// The kind of write failure one of the system's own error codes (std::system_category) tells
// of, where it differs from the C library's errno values; None for every other code, which
// Io.cpp then reads as an errno value.
WriteFault SystemWriteFault(int code);
// The system's text for one of its own error codes, in one line.
std::string SystemMessage(int code);
// The error of the latest failed file call on this thread, and its reset (LastSystemError,
// ClearSystemError in Io.h).
std::error_code LastFileError();
void ClearFileError();

// The program's arguments after its name, as UTF-8.
std::vector<std::string> ToolArguments(int argc, char** argv);
// Makes an interrupt (Ctrl+C, a terminate request) remove the temporary files of outputs
// still being written before the process ends as interrupted.
void RemoveTemporariesOnInterrupt();

}  // namespace ctr::platform
