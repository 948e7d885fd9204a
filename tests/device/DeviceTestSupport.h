// Helpers of the scan-device tests: a private temporary directory with the registry roots and
// the lock directory pointed at it, a global log that writes every level to a file in it, the
// worker-thread limits shortened for the test's life, and the process's thread count.
#ifndef CAVIX_TESTS_DEVICE_DEVICETESTSUPPORT_H
#define CAVIX_TESTS_DEVICE_DEVICETESTSUPPORT_H

#include <dirent.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/TimeLimits.h"
#include "tests/support/TestSandbox.h"

namespace devicetest {

using testsupport::ReadText;
using testsupport::WriteText;

// A network device name whose installed address is 127.0.0.2 (no registry entry needed).
inline const char* LoopbackDeviceName() {
  return "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2\\guid"
         "{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}";
}

// Threads of this process now. The first call starts and ends one thread first, so that
// helper threads a runtime starts with the first thread (sanitizers) are already counted. A
// joined thread can still be listed for a moment while the kernel finishes it: the first call
// waits (a little, at most a second) until that thread is gone, so it is not counted.
inline int ThreadCount() {
  static const bool warmedUp = [] {
    pid_t tid = 0;
    std::thread([&tid] { tid = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    for (int i = 0; i < 1000 && access(entry.c_str(), F_OK) == 0; ++i) usleep(1000);
    return true;
  }();
  (void)warmedUp;
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

// Polls `condition` until it holds or `limitMs` has passed (a generous safety net, never an
// expectation about speed). Returns the final value.
inline bool Eventually(const std::function<bool()>& condition, int limitMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The shared sandbox, with the worker-thread limits back at their defaults on both ends.
class Sandbox : public testsupport::Sandbox {
 public:
  Sandbox() : testsupport::Sandbox("device") { TimeLimits::Instance().Reset(); }
  ~Sandbox() override { TimeLimits::Instance().Reset(); }

  // Whether the log holds `text`, waiting for a worker thread to write it.
  bool LogEventuallyHas(const std::string& text) const {
    return Eventually([&] { return Log().find(text) != std::string::npos; });
  }
};

// Number of times `needle` occurs in `text`.
inline int Occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

}  // namespace devicetest

#endif
