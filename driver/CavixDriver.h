// The driver object the host creates through COM (class "scanner"): IScanner, IADF2 (IADF on
// the same table), IEventNotify and IMFG. It holds no session state: sessions live in the
// process-wide session table, so a handle from one driver object is valid through every other.
// Each method checks the session handle, the scanner lock and its pointer arguments, makes at
// most one call on the session's scan device, and reports an HRESULT plus a CAVIX_ERRORS code.
//
// Threads: free-threaded; any thread may call any method. The object takes no lock around a
// method: lookups run under the session table lock, device creation under the device creation
// lock, the lock check under the scanner lock's guard. The host must not close a session while
// another of its calls on that session is running. May be aggregated (ComObjectRoot); the
// reference count is atomic.
#ifndef CAVIX_DRIVER_CAVIXDRIVER_H
#define CAVIX_DRIVER_CAVIXDRIVER_H

#include <memory>

#include "driver/CavixScanner.h"
#include "driver/SessionTable.h"
#include "platform/ComObject.h"

class CavixDriver : public ComObject<IScanner, IADF2, IEventNotify, IMFG> {
 public:
  explicit CavixDriver(IUnknown* outer);
  ~CavixDriver() override;

  // IClassFactory::CreateInstance of the class.
  static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

  // IScanner
  HRESULT OpenScannerSession(LPCWSTR pszDevName, DWORD dwDevIOType, DWORD* phSession, DWORD* pdwErrorCode) override;
  HRESULT CloseScannerSession(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT LockScanner(DWORD hSession, WORD wLockType, DWORD dwTimeout, DWORD* pdwErrorCode) override;
  HRESULT UnlockScanner(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT GetLampStatus(DWORD hSession, BYTE* pbLampOn, DWORD* pdwErrorCode) override;
  HRESULT LampOn(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT LampOff(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT GetScannerCapabilities(DWORD hSession, SCANNER_CAPABILITIES* pScannerCapabilities, DWORD* pdwErrorCode) override;
  HRESULT GetBufferInfo(DWORD hSession, SCANNER_PARAMETERS* pScanParam, BUFFER_INFO* pBufferInfo, DWORD* pdwdErrorCode) override;
  HRESULT InitializeScanner(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT ResetScanner(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT SetScannerParameters(DWORD hSession, SCANNER_PARAMETERS* pScanParam, DWORD* pdwErrorCode) override;
  HRESULT SetGammaTable(DWORD hSession, UINT uSz, BYTE* pbyRed, BYTE* pbyGreen, BYTE* pbyBlue, DWORD* pdwErrorCode) override;
  HRESULT StartScan(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT StopScan(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT ReadScan(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwErrorCode) override;
  HRESULT ReadScanEx(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwBytesRead, DWORD* pdwErrorCode) override;

  // IADF
  HRESULT GetADFCapabilities(DWORD hSession, ADF_CAPABILITIES* pADFCapabilities, DWORD* pdwErrorCode) override;
  HRESULT ADFPaperFeed(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT ADFIsReady(DWORD hSession, BYTE* pbIsReady, DWORD* pdwErrorCode) override;
  // IADF2
  HRESULT GetADF2Capabilities(DWORD hSession, ADF2_CAPABILITIES* pADF2Capabilities, DWORD* pdwErrorCode) override;
  HRESULT SetADFOptions(DWORD hSession, DWORD dwADFOptionsSelected, DWORD* pdwErrorCode) override;
  HRESULT ADFEjectMedia(DWORD hSession, DWORD* pdwErrorCode) override;
  HRESULT ADF2PaperFeed(DWORD hSession, DWORD* pdwLength, DWORD* pdwErrorCode) override;

  // IEventNotify
  HRESULT GetEventCapabilities(DWORD dwSession, EVENT_CAPABILITIES* pEventCaps, DWORD* pdwErrorCode) override;
  HRESULT SendAppEvent(DWORD dwSession, CAVIX_EVENT event, DWORD* pdwErrorCode) override;
  HRESULT SubscribeDriverEvents(DWORD dwSession, IEventCallback* pIEvent, DWORD events, DWORD* pdwErrorCode) override;
  HRESULT UnsubscribeDriverEvents(DWORD dwSession, DWORD events, DWORD* pdwErrorCode) override;

  // IMFG
  HRESULT ReadContinuousScanLine(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwErrorCode) override;
  HRESULT SetMFGParameters(DWORD hSession, DWORD dwMfgOptions, DWORD* pdwErrorCode) override;
  HRESULT GetMFGCapabilities(DWORD hSession, DWORD* pdwMfgCaps, DWORD* pdwErrorCode) override;

 protected:
  void* GetInterface(REFIID riid) override;

 private:
  // Outcome of the handle and lock checks.
  enum class Check { Pass, Stop };
  // Lenient handle check (an unknown handle stores CERR_INVALID_SESSION and goes on), then,
  // for a valid handle, the lock check (CERR_SCANNER_NOT_LOCKED, *hr = E_FAIL, Stop).
  Check CheckHandleAndLock(DWORD hSession, DWORD* pdwErrorCode, HRESULT* hr);
  // Strict handle check: an unknown handle stores CERR_INVALID_SESSION and gives null.
  ScanSessionPtr CheckHandleStrict(DWORD hSession, DWORD* pdwErrorCode);
  // The device of the session named by the handle,, kept alive while the caller holds it (a close on another thread
  // does not destroy it under the call); null when none.
  std::shared_ptr<IScanDevice> DeviceOf(DWORD hSession);
  // The device's last error as the method's outcome: CERR_NET_SOCKET_BUSY becomes
  // CERR_SCANNER_COMMUNICATION_FAILED with CAVIX_E_SCONF_BUSY, any other code E_FAIL.
  static HRESULT DeviceError(IScanDevice* device, DWORD* pdwErrorCode);
  // The three event methods' check: handle and lock, then the event must be C_EVENT_SW_CANCEL.
  HRESULT CheckEvent(DWORD hSession, DWORD events, DWORD* pdwErrorCode);
};

#endif
