// Support routines: running an external tool, silent folder copy and delete, the MD5 of a
// file, stream alignment helpers and plain file operations. None of them keeps state, logs
// or looks up a message text; each caller decides what a result means.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <system_error>
#include <vector>

namespace ctr {
class Status;
}

namespace qpt {

// Exit status reported for a tool that was interrupted (Ctrl+C, a terminate or hang-up
// signal); the value Windows reports for a console program ended by Ctrl+C.
inline constexpr std::uint32_t kExitInterrupted = 0xC000013Au;
// Returned when waiting for a tool failed; callers treat it as an unknown failure.
inline constexpr std::uint32_t kExitWaitFailed = 0xFFFFFFFFu;

// Splits a command line by the rules Windows programs use for their arguments: blanks
// separate, double quotes group, 2n backslashes before a quote give n backslashes and a
// quote toggle, 2n+1 give n backslashes and a literal quote, "" inside quotes is one quote,
// and a lone quote at the end is dropped. The first element (the program) is split by the
// simpler rule Windows applies to it: quoted up to the next quote, else up to a blank.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// The argument in double quotes, written so that SplitCommandLine gives it back unchanged
// whatever it holds: a quote becomes \", and backslashes before a quote or before the
// closing quote are doubled.
std::string QuoteArgument(const std::string& argument);

// Runs program + " " + arguments as one command line (the caller quotes the program path and
// any paths with blanks), in workFolder (empty: the caller's current folder), with no console
// output shown, and waits without time-out. Returns the tool's exit code; a tool ended by an
// interrupt, terminate or hang-up signal gives kExitInterrupted, by another signal 128 plus
// the signal number. Throws std::system_error when the program cannot be started.
// The tool runs in a process group of its own, so that a Ctrl+C typed in a terminal reaches
// only this program, and it is killed when this program ends, however that happens. When
// errorLine is given, it receives the last non-empty line the tool wrote to its error stream.
// Thread: any; blocks the calling thread.
std::uint32_t RunTool(const std::string& program, const std::string& arguments,
                      const std::filesystem::path& workFolder, std::string* errorLine = nullptr);

// A handle (a file descriptor on POSIX) that every tool started from now on inherits, until it
// is withdrawn again: the run lock, so that the lock stays held until the last tool of a run
// has ended, even when the program itself is gone.
void ShareWithTools(std::intptr_t handle);
void StopSharingWithTools(std::intptr_t handle);

// Copies the folder source, under its own name, into destination (created when missing),
// merging with what is there and replacing files of the same name. A name that differs from
// one already there only in letter case replaces that file (or merges into that folder) under
// the name already there, as a copy on Windows would, so that the destination never holds two
// entries a game would see as one. Symbolic links below source are never followed: a link
// could bring any file of the user's into a game image; each one is skipped and, when
// skippedLinks is given, listed there. False when source is not a folder (or is itself a
// link) or anything could not be copied; when that was a write that failed (a full disk, no
// right to write) and writeFailure is given, it receives the first such write's status.
bool CopyFolder(const std::filesystem::path& source, const std::filesystem::path& destination,
                std::vector<std::filesystem::path>* skippedLinks = nullptr, ctr::Status* writeFailure = nullptr);

// Whether a failed operation failed because something could not be written: no space, a quota,
// a file-size limit, a read-only file system, no permission, or a device that went away.
bool IsWriteFailure(const std::error_code& error);

// Removes a folder with everything in it, or a single file. False when the path does not
// exist or could not be removed.
bool DeleteFolder(const std::filesystem::path& path);

// MD5 of a file's whole content as 32 upper-case hexadecimal characters. Streamed, so any
// size works. Throws std::runtime_error when the file cannot be opened or read.
std::string FileMD5(const std::filesystem::path& path);

// Bytes as hexadecimal text, two digits a byte (digests: MD5 as the patches write it in upper
// case, SHA-256 as receipts write it in lower case).
std::string HexText(const std::uint8_t* data, std::size_t size, bool upperCase);

// Bytes from n to the next multiple of 64 (0 when n already is one).
std::int64_t PaddingTo64(std::int64_t n);

// Moves a read position forward to the next multiple of alignment; returns the bytes skipped.
std::int64_t SkipToAlignment(std::istream& stream, std::int64_t alignment);

// Writes zero bytes up to the next multiple of alignment (at most 64); returns the count.
std::int64_t PadToAlignment(std::ostream& stream, std::int64_t alignment);

// Plain file operations. Each reports failure by its result, never by an exception.
bool FileExists(const std::filesystem::path& path);    // an existing file, not a folder
bool FolderExists(const std::filesystem::path& path);  // an existing folder
bool CreateFolder(const std::filesystem::path& path);  // one level; false when it exists
bool RemoveFile(const std::filesystem::path& path);    // one file
bool RenameFile(const std::filesystem::path& from, const std::filesystem::path& to);  // false when `to` exists

// The lines of a log line as the log shows them: each CR LF starts a further line (so a line
// that begins with CR LF shows an empty line first).
std::vector<std::string> SplitLogLine(const std::string& line);

// Whether two paths name one file: the same file by identity (a hard or symbolic link, or a
// name that a case-insensitive file system takes for the other), or the same normalized path.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Whether a new file can be made in folder: a probe file is created and deleted again.
bool CanWriteIn(const std::filesystem::path& folder);

// UTF-8 text <-> paths, independent of the platform's narrow encoding.
std::filesystem::path PathFromUtf8(const std::string& utf8);
std::string PathToUtf8(const std::filesystem::path& path);

// A relative path as UTF-8 with '/' between its names on every platform, as the RomFS, the
// receipts and the patch lists name files.
std::string GenericUtf8(const std::filesystem::path& relative);

// A relative path written with backslashes ("tools\temp\exefs.bin") in the platform's
// separator, for the fixed argument strings of the tools.
std::string NativeSeparators(std::string relative);

// The text with its ASCII letters in lower case, for file extensions and language codes.
std::string Lower(std::string text);

// Bytes of a file, or of every file below a folder; 0 for anything missing. Links are not
// followed, and a file that cannot be measured (it may just be going away) counts as nothing.
std::uint64_t TreeSize(const std::filesystem::path& path);

// The platform's executable suffix (".exe" on Windows, empty elsewhere).
std::string ExecutableSuffix();

// The English name of the language of the user's default locale ("Russian"), or empty when it
// cannot be told. Windows names every language; elsewhere the locale variables (LC_ALL,
// LC_MESSAGES, LANG, in the order the C library consults them) are read, and only the
// languages the program ships are named.
std::string UserLanguageEnglishName();

// Starts the system's exclamation sound (Windows' "SYSTEMEXCLAMATION") without waiting for it.
// False where the system has no such sound; the caller may then beep in its own way.
bool PlaySystemExclamation();

// Reads a whole file into memory as bytes; false when it cannot be read, the reason dropped.
// For small files only (headers, indexes, language files, descriptors); where the reason
// matters, ctr::ReadWholeFile gives it.
bool ReadSmallFile(const std::filesystem::path& path, std::string& bytes);

// While it lives, the C library of the calling thread (and what converts text through it, such
// as libarchive's names) takes text as UTF-8, whatever locale the process runs in; other
// threads are not touched. On Windows the C library keeps its own "C" locale, in which
// libarchive hands out stored names as they are.
class TUtf8ThreadLocale {
 public:
  TUtf8ThreadLocale();
  ~TUtf8ThreadLocale();
  TUtf8ThreadLocale(const TUtf8ThreadLocale&) = delete;
  TUtf8ThreadLocale& operator=(const TUtf8ThreadLocale&) = delete;

 private:
  void* own_ = nullptr;
  void* previous_ = nullptr;
};

}  // namespace qpt
