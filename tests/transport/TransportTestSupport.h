// Helpers of the transport tests: a private temporary directory, the registry roots, lock
// directory and neighbour table pointed at files in it, hand-written fixtures copied from
// tests/transport/data, and a log file that captures the global log's lines.
#ifndef CAVIX_TESTS_TRANSPORT_TRANSPORTTESTSUPPORT_H
#define CAVIX_TESTS_TRANSPORT_TRANSPORTTESTSUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "log/GlobalLog.h"

namespace transporttest {

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

inline std::string DataFile(const std::string& name) {
  return std::string(CAVIX_TRANSPORT_TEST_DATA) + "/" + name;
}

// The device name most tests use, and its user key.
inline const char* DeviceName() {
  return "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2\\guid"
         "{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}";
}

// A temporary directory holding the registry roots (hklm.reg, hkcu.reg), the lock directory,
// the neighbour table and the log; the environment points at them while the object lives.
class Sandbox {
 public:
  Sandbox() {
    char pattern[] = "/tmp/cavix-transport-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    setenv("CAVIX_REGISTRY_HKLM", Path("hklm.reg").c_str(), 1);
    setenv("CAVIX_REGISTRY_HKCU", Path("hkcu.reg").c_str(), 1);
    setenv("CAVIX_LOCK_DIR", Path("locks").c_str(), 1);
    unsetenv("CAVIX_NEIGHBOUR_TABLE");
  }
  ~Sandbox() {
    DestroyGlobalLog();
    unsetenv("CAVIX_NEIGHBOUR_TABLE");
    const std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::perror("rm");
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Copies a fixture of tests/transport/data into the HKLM or HKCU root.
  void UseHklm(const std::string& fixture) { WriteText(Path("hklm.reg"), ReadText(DataFile(fixture))); }
  void UseHkcu(const std::string& fixture) { WriteText(Path("hkcu.reg"), ReadText(DataFile(fixture))); }
  // Points the discovery library at a neighbour-table fixture.
  void UseNeighbourTable(const std::string& fixture) {
    WriteText(Path("neighbours.txt"), ReadText(DataFile(fixture)));
    setenv("CAVIX_NEIGHBOUR_TABLE", Path("neighbours.txt").c_str(), 1);
  }

  // Creates the global log writing every level to log.txt. The log reads its switches from
  // HKLM once, so the switches are added to the HKLM root in force at that moment.
  void CaptureLog() {
    const std::string hklm = Path("hklm.reg");
    std::string text = ReadText(hklm);
    if (text.empty()) text = "Windows Registry Editor Version 5.00\n\n";
    std::string logFile;
    for (char c : Path("log.txt")) logFile += c;
    text += "\n[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\"
            "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n"
            "\"LogEnabled\"=dword:00000001\n"
            "\"LogLevel\"=dword:b00000ff\n"
            "\"LogDestination\"=dword:00000001\n"
            "\"LogFile\"=\"" + logFile + "\"\n";
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

}  // namespace transporttest

#endif
