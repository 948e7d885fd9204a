// A host's small steps through the scanner interface, shared by the tests that drive the
// driver object: device names as wide strings, the scan parameter record, and setting it.
#ifndef CAVIX_TESTS_SUPPORT_HOSTCALLS_H
#define CAVIX_TESTS_SUPPORT_HOSTCALLS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/CavixScanner.h"

namespace testsupport {

inline std::u16string Wide(const std::string& text) {
  std::u16string wide;
  for (char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return wide;
}

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

// Sets the parameters on the session and returns the page size the host is told.
inline uint64_t SetParameters(IScanner* scanner, DWORD session, SCANNER_PARAMETERS p) {
  DWORD error = 0;
  EXPECT_EQ(S_OK, scanner->SetScannerParameters(session, &p, &error)) << error;
  BUFFER_INFO info{};
  EXPECT_EQ(S_OK, scanner->GetBufferInfo(session, &p, &info, &error)) << error;
  return uint64_t(info.dwBytesPerLine) * info.dwPixelHeight;
}

}  // namespace testsupport

#endif
