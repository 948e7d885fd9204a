// Scope guard that parks the device's cancel thread: the constructor returns once every cancel
// posted before has run and the cancel thread is waiting on the device's cancel-thread lock;
// the destructor releases it. Used around a multi-page scan start and around the end of a scan,
// so that no cancel runs between a job's creation and the flag that records it, or while the
// data source is being closed.
// Threads: the host thread or the scan thread that takes it; lives on that thread's stack.
#ifndef CAVIX_DEVICE_IDLELOCKFORCANCELTHREAD_H
#define CAVIX_DEVICE_IDLELOCKFORCANCELTHREAD_H

class SoapScanDevice;

class IdleLockForCancelThread {
 public:
  // Throws (CERR_UNKNOWN) when the cancel thread does not answer in time; it is then unlocked.
  explicit IdleLockForCancelThread(SoapScanDevice& device);
  ~IdleLockForCancelThread();
  IdleLockForCancelThread(const IdleLockForCancelThread&) = delete;
  IdleLockForCancelThread& operator=(const IdleLockForCancelThread&) = delete;

 private:
  SoapScanDevice& device_;
};

#endif
