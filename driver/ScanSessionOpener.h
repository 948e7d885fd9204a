// Opens one scanner session for OpenScannerSession: converts the host's device name, finds or
// creates the session record, and on the record's first open creates and initialises its scan
// device under the device creation lock. Every failure leaves the session table as it was.
//
// A short-lived object on the stack of one OpenScannerSession call, used by that thread only.
// It owns the reference to the record it acquired until the open succeeds (the reference then
// belongs to the host's handle) and, while it is being initialised, the new device.
#ifndef CAVIX_DRIVER_SCANSESSIONOPENER_H
#define CAVIX_DRIVER_SCANSESSIONOPENER_H

#include <memory>
#include <string>

#include "device/IScanDevice.h"
#include "driver/CavixCom.h"
#include "driver/SessionTable.h"

class ScanSessionOpener {
 public:
  ScanSessionOpener(LPCWSTR deviceName, DWORD ioType, DWORD* phSession, DWORD* pdwErrorCode);

  // S_OK with the handle stored, or the failure's HRESULT with the code stored.
  HRESULT Open();

  // The kind passed to IScanDevice::Init for a host I/O type: 1 -> USB, 5 -> network, any other
  // value -> an unsupported kind that Init refuses.
  static int DeviceKindOf(DWORD ioType);
  // UTF-16 to the "ANSI" (UTF-8) text; an unpaired surrogate becomes '?'. Stops at the first NUL.
  static std::string ToAnsi(LPCWSTR text);

 private:
  bool OpenSession(const std::string& ansiName);
  void CreateScanDevice();
  void InitScanDevice(const std::string& ansiName);
  void Close();

  LPCWSTR deviceName_;
  DWORD ioType_;
  DWORD* phSession_;
  DWORD* pdwErrorCode_;
  std::unique_ptr<IScanDevice> newDevice_;  // the device this open creates, until attached
  ScanSessionPtr session_;
};

#endif
