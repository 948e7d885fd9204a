#include "sane/SaneDeviceSession.h"

SaneDeviceSession::~SaneDeviceSession() {
  DWORD code = 0;
  if (open_) scanner_->CloseScannerSession(session_, &code);
}

bool SaneDeviceSession::Open(const DeviceTarget& target, HRESULT* hr, DWORD* code) {
  const std::u16string wide = DeviceName::Wide(target.name);
  *code = 0;
  *hr = scanner_->OpenScannerSession(wide.c_str(), target.ioType, &session_, code);
  open_ = SUCCEEDED(*hr);
  return open_;
}

bool SaneDeviceSession::Claim(const void* owner) {
  if (owner_ && owner_ != owner) return false;
  owner_ = owner;
  return true;
}

void SaneDeviceSession::Release(const void* owner) {
  if (owner_ == owner) owner_ = nullptr;
}
