// One device opened by a SANE frontend: its driver session, options and the scan in progress.
// A job begins with the first sane_start (lock, feeder options, parameters, geometry); each
// sane_start then starts one page (StartScan) and reads its first bytes, so that an empty
// feeder, a jam or a busy scanner are reported by sane_start itself. The page ends (StopScan) at
// its last byte. Options cannot change while a job runs.
// The rest of a page reaches the frontend in one of two ways. A frontend that reads in blocking
// mode and never asked for the select descriptor (scanimage) reads straight from the driver:
// after the first bytes, each sane_read is one ReadScanEx into the frontend's own buffer (the
// driver's page stream already buffers the page and paces the device to a slow reader). Once
// the frontend sets non-blocking mode or asks for the select descriptor, the page's reading
// thread reads ahead of it into a ring of `kReadAhead` bytes allocated once per handle, and
// sane_read hands out what the ring holds, waiting for rows in blocking mode and answering at
// once in non-blocking mode; the select descriptor is readable while rows or the page's end wait
// to be taken (one pipe write when the ring turns non-empty, one read when it empties). Later
// pages of the handle start their reading thread at sane_start.
// sane_cancel only writes to a pipe (safe in a signal handler); the handle's cancel thread then
// stops the page in progress through StopScan (which also ends a ReadScanEx blocked on the
// frontend's thread or the reading thread), and the next call on the frontend's thread ends the
// job and releases the lock.
// The handle's state, changed only by Enter on the frontend's thread (which logs each change at
// debug level 4):
//
//             sane_start            StartScan            the last byte (platen)
//      kIdle -------------> kJob -------------> kPage ------------------------> kDone
//      ^ ^ ^  (lock, set up)  |                 ^    |   the last byte (feeder)     |
//      | | |                  |     next sheet  |    +----------------> kPageEnded  |
//      | | |                  |    (StartScan)  +----------------------------+ |    |
//      | | +------------------+----------------------------------------------+-+    |
//      | |    failure, an empty feeder, close, a sane_start before the page's end   |
//      | +--------------------------------------------------------------------------+
//      |      sane_start, a cancel, close
//      +----- sane_start, close ----- kCancelled <----- a cancel in kJob, kPage or kPageEnded
//
// The device is locked and the job set up in kJob, kPage and kPageEnded; reads answer EOF in
// kPageEnded and kDone, CANCELLED in kCancelled, and INVAL in kIdle and kJob.
// Threads: the frontend's thread for every call but Cancel; the cancel thread; the page's
// reading thread. `lock_` guards the cancel counters; `pageLock_` the ring's fill and the
// reading thread's outcome (`head_` ... `readySignalled_`). The reading thread alone writes the
// ring's free part, the frontend's thread alone takes from its full part. The state and the
// rest of the page's fields belong to the frontend's thread (the reading thread reads
// `expected_` and `session_`, written before it starts).
#ifndef CAVIX_SANE_SANESCANHANDLE_H
#define CAVIX_SANE_SANESCANHANDLE_H

#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <condition_variable>
#include <string>
#include <thread>

#include "driver/CavixScanner.h"
#include "platform/Mutex.h"
#include "sane/SaneDeviceSession.h"
#include "sane/SaneOptionSet.h"
#include "tools/DeviceName.h"
#include "tools/ScanCancellation.h"

class SaneScanHandle {
 public:
  SaneScanHandle(IScanner* scanner, IADF2* adf);
  ~SaneScanHandle();
  SaneScanHandle(const SaneScanHandle&) = delete;
  SaneScanHandle& operator=(const SaneScanHandle&) = delete;

