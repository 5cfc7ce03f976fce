#include "Measure.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "core/common/Common.h"

extern char** environ;

namespace qpt::bench {

namespace fs = std::filesystem;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TMachineCounters MachineCounters() {
  TMachineCounters counters;
  if (std::unique_ptr<std::FILE, int (*)(std::FILE*)> stat(std::fopen("/proc/stat", "r"), &std::fclose); stat) {
    // "cpu  user nice system idle iowait irq softirq steal ...": idle and iowait are the idle part.
    unsigned long long v[8] = {};
    if (std::fscanf(stat.get(), "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &v[6], &v[7]) == 8) {
      for (unsigned long long x : v) counters.total += x;
      counters.busy = counters.total - v[3] - v[4];
    }
  }
  if (std::unique_ptr<std::FILE, int (*)(std::FILE*)> vmstat(std::fopen("/proc/vmstat", "r"), &std::fclose); vmstat) {
    char name[64];
    unsigned long long value = 0;
    while (std::fscanf(vmstat.get(), "%63s %llu", name, &value) == 2) {
      if (std::strcmp(name, "pgpgin") == 0) counters.readKiB = value;
      if (std::strcmp(name, "pgpgout") == 0) counters.writtenKiB = value;
    }
  }
  return counters;
}

double BusyCores(const TMachineCounters& from, const TMachineCounters& to) {
  if (to.total <= from.total) return 0;
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  return static_cast<double>(to.busy - from.busy) / static_cast<double>(to.total - from.total) *
         static_cast<double>(cores > 0 ? cores : 1);
}

TProcessRun RunMeasured(const std::string& program, const std::vector<std::string>& arguments,
                        const fs::path& workFolder) {
  // The launcher starts the program and writes its figures here.
  char resultName[] = "/tmp/qpt-bench-run-XXXXXX";
  const int resultFd = mkstemp(resultName);
  if (resultFd < 0) throw std::runtime_error("no temporary file for a run's figures");
  close(resultFd);
  const std::string resultPath = resultName;

  std::vector<std::string> words{QPT_BENCH_LAUNCHER, resultPath, program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  // Standard error goes to an unnamed file so that a chatty tool can never block on a pipe.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> errors(std::tmpfile(), &std::fclose);
  if (!errors) throw std::runtime_error("no temporary file for standard error");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fileno(errors.get()), 2);
  if (!workFolder.empty()) posix_spawn_file_actions_addchdir_np(&actions, workFolder.c_str());

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    std::remove(resultPath.c_str());
    throw std::runtime_error("cannot start " + program + ": " + std::generic_category().message(spawned));
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waiting for " + program + " failed");
  }

  TProcessRun run;
  std::FILE* result = std::fopen(resultPath.c_str(), "r");
  long maxRss = 0;
  const bool reported = result && std::fscanf(result, "%d %lf %ld", &run.exitCode, &run.seconds, &maxRss) == 3;
  if (result) std::fclose(result);
  std::remove(resultPath.c_str());
  if (!reported || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("the launcher could not run " + program);
  }
  run.maxRssKiB = maxRss;  // KiB on Linux

  char text[4096];
  std::rewind(errors.get());
  const std::size_t n = std::fread(text, 1, sizeof text, errors.get());
  run.errorText.assign(text, n);
  if (run.exitCode == 127 && run.errorText.find(program) != std::string::npos) {
    throw std::runtime_error("cannot start " + program + ": " + run.errorText);
  }
  return run;
}

TProcessRun RunCommandLine(const std::string& quotedProgram, const std::string& arguments,
                           const fs::path& workFolder) {
  std::vector<std::string> words = SplitCommandLine(quotedProgram + " " + arguments);
  if (words.empty()) throw std::runtime_error("empty command line");
  const std::string program = words.front();
  words.erase(words.begin());
  return RunMeasured(program, words, workFolder);
}

double CopyTime(const std::vector<fs::path>& paths, const fs::path& scratch) {
  if (paths.empty()) return 0;
  const fs::path target = scratch / "cp-measure";
  RemoveTree(target);
  fs::create_directories(target);
  std::vector<std::string> arguments{"-r"};
  for (const fs::path& p : paths) arguments.push_back(p.string());
  arguments.push_back(target.string());
  const TProcessRun run = RunMeasured("cp", arguments, fs::path());
  RemoveTree(target);
  if (run.exitCode != 0) throw std::runtime_error("cp failed: " + run.errorText);
  return run.seconds;
}

namespace {

double DigestTime(const fs::path& path, const EVP_MD* md, std::uint64_t limit) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) throw std::runtime_error("cannot open " + path.string());
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  std::vector<unsigned char> block(4 << 20);
  const double start = Now();
  EVP_DigestInit_ex(ctx.get(), md, nullptr);
  std::uint64_t left = limit;
  while (left > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
    const std::size_t n = std::fread(block.data(), 1, want, file.get());
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), block.data(), n);
    left -= n;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  return Now() - start;
}

}  // namespace

double Sha256Time(const fs::path& path) { return DigestTime(path, EVP_sha256(), UINT64_MAX); }
double Sha256Time(const fs::path& path, std::uint64_t bytes) { return DigestTime(path, EVP_sha256(), bytes); }
double Md5Time(const fs::path& path) { return DigestTime(path, EVP_md5(), UINT64_MAX); }

double Minimum(std::vector<double> values) {
  if (values.empty()) throw std::invalid_argument("no values");
  return *std::min_element(values.begin(), values.end());
}

double Median(std::vector<double> values) {
  if (values.empty()) throw std::invalid_argument("no values");
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.3f", seconds);
  return text;
}

std::string MiB(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%8.1f", bytes / (1024.0 * 1024.0));
  return text;
}

std::string Ratio(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%6.2f", value);
  return text;
}

void RemoveTree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

}  // namespace qpt::bench
