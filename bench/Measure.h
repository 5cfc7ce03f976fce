// Measuring for the benchmarks: a child process's time and peak memory, the time `cp` takes
// for the same bytes, a libcrypto hash pass over a file, and the summary figures of repeated
// runs. Linux and other POSIX systems only: the benchmarks run on our machines, not on
// players' ones.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qpt::bench {

// Seconds on a monotonic clock since an arbitrary start.
double Now();

// One finished child process.
struct TProcessRun {
  int exitCode = -1;        // the exit status; 128 + signal number for a killed process
  double seconds = 0;       // wall time from start to reaping
  std::int64_t maxRssKiB = 0;  // peak resident memory of the process (ru_maxrss of wait4)
  std::string errorText;    // what it wrote on standard error (truncated to a few KiB)
};

// Runs program (a path, or a name looked up in PATH) with the given argument list in
// workFolder (empty: the current folder), standard output discarded, standard error kept, and
// waits for it. It is started through bench_launcher so that its peak memory is its own.
// Throws std::runtime_error when the program cannot be started.
TProcessRun RunMeasured(const std::string& program, const std::vector<std::string>& arguments,
                        const std::filesystem::path& workFolder);

// Runs one command line the way the install job runs a tool: program and arguments joined by
// a blank and split by the command-line rules of RunTool.
TProcessRun RunCommandLine(const std::string& quotedProgram, const std::string& arguments,
                           const std::filesystem::path& workFolder);

// The machine's counters so far: busy and total CPU time in clock ticks of all cores together
// (from /proc/stat), and KiB read from and written to its disks (from /proc/vmstat); zeros
// where there are none. Busy over total between two readings, times the number of cores, is
// how many cores were at work meanwhile.
struct TMachineCounters {
  std::uint64_t busy = 0, total = 0;
  std::uint64_t readKiB = 0, writtenKiB = 0;
};
TMachineCounters MachineCounters();
double BusyCores(const TMachineCounters& from, const TMachineCounters& to);

// Wall time of `cp -r` copying the given files and folders into a fresh folder under
// scratch; the copy is removed afterwards (not timed). 0 for an empty list.
double CopyTime(const std::vector<std::filesystem::path>& paths, const std::filesystem::path& scratch);

// Wall time of one SHA-256 (or MD5) pass over a file with libcrypto in large blocks.
double Sha256Time(const std::filesystem::path& path);
double Md5Time(const std::filesystem::path& path);
// Wall time of SHA-256 over the first `bytes` bytes of a file (for a part of an image).
double Sha256Time(const std::filesystem::path& path, std::uint64_t bytes);

// Minimum and median of a non-empty series (the median of an even count is the mean of the
// middle two).
double Minimum(std::vector<double> values);
double Median(std::vector<double> values);

// "1.234" style seconds and "12.3" MiB, fixed width for tables.
std::string Seconds(double seconds);
std::string MiB(double bytes);
std::string Ratio(double value);

// Removes a folder tree; errors are ignored (a benchmark cleaning up must not fail for it).
void RemoveTree(const std::filesystem::path& path);

}  // namespace qpt::bench
