// A scan device that talks to no scanner: it does what the shared FakeDeviceScript says and
// records what it was asked. Read hands out the page's remaining bytes (byte i of the page is
// i & 0xFF) and, like the real device, leaves CERR_SCANNER_END_OF_PAGE after a short read.
// One thread at a time per fake (the tests drive it from one thread).
#ifndef CAVIX_TESTS_DRIVER_FAKESCANDEVICE_H
#define CAVIX_TESTS_DRIVER_FAKESCANDEVICE_H

#include "device/IScanDevice.h"
#include "tests/driver/FakeDeviceScript.h"

// The script all fakes of this program (or plug-in) follow.
FakeDeviceScript* SharedFakeDeviceScript();

class FakeScanDevice : public IScanDevice {
 public:
  explicit FakeScanDevice(FakeDeviceScript* script);
  ~FakeScanDevice() override;

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

 private:
  // False with the script's failure code when `op` is scripted to fail.
  bool Outcome(FakeOp op);

  FakeDeviceScript* script_;
  uint32_t error_ = 0;
  uint32_t pageOffset_ = 0;
};

#endif
