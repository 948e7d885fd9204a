// A host's small steps through the scanner interface, shared by the tests that drive the
// driver object: device names as wide strings, opening a locked session, the scan parameter
// record, and setting it.
#ifndef CAVIX_TESTS_SUPPORT_HOSTCALLS_H
#define CAVIX_TESTS_SUPPORT_HOSTCALLS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "driver/CavixScanner.h"
#include "tests/support/HostParameters.h"

namespace testsupport {

inline std::u16string Wide(const std::string& text) {
  std::u16string wide;
  for (char c : text) wide += static_cast<char16_t>(static_cast<unsigned char>(c));
  return wide;
}

// Opens a session of the I/O type on the device and takes the process lock on it, waiting at
// most lockWaitMs. Fatal failures: wrap the call in ASSERT_NO_FATAL_FAILURE.
inline void OpenLockedSession(IScanner* scanner, const std::u16string& name, DWORD ioType, DWORD* session,
                              DWORD lockWaitMs = 1000) {
  DWORD code = 77;
  ASSERT_EQ(S_OK, scanner->OpenScannerSession(name.c_str(), ioType, session, &code)) << code;
  ASSERT_EQ(0u, code);
  ASSERT_EQ(S_OK, scanner->LockScanner(*session, C_LOCK_PROCESS, lockWaitMs, &code)) << code;
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
