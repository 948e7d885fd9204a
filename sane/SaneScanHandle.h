// One device opened by a SANE frontend: its driver session, options and the scan in progress.
// A job begins with the first sane_start (lock, feeder options, parameters, geometry); each
// sane_start then starts one page (StartScan) and reads its first bytes, so that an empty
// feeder, a jam or a busy scanner are reported by sane_start itself; sane_read hands out the
// page and ends it (StopScan) at its last byte. sane_cancel only writes to a pipe (safe in a
// signal handler); the handle's cancel thread then stops the page in progress through
// StopScan, and the next call on the frontend's thread ends the job and releases the lock.
// Threads: the frontend's thread for every call but Cancel; the cancel thread. `lock_` guards
// the cancel counters; the page state belongs to the frontend's thread.
#ifndef CAVIX_SANE_SANESCANHANDLE_H
#define CAVIX_SANE_SANESCANHANDLE_H

#include <sane/sane.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/CavixScanner.h"
#include "sane/SaneOptionSet.h"
#include "tools/DeviceName.h"
#include "tools/ScanCancellation.h"

class SaneScanHandle {
 public:
  SaneScanHandle(IScanner* scanner, IADF2* adf);
  ~SaneScanHandle();
  SaneScanHandle(const SaneScanHandle&) = delete;
  SaneScanHandle& operator=(const SaneScanHandle&) = delete;

  SANE_Status Open(const DeviceTarget& target);
  SaneOptionSet& Options() { return options_; }
  SANE_Status GetParameters(SANE_Parameters* p);
  SANE_Status Start();
  SANE_Status Read(SANE_Byte* data, SANE_Int max, SANE_Int* length);
  // Async-signal-safe.
  void Cancel();

  // The SANE status for a driver failure.
  static SANE_Status StatusFor(HRESULT hr, DWORD code);
  static constexpr DWORD kLockTimeoutMs = 10000;

 private:
  SANE_Status BeginJob();
  // Ends the job: cancels what remains of a feeder job on the device, releases the lock.
  void EndJob(bool cancelRest);
  void EndPage();
  // Waits until the cancel thread has handled every sane_cancel so far; true when one came
  // since the last call.
  bool Settle();
  SANE_Status Failed(HRESULT hr, DWORD code);
  void CancelLoop();

  IScanner* scanner_;
  IADF2* adf_;
  DWORD session_ = 0;
  bool open_ = false;
  SaneOptionSet options_;
  ScanCancellation cancel_;
  int pipe_[2] = {-1, -1};
  std::thread cancelThread_;

  std::mutex lock_;
  std::condition_variable handledChanged_;
  std::atomic<unsigned> requested_{0};
  unsigned handled_ = 0;   // guarded by lock_
  unsigned settled_ = 0;   // frontend thread: requests already acted on

  // Frontend thread only.
  bool locked_ = false;
  bool jobActive_ = false;
  bool feeder_ = false;
  bool jobContinues_ = false;  // a feeder page ended normally: the device's job goes on
  bool pageActive_ = false;
  bool pageEnded_ = false;   // the device ended the page (short read)
  bool eof_ = false;
  bool lineart_ = false;
  unsigned pages_ = 0;
  SANE_Parameters params_ = {};
  uint64_t expected_ = 0;
  uint64_t delivered_ = 0;
  uint64_t received_ = 0;
  std::vector<uint8_t> pending_;  // bytes read ahead by Start
  size_t pendingPos_ = 0;
};

#endif
