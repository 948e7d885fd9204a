// The host programs' scan options in the driver's terms: the sources' areas, millimetres in
// 1/300 inch, and the parameters record for a set of options. Shared by cavix-scan and the
// SANE backend. Stateless: any thread.
#ifndef CAVIX_TOOLS_SCANPARAMETERMAPPING_H
#define CAVIX_TOOLS_SCANPARAMETERMAPPING_H

#include <cstdint>

#include "driver/CavixScanner.h"
#include "tools/ScanOptions.h"

class ScanParameterMapping {
 public:
  // The largest area of a source in millimetres (the platen's glass, the feeder's longest sheet).
  static RegionMm SourceArea(ScanSource source);
  // Millimetres to the driver's unit, 1/300 inch (rounded down, so that a full page stays within
  // the source's area).
  static uint32_t MmToUnits(double mm);
  // The parameters record for the options (region in 1/300 inch, mode, depth, resolution,
  // scan method).
  static SCANNER_PARAMETERS Parameters(const ScanOptions& options);
};

#endif
