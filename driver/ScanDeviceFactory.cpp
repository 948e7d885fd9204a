#include "driver/ScanDeviceFactory.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <mutex>

#include "log/GlobalLog.h"
#include "log/CLog2.h"
#include "log/LogLevels.h"
#include "platform/Mutex.h"

#ifdef CAVIX_HAVE_SOAP_SCAN_DEVICE
#include "device/ScanDeviceHandle.h"
#endif

namespace {

Mutex g_factoryLock;
ScanDeviceFactoryFn g_factory GUARDED_BY(g_factoryLock);
CreateTestScanDeviceFn g_pluginEntry GUARDED_BY(g_factoryLock) = nullptr;  // loaded once

void LogError(const char* format, const char* a, const char* b) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_ERROR_MSG, format, a, b);
}

// The test plug-in's entry point, loading the plug-in on first use. The library stays loaded
// for the life of the process (devices it made may still be alive).
CreateTestScanDeviceFn PluginEntry(const char* path) REQUIRES(g_factoryLock) {
  if (g_pluginEntry != nullptr) return g_pluginEntry;
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    LogError("Error: cannot load device plug-in %s: %s", path, why ? why : "");
    return nullptr;
  }
  void* entry = dlsym(handle, kTestDevicePluginEntry);
  if (entry == nullptr) {
    LogError("Error: device plug-in %s has no %s", path, kTestDevicePluginEntry);
    return nullptr;
  }
  g_pluginEntry = reinterpret_cast<CreateTestScanDeviceFn>(entry);
  return g_pluginEntry;
}

}  // namespace

void SetScanDeviceFactory(ScanDeviceFactoryFn factory) {
  MutexLock guard(g_factoryLock);
  g_factory = std::move(factory);
}

std::unique_ptr<IScanDevice> CreateScanDevice() {
  MutexLock guard(g_factoryLock);
  if (g_factory) return std::unique_ptr<IScanDevice>(g_factory());
  const char* plugin = secure_getenv(kTestDevicePluginVariable);
  if (plugin != nullptr && *plugin != '\0') {
    CreateTestScanDeviceFn entry = PluginEntry(plugin);
    return std::unique_ptr<IScanDevice>(entry ? entry() : nullptr);
  }
#ifdef CAVIX_HAVE_SOAP_SCAN_DEVICE
  return std::unique_ptr<IScanDevice>(ScanDeviceHandle::CreateSoapScanDevice());
#else
  LogError("Error: %s%s", "no scan device in this build", "");
  return nullptr;
#endif
}
