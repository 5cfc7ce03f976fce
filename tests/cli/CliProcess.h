// Runs the command-line program as a separate process, as a player or a script would, with
// its standard output and error caught in files and a chosen locale.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace qpt::test {

struct CliResult {
  int exitCode = -1;  // 128 + signal number when a signal ended the process
  std::string out;
  std::string err;
  // The standard output as lines, without their line ends.
  std::vector<std::string> OutLines() const;
};

class CliProcess {
 public:
  // Starts program with args in workFolder, with LANG=lang and no LC_ALL or LC_MESSAGES.
  CliProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
             const std::filesystem::path& workFolder, const std::string& lang = "en_US.UTF-8");
  ~CliProcess();  // kills a process still running
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  void Signal(int signal);
  // To the program's whole process group, as a terminal sends Ctrl+C.
  void SignalGroup(int signal);
  // Waits for the end (at most two minutes, then kills it and fails the test).
  CliResult Wait();
  // What the process has written to its standard output so far.
  std::string OutSoFar() const;

 private:
  TempDir logs_{"cli-out"};
  int pid_ = -1;
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
