// The SOAP I/O protocol of a USB device: the context's open, close, send and receive hooks
// move the bytes over the device file (a USB printer-class node, or a pseudo-terminal in
// tests) instead of TCP. The device is opened for each exchange and closed after it. I/O is
// non-blocking on the descriptor; a transfer that cannot complete at once is waited for with
// poll, a cancelable read together with the cancel event. The still-image driver's two
// controls are emulated: the set-time-out control records the read, write and event
// time-outs, which this class applies to its waits; the reset-pipe control discards what the
// device has sent and not been read.
//
// Time-outs: timeout_ seconds (60 default, 30 short, 15 during Flush) are the device's
// time-outs, recorded at each open; a wait for a transfer lasts up to twice timeout_, and never
// longer than the recorded time-out of its direction. One second is
// TimeLimits::usbSecondMs milliseconds (tests shorten it).
//
// Bounds: when the context's exchanges run under an ExchangeGuard, every wait for a transfer
// also ends when the exchange's time is up or the exchange is aborted.
//
// Threads: the thread that owns the context runs the hooks and every operation; Cancel and
// Reset may be called from any thread (cancel_ is the only state they share). No transfer is
// left in flight when an operation returns: the descriptor is non-blocking, so a read or
// write either completes inside the call or has not started.
// Ownership: owns the device descriptor while open and cancel_; registered in its context's
// pointer map under "UsbProtocol" by Install (a clone in the clone context); not the context.
#ifndef CAVIX_TRANSPORT_USBPROTOCOL_H
#define CAVIX_TRANSPORT_USBPROTOCOL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/CavixCom.h"
#include "platform/Event.h"
#include "platform/ScanError.h"
#include "transport/ISoapIoProtocol.h"

class UsbProtocol : public ISoapIoProtocol {
 public:
  static const char* const kPointerMapKey;  // "UsbProtocol"
  static constexpr int32_t kDefaultTimeout = 60;
  static constexpr int32_t kShortTimeout = 30;
  static constexpr int32_t kFlushTimeout = 15;
  // The still-image driver's controls.
  static constexpr DWORD kIoctlSetTimeout = 0x8000202C;
  static constexpr DWORD kIoctlResetPipe = 0x8000201C;
  static constexpr DWORD kReadDataPipe = 1;
  // Zero-byte reads in a row after which the receive hook reports the end of input.
  static constexpr int kMaxEmptyReads = 100;
  static constexpr std::size_t kMaxEndpoint = 260;

  explicit UsbProtocol(struct soap* soap);
  // Closes the device, leaves stub hooks in the context (open and send fail with
  // SOAP_FATAL_ERROR, close and receive do nothing) and drops its pointer-map entry.
  ~UsbProtocol() override;
  UsbProtocol(const UsbProtocol&) = delete;
  UsbProtocol& operator=(const UsbProtocol&) = delete;

  // endpoint_ = "http:" + path; installs the hooks; default time-out; registers itself.
  // A null path raises CERR_INVALID_PARAMETER.
  void Install(const char* devicePath) override;
  // Opens the device and reads until five empty reads in a row; true when drained. A read
  // counts as empty when nothing is waiting; the first read waits a tenth of a second for the
  // device, the first after data half a second (a device may pause within a page). A device
  // that never stops sending fails the flush after twice its time-out.
  bool Flush() override;
  bool IsConnectionless() override { return true; }
  const char* GetEndpoint() override { return endpoint_.c_str(); }
  ISoapIoProtocol* CloneInSoapPointerMap(struct soap* cloneSoap) override;
  void DestroyClone(struct soap* cloneSoap) override;
  bool RediscoverDevice() override { return true; }
  void EnableDefaultTimeout() override;
  void EnableShortTimeout() override;
  void Cancel() override;
  void Reset() override;
  void EnableCancelableIo(bool enable) override { cancelableIo_ = enable; }

  // The operations behind the hooks.
  // Opens the device at the endpoint's path; the descriptor, or -1 with soap->error 11.
  int Open();
  // Closes the device (the descriptor is released either way); the failure of close(2).
  ScanError Close();
  // One transfer: success (bytesRead may be 0), or the failure with the Linux call's text.
  ScanError Read(void* buffer, DWORD size, DWORD& bytesRead);
  ScanError Write(const void* data, DWORD length, DWORD& bytesWritten);

  int32_t Timeout() const { return timeout_; }
  // How long a read that has to wait for the device waits now, in milliseconds.
  DWORD ReadWaitLimitMs() const { return WaitLimitMs(Direction::In); }
  bool IsOpen() const { return device_ >= 0; }
  // The time-outs (read, write, event; seconds) the last set-time-out control recorded.
  void RecordedTimeouts(DWORD& read, DWORD& write, DWORD& event) const;

  // The four hooks, as the SOAP runtime calls them.
  static int OpenHook(struct soap* soap, const char* endpoint, const char* host, int port);
  static int CloseHook(struct soap* soap);
  static int SendHook(struct soap* soap, const char* data, std::size_t length);
  static std::size_t ReceiveHook(struct soap* soap, char* buffer, std::size_t size);
  // The runtime's own socket close, also replaced: when the runtime closes the connection
  // behind the close hook's back (its clean-up does), the protocol closes its device instead,
  // so that the descriptor is never closed twice.
  static int CloseSocketHook(struct soap* soap, int socket);

 protected:
  // The device's read, the one system call of every read path (a seam for tests that need
  // a device whose answers they script): what read(2) returns, with errno set on -1.
  virtual long DeviceRead(void* buffer, std::size_t size);

 private:
  enum class Direction { In, Out };

  static UsbProtocol* Find(struct soap* soap);
  void SetHooks(struct soap* soap);
  // The emulated device controls; throw a text on failure.
  void InitTimeouts();
  void ResetIo(DWORD pipe);
  ScanError DeviceIoControl(DWORD code, const void* input, DWORD inputSize);
  // Waits until the device is ready in the direction; success when it is, else why not (time
  // out, abort, the failed poll).
  ScanError WaitForIo(Direction direction);
  // Waits for the device to be readable, or for cancel_ when cancelableIo_; success when
  // readable, else why not (cancel, abort, time out, the failed poll).
  ScanError WaitForCancelableIo();
  void CancelIo();
  // The wait limit of a transfer in the direction, in milliseconds.
  DWORD WaitLimitMs(Direction direction) const;
  // The same, cut to what is left of the exchange in progress (ExchangeGuard).
  DWORD BoundedWaitMs(Direction direction) const;
  // One read for Flush: what the device has sent, or 0 bytes (an empty read) when nothing
  // comes within waitMs milliseconds.
  ScanError Drain(void* buffer, DWORD size, DWORD& bytesRead, DWORD waitMs);

  struct soap* soap_;
  std::string endpoint_;
  int device_ = -1;
  // Written by the owner thread; read by the cancel thread when it makes its clone.
  std::atomic<int32_t> timeout_{kDefaultTimeout};
  Event cancel_;
  bool cancelableIo_ = false;
  // Time-outs recorded by the set-time-out control at the last open (seconds; 0 = none).
  DWORD readTimeout_ = 0;
  DWORD writeTimeout_ = 0;
  DWORD eventTimeout_ = 0;
};

#endif
