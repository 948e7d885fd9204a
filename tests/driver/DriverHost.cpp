#include "tests/driver/DriverHost.h"

#include <dlfcn.h>

std::string LoadDriverModule(const char* modulePath, const char* pluginPath, DriverModuleEntries* entries,
                             FakeDeviceScript** script) {
  void* plugin = dlopen(pluginPath, RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) return std::string("plug-in: ") + dlerror();
  auto scriptFn = reinterpret_cast<FakeDeviceScript* (*)()>(dlsym(plugin, "CavixFakeDeviceScript"));
  if (scriptFn == nullptr) return "plug-in has no CavixFakeDeviceScript";
  *script = scriptFn();
  return LoadDriverModuleOnly(modulePath, entries);
}

std::string LoadDriverModuleOnly(const char* modulePath, DriverModuleEntries* entries) {
  entries->handle = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
  if (entries->handle == nullptr) return std::string("module: ") + dlerror();
  entries->getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(entries->handle, "DllGetClassObject"));
  entries->canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(entries->handle, "DllCanUnloadNow"));
  entries->registerServer = reinterpret_cast<DllRegisterServerFn>(dlsym(entries->handle, "DllRegisterServer"));
  entries->unregisterServer = reinterpret_cast<DllUnregisterServerFn>(dlsym(entries->handle, "DllUnregisterServer"));
  if (!entries->getClassObject || !entries->canUnloadNow || !entries->registerServer || !entries->unregisterServer)
    return "module lacks an entry point";
  return "";
}

IScanner* CreateScanner(const DriverModuleEntries& entries) {
  IClassFactory* factory = nullptr;
  if (entries.getClassObject(CLSID_CavixScanner, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK)
    return nullptr;
  IScanner* scanner = nullptr;
  HRESULT hr = factory->CreateInstance(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner));
  factory->Release();
  return hr == S_OK ? scanner : nullptr;
}
