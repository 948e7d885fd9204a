// What the driver tests that load the built module share: the module's four entry points
// (found with dlsym, nothing linked), the fake device plug-in's script, and small helpers.
#ifndef CAVIX_TESTS_DRIVER_DRIVERHOST_H
#define CAVIX_TESTS_DRIVER_DRIVERHOST_H

#include <string>

#include "driver/CavixScanner.h"
#include "tests/driver/FakeDeviceScript.h"

struct DriverModuleEntries {
  void* handle = nullptr;
  DllGetClassObjectFn getClassObject = nullptr;
  DllCanUnloadNowFn canUnloadNow = nullptr;
  DllRegisterServerFn registerServer = nullptr;
  DllUnregisterServerFn unregisterServer = nullptr;
};

// Loads the fake device plug-in and then the driver module (both with dlopen). Returns an error
// text, empty on success.
std::string LoadDriverModule(const char* modulePath, const char* pluginPath, DriverModuleEntries* entries,
                             FakeDeviceScript** script);

// Loads the driver module alone (its own scan devices).
std::string LoadDriverModuleOnly(const char* modulePath, DriverModuleEntries* entries);

// A new driver object through DllGetClassObject and IClassFactory::CreateInstance, or null.
IScanner* CreateScanner(const DriverModuleEntries& entries);

#endif
