#include "core/common/Common.h"

#include "ctr/Io.h"

#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace qpt {

namespace fs = std::filesystem;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> result;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();

  // The program name: backslashes are ordinary characters here.
  while (i < n && IsBlank(commandLine[i])) ++i;
  if (i >= n) return result;
  {
    std::string program;
    bool quoted = false;
    for (; i < n; ++i) {
      const char c = commandLine[i];
      if (c == '"') {
        quoted = !quoted;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      program += c;
    }
    result.push_back(program);
  }

  for (;;) {
    while (i < n && IsBlank(commandLine[i])) ++i;
    if (i >= n) break;
    std::string argument;
    bool quoted = false;
    while (i < n) {
      const char c = commandLine[i];
      if (c == '\\') {
        std::size_t slashes = 0;
        while (i < n && commandLine[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && commandLine[i] == '"') {
          argument.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            argument += '"';
            ++i;
          }
          // An even count leaves the quote to be handled as a delimiter below.
        } else {
          argument.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          argument += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && IsBlank(c)) break;
      argument += c;
      ++i;
    }
    result.push_back(argument);
  }
  return result;
}

#ifdef _WIN32

std::uint32_t RunTool(const std::string& program, const std::string& arguments,
                      const fs::path& workFolder) {
  std::wstring commandLine = PathFromUtf8(program + " " + arguments).wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info{};
  const std::wstring folder = workFolder.wstring();
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "Cannot start " + program);
  }
  CloseHandle(info.hThread);
  std::uint32_t code = kExitWaitFailed;
  if (WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0) {
    DWORD exitCode = 0;
    if (GetExitCodeProcess(info.hProcess, &exitCode)) code = exitCode;
  }
  CloseHandle(info.hProcess);
  return code;
}

#else

std::uint32_t RunTool(const std::string& program, const std::string& arguments,
                      const fs::path& workFolder) {
  const std::vector<std::string> args = SplitCommandLine(program + " " + arguments);
  if (args.empty() || args[0].empty()) {
    throw std::system_error(ENOENT, std::generic_category(), "Cannot start an empty command");
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  struct ActionsGuard {
    posix_spawn_file_actions_t* a;
    ~ActionsGuard() { posix_spawn_file_actions_destroy(a); }
  } guard{&actions};
  // Tools run without a console of their own on Windows; here their standard streams go
  // nowhere so that they neither read from nor write into the caller's terminal.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const std::string folder = workFolder.string();
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

  pid_t pid = 0;
  const bool searchPath = args[0].find('/') == std::string::npos;
  const int rc = searchPath
                     ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                     : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  if (rc != 0) {
    throw std::system_error(rc, std::generic_category(), "Cannot start " + args[0]);
  }

  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return kExitWaitFailed;
  }
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) return kExitInterrupted;
    return 128u + static_cast<std::uint32_t>(sig);
  }
  return kExitWaitFailed;
}

#endif

bool CopyFolder(const fs::path& source, const fs::path& destination) {
  std::error_code ec;
  fs::path src = source;
  // "exefs/" names the same folder as "exefs"; its own name is what lands in destination.
  if (!src.has_filename()) src = src.parent_path();
  if (!fs::is_directory(src, ec)) return false;
  const fs::path target = destination / src.filename();
  fs::create_directories(target, ec);
  if (ec) return false;
  fs::copy(src, target,
           fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  return !ec;
}

bool DeleteFolder(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return false;
  fs::remove_all(path, ec);
  return !ec;
}

std::string FileMD5(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open file " + PathToUtf8(path));
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 is not available");
  }
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = in.gcount();
    if (got > 0) EVP_DigestUpdate(ctx.get(), block.data(), static_cast<std::size_t>(got));
  }
  if (in.bad()) throw std::runtime_error("Cannot read file " + PathToUtf8(path));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

std::int64_t PaddingTo64(std::int64_t n) { return (64 - n % 64) % 64; }

std::int64_t SkipToAlignment(std::istream& stream, std::int64_t alignment) {
  const std::int64_t position = static_cast<std::int64_t>(stream.tellg());
  if (position < 0) return 0;
  const std::int64_t r = position % alignment;
  if (r == 0) return 0;
  stream.seekg(alignment - r, std::ios::cur);
  return alignment - r;
}

std::int64_t PadToAlignment(std::ostream& stream, std::int64_t alignment) {
  static const std::array<char, 64> kZeros{};
  if (alignment > static_cast<std::int64_t>(kZeros.size())) {
    throw std::invalid_argument("PadToAlignment: alignment above 64");
  }
  const std::int64_t position = static_cast<std::int64_t>(stream.tellp());
  if (position < 0) return 0;
  const std::int64_t r = position % alignment;
  if (r == 0) return 0;
  stream.write(kZeros.data(), alignment - r);
  return alignment - r;
}

bool FileExists(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool FolderExists(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool CreateFolder(const fs::path& path) {
  std::error_code ec;
  return fs::create_directory(path, ec) && !ec;
}

bool RemoveFile(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(path, ec)) && !fs::is_symlink(fs::symlink_status(path, ec))) {
    return false;
  }
  return fs::remove(path, ec) && !ec;
}

bool RenameFile(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(to, ec))) return false;
  if (!fs::exists(fs::symlink_status(from, ec))) return false;
  fs::rename(from, to, ec);
  return !ec;
}

fs::path PathFromUtf8(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string PathToUtf8(const fs::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

std::string NativeSeparators(std::string relative) {
  const char separator = static_cast<char>(fs::path::preferred_separator);
  for (char& c : relative) {
    if (c == '\\' || c == '/') c = separator;
  }
  return relative;
}

std::string ExecutableSuffix() {
#ifdef _WIN32
  return ".exe";
#else
  return "";
#endif
}

bool ReadWholeFile(const fs::path& path, std::string& bytes) {
  const auto read = ctr::ReadWholeFile(path);
  if (!read) return false;
  bytes.assign(read->begin(), read->end());
  return true;
}

}  // namespace qpt
