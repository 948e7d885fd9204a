#include "device/AdfScanParameters.h"

namespace {
constexpr uint32_t kMaximumWidth = 2550;
constexpr uint32_t kMinimumWidth = 576;
constexpr uint32_t kMaximumLength = 4200;
constexpr uint32_t kMinimumLength = 576;
}  // namespace

AdfScanParameters::AdfScanParameters(bool losslessMode) : ScanParameters(losslessMode) {
  parameters.wScanMethod = kScanMethodAdf;
  parameters.dwWidth = kMaximumWidth;
  parameters.dwLength = kMaximumLength;
}

AdfScanParameters::AdfScanParameters(const SCANNER_PARAMETERS& record, bool losslessMode)
    : ScanParameters(record, losslessMode) {}

int AdfScanParameters::InputSource() const { return duplex ? kInputSourceAdfDuplex : kInputSourceAdf; }
int AdfScanParameters::InputMediaHeight() const { return 14000; }
uint16_t AdfScanParameters::OpticalResolution() const { return 300; }
uint16_t AdfScanParameters::MinimumResolution() const { return 75; }
uint32_t AdfScanParameters::MaximumWidth() const { return kMaximumWidth; }
uint32_t AdfScanParameters::MinimumWidth() const { return kMinimumWidth; }
uint32_t AdfScanParameters::MaximumLength() const { return kMaximumLength; }
uint32_t AdfScanParameters::MinimumLength() const { return kMinimumLength; }

// The device always runs the feeder in multi-page flow: 0 asks for every page of the job.
int AdfScanParameters::ImagesToTransfer(bool) const { return 0; }

bool AdfScanParameters::ResolutionValid() const {
  if (parameters.wXResolution != parameters.wYResolution) return false;
  switch (parameters.wXResolution) {
    case 75:
    case 100:
    case 150:
    case 200:
    case 300:
      return true;
    default:
      return false;
  }
}

bool AdfScanParameters::WidthUndersized() const { return parameters.dwWidth < kMinimumWidth; }
bool AdfScanParameters::LengthUndersized() const { return parameters.dwLength < kMinimumLength; }
uint32_t AdfScanParameters::MaximumLeft() const { return 1974; }
uint32_t AdfScanParameters::MaximumTop() const { return 3624; }
