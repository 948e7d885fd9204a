#include "device/ScanDeviceHandle.h"

#include "device/SoapScanDevice.h"

ScanDeviceHandle::ScanDeviceHandle(std::shared_ptr<SoapScanDevice> device) : device_(std::move(device)) {}

ScanDeviceHandle::~ScanDeviceHandle() {
  device_->Cleanup();
  device_.reset();
}

IScanDevice* ScanDeviceHandle::CreateSoapScanDevice() {
  return new ScanDeviceHandle(std::make_shared<SoapScanDevice>());
}

bool ScanDeviceHandle::Init(int kind, const char* device) { return device_->Init(kind, device); }
void ScanDeviceHandle::GetCapabilities(SCANNER_CAPABILITIES& caps) { device_->GetCapabilities(caps); }
void ScanDeviceHandle::GetAdfCapabilities(ADF_CAPABILITIES& caps) { device_->GetAdfCapabilities(caps); }
void ScanDeviceHandle::GetAdf2Capabilities(ADF2_CAPABILITIES& caps) { device_->GetAdf2Capabilities(caps); }
bool ScanDeviceHandle::GetBufferInfo(const SCANNER_PARAMETERS& params, BUFFER_INFO& info) {
  return device_->GetBufferInfo(params, info);
}
bool ScanDeviceHandle::SetParameters(const SCANNER_PARAMETERS& params) { return device_->SetParameters(params); }
bool ScanDeviceHandle::SetAdfOptions(uint32_t options) { return device_->SetAdfOptions(options); }
bool ScanDeviceHandle::AdfReady(bool& ready) { return device_->AdfReady(ready); }
bool ScanDeviceHandle::BeginScan() { return device_->BeginScan(); }
bool ScanDeviceHandle::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  return device_->Read(buffer, size, bytesRead);
}
bool ScanDeviceHandle::EndScan() { return device_->EndScan(); }
bool ScanDeviceHandle::Reset() { return device_->Reset(); }
uint32_t ScanDeviceHandle::GetError() { return device_->GetError(); }
bool ScanDeviceHandle::EjectAdfMedia() { return device_->EjectAdfMedia(); }
bool ScanDeviceHandle::SetMfgMode() { return device_->SetMfgMode(); }
void ScanDeviceHandle::Close() { device_->Close(); }
