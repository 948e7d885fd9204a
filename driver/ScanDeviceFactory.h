// Where session records get their scan devices from.
//
// The front end never names a device class: it asks this factory. By default the factory builds
// the SoapScanDevice (when the build has one). Two ways replace it, both meant for tests:
//  - in-process: SetScanDeviceFactory installs a creation function (unit tests that link the
//    front end's internals);
//  - across the module boundary: when the environment variable CAVIX_TEST_DEVICE_PLUGIN names a
//    shared library, the first device creation loads it and calls its C function
//    `IScanDevice* CavixCreateTestScanDevice(void)` for every device. The module itself exports
//    nothing for this, so a host that only dlopens libcavixdriver.so can still run the driver
//    against a fake device. The variable is ignored in set-user-id/set-group-id processes.
// Threads: any thread may call these; the installed function is guarded by a mutex, and the
// device creation lock of the session opener serialises the calls to it.
#ifndef CAVIX_DRIVER_SCANDEVICEFACTORY_H
#define CAVIX_DRIVER_SCANDEVICEFACTORY_H

#include <functional>
#include <memory>

#include "device/IScanDevice.h"

// The plug-in entry point named by CAVIX_TEST_DEVICE_PLUGIN.
constexpr const char* kTestDevicePluginVariable = "CAVIX_TEST_DEVICE_PLUGIN";
constexpr const char* kTestDevicePluginEntry = "CavixCreateTestScanDevice";
extern "C" typedef IScanDevice* (*CreateTestScanDeviceFn)();

using ScanDeviceFactoryFn = std::function<IScanDevice*()>;

// Installs `factory` for every later device creation; an empty function restores the default.
void SetScanDeviceFactory(ScanDeviceFactoryFn factory);

// A new, not yet initialised device, or nullptr when no device can be made (no device class in
// this build, or the test plug-in cannot be loaded). std::bad_alloc propagates.
std::unique_ptr<IScanDevice> CreateScanDevice();

#endif
