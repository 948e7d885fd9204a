#include "driver/ScanSessionOpener.h"

#include "driver/DriverModule.h"
#include "driver/ScanDeviceFactory.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/LogLevels.h"
#include "log/ResultHelpers.h"
#include "platform/CAutoCriticalSection.h"

namespace {

constexpr int kUnsupportedKind = 2;

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

ScanSessionOpener::ScanSessionOpener(LPCWSTR deviceName, DWORD ioType, DWORD* phSession, DWORD* pdwErrorCode)
    : deviceName_(deviceName), ioType_(ioType), phSession_(phSession), pdwErrorCode_(pdwErrorCode) {
  CHRESULT2 hr(GetGlobalLog(), "ScanSessionOpener::ScanSessionOpener");
}

int ScanSessionOpener::DeviceKindOf(DWORD ioType) {
  switch (ioType) {
    case C_IOTYPE_USB:
      return kScanDeviceUsb;
    case C_IOTYPE_NETWORK:
      return kScanDeviceNetwork;
    default:
      return kUnsupportedKind;
  }
}

std::string ScanSessionOpener::ToAnsi(LPCWSTR text) {
  std::string out;
  for (const WCHAR* p = text; *p != 0; ++p) {
    uint32_t unit = *p;
    if (unit >= 0xD800 && unit <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (p[1] - 0xDC00));
      ++p;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += '?';
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

HRESULT ScanSessionOpener::Open() {
  if (deviceName_ == nullptr || phSession_ == nullptr) return SetInvalidPointer(pdwErrorCode_);
  const std::string ansiName = ToAnsi(deviceName_);
  // A record holds at most 259 bytes of name; cutting a longer name could file it under
  // another device's record, so it is refused.
  if (ansiName.size() >= kMaxDeviceNameBytes) return SetInvalidParameter(pdwErrorCode_);
  if (!OpenSession(ansiName)) return SetUnknownError(pdwErrorCode_);

  try {
    CAutoCriticalSection creation(DriverModule::DeviceCreationLock());
    SessionTable& sessions = DriverModule::Sessions();
    if (sessions.DeviceOf(*session_) == nullptr) {
      CreateScanDevice();
      InitScanDevice(ansiName);
      // Attached only once initialised, so no other open ever sees a half-made device.
      sessions.AttachDevice(*session_, std::move(newDevice_));
    }
  } catch (...) {
    const DWORD code = ErrorCodeFromCurrentException();
    Close();
    SetError(pdwErrorCode_, code);
    return E_FAIL;
  }
  return S_OK;
}

bool ScanSessionOpener::OpenSession(const std::string& ansiName) {
  CHRESULT2 hr(GetGlobalLog(), "ScanSessionOpener::OpenSession");
  if (CLog2* log = GetGlobalLog()) log->print(LOG_INFO_MSG, "device %s", ansiName.c_str());
  session_ = DriverModule::Sessions().AcquireByName(ansiName, GetGlobalLog());
  *phSession_ = session_->handle_;
  if (session_->handle_ == 0) {
    Close();
    hr = E_FAIL;
    return false;
  }
  return true;
}

void ScanSessionOpener::CreateScanDevice() {
  newDevice_ = ::CreateScanDevice();
  if (!newDevice_) RaiseErrorText("no scan device can be created");
}

void ScanSessionOpener::InitScanDevice(const std::string& ansiName) {
  CHRESULT2 hr(GetGlobalLog(), "ScanSessionOpener::InitScanDevice");
  if (!newDevice_->Init(DeviceKindOf(ioType_), ansiName.c_str())) {
    hr = E_FAIL;
    RaiseError(newDevice_->GetError());
  }
}

void ScanSessionOpener::Close() {
  if (!session_) return;
  int32_t remaining = 0;
  const bool released = DriverModule::Sessions().Release(*session_, &remaining);
  // Only the device this open made goes; a device that another open attached stays theirs.
  newDevice_.reset();
  if (released && remaining < 1) session_.reset();
}
