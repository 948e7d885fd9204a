// The scan device as a host sees it: the driver object of the front end (linked in, with the
// module's load done by the test), a session of I/O type 5 (network) on a loopback device name,
// and the behaviour of the device that shows through the scanner interfaces.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "driver/CavixDriver.h"
#include "driver/CavixScanner.h"
#include "driver/DriverModule.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/HostCalls.h"

namespace {

using devicetest::Eventually;
using devicetest::ThreadCount;

using testsupport::Wide;

template <class Record>
void Prefill(Record& record) {
  auto* bytes = reinterpret_cast<uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<uint8_t>(0x3C ^ (i * 5));
}

SCANNER_PARAMETERS Record(uint16_t method, uint32_t width, uint32_t length, uint32_t mode = 2, uint8_t bits = 8,
                          uint16_t dpi = 300) {
  return testsupport::HostParameters(method, mode, bits, dpi, 0, 0, width, length);
}

class DeviceThroughDriverTest : public ::testing::Test {
 protected:
  // One module load for the suite: the module reads its log switches when it is loaded.
  static void SetUpTestSuite() {
    sandbox_ = new devicetest::Sandbox();
    sandbox_->CaptureLog();
    DriverModule::Load();
  }
  static void TearDownTestSuite() {
    DriverModule::Unload();
    delete sandbox_;
    sandbox_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(S_OK, CavixDriver::Create(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner_)));
    ASSERT_EQ(S_OK, scanner_->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf2_)));
    ASSERT_EQ(S_OK, scanner_->QueryInterface(IID_IMFG, reinterpret_cast<void**>(&mfg_)));
  }
  void TearDown() override {
    if (session_ != 0) {
      DWORD error = 0;
      scanner_->UnlockScanner(session_, &error);
      EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &error));
    }
    if (mfg_) mfg_->Release();
    if (adf2_) adf2_->Release();
    if (scanner_) scanner_->Release();
  }

  // Opens and locks a network session on the loopback device.
  void OpenNetworkSession() {
    const std::u16string name = Wide(devicetest::LoopbackDeviceName());
    DWORD error = 77;
    ASSERT_EQ(S_OK, scanner_->OpenScannerSession(name.c_str(), C_IOTYPE_NETWORK, &session_, &error));
    ASSERT_EQ(0u, error);
    ASSERT_EQ(S_OK, scanner_->LockScanner(session_, C_LOCK_PROCESS, 1000, &error));
  }

  static devicetest::Sandbox* sandbox_;
  IScanner* scanner_ = nullptr;
  IADF2* adf2_ = nullptr;
  IMFG* mfg_ = nullptr;
  DWORD session_ = 0;
};

devicetest::Sandbox* DeviceThroughDriverTest::sandbox_ = nullptr;

TEST_F(DeviceThroughDriverTest, NetworkSessionRunsARealDeviceWithItsTwoThreads) {
  const int before = ThreadCount();
  OpenNetworkSession();
  EXPECT_EQ(before + 2, ThreadCount());
  // The device's Init ran with a real network protocol on the name's address.
  const std::string log = sandbox_->Log();
  EXPECT_NE(std::string::npos, log.find("+++SoapScanDevice::Init"));
  EXPECT_NE(std::string::npos, log.find("+++NetworkProtocol::Install"));
  EXPECT_NE(std::string::npos, log.find("lastKnownIpAddress_ 127.0.0.2"));
  EXPECT_EQ(std::string::npos, log.find("---SoapScanDevice::Init: ERROR"));
  DWORD error = 0;
  EXPECT_EQ(S_OK, scanner_->UnlockScanner(session_, &error));
  EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &error));
  session_ = 0;
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == before; }));
}

TEST_F(DeviceThroughDriverTest, UnsupportedIoTypeFailsAndLeavesNoThread) {
  const int before = ThreadCount();
  const std::u16string name = Wide(devicetest::LoopbackDeviceName());
  DWORD handle = 0;
  DWORD error = 0;
  EXPECT_EQ(E_FAIL, scanner_->OpenScannerSession(name.c_str(), 2, &handle, &error));
  EXPECT_EQ(CERR_INVALID_PARAMETER, error);
  EXPECT_EQ(before, ThreadCount());
}

