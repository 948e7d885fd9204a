// Cancelling a scan from another thread (the Ctrl-C watcher) through StopScan while the
// scanning thread may be blocked in ReadScanEx. Exactly one StopScan goes out per page: either
// the cancel's or the normal one at the end of the page. `lock_` guards `scanning_`,
// `stopSent_` and the session fields; `requested_` is read without it.
#ifndef CAVIX_TOOLS_SCANCANCELLATION_H
#define CAVIX_TOOLS_SCANCANCELLATION_H

#include <atomic>

#include "driver/CavixScanner.h"
#include "platform/Mutex.h"

class ScanCancellation {
 public:
  void Attach(IScanner* scanner, DWORD session);
  void Detach();

  // Any thread: marks the scan cancelled and stops the page in progress, if any.
  void Cancel();
  bool Requested() const { return requested_; }
  // Forgets a cancel that has been acted on, so that the next page can start (a SANE handle
  // scans again after sane_cancel).
  void Rearm() { requested_ = false; }

  // Scanning thread, after a successful StartScan. False when a cancel came first (its
  // StopScan has then been sent).
  bool PageStarted();
  // Scanning thread, when the page is over (read to its end, failed or cancelled): sends the
  // page's StopScan unless the cancel sent it. Returns that StopScan's result.
  HRESULT PageEnded(DWORD* code);

 private:
  Mutex lock_;
  IScanner* scanner_ GUARDED_BY(lock_) = nullptr;
  DWORD session_ GUARDED_BY(lock_) = 0;
  bool scanning_ GUARDED_BY(lock_) = false;
  bool stopSent_ GUARDED_BY(lock_) = false;
  std::atomic<bool> requested_{false};
};

#endif
