#include "tools/ScannerModule.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "platform/ComCreate.h"
#include "platform/ComGuid.h"
#include "platform/RegistryKey.h"
#include "platform/Win32Constants.h"

#ifndef CAVIX_MULTIARCH
#define CAVIX_MULTIARCH "x86_64-linux-gnu"
#endif

namespace {

// The registration's key of the module path (its default value).
std::string ServerKey() { return "Software\\Classes\\CLSID\\" + GuidToString(CLSID_CavixScanner) + "\\InprocServer32"; }

bool IsFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

}  // namespace

ScannerModule::~ScannerModule() { Release(); }

void ScannerModule::Release() {
  if (adf_) adf_->Release();
  if (scanner_) scanner_->Release();
  adf_ = nullptr;
  scanner_ = nullptr;
}

std::string ScannerModule::ProgramDirectory() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string path(buf);
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::vector<std::string> ScannerModule::ModulesNear(const std::string& dir) {
  std::vector<std::string> found;
  for (const char* rel : {"/libcavixdriver.so", "/../driver/libcavixdriver.so", "/../lib/libcavixdriver.so",
                          "/../lib/" CAVIX_MULTIARCH "/libcavixdriver.so", "/../lib/" CAVIX_MULTIARCH "/cavix/libcavixdriver.so",
                          "/../lib64/libcavixdriver.so"}) {
    const std::string p = dir + rel;
    if (IsFile(p)) {
      char real[4096];
      found.push_back(::realpath(p.c_str(), real) ? std::string(real) : p);
    }
  }
  return found;
}

bool ScannerModule::RecordRegisteredModule(const std::string& path, std::string* error) {
  RegistryKey key;
  if (key.Open(RegistryRoot::LocalMachine, ServerKey()) == ERROR_SUCCESS && key.SetString("", path) == ERROR_SUCCESS)
    return true;
  *error = key.LastErrorText().empty() ? "the driver is not registered" : key.LastErrorText();
  return false;
}

std::string ScannerModule::RegisteredModule() {
  RegistryKey key;
  if (key.Open(RegistryRoot::LocalMachine, ServerKey()) != ERROR_SUCCESS) return "";
  std::string module;
  if (key.QueryString("", &module) != ERROR_SUCCESS) return "";
  return module;
}

bool ScannerModule::Create(const std::string& modulePath, const std::vector<std::string>& fallbackDirs,
                           std::string* error, std::string* note) {
  Release();
  void* p = nullptr;
  HRESULT hr;
  if (!modulePath.empty()) {
    hr = CoCreateInstanceFromModule(modulePath, CLSID_CavixScanner, IID_IScanner, &p);
    if (FAILED(hr)) {
      const std::string why = LastModuleLoadError();
      *error = "cannot create the driver from " + modulePath + " (" + Hex(hr) + (why.empty() ? "" : ": " + why) + ")";
      return false;
    }
    source_ = modulePath;
  } else {
    hr = CoCreateInstanceFromStore(CLSID_CavixScanner, IID_IScanner, &p);
    if (hr == REGDB_E_CLASSNOTREG) {
      std::vector<std::string> candidates;
      for (const std::string& dir : fallbackDirs)
        for (const std::string& m : ModulesNear(dir)) candidates.push_back(m);
      if (candidates.empty()) {
        *error = "the driver is not registered (run 'cavix-scan register --module PATH') and no "
                 "libcavixdriver.so was found beside this program";
        return false;
      }
      hr = CoCreateInstanceFromModule(candidates.front(), CLSID_CavixScanner, IID_IScanner, &p);
      if (FAILED(hr)) {
        *error = "cannot create the driver from " + candidates.front() + " (" + Hex(hr) + ": " + LastModuleLoadError() + ")";
        return false;
      }
      source_ = candidates.front();
      if (note) *note = "the driver is not registered; using " + source_;
    } else if (FAILED(hr)) {
      const std::string why = LastModuleLoadError();
      *error = "cannot create the registered driver " + RegisteredModule() + " (" + Hex(hr) +
               (why.empty() ? "" : ": " + why) + "); register it again with 'cavix-scan register --module PATH'";
      return false;
    } else {
      source_ = "registration";
    }
  }
  scanner_ = static_cast<IScanner*>(p);
  hr = scanner_->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf_));
  if (FAILED(hr) || !adf_) {
    adf_ = nullptr;
    *error = "the driver does not offer the feeder interface (" + Hex(hr) + ")";
    Release();
    return false;
  }
  return true;
}

HRESULT ScannerModule::CallRegistration(const std::string& modulePath, bool registering, std::string* error) {
  void* module = ::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = ::dlerror();
    *error = "cannot load " + modulePath + (why ? std::string(": ") + why : "");
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  using Fn = HRESULT (*)();
  const char* name = registering ? "DllRegisterServer" : "DllUnregisterServer";
  auto fn = reinterpret_cast<Fn>(::dlsym(module, name));
  if (!fn) {
    *error = modulePath + " has no " + name;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  // The module stays loaded: its global objects may be referenced until the process ends.
  HRESULT hr = fn();
  if (FAILED(hr)) *error = std::string(name) + " failed with " + Hex(hr);
  return hr;
}
