// One open and locked scanner session of a host: OpenScannerSession, LockScanner (process lock)
// on Open; UnlockScanner and CloseScannerSession when closed or destroyed. Remembers the
// result and code of the call that failed. The thread that opened it closes it.
#ifndef CAVIX_TOOLS_SCANNERSESSION_H
#define CAVIX_TOOLS_SCANNERSESSION_H

#include <string>

#include "driver/CavixScanner.h"
#include "tools/DeviceName.h"

class ScannerSession {
 public:
  explicit ScannerSession(IScanner* scanner) : scanner_(scanner) {}
  ~ScannerSession() { Close(); }
  ScannerSession(const ScannerSession&) = delete;
  ScannerSession& operator=(const ScannerSession&) = delete;

  // Opens the session and takes the scanner lock. False: Failed() names the call, Result() and
  // Code() say how it failed.
  bool Open(const DeviceTarget& target, DWORD lockTimeoutMs);
  void Close();

  DWORD Handle() const { return handle_; }
  bool IsOpen() const { return open_; }
  const char* Failed() const { return failed_; }
  HRESULT Result() const { return hr_; }
  DWORD Code() const { return code_; }

 private:
  IScanner* scanner_;
  DWORD handle_ = 0;
  bool open_ = false;
  bool locked_ = false;
  const char* failed_ = "";
  HRESULT hr_ = S_OK;
  DWORD code_ = 0;
};

#endif
