// The host's scan parameter record, for tests and benchmarks that drive the driver object
// (no test framework needed).
#ifndef CAVIX_TESTS_SUPPORT_HOSTPARAMETERS_H
#define CAVIX_TESTS_SUPPORT_HOSTPARAMETERS_H

#include <cstring>

#include "driver/CavixScanner.h"

namespace testsupport {

// The host's scan parameters (units: 1/300 inch), zero elsewhere.
inline SCANNER_PARAMETERS HostParameters(WORD method, DWORD mode, BYTE bits, WORD dpi, DWORD left, DWORD top,
                                         DWORD width, DWORD length) {
  SCANNER_PARAMETERS p;
  std::memset(&p, 0, sizeof p);
  p.wScanMethod = method;
  p.dwLeft = left;
  p.dwTop = top;
  p.dwWidth = width;
  p.dwLength = length;
  p.dwScanMode = mode;
  p.byBitsPerChannel = bits;
  p.wXResolution = dpi;
  p.wYResolution = dpi;
  return p;
}

}  // namespace testsupport

#endif
