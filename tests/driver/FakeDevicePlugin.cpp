// The fake device as a plug-in for the driver module: CAVIX_TEST_DEVICE_PLUGIN names this
// library, the module calls CavixCreateTestScanDevice for each device, and the test host steers
// the fakes through CavixFakeDeviceScript.
#include "tests/driver/FakeScanDevice.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_EXPORT IScanDevice* CavixCreateTestScanDevice() { return new FakeScanDevice(SharedFakeDeviceScript()); }

FAKE_EXPORT FakeDeviceScript* CavixFakeDeviceScript() { return SharedFakeDeviceScript(); }
