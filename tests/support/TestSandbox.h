// Shared by the tests that run the module against files of their own: text file helpers and a
// private temporary directory that the registry roots and the lock directory point into while
// it lives, with a global log that writes every level to a file in it.
#ifndef CAVIX_TESTS_SUPPORT_TESTSANDBOX_H
#define CAVIX_TESTS_SUPPORT_TESTSANDBOX_H

#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "log/GlobalLog.h"

namespace testsupport {

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

// A temporary directory /tmp/cavix-<kind>-XXXXXX holding the registry roots (hklm.reg,
// hkcu.reg), the lock directory and the log; the environment points at them while the object
// lives, and the directory goes with it.
class Sandbox {
 public:
  explicit Sandbox(const std::string& kind) {
    std::string pattern = "/tmp/cavix-" + kind + "-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    setenv("CAVIX_REGISTRY_HKLM", Path("hklm.reg").c_str(), 1);
    setenv("CAVIX_REGISTRY_HKCU", Path("hkcu.reg").c_str(), 1);
    setenv("CAVIX_LOCK_DIR", Path("locks").c_str(), 1);
    unsetenv("CAVIX_NEIGHBOUR_TABLE");
  }
  virtual ~Sandbox() {
    DestroyGlobalLog();
    unsetenv("CAVIX_NEIGHBOUR_TABLE");
    const std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::perror("rm");
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Creates the global log writing every level to log.txt. The log reads its switches from
  // HKLM once, so they are added to the HKLM root in force at that moment.
  void CaptureLog() {
    const std::string hklm = Path("hklm.reg");
    std::string text = ReadText(hklm);
    if (text.empty()) text = "Windows Registry Editor Version 5.00\n\n";
    text += "\n[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\"
            "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n"
            "\"LogEnabled\"=dword:00000001\n"
            "\"LogLevel\"=dword:b00000ff\n"
            "\"LogDestination\"=dword:00000001\n"
            "\"LogFile\"=\"" + Path("log.txt") + "\"\n";
    WriteText(hklm, text);
    DestroyGlobalLog();
    CreateGlobalLog();
  }
  std::string Log() const { return ReadText(Path("log.txt")); }
  // Forgets what the log holds so far.
  void ClearLog() const { WriteText(Path("log.txt"), ""); }

 private:
  std::string dir_;
};

}  // namespace testsupport

#endif
