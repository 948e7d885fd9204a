// The seam between the driver front end and the object that talks to one scanner.
//
// The front end owns one IScanDevice per open scanner session and turns each host call into one
// operation here. Operations answer true on success; on failure they keep the CAVIX_ERRORS code in
// the device (fetched with GetError) and answer false. The capability queries cannot fail.
//
// Threads: any host thread may call any operation, also two at once (for example Read and
// EndScan); implementations serialise their work on their own worker threads.
//
// The virtual slot order below is fixed: destructor, then Init ... SetMfgMode, then Close.
#ifndef CAVIX_DEVICE_ISCANDEVICE_H
#define CAVIX_DEVICE_ISCANDEVICE_H

#include <cstdint>

#include "driver/CavixErrors.h"
#include "driver/CavixScanner.h"

// The I/O kinds that Init accepts; any other value is refused with CERR_INVALID_PARAMETER.
enum ScanDeviceKind : int {
  kScanDeviceNetwork = 0,  // SOAP over HTTP to the device's address
  kScanDeviceUsb = 1,      // SOAP over a USB device file
};

class IScanDevice {
 public:
  // Slot 0. Stops the device's threads and releases everything it owns.
  virtual ~IScanDevice() = default;

  // Slot 1. Binds the device to `device` (network device name or USB device path, UTF-8) over the
  // transport of `kind` and starts its worker threads. Called once; on false fetch GetError and
  // destroy the device.
  virtual bool Init(int kind, const char* device) = 0;

  // Slots 2-4. Fill the host's record with the device's fixed limits; fields the driver does not
  // report keep the caller's content. Do not need Init.
  virtual void GetCapabilities(SCANNER_CAPABILITIES& caps) = 0;
  virtual void GetAdfCapabilities(ADF_CAPABILITIES& caps) = 0;
  virtual void GetAdf2Capabilities(ADF2_CAPABILITIES& caps) = 0;

  // Slot 5. Checks `params` and reports the geometry of the image it would give. No Init needed.
  virtual bool GetBufferInfo(const SCANNER_PARAMETERS& params, BUFFER_INFO& info) = 0;
  // Slot 6. Checks `params` and keeps them for the next scan. No Init needed.
  virtual bool SetParameters(const SCANNER_PARAMETERS& params) = 0;
  // Slot 7. Chooses duplex (0x1) and multi-page flow (0x4). No Init needed.
  virtual bool SetAdfOptions(uint32_t options) = 0;
  // Slot 8. Asks the device whether paper is in the feeder.
  virtual bool AdfReady(bool& ready) = 0;
  // Slot 9. Starts a job (or the next page of a running feeder job); returns once it is started.
  virtual bool BeginScan() = 0;
  // Slot 10. Copies up to `size` image bytes; fewer than `size` means the page has ended, and then
  // GetError returns CERR_SCANNER_END_OF_PAGE although the call succeeded.
  virtual bool Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) = 0;
  // Slot 11. Ends the page or the scan, cancelling what is unfinished.
  virtual bool EndScan() = 0;
  // Slot 12. Forgets the job and rearms the transport. No Init needed.
  virtual bool Reset() = 0;
  // Slot 13. The CAVIX_ERRORS code of the last failure (or the end-of-page marker). Never fails.
  virtual uint32_t GetError() = 0;
  // Slot 14. Cancels the job on the device if it is still running.
  virtual bool EjectAdfMedia() = 0;
  // Slot 15. Switches to the manufacturing-test (lossless) mode.
  virtual bool SetMfgMode() = 0;
  // Slot 16. The session is closing: every call in progress returns at once with
  // CERR_INVALID_SESSION, and so does every later call that needs Init. The caller destroys
  // the device once no call is inside it. Devices with nothing to end keep this default.
  virtual void Close() {}

  // Operations that need a successful Init answer false with CERR_INVALID_SESSION before it.

 protected:
  IScanDevice() = default;
  IScanDevice(const IScanDevice&) = delete;
  IScanDevice& operator=(const IScanDevice&) = delete;
};

#endif
