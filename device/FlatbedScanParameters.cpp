#include "device/FlatbedScanParameters.h"

namespace {
constexpr uint32_t kMaximumWidth = 2550;
constexpr uint32_t kMinimumWidth = 576;
constexpr uint32_t kMaximumLength = 3507;
constexpr uint32_t kMinimumLength = 576;
constexpr uint32_t kLosslessMinimumLength = 90;
}  // namespace

FlatbedScanParameters::FlatbedScanParameters(bool losslessMode) : ScanParameters(losslessMode) {
  parameters.wScanMethod = kScanMethodPlaten;
  parameters.dwWidth = kMaximumWidth;
  parameters.dwLength = kMaximumLength;
}

FlatbedScanParameters::FlatbedScanParameters(const SCANNER_PARAMETERS& record, bool losslessMode)
    : ScanParameters(record, losslessMode) {}

int FlatbedScanParameters::InputSource() const { return kInputSourcePlaten; }
int FlatbedScanParameters::InputMediaHeight() const { return 11690; }
uint16_t FlatbedScanParameters::OpticalResolution() const { return 1200; }
uint16_t FlatbedScanParameters::MinimumResolution() const { return 75; }
uint32_t FlatbedScanParameters::MaximumWidth() const { return kMaximumWidth; }
uint32_t FlatbedScanParameters::MinimumWidth() const { return kMinimumWidth; }
uint32_t FlatbedScanParameters::MaximumLength() const { return kMaximumLength; }

uint32_t FlatbedScanParameters::MinimumLength() const {
  if (lossless) {
    LogLossless();
    return kLosslessMinimumLength;
  }
  return kMinimumLength;
}

int FlatbedScanParameters::ImagesToTransfer(bool) const { return 0; }

bool FlatbedScanParameters::ResolutionValid() const {
  if (parameters.wXResolution != parameters.wYResolution) return false;
  switch (parameters.wXResolution) {
    case 75:
    case 100:
    case 150:
    case 200:
    case 300:
    case 600:
    case 1200:
      return true;
    default:
      return false;
  }
}

bool FlatbedScanParameters::WidthUndersized() const { return parameters.dwWidth < kMinimumWidth; }
bool FlatbedScanParameters::LengthUndersized() const { return parameters.dwLength < MinimumLength(); }
uint32_t FlatbedScanParameters::MaximumLeft() const { return kMaximumWidth - kMinimumWidth; }

uint32_t FlatbedScanParameters::MaximumTop() const {
  if (lossless) {
    LogLossless();
    return kMaximumLength - kLosslessMinimumLength;
  }
  return kMaximumLength - kMinimumLength;
}
