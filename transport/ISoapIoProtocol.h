// The carrier of one SOAP context's exchanges: where the context sends its requests (the
// endpoint), how it moves the bytes (the library's own TCP code, or hooks over a USB device
// file), its time-outs, and how the device is found again after a transport failure.
//
// Threads: a protocol object is used only by the thread that owns its SOAP context (the host
// thread during the device's Init, the scan thread afterwards; a twin by the cancel thread).
// Cancel and Reset are the exception: they may be called from another thread while the owner
// is blocked in a cancelable read.
// Ownership: the scan device owns the installed protocol; a twin made by CloneInSoapPointerMap
// belongs to the clone context and is deleted through DestroyClone on that context.
#ifndef CAVIX_TRANSPORT_ISOAPIOPROTOCOL_H
#define CAVIX_TRANSPORT_ISOAPIOPROTOCOL_H

struct soap;

class ISoapIoProtocol {
 public:
  // Releases what the protocol owns.
  virtual ~ISoapIoProtocol() = default;

  // Binds the protocol to its SOAP context and to the device named by deviceName (a network
  // device name, or a USB device path). Failures throw a CAVIX_ERRORS value.
  virtual void Install(const char* deviceName) = 0;

  // Drains what the device still has to send after an exchange; true on success.
  virtual bool Flush() = 0;

  // True: a device cancel must be queued behind the exchange in progress on the scan thread's
  // context and followed by Flush. False: a cancel may be sent at once on a context (and a
  // connection) of its own.
  virtual bool IsConnectionless() = 0;

  // The endpoint passed to every SOAP call; valid until the next Install or RediscoverDevice.
  virtual const char* GetEndpoint() = 0;

  // Makes a twin bound to cloneSoap and registers it in that context's pointer map under the
  // class name ("NetworkProtocol" or "UsbProtocol"). The twin is deleted by DestroyClone.
  virtual ISoapIoProtocol* CloneInSoapPointerMap(struct soap* cloneSoap) = 0;

  // Deletes the twin registered under the class name in cloneSoap's pointer map and clears
  // the entry.
  virtual void DestroyClone(struct soap* cloneSoap) = 0;

  // Finds the device's current address after a transport failure (SOAP_TCP_ERROR, 28); true
  // when the exchange may be repeated on GetEndpoint().
  virtual bool RediscoverDevice() = 0;

  // Sets the context's default receive and send time-outs.
  virtual void EnableDefaultTimeout() = 0;

  // Sets the context's short receive and send time-outs.
  virtual void EnableShortTimeout() = 0;

  // Interrupts a pending cancelable read (any thread).
  virtual void Cancel() = 0;

  // Re-arms after a Cancel (any thread).
  virtual void Reset() = 0;

  // Marks the reads of the following exchange as interruptible by Cancel.
  virtual void EnableCancelableIo(bool enable) = 0;

 protected:
  ISoapIoProtocol() = default;
  ISoapIoProtocol(const ISoapIoProtocol&) = default;
  ISoapIoProtocol& operator=(const ISoapIoProtocol&) = default;
};

#endif
