// The POSIX side of CliProcess: fork and exec.
#include "CliProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qpt::test {

namespace fs = std::filesystem;

CliProcess::CliProcess(const fs::path& program, const std::vector<std::string>& args, const fs::path& workFolder,
                       const std::string& lang, CliOutput output, const std::vector<std::string>& environment)
    : output_(output) {
  // Everything the child needs is made before fork: between fork and exec only plain
  // system calls are safe in a process that may have threads.
  std::vector<std::string> replaced{"LANG=", "LC_ALL=", "LC_MESSAGES="};
  for (const std::string& entry : environment) replaced.push_back(entry.substr(0, entry.find('=') + 1));
  std::vector<std::string> envText;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (std::any_of(replaced.begin(), replaced.end(), [&](const std::string& name) { return entry.rfind(name, 0) == 0; })) {
      continue;
    }
    envText.push_back(entry);
  }
  envText.push_back("LANG=" + lang);
  envText.insert(envText.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& e : envText) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argText{program.string()};
  argText.insert(argText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argText) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string programPath = program.string();
  const std::string folder = workFolder.string();
  int out = -1;
  if (output == CliOutput::Pipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
      outPipe_ = ends[0];
      out = ends[1];
    }
  } else {
    out = ::open((logs_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  const int err = ::open((logs_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  pid_ = fork();
  if (pid_ == 0) {
    // A group of its own, as a shell gives a command it runs: a terminal's Ctrl+C goes to the
    // whole group (SignalGroup), and never to the test.
    setpgid(0, 0);
    // SIGPIPE at its default, as a terminal's shell starts a command, whatever the test's
    // own starter ignores: the program must see to a closed output itself.
    signal(SIGPIPE, SIG_DFL);
    if (chdir(folder.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(programPath.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(out);
  ::close(err);
  ::close(in);
  if (pid_ < 0) ADD_FAILURE() << "cannot start " << programPath << ": " << std::strerror(errno);
}

CliProcess::~CliProcess() {
  if (pid_ > 0) {
    kill(-static_cast<pid_t>(pid_), SIGKILL);
    waitpid(static_cast<pid_t>(pid_), nullptr, 0);
  }
  CloseOut();
}

bool CliProcess::ReadOutLine(std::string& line) {
  line.clear();
  char c = 0;
  while (outPipe_ >= 0 && ::read(static_cast<int>(outPipe_), &c, 1) == 1) {
    if (c == '\n') return true;
    line += c;
  }
  return !line.empty();
}

void CliProcess::CloseOut() {
  if (outPipe_ >= 0) ::close(static_cast<int>(outPipe_));
  outPipe_ = -1;
}

void CliProcess::Kill() {
  if (pid_ > 0) kill(static_cast<pid_t>(pid_), SIGKILL);
}

bool CliProcess::InterruptGroup() { return pid_ > 0 && kill(-static_cast<pid_t>(pid_), SIGINT) == 0; }

std::string CliProcess::OutSoFar() const { return ReadFile(logs_ / "out"); }

CliResult CliProcess::Wait() {
  CliResult result;
  if (pid_ <= 0) return result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  for (;;) {
    const pid_t done = waitpid(static_cast<pid_t>(pid_), &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the program did not end within two minutes";
      kill(static_cast<pid_t>(pid_), SIGKILL);
      waitpid(static_cast<pid_t>(pid_), &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (output_ == CliOutput::File) result.out = ReadFile(logs_ / "out");
  result.err = ReadFile(logs_ / "err");
  return result;
}

}  // namespace qpt::test
