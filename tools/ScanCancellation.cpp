#include "tools/ScanCancellation.h"

void ScanCancellation::Attach(IScanner* scanner, DWORD session) {
  MutexLock g(lock_);
  scanner_ = scanner;
  session_ = session;
}

void ScanCancellation::Detach() {
  MutexLock g(lock_);
  scanner_ = nullptr;
  session_ = 0;
  scanning_ = false;
}

void ScanCancellation::Cancel() {
  requested_ = true;
  MutexLock g(lock_);
  if (scanning_ && !stopSent_ && scanner_) {
    DWORD code = 0;
    scanner_->StopScan(session_, &code);
    stopSent_ = true;
  }
}

bool ScanCancellation::PageStarted() {
  MutexLock g(lock_);
  scanning_ = true;
  stopSent_ = false;
  if (requested_ && scanner_) {
    DWORD code = 0;
    scanner_->StopScan(session_, &code);
    stopSent_ = true;
    return false;
  }
  return true;
}

HRESULT ScanCancellation::PageEnded(DWORD* code) {
  MutexLock g(lock_);
  HRESULT hr = S_OK;
  *code = 0;
  if (scanning_ && !stopSent_ && scanner_) hr = scanner_->StopScan(session_, code);
  scanning_ = false;
  stopSent_ = false;
  return hr;
}
