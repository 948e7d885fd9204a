// The three capability queries. The answers are fixed by the driver; the limits come from
// parameter objects built from the defaults with the manufacturing flag as lossless flag.
// Only the fields listed here are written: everything else keeps the caller's content.
#include <cstring>

#include "device/AdfScanParameters.h"
#include "device/FlatbedScanParameters.h"
#include "device/SoapScanDevice.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"

namespace {

constexpr char kModelNumber[] = "vqm440";  // written with its terminating zero (7 bytes)

// The fields the three records share (same names, each record's own layout).
template <class Capabilities>
void FillCommonCapabilities(Capabilities& caps, const ScanParameters& limits) {
  std::memcpy(caps.byModelNumber, kModelNumber, sizeof kModelNumber);
  caps.wOpticalResolution = limits.OpticalResolution();
  caps.wMaximumXResolution = limits.OpticalResolution();
  caps.wMaximumYResolution = limits.OpticalResolution();
  caps.wMinimumResolution = limits.MinimumResolution();
  caps.dwMaximumWidth = limits.MaximumWidth();
  caps.dwMinimumWidth = limits.MinimumWidth();
  caps.dwMaximumHeight = limits.MaximumLength();
  caps.dwMinimumHeight = limits.MinimumLength();
  caps.dwScanModesSupported = 7;
  caps.dwScanOptionsSupported = 0x4000;
  caps.wGreyChannelsSupported = 16;
  caps.byColorBitsPerChannel[0] = 8;
  caps.byColorBitsPerChannel[1] = 0;
  caps.byGreyBitsPerChannel[0] = 8;
  caps.byGreyBitsPerChannel[1] = 0;
  caps.dwGammaEntriesPerChannel = 256;
  caps.dwGammaMaxEntryValue = 255;
  caps.dwGammaBytesPerEntry = 1;
  caps.wMaxGreyCCDResolution = limits.OpticalResolution();
  for (WORD& reserved : caps.wReserved) reserved = 0;
}

}  // namespace

void SoapScanDevice::GetCapabilities(SCANNER_CAPABILITIES& caps) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::GetCapabilities");
  const FlatbedScanParameters limits(mfgMode_.load());
  FillCommonCapabilities(caps, limits);
  caps.wLampWarmupTime = 0;
  caps.wRawPixelOrder = 1;
  caps.wPixelPacking = 1;
  caps.wPaperPath = 0;
  caps.wGammaTableSize = 0;
}

void SoapScanDevice::GetAdfCapabilities(ADF_CAPABILITIES& caps) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::GetAdfCapabilities");
  const AdfScanParameters limits(mfgMode_.load());
  FillCommonCapabilities(caps, limits);
  caps.byHasADF = 1;
  caps.wADFType = 1;
  caps.wGammaTableSize = 0;
}

void SoapScanDevice::GetAdf2Capabilities(ADF2_CAPABILITIES& caps) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::GetAdf2Capabilities");
  const AdfScanParameters limits(mfgMode_.load());
  FillCommonCapabilities(caps, limits);
  caps.byHasADF = 1;
  caps.wADFType = 1;
  caps.byADFCanDetectEndOfPage = 1;
  caps.byADFFeedCanDetectLengthOfPage = 0;
  // Duplex (0x1) and multi-page flow (0x4): the only options SetAdfOptions accepts.
  caps.dwADFOptionsSupported = 5;
  caps.dwDuplexMaximumWidth = limits.MaximumWidth();
  caps.dwDuplexMinimumWidth = limits.MinimumWidth();
  caps.dwDuplexMaximumHeight = limits.MaximumLength();
  caps.dwDuplexMinimumHeight = limits.MinimumLength();
}
