#include "transport/DiscoveryLibrary.h"

#include <dlfcn.h>

const char* const DiscoveryLibrary::kFileName = "libzkdisc01.so";

namespace {

// The directory of the module that holds this code, with its trailing '/'; "" if unknown.
std::string ModuleDirectory() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 || !info.dli_fname) return "";
  const std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

template <class F>
bool Bind(void* handle, const char* name, F& function, std::string& error) {
  function = reinterpret_cast<F>(dlsym(handle, name));
  if (!function) error = std::string("missing ") + name;
  return function != nullptr;
}

}  // namespace

DiscoveryLibrary::DiscoveryLibrary(std::vector<std::string> candidates)
    : candidates_(std::move(candidates)) {}

DiscoveryLibrary::~DiscoveryLibrary() {
  if (handle_) dlclose(handle_);
}

DiscoveryLibrary& DiscoveryLibrary::Default() {
  static DiscoveryLibrary library([] {
    std::vector<std::string> candidates;
    const std::string directory = ModuleDirectory();
    if (!directory.empty()) candidates.push_back(directory + kFileName);
    candidates.push_back(kFileName);
    return candidates;
  }());
  return library;
}

const DiscoveryFunctions* DiscoveryLibrary::Functions(ScanError* failure) {
  MutexLock hold(loadLock_);
  if (handle_) return &functions_;
  // Why each candidate failed, in order; this call's own, whatever other threads try.
  std::string loadError;
  for (const auto& candidate : candidates_) {
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      loadError += (loadError.empty() ? "" : "; ") + std::string(why ? why : candidate);
      continue;
    }
    DiscoveryFunctions f{};
    std::string error;
    if (Bind(handle, "SDI_startup", f.startup, error) &&
        Bind(handle, "SDI_setLoggingLevel", f.setLoggingLevel, error) &&
        Bind(handle, "SDI_discoverMAC", f.discoverMAC, error) &&
        Bind(handle, "SDI_getNumDiscoveredDevices", f.getNumDiscoveredDevices, error) &&
        Bind(handle, "SDI_getIPAddress", f.getIPAddress, error) &&
        Bind(handle, "SDI_getIPv6Addresses", f.getIPv6Addresses, error) &&
        Bind(handle, "SDI_shutdown", f.shutdown, error)) {
      handle_ = handle;
      functions_ = f;
      return &functions_;
    }
    loadError += (loadError.empty() ? "" : "; ") + candidate + ": " + error;
    dlclose(handle);
  }
  if (failure) *failure = ScanError::Failed(CERR_SCANNER_NOT_FOUND, loadError);
  return nullptr;
}