  // Takes the device's shared session (open).
  SANE_Status Open(std::shared_ptr<SaneDeviceSession> device);
  const SANE_Option_Descriptor* Descriptor(SANE_Int option) const { return options_.Descriptor(option); }
  // SANE_STATUS_DEVICE_BUSY for a change while a job runs.
  SANE_Status Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info);
  // Never fails: the next scan's frame outside a scan, the scan's own during one.
  SANE_Status GetParameters(SANE_Parameters* p);
  SANE_Status Start();
  SANE_Status Read(SANE_Byte* data, SANE_Int max, SANE_Int* length);
  // Both SANE_STATUS_INVAL unless a page is being scanned.
  SANE_Status SetIoMode(SANE_Bool nonBlocking);
  SANE_Status GetSelectFd(SANE_Int* fd);
  // Async-signal-safe.
  void Cancel();

  // The SANE status for a driver failure.
  static SANE_Status StatusFor(HRESULT hr, DWORD code);
  static constexpr DWORD kLockTimeoutMs = 10000;
  // Bytes the reading thread keeps ahead of the frontend at most (the ring's size), and reads at
  // once.
  static constexpr size_t kReadAhead = 4 << 20;
  static constexpr DWORD kReadChunk = 256 * 1024;

  enum class State { kIdle, kJob, kPage, kPageEnded, kDone, kCancelled };
  static const char* StateName(State s);
  // Whether the diagram above has the arrow.
  static bool Allowed(State from, State to);

 private:
  // Makes every state change; logs it with its reason, and a change the diagram lacks at
  // level 1.
  void Enter(State next, const char* why);
  bool InJob() const { return state_ == State::kJob || state_ == State::kPage || state_ == State::kPageEnded; }
  SANE_Status BeginJob();
  // sane_start without its debug line.
  SANE_Status StartPage();
  // Ends the job (in kJob, kPage or kPageEnded): cancels what remains of a feeder job on the
  // device, releases the lock. The caller then enters the next state.
  void EndJob(bool cancelRest);
  void EndPage();
  // Waits until the cancel thread has handled every sane_cancel so far; true when one came
  // since the last call.
  bool Settle();
  SANE_Status Failed(HRESULT hr, DWORD code);
  void CancelLoop();
  // Starts the page's reading thread unless it runs or the driver has ended the page.
  void StartReader();
  void ReadLoop();
  // Moves up to `max` bytes from the ring to `data`.
  size_t TakeAhead(SANE_Byte* data, size_t max) REQUIRES(pageLock_);
  // Makes the select descriptor readable exactly while bytes or the page's end wait.
  void UpdateReady() REQUIRES(pageLock_);

  IScanner* scanner_;
  IADF2* adf_;
  std::shared_ptr<SaneDeviceSession> device_;
  DWORD session_ = 0;
  SaneOptionSet options_;
  ScanCancellation cancel_;
  int pipe_[2] = {-1, -1};
  std::thread cancelThread_;

  Mutex lock_;
  std::condition_variable handledChanged_;
  std::atomic<unsigned> requested_{0};
  unsigned handled_ GUARDED_BY(lock_) = 0;
  unsigned settled_ = 0;   // frontend thread: requests already acted on

  // Frontend thread only.
  State state_ = State::kIdle;
  bool feeder_ = false;      // the job's source and mode
  bool lineart_ = false;
  bool nonBlocking_ = false;
  bool readAhead_ = false;   // the frontend asked for the select descriptor: pages read ahead
  unsigned pages_ = 0;
  std::chrono::steady_clock::time_point pageStart_;  // for the debug output's timings
  SANE_Parameters params_ = {};
  uint64_t expected_ = 0;
  uint64_t delivered_ = 0;
  std::thread reader_;
  int readyPipe_[2] = {-1, -1};

  Mutex pageLock_;
  std::condition_variable pageChanged_;
  std::unique_ptr<uint8_t[]> ring_;  // kReadAhead bytes, from Open to the end
  size_t head_ GUARDED_BY(pageLock_) = 0;          // the ring's next byte to hand out
  size_t held_ GUARDED_BY(pageLock_) = 0;          // bytes read and not yet handed out, from head_ (wrapping)
  uint64_t received_ GUARDED_BY(pageLock_) = 0;    // bytes of the page read from the driver
  bool deviceDone_ GUARDED_BY(pageLock_) = false;  // the driver ended the page (short read) or failed
  HRESULT readHr_ GUARDED_BY(pageLock_) = S_OK;
  DWORD readCode_ GUARDED_BY(pageLock_) = 0;
  bool stopReading_ GUARDED_BY(pageLock_) = false;
  bool readySignalled_ GUARDED_BY(pageLock_) = false;
};

#endif
