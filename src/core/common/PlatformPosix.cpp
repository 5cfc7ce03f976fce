// The POSIX side of the support routines: starting a tool with fork and exec, the run lock
// with flock, and the platform's answers for Platform.h.
#include "core/common/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "core/common/Common.h"
#include "core/common/RunLock.h"

namespace qpt {

namespace fs = std::filesystem;

std::uint32_t RunTool(const std::string& program, const std::string& arguments,
                      const fs::path& workFolder, std::string* errorLine) {
  const std::vector<std::string> args = SplitCommandLine(program + " " + arguments);
  if (args.empty() || args[0].empty()) {
    throw std::system_error(ENOENT, std::generic_category(), "Cannot start an empty command");
  }
  // Everything the child needs is prepared here: between fork and exec it may only make
  // async-signal-safe calls.
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string folder = workFolder.string();
  const std::vector<std::intptr_t> shared = platform::SharedHandles();
  const bool searchPath = args[0].find('/') == std::string::npos;

  int errorPipe[2];
  int execPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot start " + args[0]);
  }
  if (pipe2(execPipe, O_CLOEXEC) != 0) {
    const int error = errno;
    close(errorPipe[0]);
    close(errorPipe[1]);
    throw std::system_error(error, std::generic_category(), "Cannot start " + args[0]);
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // A group of its own: a terminal's Ctrl+C goes to the program's group only, and the
    // program decides what a cancel means. The tool dies with the thread that started it.
    setpgid(0, 0);
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != parent) _exit(127);
    // A program that ignores a broken pipe for itself hands that on through exec; a tool
    // starts with the system's default.
    signal(SIGPIPE, SIG_DFL);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
    }
    dup2(errorPipe[1], 2);
    for (const std::intptr_t fd : shared) fcntl(static_cast<int>(fd), F_SETFD, 0);
    if (folder.empty() || chdir(folder.c_str()) == 0) {
      if (searchPath) {
        execvp(argv[0], argv.data());
      } else {
        execv(argv[0], argv.data());
      }
    }
    const int error = errno;
    ssize_t ignored = write(execPipe[1], &error, sizeof(error));
    (void)ignored;
    _exit(127);
  }
  const int forkError = errno;
  close(errorPipe[1]);
  close(execPipe[1]);
  if (pid < 0) {
    close(errorPipe[0]);
    close(execPipe[0]);
    throw std::system_error(forkError, std::generic_category(), "Cannot start " + args[0]);
  }
  setpgid(pid, pid);  // also here, so that the group exists whichever side runs first

  int execError = 0;
  ssize_t got;
  do {
    got = read(execPipe[0], &execError, sizeof(execError));
  } while (got < 0 && errno == EINTR);
  close(execPipe[0]);

  platform::TErrorTail tail;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(errorPipe[0], buffer, sizeof(buffer));
    if (n > 0) {
      tail.Add(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(errorPipe[0]);

  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return kExitWaitFailed;
  }
  if (got == static_cast<ssize_t>(sizeof(execError))) {
    throw std::system_error(execError, std::generic_category(), "Cannot start " + args[0]);
  }
  if (errorLine) *errorLine = tail.LastLine();
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) return kExitInterrupted;
    return 128u + static_cast<std::uint32_t>(sig);
  }
  return kExitWaitFailed;
}

TRunLock::TRunLock(const fs::path& appDir) {
  // flock belongs to the open file description, so a second open in the same process is
  // refused as well. Close-on-exec keeps unrelated programs from inheriting it; the tools of
  // the run are handed it on purpose, so that the lock lasts until the last of them has ended
  // (and tools die with the program, so a crashed run frees the folder a moment later).
  const fs::path path = LockPath(appDir);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error_ = "Cannot open " + PathToUtf8(path) + ": " + std::strerror(errno) + ".";
    return;
  }
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    handle_ = fd;
    state_ = TState::Held;
    ShareWithTools(handle_);
    return;
  }
  if (errno == EWOULDBLOCK) {
    state_ = TState::HeldElsewhere;
  } else {
    error_ = "Cannot lock " + PathToUtf8(path) + ": " + std::strerror(errno) + ".";
  }
  ::close(fd);
}

TRunLock::~TRunLock() {
  if (handle_ >= 0) {
    StopSharingWithTools(handle_);
    ::close(static_cast<int>(handle_));
  }
}

std::string ExecutableSuffix() { return ""; }

std::string UserLanguageEnglishName() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    // "ru_RU.UTF-8", "ru", "en_GB@euro": the language is the part before the territory.
    const std::string code = Lower(std::string(value, std::strcspn(value, "_-.@")));
    static const std::pair<const char*, const char*> kNames[] = {
        {"en", "English"}, {"ru", "Russian"}, {"es", "Spanish"}, {"pt", "Portuguese"}, {"fr", "French"},
        {"de", "German"},  {"it", "Italian"}, {"pl", "Polish"},  {"uk", "Ukrainian"}, {"tr", "Turkish"},
    };
    for (const auto& [known, english] : kNames) {
      if (code == known) return english;
    }
    return {};
  }
  return {};
}

bool PlaySystemExclamation() { return false; }

std::error_code platform::CopyFileReplacing(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  return ec;
}

TUtf8ThreadLocale::TUtf8ThreadLocale() {
  locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (!utf8) return;  // a C library without it: names stay as the process's locale gives them
  own_ = utf8;
  previous_ = uselocale(utf8);
}

TUtf8ThreadLocale::~TUtf8ThreadLocale() {
  if (!own_) return;
  uselocale(static_cast<locale_t>(previous_));
  freelocale(static_cast<locale_t>(own_));
}

unsigned long platform::CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

bool platform::IsHiddenFile(const fs::path& path) {
  // A patch packed on macOS or Linux may carry ".DS_Store" and the like.
  const std::string name = PathToUtf8(path.filename());
  return !name.empty() && name[0] == '.';
}

std::optional<std::string> platform::EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

}  // namespace qpt
