#include "driver/CavixDriver.h"

#include <cstring>

#include "driver/DriverModule.h"
#include "driver/ScanSessionOpener.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "log/Dumps.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "platform/CAutoCriticalSection.h"
#include "log/LogLevels.h"
#include "log/ResultHelpers.h"
#include "platform/TimeLimits.h"

namespace {

constexpr DWORD kMfgRawData = C_MFG_RAW_DATA;

// The six lines ReadScan leaves in the log.
const char* const kReadScanLines[] = {
    "If this logging is ever emitted, it means some client called",
    "IScanner::ReadScan(). Though officially the CAVIX interface requires us",
    "to implement this function, our implementation assumes no clients ",
    "still exist that rely on IScanner::ReadScan(). Emission of this",
    "logging demonstrates that some client does exist that relies on",
    "IScanner::ReadScan() and we need to reconsider implementing it",
};

}  // namespace

CavixDriver::CavixDriver(IUnknown* outer) : ComObject(outer) {
  { CHRESULT2 hr(GetGlobalLog(), "CavixDriver::CavixDriver"); }
  if (CLog2* log = GetGlobalLog()) log->WriteHeader();
}

CavixDriver::~CavixDriver() { CHRESULT2 hr(GetGlobalLog(), "CavixDriver::~CavixDriver"); }

HRESULT CavixDriver::Create(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateComObject<CavixDriver>(outer, riid, ppv);
}

void* CavixDriver::GetInterface(REFIID riid) {
  if (riid == IID_IScanner) return static_cast<IScanner*>(this);
  if (riid == IID_IADF || riid == IID_IADF2) return static_cast<IADF2*>(this);
  if (riid == IID_IEventNotify) return static_cast<IEventNotify*>(this);
  if (riid == IID_IMFG) return static_cast<IMFG*>(this);
  return nullptr;
}

// ---- checks ------------------------------------------------------------------------------

CavixDriver::Check CavixDriver::CheckHandleAndLock(DWORD hSession, DWORD* pdwErrorCode, HRESULT* hr) {
  ScanSessionPtr session = DriverModule::Sessions().FindByHandle(hSession);
  if (!session || session->signature_ != kSessionSignature) {
    SetError(pdwErrorCode, CERR_INVALID_SESSION);
    return Check::Pass;
  }
  if (!session->lock_.IsLockedByCaller()) {
    SetError(pdwErrorCode, CERR_SCANNER_NOT_LOCKED);
    *hr = E_FAIL;
    return Check::Stop;
  }
  return Check::Pass;
}

ScanSessionPtr CavixDriver::CheckHandleStrict(DWORD hSession, DWORD* pdwErrorCode) {
  ScanSessionPtr session = DriverModule::Sessions().FindByHandle(hSession);
  if (!session || session->signature_ != kSessionSignature) {
    SetError(pdwErrorCode, CERR_INVALID_SESSION);
    return nullptr;
  }
  return session;
}

std::shared_ptr<IScanDevice> CavixDriver::DeviceOf(DWORD hSession) {
  SessionTable& sessions = DriverModule::Sessions();
  ScanSessionPtr session = sessions.FindByHandle(hSession);
  return session ? sessions.UseDevice(*session) : nullptr;
}

HRESULT CavixDriver::DeviceError(IScanDevice* device, DWORD* pdwErrorCode) {
  const DWORD code = device->GetError();
  if (code == CERR_NET_SOCKET_BUSY) {
    SetError(pdwErrorCode, CERR_SCANNER_COMMUNICATION_FAILED);
    return CAVIX_E_SCONF_BUSY;
  }
  SetError(pdwErrorCode, code);
  return E_FAIL;
}

HRESULT CavixDriver::CheckEvent(DWORD hSession, DWORD events, DWORD* pdwErrorCode) {
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return result;
  if (events != C_EVENT_SW_CANCEL) return SetInvalidParameter(pdwErrorCode);
  return S_OK;
}

