// Runs the command-line program as a separate process, as a player or a script would, with
// its standard output and error caught in files (or its output in a pipe) and a chosen locale.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace qpt::test {

// The exit code of a process that Kill() ended: 128 + SIGKILL as a POSIX shell reports it, and
// the same number given to TerminateProcess on Windows.
inline constexpr int kKilledExitCode = 137;

struct CliResult {
  int exitCode = -1;  // on POSIX 128 + signal number when a signal ended the process
  std::string out;
  std::string err;
  // The standard output as lines, without their line ends.
  std::vector<std::string> OutLines() const;
};

// Where the program's standard output goes: a file that Wait reads, or a pipe that the test
// reads line by line and may close, as `| head` does.
enum class CliOutput { File, Pipe };

class CliProcess {
 public:
  // Starts program with args in workFolder, with LANG=lang and no LC_ALL or LC_MESSAGES, and
  // the further "NAME=value" entries of environment, in a process group of its own (as a shell
  // or a console starts a command).
  CliProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& workFolder, const std::string& lang = "en_US.UTF-8",
             CliOutput output = CliOutput::File, const std::vector<std::string>& environment = {});
  ~CliProcess();  // kills a process still running
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Ends the program at once, as SIGKILL or the task manager do.
  void Kill();
  // Ctrl+C to the program's whole process group, as a terminal sends it (a console sends
  // Ctrl+Break to a group of its own, which the program takes the same way). False when it
  // could not be sent: on Windows only a process with a console can send it.
  bool InterruptGroup();
  // Waits for the end (at most two minutes, then kills it and fails the test). With
  // CliOutput::Pipe the result's out stays empty.
  CliResult Wait();
  // What the process has written to its standard output file so far.
  std::string OutSoFar() const;
  // With CliOutput::Pipe: the next line from the pipe, without its line end; false at its end.
  bool ReadOutLine(std::string& line);
  // With CliOutput::Pipe: closes the test's end of the pipe, so that the program's further
  // writes to it fail.
  void CloseOut();

 private:
  TempDir logs_{"cli-out"};
  std::intptr_t pid_ = -1;  // the process ID on POSIX, the process HANDLE on Windows
  unsigned long processId_ = 0;  // Windows: the ID, which names the process group too
  CliOutput output_;
  std::intptr_t outPipe_ = -1;   // the reading end: a descriptor on POSIX, a HANDLE on Windows
};

CliResult RunCli(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::filesystem::path& workFolder, const std::string& lang = "en_US.UTF-8");

// Polls until condition holds, for at most 30 seconds; false on time-out.
template <typename F>
bool WaitUntil(F condition);

}  // namespace qpt::test

#include <chrono>
#include <thread>

template <typename F>
bool qpt::test::WaitUntil(F condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
