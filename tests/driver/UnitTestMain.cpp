#include <ftw.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "driver/DriverModule.h"
#include "tests/driver/UnitTestEnvironment.h"

namespace {

std::string g_tempDir;
std::string g_lockLog;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

const std::string& LockLogFile() { return g_lockLog; }

size_t LockLogSize() { return ReadFile(g_lockLog).size(); }

std::vector<std::string> LockLogLinesFrom(size_t offset) {
  std::string text = ReadFile(g_lockLog);
  std::vector<std::string> lines;
  std::istringstream in(offset < text.size() ? text.substr(offset) : "");
  for (std::string line; std::getline(in, line);) lines.push_back(WithoutLogPrefix(line));
  return lines;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char dir[] = "/tmp/cavix-driver-unit-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  g_tempDir = dir;
  g_lockLog = g_tempDir + "/lock.log";
  const std::string hklm = g_tempDir + "/hklm.reg";
  {
    std::ofstream out(hklm);
    out << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\" << kLockTestLogName << "]\n"
        << "\"LogEnabled\"=dword:00000001\n"
        << "\"LogLevel\"=dword:b000005e\n"
        << "\"LogDestination\"=dword:00000001\n"
        << "\"LogFile\"=\"" << g_lockLog << "\"\n\n";
  }
  setenv("CAVIX_REGISTRY_HKLM", hklm.c_str(), 1);
  setenv("CAVIX_REGISTRY_HKCU", (g_tempDir + "/hkcu.reg").c_str(), 1);
  setenv("CAVIX_LOCK_DIR", (g_tempDir + "/locks").c_str(), 1);
  unsetenv("CAVIX_TEST_DEVICE_PLUGIN");

  DriverModule::Load();
  int rc = RUN_ALL_TESTS();
  DriverModule::Unload();
  nftw(g_tempDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return rc;
}
