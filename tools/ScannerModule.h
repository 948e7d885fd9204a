// The driver module as a host sees it: created through the class registration in the HKLM
// store (CoCreateInstanceFromStore) or from a module path (CoCreateInstanceFromModule), never
// linked in. Holds the driver's IScanner and IADF2 interfaces and releases them when destroyed.
// Also calls the module's registration exports for `register` and `unregister`.
// Created and used by one thread; the interfaces themselves are free-threaded (the Ctrl-C
// watcher calls StopScan through them).
#ifndef CAVIX_TOOLS_SCANNERMODULE_H
#define CAVIX_TOOLS_SCANNERMODULE_H

#include <string>
#include <vector>

#include "driver/CavixScanner.h"

class ScannerModule {
 public:
  ScannerModule() = default;
  ~ScannerModule();
  ScannerModule(const ScannerModule&) = delete;
  ScannerModule& operator=(const ScannerModule&) = delete;

  // modulePath not empty: that module. Else the registered class; when the class is not
  // registered, the first module found in `fallbackDirs` (with a note in *note). False with
  // a message naming what was tried.
  bool Create(const std::string& modulePath, const std::vector<std::string>& fallbackDirs,
              std::string* error, std::string* note = nullptr);

  IScanner* Scanner() const { return scanner_; }
  IADF2* Adf() const { return adf_; }
  const std::string& Source() const { return source_; }  // "registration" or the module path

  // Where a module may be found beside a program or library in `dir` (build tree and install
  // layouts), existing files only.
  static std::vector<std::string> ModulesNear(const std::string& dir);
  // Directory of the running program.
  static std::string ProgramDirectory();
  // The module path registered in the HKLM store; empty when the class is not registered.
  static std::string RegisteredModule();
  // Records `path` as the registered module (after a registration made from a staging root).
  static bool RecordRegisteredModule(const std::string& path, std::string* error);
  // Loads the module and calls DllRegisterServer (or DllUnregisterServer).
  static HRESULT CallRegistration(const std::string& modulePath, bool registering, std::string* error);

 private:
  void Release();

  IScanner* scanner_ = nullptr;
  IADF2* adf_ = nullptr;
  std::string source_;
};

#endif
