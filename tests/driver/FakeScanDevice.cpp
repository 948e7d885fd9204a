#include "tests/driver/FakeScanDevice.h"

#include <cstring>
#include <new>

FakeDeviceScript* SharedFakeDeviceScript() {
  static FakeDeviceScript script{};
  return &script;
}

FakeScanDevice::FakeScanDevice(FakeDeviceScript* script) : script_(script) { ++script_->created; }

FakeScanDevice::~FakeScanDevice() { ++script_->destroyed; }

bool FakeScanDevice::Init(int kind, const char* device) {
  ++script_->initCalls;
  script_->lastKind = kind;
  std::strncpy(script_->lastDevice, device, sizeof script_->lastDevice - 1);
  script_->lastDevice[sizeof script_->lastDevice - 1] = '\0';
  if (kind != kScanDeviceNetwork && kind != kScanDeviceUsb) {
    error_ = CERR_INVALID_PARAMETER;
    return false;
  }
  switch (script_->initOutcome) {
    case kFakeInitFails:
      error_ = script_->initError;
      return false;
    case kFakeInitThrowsBadAlloc:
      throw std::bad_alloc();
    case kFakeInitThrowsCode:
      throw static_cast<CAVIX_ERRORS>(script_->initError);
    case kFakeInitThrowsOther:
      throw 42;
    default:
      return true;
  }
}

bool FakeScanDevice::Outcome(FakeOp op) {
  if ((script_->failOps & op) == 0) return true;
  error_ = script_->failError;
  return false;
}

void FakeScanDevice::GetCapabilities(SCANNER_CAPABILITIES& caps) {
  std::memcpy(caps.byModelNumber, "Fake", 5);
  caps.wOpticalResolution = 600;
}

void FakeScanDevice::GetAdfCapabilities(ADF_CAPABILITIES& caps) {
  caps.byHasADF = 1;
  caps.wOpticalResolution = 300;
}

void FakeScanDevice::GetAdf2Capabilities(ADF2_CAPABILITIES& caps) {
  caps.byHasADF = 1;
  caps.dwADFOptionsSupported = 0x5;
}

bool FakeScanDevice::GetBufferInfo(const SCANNER_PARAMETERS& params, BUFFER_INFO& info) {
  if (!Outcome(kFakeGetBufferInfo)) return false;
  info.dwPixelWidth = params.dwWidth;
  info.dwPixelHeight = params.dwLength;
  info.dwBytesPerLine = params.dwWidth * 3;
  return true;
}

bool FakeScanDevice::SetParameters(const SCANNER_PARAMETERS& params) {
  if (!Outcome(kFakeSetParameters)) return false;
  script_->lastParametersWidth = params.dwWidth;
  return true;
}

bool FakeScanDevice::SetAdfOptions(uint32_t options) {
  if (!Outcome(kFakeSetAdfOptions)) return false;
  script_->lastAdfOptions = options;
  return true;
}

bool FakeScanDevice::AdfReady(bool& ready) {
  if (!Outcome(kFakeAdfReady)) return false;
  ready = script_->adfReady != 0;
  return true;
}

bool FakeScanDevice::BeginScan() {
  ++script_->beginScans;
  pageOffset_ = 0;
  return Outcome(kFakeBeginScan);
}

bool FakeScanDevice::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  if (!Outcome(kFakeRead)) return false;
  uint32_t n = size < script_->pageBytes ? size : script_->pageBytes;
  for (uint32_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>((pageOffset_ + i) & 0xFF);
  pageOffset_ += n;
  script_->pageBytes -= n;
  bytesRead = n;
  if (n < size) error_ = CERR_SCANNER_END_OF_PAGE;
  return true;
}

bool FakeScanDevice::EndScan() {
  ++script_->endScans;
  return Outcome(kFakeEndScan);
}

bool FakeScanDevice::Reset() {
  ++script_->resets;
  return true;
}

uint32_t FakeScanDevice::GetError() { return error_; }

bool FakeScanDevice::EjectAdfMedia() {
  ++script_->ejects;
  return Outcome(kFakeEjectAdfMedia);
}

bool FakeScanDevice::SetMfgMode() {
  if (!Outcome(kFakeSetMfgMode)) return false;
  ++script_->mfgModes;
  return true;
}
