// cavix-e2e-run: runs a program and prints what it cost, for the end-to-end benchmark
// (bench/e2e): wall seconds, user and system CPU seconds, peak resident memory in kilobytes,
// minor page faults and the seconds until the first row was written (-1 when not asked for or
// never seen), on one line on standard error after the program's own output.
//
//   cavix-e2e-run [--first-row DIRECTORY BYTES] PROGRAM [ARGUMENTS...]
//
// With --first-row, the time to the first row is when a file of DIRECTORY whose name holds
// "out-" first reaches BYTES bytes (its header and one row), seen through inotify while the
// program runs. A small process of its own starts the program, so that the peak memory measured
// is the program's and not that of a large parent it was forked from. Exits with the program's
// status.
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

double Since(const timespec& start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Reads the pending events; true once a watched output file holds `bytes` bytes.
bool FirstRowSeen(int watch, const std::string& dir, long long bytes) {
  alignas(inotify_event) char buffer[8192];
  const ssize_t n = read(watch, buffer, sizeof buffer);
  for (ssize_t at = 0; n > 0 && at < n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    if (event->len == 0 || std::strstr(event->name, "out-") == nullptr) continue;
    struct stat st;
    if (stat((dir + "/" + event->name).c_str(), &st) == 0 && st.st_size >= bytes) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  std::string dir;
  long long bytes = 0;
  if (argc > 3 && std::strcmp(argv[1], "--first-row") == 0) {
    dir = argv[2];
    bytes = std::atoll(argv[3]);
    first = 4;
  }
  if (argc <= first) {
    std::fprintf(stderr, "usage: cavix-e2e-run [--first-row DIRECTORY BYTES] PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  int watch = -1;
  if (!dir.empty()) {
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, dir.c_str(), IN_MODIFY) < 0) {
      std::fprintf(stderr, "cavix-e2e-run: cannot watch %s\n", dir.c_str());
      return 127;
    }
  }
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[first], nullptr, nullptr, argv + first, environ) != 0) {
    std::fprintf(stderr, "cavix-e2e-run: cannot start %s\n", argv[first]);
    return 127;
  }
  double firstRow = -1;
  while (watch >= 0 && firstRow < 0) {
    pollfd p = {watch, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && FirstRowSeen(watch, dir, bytes)) firstRow = Since(start);
    siginfo_t ended = {};
    if (firstRow < 0 && waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid) break;
  }
  int status = 0;
  rusage usage = {};
  if (wait4(pid, &status, 0, &usage) != pid) return 127;
  const double wall = Since(start);
  auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  std::fprintf(stderr, "cavix-e2e-run: %.6f %.6f %.6f %ld %ld %.6f\n", wall, seconds(usage.ru_utime),
               seconds(usage.ru_stime), usage.ru_maxrss, usage.ru_minflt, firstRow);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
