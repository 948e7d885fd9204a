// What the driver front end holds for a session: an IScanDevice that forwards every operation
// to a shared SoapScanDevice. Its destructor runs the device's Cleanup and lets go; a worker
// thread that Cleanup could not stop in time still co-owns the device, which is then destroyed
// when that worker ends instead of under its feet.
// Threads: as IScanDevice (any host thread). Owns: one reference to the device.
#ifndef CAVIX_DEVICE_SCANDEVICEHANDLE_H
#define CAVIX_DEVICE_SCANDEVICEHANDLE_H

#include <memory>

#include "device/IScanDevice.h"

class SoapScanDevice;

class ScanDeviceHandle : public IScanDevice {
 public:
  explicit ScanDeviceHandle(std::shared_ptr<SoapScanDevice> device);
  ~ScanDeviceHandle() override;

  // A new, not yet initialised SoapScanDevice behind a handle (the device factory of real
  // sessions). std::bad_alloc propagates.
  static IScanDevice* CreateSoapScanDevice();

  bool Init(int kind, const char* device) override;
  void GetCapabilities(SCANNER_CAPABILITIES& caps) override;
  void GetAdfCapabilities(ADF_CAPABILITIES& caps) override;
  void GetAdf2Capabilities(ADF2_CAPABILITIES& caps) override;
  bool GetBufferInfo(const SCANNER_PARAMETERS& params, BUFFER_INFO& info) override;
  bool SetParameters(const SCANNER_PARAMETERS& params) override;
  bool SetAdfOptions(uint32_t options) override;
  bool AdfReady(bool& ready) override;
  bool BeginScan() override;
  bool Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) override;
  bool EndScan() override;
  bool Reset() override;
  uint32_t GetError() override;
  bool EjectAdfMedia() override;
  bool SetMfgMode() override;
  void Close() override;

  SoapScanDevice& Device() { return *device_; }

 private:
  std::shared_ptr<SoapScanDevice> device_;
};

#endif
