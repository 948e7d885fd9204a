// A private scratch directory for one test, with the registry files and the lock directory
// pointed into it (CAVIX_REGISTRY_HKLM, CAVIX_REGISTRY_HKCU, CAVIX_LOCK_DIR). Removed with
// everything in it when the test ends, and the variables restored.
#ifndef CAVIX_TESTS_PLATFORM_SCRATCHDIR_H
#define CAVIX_TESTS_PLATFORM_SCRATCHDIR_H

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class ScratchDir {
 public:
  ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp") + "/cavix-platform-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    Save("CAVIX_REGISTRY_HKLM", &oldHklm_);
    Save("CAVIX_REGISTRY_HKCU", &oldHkcu_);
    Save("CAVIX_LOCK_DIR", &oldLockDir_);
    setenv("CAVIX_REGISTRY_HKLM", Hklm().c_str(), 1);
    setenv("CAVIX_REGISTRY_HKCU", Hkcu().c_str(), 1);
    setenv("CAVIX_LOCK_DIR", LockDir().c_str(), 1);
  }
  ~ScratchDir() {
    Restore("CAVIX_REGISTRY_HKLM", oldHklm_);
    Restore("CAVIX_REGISTRY_HKCU", oldHkcu_);
    Restore("CAVIX_LOCK_DIR", oldLockDir_);
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) {
      // Left behind in the temporary directory; nothing else to do.
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string Hklm() const { return path_ + "/hklm.reg"; }
  std::string Hkcu() const { return path_ + "/user/hkcu.reg"; }
  std::string LockDir() const { return path_ + "/locks"; }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  struct Saved {
    bool set = false;
    std::string value;
  };
  static void Save(const char* name, Saved* saved) {
    const char* v = getenv(name);
    saved->set = v != nullptr;
    if (v != nullptr) saved->value = v;
  }
  static void Restore(const char* name, const Saved& saved) {
    if (saved.set) {
      setenv(name, saved.value.c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

  std::string path_;
  Saved oldHklm_, oldHkcu_, oldLockDir_;
};

#endif
