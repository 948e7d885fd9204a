// cavix-e2e-run: runs a program and prints what it cost, for the end-to-end benchmark
// (bench/e2e): wall seconds, user and system CPU seconds, peak resident memory in kilobytes and
// minor page faults, on one line on standard error after the program's own output.
//
//   cavix-e2e-run PROGRAM [ARGUMENTS...]
//
// A small process of its own starts the program, so that the peak memory measured is the
// program's and not that of a large parent it was forked from. Exits with the program's status.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cavix-e2e-run PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
    std::fprintf(stderr, "cavix-e2e-run: cannot start %s\n", argv[1]);
    return 127;
  }
  int status = 0;
  rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) return 127;
  clock_gettime(CLOCK_MONOTONIC, &end);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  std::fprintf(stderr, "cavix-e2e-run: %.6f %.6f %.6f %ld %ld\n",
               double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9,
               seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss, usage.ru_minflt);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