// A null pdwErrorCode cannot take the code every method stores first: the call is refused.
#define CAVIX_ENTER(name, session, errorCode)       \
  if ((errorCode) == nullptr) return E_POINTER;     \
  *(errorCode) = 0;                                 \
  CHRESULT2 hr(GetGlobalLog(), name, session, errorCode)

// ---- IScanner ----------------------------------------------------------------------------

HRESULT CavixDriver::OpenScannerSession(LPCWSTR pszDevName, DWORD dwDevIOType, DWORD* phSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::OpenScannerSession", 0, pdwErrorCode);
  LogNamedValue("ioType", static_cast<int>(dwDevIOType));
  ScanSessionOpener opener(pszDevName, dwDevIOType, phSession, pdwErrorCode);
  hr = opener.Open();
  return hr;
}

HRESULT CavixDriver::CloseScannerSession(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::CloseScannerSession", hSession, pdwErrorCode);
  ScanSessionPtr session = CheckHandleStrict(hSession, pdwErrorCode);
  if (!session) return hr = E_FAIL;
  SessionTable& sessions = DriverModule::Sessions();
  std::shared_ptr<IScanDevice> device = sessions.UseDevice(*session);
  if (device == nullptr) return hr = SetInvalidParameter(pdwErrorCode);
  device->Reset();
  device.reset();
  // The device goes on every close, also when other opens still share the session.
  std::shared_ptr<IScanDevice> detached;
  {
    CAutoCriticalSection creation(DriverModule::DeviceCreationLock());
    detached = sessions.DetachDevice(*session);
  }
  if (detached) {
    // Calls still inside the device on other threads return at once; it is destroyed when the
    // last of them has let go of it.
    detached->Close();
    if (!SessionTable::ReleaseDevice(std::move(detached), TimeLimits::Instance().threadStopMs.load()))
      LogText("Warning! a call is still inside the closed device; it goes when that call returns");
  }
  int32_t remaining = 0;
  if (!sessions.Release(*session, &remaining)) return hr = SetUnknownError(pdwErrorCode);
  return hr = S_OK;  // with no reference left the record goes with `session`
}

