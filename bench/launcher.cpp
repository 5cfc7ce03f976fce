// Starts one program and reports its wall time, exit status and peak memory. The benchmarks
// start tools through this small process because Linux charges a child started with vfork or
// fork at least the peak memory of the process it came from: a tool started straight from a
// benchmark that has just built a large image would show the benchmark's peak, not its own.
//
// usage: bench_launcher RESULT-FILE PROGRAM [ARGUMENTS...]
// RESULT-FILE receives "<exit status> <seconds> <ru_maxrss KiB>"; a killed program gives
// 128 plus the signal number. The launcher's own exit status is 0 when it could report.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_launcher RESULT-FILE PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    execvp(argv[2], argv + 2);
    std::perror(argv[2]);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double seconds = static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::FILE* result = std::fopen(argv[1], "w");
  if (!result) return 2;
  std::fprintf(result, "%d %.6f %ld\n", code, seconds, usage.ru_maxrss);
  return std::fclose(result) == 0 ? 0 : 2;
}
