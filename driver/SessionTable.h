// The process-wide table of scanner sessions, one record per distinct device name, ordered by
// the bytes of the name. Every driver object in the process sees the same sessions.
//
// Handles: each record gets a nonzero 32-bit handle from a counter that skips the values in
// use, so two live records never share one (the low half of a 64-bit address would not
// guarantee that) and a closed session's handle is not handed out again soon.
//
// Threads: any thread. tableLock_ guards records_, nextHandle_ and every record's reference
// count and device slot. Records are shared: a caller keeps the record it found alive while it
// uses it, even if another thread removes it from the table meanwhile.
#ifndef CAVIX_DRIVER_SESSIONTABLE_H
#define CAVIX_DRIVER_SESSIONTABLE_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "device/IScanDevice.h"
#include "driver/CScannerSession.h"
#include "platform/CCriticalSection2.h"

class CLog2;

using ScanSession = CScannerSession<IScanDevice>;
using ScanSessionPtr = std::shared_ptr<ScanSession>;

class SessionTable {
 public:
  SessionTable() = default;
  SessionTable(const SessionTable&) = delete;
  SessionTable& operator=(const SessionTable&) = delete;

  // The first record, in key order, whose handle is `handle`; null when none. The signature is
  // not examined here.
  ScanSessionPtr FindByHandle(uint32_t handle);
  // The record of `deviceName` with one more reference, or a new record with one reference and
  // a new scanner lock (built with `log`). *referenceCount (optional) gets the resulting count.
  ScanSessionPtr AcquireByName(const std::string& deviceName, CLog2* log, int32_t* referenceCount = nullptr);
  // Drops one reference. False when the record does not carry the signature. When the count
  // reaches 0, every level of the record's scanner lock that this thread can give back is
  // released and the record leaves the table (the caller's reference keeps it alive).
  bool Release(ScanSession& session, int32_t* referenceCount = nullptr);

  // The session's device (not owned by the caller), or null.
  IScanDevice* DeviceOf(ScanSession& session);
  // The session's device, kept alive for the caller for as long as it holds it; null when
  // the session has none. Host calls use the device through this.
  std::shared_ptr<IScanDevice> UseDevice(ScanSession& session);
  // Attaches `device` to the session; a device attached already is returned to the caller.
  std::unique_ptr<IScanDevice> AttachDevice(ScanSession& session, std::unique_ptr<IScanDevice> device);
  // Detaches the session's device and gives it to the caller (null when it had none); calls
  // still inside it share it.
  std::shared_ptr<IScanDevice> DetachDevice(ScanSession& session);
  // Lets go of a detached device and waits up to `limitMs` for the calls still inside it to
  // let go too, so that it is destroyed before this returns. False when a call still held it
  // at the limit: that call then destroys it when it returns.
  static bool ReleaseDevice(std::shared_ptr<IScanDevice> device, uint32_t limitMs);

  size_t Size();
  // Drops every record (module unload); devices still attached are destroyed with them.
  void Clear();

 private:
  uint32_t NextHandle() REQUIRES(tableLock_);

  CCriticalSection2 tableLock_;
  std::map<std::string, ScanSessionPtr> records_ GUARDED_BY(tableLock_);
  uint32_t nextHandle_ GUARDED_BY(tableLock_) = 1;
};

#endif
