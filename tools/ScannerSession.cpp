#include "tools/ScannerSession.h"

bool ScannerSession::Open(const DeviceTarget& target, DWORD lockTimeoutMs) {
  Close();
  const std::u16string wide = DeviceName::Wide(target.name);
  code_ = 0;
  hr_ = scanner_->OpenScannerSession(wide.c_str(), target.ioType, &handle_, &code_);
  if (FAILED(hr_)) {
    failed_ = "OpenScannerSession";
    // A failed open releases its own reference; the handle names nothing of ours.
    handle_ = 0;
    return false;
  }
  open_ = true;
  hr_ = scanner_->LockScanner(handle_, C_LOCK_PROCESS, lockTimeoutMs, &code_);
  if (FAILED(hr_)) {
    failed_ = "LockScanner";
    return false;
  }
  locked_ = true;
  return true;
}

void ScannerSession::Close() {
  DWORD code = 0;
  if (locked_) scanner_->UnlockScanner(handle_, &code);
  locked_ = false;
  if (open_) scanner_->CloseScannerSession(handle_, &code);
  open_ = false;
  handle_ = 0;
}