HRESULT CavixDriver::LockScanner(DWORD hSession, WORD wLockType, DWORD dwTimeout, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::LockScanner", hSession, pdwErrorCode);
  ScanSessionPtr session = CheckHandleStrict(hSession, pdwErrorCode);
  if (!session) return hr = E_FAIL;
  if (!session->lock_.Lock(wLockType, dwTimeout)) return hr = SetLockFailed(pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::UnlockScanner(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::UnlockScanner", hSession, pdwErrorCode);
  ScanSessionPtr session = CheckHandleStrict(hSession, pdwErrorCode);
  if (!session) return hr = E_FAIL;
  if (!session->lock_.Unlock()) return hr = SetUnknownError(pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::GetLampStatus(DWORD hSession, BYTE* pbLampOn, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::GetLampStatus", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  if (pbLampOn == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  *pbLampOn = 1;
  return hr = S_OK;
}

HRESULT CavixDriver::LampOn(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::LampOn", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  return hr = SetSuccess(pdwErrorCode);
}

HRESULT CavixDriver::LampOff(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::LampOff", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  return hr = SetSuccess(pdwErrorCode);
}

HRESULT CavixDriver::GetScannerCapabilities(DWORD hSession, SCANNER_CAPABILITIES* pScannerCapabilities,
                                            DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::GetScannerCapabilities", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (pScannerCapabilities == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  device->GetCapabilities(*pScannerCapabilities);
  DumpScannerCapabilities(GetGlobalLog(), *pScannerCapabilities, 0);
  return hr = S_OK;
}

HRESULT CavixDriver::GetBufferInfo(DWORD hSession, SCANNER_PARAMETERS* pScanParam, BUFFER_INFO* pBufferInfo,
                                   DWORD* pdwdErrorCode) {
  CAVIX_ENTER("CavixDriver::GetBufferInfo", hSession, pdwdErrorCode);
  if (!CheckHandleStrict(hSession, pdwdErrorCode)) return hr = E_FAIL;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwdErrorCode);
  if (pScanParam == nullptr || pBufferInfo == nullptr) return hr = SetInvalidPointer(pdwdErrorCode);
  if (!device->GetBufferInfo(*pScanParam, *pBufferInfo)) return hr = DeviceError(device.get(), pdwdErrorCode);
  DumpBufferInfo(GetGlobalLog(), *pBufferInfo, 0);
  return hr = S_OK;
}

HRESULT CavixDriver::InitializeScanner(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::InitializeScanner", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  return hr = SetSuccess(pdwErrorCode);
}

HRESULT CavixDriver::ResetScanner(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ResetScanner", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetInvalidParameter(pdwErrorCode);
  device->Reset();
  return hr = S_OK;
}

HRESULT CavixDriver::SetScannerParameters(DWORD hSession, SCANNER_PARAMETERS* pScanParam, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::SetScannerParameters", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (pScanParam == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  if (!device->SetParameters(*pScanParam)) return hr = DeviceError(device.get(), pdwErrorCode);
  DumpScannerParameters(GetGlobalLog(), *pScanParam, 0);
  return hr = S_OK;
}

HRESULT CavixDriver::SetGammaTable(DWORD hSession, UINT /*uSz*/, BYTE* pbyRed, BYTE* pbyGreen, BYTE* pbyBlue,
                                   DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::SetGammaTable", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  if (pbyRed == nullptr || pbyGreen == nullptr || pbyBlue == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  if (CLog2* log = GetGlobalLog())
    log->print(LOG_WARNING_MSG, "%s", "Warning! Gamma/threshold was programmed but will have no effect.");
  return hr = S_OK;
}

HRESULT CavixDriver::StartScan(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::StartScan", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = hSession != 0 ? DeviceOf(hSession) : nullptr;
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (!device->BeginScan()) return hr = DeviceError(device.get(), pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::StopScan(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::StopScan", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (!device->EndScan()) return hr = DeviceError(device.get(), pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::ReadScan(DWORD hSession, BYTE* /*pbyBuffer*/, DWORD /*dwBytes*/, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ReadScan", hSession, pdwErrorCode);
  for (const char* line : kReadScanLines) LogText(line);
  SetError(pdwErrorCode, CERR_NOT_IMPLEMENTED);
  return hr = E_NOTIMPL;
}

HRESULT CavixDriver::ReadScanEx(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwBytesRead,
                                DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ReadScanEx", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (pbyBuffer == nullptr || pdwBytesRead == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  *pdwBytesRead = 0;
  if (!device->Read(pbyBuffer, dwBytes, *pdwBytesRead)) return hr = DeviceError(device.get(), pdwErrorCode);
  LogNamedValue("bytesRead", static_cast<int>(*pdwBytesRead));
  if (*pdwBytesRead < dwBytes) return hr = SetEndOfPage(pdwErrorCode);
  return hr = SetSuccess(pdwErrorCode);
}

// ---- IADF / IADF2 -------------------------------------------------------------------------

HRESULT CavixDriver::GetADFCapabilities(DWORD hSession, ADF_CAPABILITIES* pADFCapabilities, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::GetADFCapabilities", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (pADFCapabilities == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  device->GetAdfCapabilities(*pADFCapabilities);
  return hr = S_OK;
}

HRESULT CavixDriver::ADFPaperFeed(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ADFPaperFeed", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  return hr = S_OK;
}

HRESULT CavixDriver::ADFIsReady(DWORD hSession, BYTE* pbIsReady, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ADFIsReady", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  if (pbIsReady == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  bool ready = false;
  if (!device->AdfReady(ready)) return hr = DeviceError(device.get(), pdwErrorCode);
  *pbIsReady = ready ? 1 : 0;
  return hr = S_OK;
}

HRESULT CavixDriver::GetADF2Capabilities(DWORD hSession, ADF2_CAPABILITIES* pADF2Capabilities, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::GetADF2Capabilities", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (pADF2Capabilities == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  device->GetAdf2Capabilities(*pADF2Capabilities);
  return hr = S_OK;
}

HRESULT CavixDriver::SetADFOptions(DWORD hSession, DWORD dwADFOptionsSelected, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::SetADFOptions", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (!device->SetAdfOptions(dwADFOptionsSelected)) return hr = DeviceError(device.get(), pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::ADFEjectMedia(DWORD hSession, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ADFEjectMedia", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (!device->EjectAdfMedia()) return hr = DeviceError(device.get(), pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::ADF2PaperFeed(DWORD hSession, DWORD* pdwLength, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ADF2PaperFeed", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  if (pdwLength == nullptr) return hr = E_POINTER;
  *pdwLength = 0;
  return hr = S_OK;
}

// ---- IEventNotify -------------------------------------------------------------------------

HRESULT CavixDriver::GetEventCapabilities(DWORD dwSession, EVENT_CAPABILITIES* pEventCaps, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::GetEventCapabilities", dwSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(dwSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  if (pEventCaps == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  pEventCaps->dwAppEventsSupported = C_EVENT_SW_CANCEL;
  pEventCaps->dwDriverEventsSupported = 0;
  std::memset(pEventCaps->dwReserved, 0, sizeof(pEventCaps->dwReserved));
  return hr = S_OK;
}

HRESULT CavixDriver::SendAppEvent(DWORD dwSession, CAVIX_EVENT event, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::SendAppEvent", dwSession, pdwErrorCode);
  hr = CheckEvent(dwSession, event, pdwErrorCode);
  if (hr != S_OK) return hr;
  return hr = StopScan(dwSession, pdwErrorCode);
}

HRESULT CavixDriver::SubscribeDriverEvents(DWORD dwSession, IEventCallback* /*pIEvent*/, DWORD events,
                                           DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::SubscribeDriverEvents", dwSession, pdwErrorCode);
  return hr = CheckEvent(dwSession, events, pdwErrorCode);
}

HRESULT CavixDriver::UnsubscribeDriverEvents(DWORD dwSession, DWORD events, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::UnsubscribeDriverEvents", dwSession, pdwErrorCode);
  return hr = CheckEvent(dwSession, events, pdwErrorCode);
}

// ---- IMFG ---------------------------------------------------------------------------------

HRESULT CavixDriver::ReadContinuousScanLine(DWORD hSession, BYTE* /*pbyBuffer*/, DWORD /*dwBytes*/,
                                            DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::ReadContinuousScanLine", hSession, pdwErrorCode);
  return hr = S_OK;
}

HRESULT CavixDriver::SetMFGParameters(DWORD hSession, DWORD dwMfgOptions, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::SetMFGParameters", hSession, pdwErrorCode);
  HRESULT result = S_OK;
  if (CheckHandleAndLock(hSession, pdwErrorCode, &result) == Check::Stop) return hr = result;
  std::shared_ptr<IScanDevice> device = DeviceOf(hSession);
  if (device == nullptr) return hr = SetUnknownError(pdwErrorCode);
  if (dwMfgOptions != kMfgRawData) return hr = SetInvalidParameter(pdwErrorCode);
  if (!device->SetMfgMode()) return hr = DeviceError(device.get(), pdwErrorCode);
  LogText("Turning off IP in the HW.  This will request ZKRAW data, and disable all HW postprocessing");
  return hr = S_OK;
}

HRESULT CavixDriver::GetMFGCapabilities(DWORD hSession, DWORD* pdwMfgCaps, DWORD* pdwErrorCode) {
  CAVIX_ENTER("CavixDriver::GetMFGCapabilities", hSession, pdwErrorCode);
  if (pdwMfgCaps == nullptr) return hr = SetInvalidPointer(pdwErrorCode);
  *pdwMfgCaps = kMfgRawData;
  return hr = S_OK;
}
