#include "device/ScanParameters.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>

#include "device/AdfScanParameters.h"
#include "device/FlatbedScanParameters.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"

namespace {

// Rounding of the 1/300 inch to 1/1000 inch conversions; the product is taken in 32 bits, as
// the page arithmetic everywhere.
int FloorThousandths(uint32_t value300) {
  return static_cast<int>(std::floor(static_cast<uint32_t>(value300 * 1000u) / 300.0));
}
int CeilThousandths(uint32_t value300) {
  return static_cast<int>(std::ceil(static_cast<uint32_t>(value300 * 1000u) / 300.0));
}

}  // namespace

ScanParameters::ScanParameters(bool losslessMode) : parameters(), lossless(losslessMode) {
  std::memset(&parameters, 0, sizeof parameters);
  parameters.dwScanMode = kScanModeColor;
  parameters.dwScanOptions = 0;
  parameters.byBitsPerChannel = 8;
  parameters.wXResolution = 300;
  parameters.wYResolution = 300;
  parameters.wGreyChannel = 16;
}

ScanParameters::ScanParameters(const SCANNER_PARAMETERS& record, bool losslessMode)
    : parameters(record), lossless(losslessMode) {}

int ScanParameters::ImagesToTransfer(bool) const { return 0; }

void ScanParameters::LogLossless() { LogText("Lossless mode set for Manufacturing test"); }

uint32_t ScanParameters::PixelsPerLine() const {
  uint32_t pixels = parameters.wXResolution * parameters.dwWidth / 300u;
  if (parameters.dwScanMode == kScanModeBlackAndWhite) pixels &= ~7u;
  return pixels;
}

uint32_t ScanParameters::Lines() const { return parameters.wYResolution * parameters.dwLength / 300u; }

uint32_t ScanParameters::BytesPerLine() const {
  const uint32_t pixels = parameters.wXResolution * parameters.dwWidth / 300u;
  switch (parameters.dwScanMode) {
    case kScanModeColor:
      return pixels * 3u;
    case kScanModeGrey:
      return pixels;
    case kScanModeBlackAndWhite:
      return (pixels & ~7u) / 8u;
    default:
      return 0;
  }
}

int ScanParameters::Format() const {
  if (lossless) {
    LogLossless();
    return kFormatZkraw;
  }
  return (parameters.dwScanMode & kScanModeBlackAndWhite) ? kFormatZkraw : kFormatJfif;
}

bool ScanParameters::ExpectCompressed() const {
  if (lossless) {
    LogLossless();
    return false;
  }
  return (parameters.dwScanMode & kScanModeBlackAndWhite) == 0;
}

bool ScanParameters::ExpectOneBit() const { return (parameters.dwScanMode & kScanModeBlackAndWhite) != 0; }

int ScanParameters::ContentType() const {
  switch (parameters.byContentType) {
    case 1:
      return kContentPhoto;
    case 2:
      return kContentDocument;
    case 3:
      return kContentObject3D;
    default:
      return kContentAuto;
  }
}

int ScanParameters::ColorProcessing() const {
  if (parameters.dwScanMode & kScanModeColor) return kColorRgb24;
  if (parameters.dwScanMode & kScanModeGrey) return kColorGrayScale8;
  if (parameters.dwScanMode & kScanModeBlackAndWhite) return kColorBlackAndWhite1;
  return kColorRgb24;
}

uint16_t ScanParameters::Resolution() const { return parameters.wXResolution; }

int ScanParameters::ScanRegionXOffset() const { return FloorThousandths(parameters.dwLeft); }

int ScanParameters::ScanRegionYOffset() const { return FloorThousandths(parameters.dwTop); }

int ScanParameters::ScanRegionWidth() const {
  if (parameters.dwScanMode & kScanModeBlackAndWhite) {
    // The width of the whole bytes the host receives.
    if (parameters.wXResolution == 0) return 0;
    return static_cast<int>(
        std::ceil(static_cast<uint32_t>(PixelsPerLine() * 1000u) / static_cast<double>(parameters.wXResolution)));
  }
  return CeilThousandths(parameters.dwWidth);
}

