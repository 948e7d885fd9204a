// The driver session of one SANE device, shared by every handle open on it: the driver keeps
// one session a device name and ends it at its first close, so the session is opened with the
// first handle and closed with the last. Also says which handle's job has the scanner, so that a
// second handle's sane_start is told the device is busy instead of scanning into the first one's
// page. Used by the frontend's thread (the handles' cancel threads only read `session`).
#ifndef CAVIX_SANE_SANEDEVICESESSION_H
#define CAVIX_SANE_SANEDEVICESESSION_H

#include "driver/CavixScanner.h"
#include "tools/DeviceName.h"

class SaneDeviceSession {
 public:
  explicit SaneDeviceSession(IScanner* scanner) : scanner_(scanner) {}
  ~SaneDeviceSession();
  SaneDeviceSession(const SaneDeviceSession&) = delete;
  SaneDeviceSession& operator=(const SaneDeviceSession&) = delete;

  // OpenScannerSession; false with its result and code.
  bool Open(const DeviceTarget& target, HRESULT* hr, DWORD* code);
  DWORD Session() const { return session_; }
  // The job's owner (a handle); Claim is false while another one owns it.
  bool Claim(const void* owner);
  void Release(const void* owner);

 private:
  IScanner* scanner_;
  DWORD session_ = 0;
  bool open_ = false;
  const void* owner_ = nullptr;
};

#endif