TEST_F(DeviceThroughDriverTest, CapabilitiesKeepEveryUnreportedByte) {
  OpenNetworkSession();
  DWORD error = 0;
  SCANNER_CAPABILITIES caps;
  Prefill(caps);
  SCANNER_CAPABILITIES untouched = caps;
  ASSERT_EQ(S_OK, scanner_->GetScannerCapabilities(session_, &caps, &error));
  EXPECT_EQ(0, std::memcmp("vqm440", caps.byModelNumber, 7));
  EXPECT_EQ(0, std::memcmp(untouched.byModelNumber + 7, caps.byModelNumber + 7, 9));
  EXPECT_EQ(1200, caps.wOpticalResolution);
  EXPECT_EQ(3507u, caps.dwMaximumHeight);
  EXPECT_EQ(576u, caps.dwMinimumHeight);
  EXPECT_EQ(0, std::memcmp(untouched.byColorBitsPerChannel + 2, caps.byColorBitsPerChannel + 2, 6));
  EXPECT_EQ(untouched.dwMaxRotationBytes, caps.dwMaxRotationBytes);
  EXPECT_EQ(untouched.byCanSharpen, caps.byCanSharpen);
  EXPECT_EQ(untouched.dwAutoOrientSupportedLanguages, caps.dwAutoOrientSupportedLanguages);

  ADF2_CAPABILITIES adf2;
  Prefill(adf2);
  ADF2_CAPABILITIES adf2Untouched = adf2;
  ASSERT_EQ(S_OK, adf2_->GetADF2Capabilities(session_, &adf2, &error));
  EXPECT_EQ(5u, adf2.dwADFOptionsSupported);
  EXPECT_EQ(4200u, adf2.dwDuplexMaximumHeight);
  EXPECT_EQ(adf2Untouched.dwLongPageMaximumHeight, adf2.dwLongPageMaximumHeight);
  EXPECT_EQ(adf2Untouched.wMaxELPResolution, adf2.wMaxELPResolution);
  EXPECT_EQ(adf2Untouched.byReserved1, adf2.byReserved1);

  // Manufacturing mode through IMFG lowers the platen's minimum height only.
  ASSERT_EQ(S_OK, mfg_->SetMFGParameters(session_, C_MFG_RAW_DATA, &error));
  ASSERT_EQ(S_OK, scanner_->GetScannerCapabilities(session_, &caps, &error));
  EXPECT_EQ(90u, caps.dwMinimumHeight);
  ADF_CAPABILITIES adf;
  Prefill(adf);
  ASSERT_EQ(S_OK, adf2_->GetADFCapabilities(session_, &adf, &error));
  EXPECT_EQ(576u, adf.dwMinimumHeight);
  EXPECT_EQ(300, adf.wMaxGreyCCDResolution);
}

TEST_F(DeviceThroughDriverTest, ParameterChecksReachTheHostWithTheirCodes) {
  OpenNetworkSession();
  DWORD error = 0;
  SCANNER_PARAMETERS grey = Record(0, 2550, 3507);
  BUFFER_INFO info;
  ASSERT_EQ(S_OK, scanner_->GetBufferInfo(session_, &grey, &info, &error));
  EXPECT_EQ(2550u, info.dwPixelWidth);
  EXPECT_EQ(3507u, info.dwPixelHeight);
  EXPECT_EQ(2550u, info.dwBytesPerLine);
  SCANNER_PARAMETERS bw = Record(0, 2550, 3507, 4, 1);
  ASSERT_EQ(S_OK, scanner_->GetBufferInfo(session_, &bw, &info, &error));
  EXPECT_EQ(2544u, info.dwPixelWidth);
  EXPECT_EQ(318u, info.dwBytesPerLine);

  SCANNER_PARAMETERS tma = Record(2, 2550, 3507);
  EXPECT_EQ(E_FAIL, scanner_->GetBufferInfo(session_, &tma, &info, &error));
  EXPECT_EQ(CERR_OUT_OF_MEMORY, error);
  EXPECT_EQ(E_FAIL, scanner_->SetScannerParameters(session_, &tma, &error));
  EXPECT_EQ(CERR_UNKNOWN, error);
  SCANNER_PARAMETERS adf600 = Record(1, 2550, 4200, 2, 8, 600);
  EXPECT_EQ(E_FAIL, scanner_->SetScannerParameters(session_, &adf600, &error));
  EXPECT_EQ(CERR_INVALID_PARAMETER, error);
  SCANNER_PARAMETERS small = Record(0, 300, 400);
  EXPECT_EQ(S_OK, scanner_->SetScannerParameters(session_, &small, &error));
  EXPECT_EQ(0u, error);

  EXPECT_EQ(E_FAIL, adf2_->SetADFOptions(session_, 2, &error));
  EXPECT_EQ(CERR_INVALID_PARAMETER, error);
  EXPECT_EQ(E_FAIL, adf2_->SetADFOptions(session_, 3, &error));
  EXPECT_EQ(CERR_INVALID_PARAMETER, error);
  EXPECT_EQ(S_OK, adf2_->SetADFOptions(session_, 4, &error));
}

}  // namespace
