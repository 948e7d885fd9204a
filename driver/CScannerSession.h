// One scanner session: the record shared by every open of one device name in the process.
//
// The record carries the reference count of the opens not yet closed, the handle the host sees,
// a signature that marks it valid, the session's scan device (SessionState, owned) and the
// session's scanner lock, and the device name it is filed under in the session table.
// Threads: the session table creates, counts and removes records under its table lock; the
// device pointer is read and changed through the table (table lock) as well; the scanner lock
// has its own guard. The device is shared with the host calls inside it, so that a close on
// another thread never destroys it under them. Destroying the record destroys its scanner lock
// and lets go of whatever device is still attached (the table empties the device slot before
// a record goes in normal use).
#ifndef CAVIX_DRIVER_CSCANNERSESSION_H
#define CAVIX_DRIVER_CSCANNERSESSION_H

#include <cstdint>
#include <memory>
#include <string>

#include "driver/CScannerLock2.h"

class CLog2;

// Marks a record that is valid; cleared when the record is destroyed.
constexpr uint32_t kSessionSignature = 0xF1E2D3C4u;
// Device names are kept as at most 259 bytes plus the terminator.
constexpr size_t kMaxDeviceNameBytes = 260;

template <class SessionState>
class CScannerSession {
 public:
  // A record with one reference, no device and a new scanner lock named after `deviceName`
  // (which must be shorter than kMaxDeviceNameBytes; longer names are cut here).
  CScannerSession(CLog2* log, const std::string& deviceName)
      : referenceCount_(1), handle_(0), signature_(kSessionSignature), lock_(log, deviceName.c_str()) {
    size_t n = deviceName.size() < kMaxDeviceNameBytes - 1 ? deviceName.size() : kMaxDeviceNameBytes - 1;
    deviceName_.assign(deviceName, 0, n);
  }
  virtual ~CScannerSession() { signature_ = 0; }

  CScannerSession(const CScannerSession&) = delete;
  CScannerSession& operator=(const CScannerSession&) = delete;

  int32_t referenceCount_;                // guarded by the session table lock
  uint32_t handle_;                       // set once, before the record is published
  uint32_t signature_;                    // kSessionSignature while valid
  std::shared_ptr<SessionState> device_;  // guarded by the session table lock
  CScannerLock2 lock_;                    // has its own guard
  std::string deviceName_;                // the table key; set once
};

#endif
