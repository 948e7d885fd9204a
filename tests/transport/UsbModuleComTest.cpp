// The shipped module over USB: libcavixdriver.so created through the platform's
// CoCreateInstanceFromModule, as a host creates it, opens a session of I/O type 1 on the
// pseudo-terminal of the simulated scanner and scans a platen page of raw rows, which must
// reach the host byte for byte as the device sent them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/CavixCom.h"
#include "driver/CavixErrors.h"
#include "driver/CavixScanner.h"
#include "platform/ComCreate.h"
#include "sim/DeviceSimulator.h"
#include "tests/support/HostCalls.h"
#include "tests/transport/TransportTestSupport.h"

namespace {

using cavixsim::DeviceSimulator;
using cavixsim::Operation;
using cavixsim::SimConfig;

TEST(UsbModuleCom, PlatenPageOverThePseudoTerminalThroughTheLoadedModule) {
  transporttest::Sandbox sandbox;
  SimConfig config;
  config.usb = true;
  config.keepPageBytes = true;
  DeviceSimulator sim(config);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;

  IScanner* scanner = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstanceFromModule(CAVIX_DRIVER_MODULE, CLSID_CavixScanner, IID_IScanner,
                                             reinterpret_cast<void**>(&scanner)))
      << LastModuleLoadError();
  const std::string path = sim.PtyPath();
  const std::u16string name(path.begin(), path.end());
  DWORD session = 0;
  DWORD code = 77;
  ASSERT_NO_FATAL_FAILURE(testsupport::OpenLockedSession(scanner, name, C_IOTYPE_USB, &session, 10000));

  SCANNER_PARAMETERS p = testsupport::HostParameters(0, C_SCANMODE_BW, 1, 200, 0, 0, 1000, 900);
  ASSERT_EQ(S_OK, scanner->SetScannerParameters(session, &p, &code)) << code;
  BUFFER_INFO info{};
  ASSERT_EQ(S_OK, scanner->GetBufferInfo(session, &p, &info, &code)) << code;
  ASSERT_EQ(S_OK, scanner->StartScan(session, &code)) << code;

  std::vector<BYTE> page;
  std::vector<BYTE> buffer(10000);
  HRESULT hr = S_OK;
  do {
    DWORD got = 0;
    code = 0xDEAD;
    hr = scanner->ReadScanEx(session, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &code);
    page.insert(page.end(), buffer.begin(), buffer.begin() + got);
  } while (hr == S_OK && code != CERR_SCANNER_END_OF_PAGE);
  EXPECT_EQ(S_OK, hr) << code;
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), code);
  EXPECT_EQ(S_OK, scanner->StopScan(session, &code)) << code;
  EXPECT_EQ(S_OK, scanner->UnlockScanner(session, &code)) << code;
  EXPECT_EQ(S_OK, scanner->CloseScannerSession(session, &code)) << code;
  scanner->Release();

  EXPECT_EQ(uint64_t(info.dwBytesPerLine) * info.dwPixelHeight, page.size());
  const std::vector<cavixsim::SentPage> sent = sim.SentPages();
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(cavixsim::kFormatZkraw, sent[0].format);
  EXPECT_TRUE(sent[0].data == page);
  std::string order;
  for (const auto& r : sim.Requests()) order += "CRXSJP?"[static_cast<int>(r.op)];
  EXPECT_EQ("SSCRJP", order);
  sim.Stop();
}

}  // namespace
