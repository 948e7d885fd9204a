// The shared module's entry points: the four functions a COM host looks up, and the load and
// unload of what the module owns. Nothing else leaves the module (see cavixdriver.map).
#include "driver/CavixDriver.h"
#include "driver/CavixScanner.h"
#include "driver/DriverModule.h"
#include "driver/ServerRegistration.h"
#include "platform/ComClassFactory.h"
#include "platform/SystemInfo.h"

#define CAVIX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Creates the global log, the session table and the process-wide locks when the module is
// loaded, and destroys them when it is unloaded.
struct ModuleLifetime {
  ModuleLifetime() { DriverModule::Load(); }
  ~ModuleLifetime() { DriverModule::Unload(); }
};
ModuleLifetime g_moduleLifetime;

ComClassFactory g_classFactory(&CavixDriver::Create);

}  // namespace

CAVIX_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (rclsid != CLSID_CavixScanner) return CLASS_E_CLASSNOTAVAILABLE;
  return g_classFactory.QueryInterface(riid, ppv);
}

CAVIX_EXPORT HRESULT DllCanUnloadNow() { return DriverModule::CanUnloadNow(); }

CAVIX_EXPORT HRESULT DllRegisterServer() {
  const std::string path = GetModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  if (path.empty()) return SELFREG_E_CLASS;
  return ServerRegistration::Register(path);
}

CAVIX_EXPORT HRESULT DllUnregisterServer() { return ServerRegistration::Unregister(); }
