#include "tools/ScanParameterMapping.h"

#include <algorithm>
#include <cmath>

RegionMm ScanParameterMapping::SourceArea(ScanSource source) {
  // 2550 x 3507 (platen) and 2550 x 4200 (feeder) in 1/300 inch.
  const double mmPerUnit = 25.4 / 300.0;
  return RegionMm{0, 0, 2550 * mmPerUnit, (source == ScanSource::Platen ? 3507 : 4200) * mmPerUnit};
}

uint32_t ScanParameterMapping::MmToUnits(double mm) {
  return static_cast<uint32_t>(std::floor(mm * 300.0 / 25.4 + 1e-6));
}

SCANNER_PARAMETERS ScanParameterMapping::Parameters(const ScanOptions& o) {
  SCANNER_PARAMETERS p = {};
  const RegionMm area = SourceArea(o.source);
  const RegionMm r = o.hasRegion ? o.region : area;
  const uint32_t maxWidth = MmToUnits(area.width);
  const uint32_t maxLength = MmToUnits(area.height);
  p.dwLeft = std::min(MmToUnits(r.x), maxWidth - 1);
  p.dwTop = std::min(MmToUnits(r.y), maxLength - 1);
  // Rounding down each edge keeps a region that ends at the source's edge inside it.
  p.dwWidth = std::max<uint32_t>(1, std::min(MmToUnits(r.x + r.width), maxWidth) - p.dwLeft);
  p.dwLength = std::max<uint32_t>(1, std::min(MmToUnits(r.y + r.height), maxLength) - p.dwTop);
  switch (o.mode) {
    case ColorMode::Color: p.dwScanMode = C_SCANMODE_COLOR; p.byBitsPerChannel = 8; break;
    case ColorMode::Gray: p.dwScanMode = C_SCANMODE_GREYSCALE; p.byBitsPerChannel = 8; break;
    case ColorMode::BlackWhite: p.dwScanMode = C_SCANMODE_BW; p.byBitsPerChannel = 1; break;
  }
  p.dwScanOptions = 0;
  p.wXResolution = p.wYResolution = static_cast<WORD>(o.resolution);
  p.wGreyChannel = C_GREY_CCD;
  p.wScanMethod = o.source == ScanSource::Platen ? C_SCANMETHOD_FLATBED : C_SCANMETHOD_ADF;
  p.byContentType = C_CONTENT_ANY;
  return p;
}