int ScanParameters::ScanRegionHeight() const { return CeilThousandths(parameters.dwLength); }

bool ScanParameters::RegionWithinBounds() const {
  // The last column and row must lie inside the source. The sums are taken in 64 bits so that
  // a huge width or length cannot wrap around to a small in-bounds value; an empty region at
  // the origin ends at "-1", which is out of bounds as in 32-bit arithmetic.
  const uint64_t right = uint64_t{parameters.dwLeft} + parameters.dwWidth;
  const uint64_t bottom = uint64_t{parameters.dwTop} + parameters.dwLength;
  if (right == 0 || bottom == 0) return false;
  return right - 1 < MaximumWidth() && bottom - 1 < MaximumLength();
}

bool ScanParameters::Valid() const {
  CHRESULT2 hr(GetGlobalLog(), "ScanParameters::Valid");
  const uint32_t mode = parameters.dwScanMode;
  if (mode != kScanModeColor && mode != kScanModeGrey && mode != kScanModeBlackAndWhite) return false;
  if (parameters.dwScanOptions != 0 && parameters.dwScanOptions != 0x4000) return false;
  if (parameters.dwLeft >= MaximumWidth() || parameters.dwTop >= MaximumLength()) return false;
  if (!RegionWithinBounds()) return false;
  if (!ResolutionValid()) return false;
  switch (parameters.byBitsPerChannel) {
    case 1:
      return (mode & kScanModeBlackAndWhite) != 0;
    case 8:
      return (mode & (kScanModeColor | kScanModeGrey)) != 0;
    default:
      return false;
  }
}

void ScanParameters::EnlargeUndersizedScanRegionIfNecessary() {
  CHRESULT2 hr(GetGlobalLog(), "ScanParameters::EnlargeUndersizedScanRegionIfNecessary");
  if (parameters.dwLeft >= MaximumWidth() || parameters.dwTop >= MaximumLength() || !RegionWithinBounds()) {
    LogText("Error: Invalid Scan Region");
    return;
  }
  if (WidthUndersized()) parameters.dwWidth = MinimumWidth();
  if (LengthUndersized()) parameters.dwLength = MinimumLength();
  // A region pushed past the edge by the enlargement moves back inside.
  if (parameters.dwLeft > MaximumLeft()) parameters.dwLeft = MaximumLeft();
  if (parameters.dwTop > MaximumTop()) parameters.dwTop = MaximumTop();
}

std::unique_ptr<ScanParameters> ScanParameters::Create(const SCANNER_PARAMETERS& record, bool lossless) {
  std::unique_ptr<ScanParameters> created;
  try {
    switch (record.wScanMethod) {
      case kScanMethodPlaten:
        created.reset(new FlatbedScanParameters(record, lossless));
        break;
      case kScanMethodAdf:
        created.reset(new AdfScanParameters(record, lossless));
        break;
      default:
        LogText("Error: unsupported scan method");
        return nullptr;
    }
  } catch (const std::bad_alloc&) {
    LogText("Error: failed to allocate ScanParameters object");
    return nullptr;
  }
  created->EnlargeUndersizedScanRegionIfNecessary();
  return created;
}

std::unique_ptr<ScanParameters> ScanParameters::Copy(const ScanParameters& source) {
  // The source's record was accepted (and enlarged) already: building again changes nothing.
  std::unique_ptr<ScanParameters> copy = Create(source.parameters, source.lossless);
  if (copy) copy->duplex = source.duplex;
  return copy;
}

ScanParameters& ScanParameters::DefaultParameters() {
  // Built on first use and never destroyed: devices may still point at it while the module
  // unloads.
  static ScanParameters* const defaults = new FlatbedScanParameters(false);
  return *defaults;
}

