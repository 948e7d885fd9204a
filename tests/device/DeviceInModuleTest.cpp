// The shipped module: libcavixdriver.so loaded with dlopen, as a host loads it, opens a real
// network session (I/O type 5) with the SOAP scan device and its two worker threads.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/CavixScanner.h"
#include "tests/device/DeviceTestSupport.h"

namespace {

TEST(DeviceInModuleTest, NetworkSessionOfTheLoadedModuleRunsTheScanDevice) {
  devicetest::Sandbox sandbox;
  void* module = dlopen(CAVIX_DRIVER_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, module) << dlerror();
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(module, "DllGetClassObject"));
  ASSERT_NE(nullptr, getClassObject);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, getClassObject(CLSID_CavixScanner, IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  IScanner* scanner = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner)));
  factory->Release();

  const int before = devicetest::ThreadCount();
  std::u16string name;
  for (const char* p = devicetest::LoopbackDeviceName(); *p; ++p) name += static_cast<char16_t>(*p);
  DWORD session = 0;
  DWORD error = 77;
  ASSERT_EQ(S_OK, scanner->OpenScannerSession(name.c_str(), C_IOTYPE_NETWORK, &session, &error));
  EXPECT_EQ(0u, error);
  EXPECT_EQ(before + 2, devicetest::ThreadCount());
  ASSERT_EQ(S_OK, scanner->LockScanner(session, C_LOCK_PROCESS, 1000, &error));
  SCANNER_CAPABILITIES caps;
  std::memset(&caps, 0xEE, sizeof caps);
  ASSERT_EQ(S_OK, scanner->GetScannerCapabilities(session, &caps, &error));
  EXPECT_STREQ("vqm440", reinterpret_cast<const char*>(caps.byModelNumber));
  EXPECT_EQ(2550u, caps.dwMaximumWidth);
  EXPECT_EQ(S_OK, scanner->UnlockScanner(session, &error));
  EXPECT_EQ(S_OK, scanner->CloseScannerSession(session, &error));
  EXPECT_TRUE(devicetest::Eventually([&] { return devicetest::ThreadCount() == before; }));
  scanner->Release();
}

}  // namespace
