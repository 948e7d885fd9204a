// Helpers of the scan-device tests: a private temporary directory with the registry roots and
// the lock directory pointed at it, a global log that writes every level to a file in it, the
// worker-thread limits shortened for the test's life, and the process's thread count.
#ifndef CAVIX_TESTS_DEVICE_DEVICETESTSUPPORT_H
#define CAVIX_TESTS_DEVICE_DEVICETESTSUPPORT_H

#include <dirent.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "log/GlobalLog.h"
#include "platform/TimeLimits.h"

namespace devicetest {

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// A network device name whose installed address is 127.0.0.2 (no registry entry needed).
inline const char* LoopbackDeviceName() {
  return "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2\\guid"
         "{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}";
}

// Threads of this process now. The first call starts and ends one thread first, so that
// helper threads a runtime starts with the first thread (sanitizers) are already counted.
inline int ThreadCount() {
  static const bool warmedUp = [] {
    std::thread([] {}).join();
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

class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/cavix-device-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    setenv("CAVIX_REGISTRY_HKLM", Path("hklm.reg").c_str(), 1);
    setenv("CAVIX_REGISTRY_HKCU", Path("hkcu.reg").c_str(), 1);
    setenv("CAVIX_LOCK_DIR", Path("locks").c_str(), 1);
    unsetenv("CAVIX_NEIGHBOUR_TABLE");
    TimeLimits::Instance().Reset();
  }
  ~Sandbox() {
    DestroyGlobalLog();
    TimeLimits::Instance().Reset();
    const std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::perror("rm");
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Creates the global log writing every level to log.txt.
  void CaptureLog() {
    WriteText(Path("hklm.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\"
              "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n"
              "\"LogEnabled\"=dword:00000001\n"
              "\"LogLevel\"=dword:b00000ff\n"
              "\"LogDestination\"=dword:00000001\n"
              "\"LogFile\"=\"" + Path("log.txt") + "\"\n");
    DestroyGlobalLog();
    CreateGlobalLog();
  }
  std::string Log() const { return ReadText(Path("log.txt")); }
  void ClearLog() const { WriteText(Path("log.txt"), ""); }
  // Whether the log holds `text`, waiting for a worker thread to write it.
  bool LogEventuallyHas(const std::string& text) const {
    return Eventually([&] { return Log().find(text) != std::string::npos; });
  }

 private:
  std::string dir_;
};

// Number of times `needle` occurs in `text`.
inline int Occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

}  // namespace devicetest

#endif
