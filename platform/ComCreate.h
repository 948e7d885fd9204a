// CoCreateInstance for Linux: find an in-process server's module, load it with dlopen and ask its
// class factory for an object. Modules stay loaded for the life of the process (objects they
// made may still be alive). Any thread may call these.
#ifndef CAVIX_PLATFORM_COMCREATE_H
#define CAVIX_PLATFORM_COMCREATE_H

#include <string>

#include "driver/CavixCom.h"

// Looks up HKEY_LOCAL_MACHINE\Software\Classes\CLSID\{clsid}\InprocServer32 (default value =
// module path) in the registry store, then as CoCreateInstanceFromModule. A class that is not
// registered gives REGDB_E_CLASSNOTREG; an unreadable store E_FAIL.
HRESULT CoCreateInstanceFromStore(REFCLSID clsid, REFIID riid, void** ppv);

// Loads the module (dlopen), calls its DllGetClassObject for IClassFactory and CreateInstance
// without an outer unknown. A module that cannot be loaded or lacks DllGetClassObject gives
// CLASS_E_CLASSNOTAVAILABLE; the factory's own failures are returned unchanged.
HRESULT CoCreateInstanceFromModule(const std::string& modulePath, REFCLSID clsid, REFIID riid, void** ppv);

// The text of the last dlopen/dlsym failure on this thread (empty when none), for diagnostics.
std::string LastModuleLoadError();

#endif
