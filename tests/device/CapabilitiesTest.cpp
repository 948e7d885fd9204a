// The three capability records, compared byte for byte with hand-built expectations: every
// byte the driver does not report must keep the caller's content.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "device/ScanDeviceHandle.h"
#include "device/SoapScanDevice.h"
#include "tests/device/DeviceTestSupport.h"

namespace {

// Fills a record with a pattern no field value of the answer can be mistaken for.
template <class Record>
void Prefill(Record& record) {
  auto* bytes = reinterpret_cast<uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<uint8_t>(0xA0 ^ (i * 7));
}

template <class Record>
::testing::AssertionResult SameBytes(const Record& expected, const Record& actual) {
  const auto* e = reinterpret_cast<const uint8_t*>(&expected);
  const auto* a = reinterpret_cast<const uint8_t*>(&actual);
  for (size_t i = 0; i < sizeof(Record); ++i) {
    if (e[i] != a[i]) {
      return ::testing::AssertionFailure() << "byte " << i << ": expected 0x" << std::hex << int(e[i]) << ", got 0x"
                                           << int(a[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// Model text with its zero, bytes 7 to 15 as the caller left them.
template <class Record>
void ExpectModel(Record& r) {
  std::memcpy(r.byModelNumber, "vqm440", 7);
}

SCANNER_CAPABILITIES ExpectedPlaten(uint32_t minimumHeight) {
  SCANNER_CAPABILITIES r;
  Prefill(r);
  ExpectModel(r);
  r.wLampWarmupTime = 0;
  r.wOpticalResolution = 1200;
  r.wMaximumXResolution = 1200;
  r.wMaximumYResolution = 1200;
  r.wMinimumResolution = 75;
  r.dwMaximumWidth = 2550;
  r.dwMinimumWidth = 576;
  r.dwMaximumHeight = 3507;
  r.dwMinimumHeight = minimumHeight;
  r.wRawPixelOrder = 1;
  r.wPixelPacking = 1;
  r.dwScanModesSupported = 7;
  r.dwScanOptionsSupported = 0x4000;
  r.wGreyChannelsSupported = 16;
  r.wPaperPath = 0;
  r.wGammaTableSize = 0;
  r.byColorBitsPerChannel[0] = 8;
  r.byColorBitsPerChannel[1] = 0;
  r.byGreyBitsPerChannel[0] = 8;
  r.byGreyBitsPerChannel[1] = 0;
  r.dwGammaEntriesPerChannel = 256;
  r.dwGammaMaxEntryValue = 255;
  r.dwGammaBytesPerEntry = 1;
  r.wMaxGreyCCDResolution = 1200;
  for (WORD& w : r.wReserved) w = 0;
  return r;
}

ADF_CAPABILITIES ExpectedAdf() {
  ADF_CAPABILITIES r;
  Prefill(r);
  r.byHasADF = 1;
  ExpectModel(r);
  r.wADFType = 1;
  r.wOpticalResolution = 300;
  r.wMaximumXResolution = 300;
  r.wMaximumYResolution = 300;
  r.wMinimumResolution = 75;
  r.dwMaximumWidth = 2550;
  r.dwMinimumWidth = 576;
  r.dwMaximumHeight = 4200;
  r.dwMinimumHeight = 576;
  r.dwScanModesSupported = 7;
  r.dwScanOptionsSupported = 0x4000;
  r.wGreyChannelsSupported = 16;
  r.wGammaTableSize = 0;
  r.byColorBitsPerChannel[0] = 8;
  r.byColorBitsPerChannel[1] = 0;
  r.byGreyBitsPerChannel[0] = 8;
  r.byGreyBitsPerChannel[1] = 0;
  r.dwGammaEntriesPerChannel = 256;
  r.dwGammaMaxEntryValue = 255;
  r.dwGammaBytesPerEntry = 1;
  r.wMaxGreyCCDResolution = 300;
  for (WORD& w : r.wReserved) w = 0;
  return r;
}

ADF2_CAPABILITIES ExpectedAdf2() {
  ADF2_CAPABILITIES r;
  Prefill(r);
  r.byHasADF = 1;
  ExpectModel(r);
  r.wADFType = 1;
  r.byADFCanDetectEndOfPage = 1;
  r.byADFFeedCanDetectLengthOfPage = 0;
  r.dwADFOptionsSupported = 5;
  r.wOpticalResolution = 300;
  r.wMaximumXResolution = 300;
  r.wMaximumYResolution = 300;
  r.wMinimumResolution = 75;
  r.dwMaximumWidth = 2550;
  r.dwMinimumWidth = 576;
  r.dwMaximumHeight = 4200;
  r.dwMinimumHeight = 576;
  r.dwDuplexMaximumWidth = 2550;
  r.dwDuplexMinimumWidth = 576;
  r.dwDuplexMaximumHeight = 4200;
  r.dwDuplexMinimumHeight = 576;
  r.dwScanModesSupported = 7;
  r.dwScanOptionsSupported = 0x4000;
  r.wGreyChannelsSupported = 16;
  r.byColorBitsPerChannel[0] = 8;
  r.byColorBitsPerChannel[1] = 0;
  r.byGreyBitsPerChannel[0] = 8;
  r.byGreyBitsPerChannel[1] = 0;
  r.dwGammaEntriesPerChannel = 256;
  r.dwGammaMaxEntryValue = 255;
  r.dwGammaBytesPerEntry = 1;
  r.wMaxGreyCCDResolution = 300;
  for (WORD& w : r.wReserved) w = 0;
  return r;
}

class CapabilitiesTest : public ::testing::Test {
 protected:
  devicetest::Sandbox sandbox_;
};

TEST_F(CapabilitiesTest, RecordsBeforeInitHoldExactlyTheReportedFields) {
  std::unique_ptr<IScanDevice> device(ScanDeviceHandle::CreateSoapScanDevice());
  SCANNER_CAPABILITIES caps;
  Prefill(caps);
  device->GetCapabilities(caps);
  EXPECT_TRUE(SameBytes(ExpectedPlaten(576), caps));

  ADF_CAPABILITIES adf;
  Prefill(adf);
  device->GetAdfCapabilities(adf);
  EXPECT_TRUE(SameBytes(ExpectedAdf(), adf));

  ADF2_CAPABILITIES adf2;
  Prefill(adf2);
  device->GetAdf2Capabilities(adf2);
  EXPECT_TRUE(SameBytes(ExpectedAdf2(), adf2));
}

TEST_F(CapabilitiesTest, ManufacturingModeLowersOnlyThePlatenMinimumHeight) {
  std::unique_ptr<IScanDevice> device(ScanDeviceHandle::CreateSoapScanDevice());
  ASSERT_TRUE(device->Init(kScanDeviceNetwork, devicetest::LoopbackDeviceName()));
  ASSERT_TRUE(device->SetMfgMode());
  SCANNER_CAPABILITIES caps;
  Prefill(caps);
  device->GetCapabilities(caps);
  EXPECT_TRUE(SameBytes(ExpectedPlaten(90), caps));

  ADF_CAPABILITIES adf;
  Prefill(adf);
  device->GetAdfCapabilities(adf);
  EXPECT_TRUE(SameBytes(ExpectedAdf(), adf));
  ADF2_CAPABILITIES adf2;
  Prefill(adf2);
  device->GetAdf2Capabilities(adf2);
  EXPECT_TRUE(SameBytes(ExpectedAdf2(), adf2));
}

}  // namespace
