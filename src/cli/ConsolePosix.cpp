// The POSIX side of the command-line program's console.
#include "cli/Console.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include "cli/Cli.h"

namespace qpt::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

fs::path ProgramFolder(const char* argv0) {
  std::error_code ec;
#ifdef __APPLE__
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) == 0) {
    const fs::path resolved = fs::canonical(path.c_str(), ec);
    if (!ec) return resolved.parent_path();
  }
#else
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.parent_path();
#endif
  return fs::absolute(argv0, ec).parent_path();
}

void CatchInterrupts() {
  // Ctrl+C, a closed terminal or a polite kill ask the run to stop at its next step, so that
  // the work folder is removed and no half-built image is left.
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool InputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

bool PrepareConsole() {
  // A reader that goes first (`| head`, a `tee` ended by Ctrl+C) must not end the program
  // in the middle of a run: the write fails instead, and the run stops as on a cancel.
  std::signal(SIGPIPE, SIG_IGN);
  const char* term = std::getenv("TERM");
  return isatty(STDOUT_FILENO) && !(term && std::string(term) == "dumb");
}

const std::atomic<bool>* InterruptFlag() { return &gInterrupted; }

}  // namespace qpt::cli
