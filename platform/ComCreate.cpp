#include "platform/ComCreate.h"

#include <dlfcn.h>

#include "platform/ComGuid.h"
#include "platform/RegistryKey.h"

namespace {
thread_local std::string t_loadError;
}

std::string LastModuleLoadError() { return t_loadError; }

HRESULT CoCreateInstanceFromModule(const std::string& modulePath, REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  t_loadError.clear();
  // The handle is deliberately never closed: objects of the module may outlive this call, and
  // dlopen counts repeated loads of one module.
  void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* err = dlerror();
    t_loadError = err != nullptr ? err : ("cannot load " + modulePath);
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(module, "DllGetClassObject"));
  if (getClassObject == nullptr) {
    t_loadError = modulePath + ": no DllGetClassObject";
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return E_UNEXPECTED;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  factory->Release();
  return hr;
}

HRESULT CoCreateInstanceFromStore(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  t_loadError.clear();
  RegistryKey key;
  LONG rc = key.Open(RegistryRoot::LocalMachine, "Software\\Classes\\CLSID\\" + GuidToString(clsid) + "\\InprocServer32");
  std::string modulePath;
  if (rc == ERROR_SUCCESS) rc = key.QueryString("", &modulePath);
  if (rc == ERROR_FILE_NOT_FOUND || (rc == ERROR_SUCCESS && modulePath.empty())) return REGDB_E_CLASSNOTREG;
  if (rc != ERROR_SUCCESS) {
    t_loadError = key.LastErrorText();
    return E_FAIL;
  }
  return CoCreateInstanceFromModule(modulePath, clsid, riid, ppv);
}
