// The scan device behind one scanner session: drives the device's scan web service over an
// ISoapIoProtocol (network or USB) from two worker threads of its own, and hands the page's
// image bytes to the host out of an IScanDataSource.
//
// Threads:
//   - host threads call the IScanDevice operations, any thread, also two at once; they only
//     post messages to the workers and wait for done events or idle answers;
//   - the scan thread performs every exchange of a scan job on the scan context, one message
//     at a time (ScanThread);
//   - the cancel thread sends job cancels on a context of its own, so that a cancel reaches the
//     device while the scan thread is blocked in an image transfer (CancelThread).
// Owns: the scan context and its pointer map, the data source, the protocol (its twin belongs
// to the cancel context), the current parameters (unless they are the shared default), the
// two worker threads and the cancel-thread lock event.
// Sharing: the job's phase, the session's close and the page's hand-over fields are one state
// machine, job_ (device/ScanJobState.h), changed from any thread. A handler's result travels
// back to the host call that asked for it with its answer (DoneEvent), so another call cannot
// clear it on the way; error_ stays the last failure GetError reports. Members written by a
// worker and read by host operations (adfLoaded_, bytesRead_, ...) take no lock; the order
// comes from the done events and idle handshakes (a worker writes before it signals), and they
// are atomics so that this ordering is also well defined for the compiler. jobStatusLock_
// guards jobStatus_ (written by the scan thread, read by EjectAdfMedia on a host thread).
// parametersLock_ guards parameters_, jobParameters_ and duplex_. The parameter objects are
// read-only once published: SetParameters, SetAdfOptions and SetMfgMode publish new ones, and
// a job takes the current object when it is created and keeps it for all its pages, so that
// new parameters apply from the next job and never change one in progress.
//
// Bounds: every exchange of the scan and cancel contexts runs under an ExchangeGuard (deadline,
// response size, text caps). A host wait on a worker that expires aborts that worker's exchange
// in flight; Cleanup gives each worker a short grace to finish what was posted (a cancel still
// reaches the device), then aborts its exchange, so a session closes at once.
//
// Lifetime: create devices through ScanDeviceHandle::CreateSoapScanDevice (shared ownership),
// so that a worker that Cleanup could not stop in time keeps the device alive until it ends.
// The front end keeps the device alive while host calls are inside it; Close (when the
// session closes) makes every call in progress or to come return at once with
// CERR_INVALID_SESSION, and the device is destroyed once the last of them has returned. A
// cancel the host posted before the close is handled before the close cancels the page
// (waiting at most kCloseGraceMs), so it still reaches the device.
#ifndef CAVIX_DEVICE_SOAPSCANDEVICE_H
#define CAVIX_DEVICE_SOAPSCANDEVICE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "device/DoneEvent.h"
#include "device/IScanDevice.h"
#include "device/MessageThread.h"
#include "device/ScanJobState.h"
#include "device/ScanParameters.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"
#include "transport/ExchangeGuard.h"

class IScanDataSource;
class ISoapIoProtocol;
class IdleLockForCancelThread;

class SoapScanDevice : public IScanDevice, public std::enable_shared_from_this<SoapScanDevice> {
 public:
  // Messages of the two worker threads (wParam carries a done event where noted).
  enum Message : uint32_t {
    IdleRequest = MessageThread::kIdleRequest,  // both
    Quit = MessageThread::kQuit,                // both
    SinglePageScan = 0x8002,                    // scan, done
    AdfStatusQuery = 0x8003,                    // scan, done
    MultiPageScan = 0x8004,                     // scan, done (none for the next page of a job)
    ResetRequest = 0x8005,                      // scan
    EndScanRequest = 0x8006,                    // scan
    JobStatusQuery = 0x8007,                    // scan, done
    SerializedDeviceCancel = 0x8008,            // scan
    DriverAndDeviceCancel = 0x8009,             // cancel
    DeviceCancel = 0x800A,                      // cancel
  };

  SoapScanDevice();
  ~SoapScanDevice() override;

  // ---- IScanDevice ---------------------------------------------------------------------
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

  // Stops both workers and releases the contexts, protocol, data source and parameters. Run by
  // the destructor, by a failed Init and by the owning handle before it lets go. When a worker
  // does not end in time it is left running and the resources it may use are kept until the
  // destructor (which then runs when that worker lets go of the device).
  void Cleanup();

  // Fills the scan ticket of the next job from the current parameters, the page-flow choice
  // and the manufacturing mode, and writes the ticket dump. Any thread.
  void InitScanTicket(wscn__ScanTicketType& ticket);

  // The parameters of the next job; the parameters of the job in progress (the last one
  // created; null before the first). Any thread.
  std::shared_ptr<const ScanParameters> Parameters() const;
  std::shared_ptr<const ScanParameters> JobParameters() const;

  // ---- Observers (diagnostics and tests) --------------------------------------------------
  bool Initialized() const { return initialized_.load(); }
  // The current object itself (it stays alive while the device keeps it).
  const ScanParameters* CurrentParameters() const { return Parameters().get(); }
  bool Duplex() const;
  bool MultiPageFlow() const { return multiPageFlow_.load(); }
  bool MfgMode() const { return mfgMode_.load(); }
  struct soap* ScanContext() const { return scanContext_; }
  ISoapIoProtocol* Protocol() const { return protocol_.get(); }
  ISoapIoProtocol* CancelProtocol() const { return cancelProtocol_.load(); }
  IScanDataSource* DataSource() const { return dataSource_.get(); }
  SoapPointerMap& ScanPointerMap() { return soapPointerMap_; }
  MessageThread& ScanWorker() { return scanThread_; }
  MessageThread& CancelWorker() { return cancelThread_; }

  // ---- Idle handshakes and the cancel-thread lock ---------------------------------------------
  // Everything posted to the scan thread before has been handled; false when that could not be
  // established in time.
  bool WaitForScanThreadToIdle();
  // Posts `message` to the scan thread and waits for its handler's answer (as
  // PostMessageSynchronously); returns the handler's result code. Throws CERR_INVALID_SESSION
  // when the session's close came meanwhile: the handler's outcome no longer counts (its
  // exchanges were skipped or cut).
  uint32_t AskScanThread(uint32_t message);
  // Every cancel posted before has run, and the cancel thread stays parked (handles nothing)
  // until UnlockCancelThread or until the park limit has passed. Throws as WaitForIdle (after
  // unlocking again).
  void LockCancelThreadOnceItsMessageQueueEmpties();
  void UnlockCancelThread();
  // Every cancel posted before has run; the cancel thread is released at once. false (with
  // error_ = CERR_UNKNOWN) on failure.
  bool WaitForPendingCancelsToFinish();

 protected:
  // ---- Scan-thread handlers, one per message (virtual: tests replace them) -----------------
  virtual void DoIdleNotification();
  virtual void DoSinglePageScan(DoneEvent done);
  virtual void DoAdfStatusQuery(DoneEvent done);
  virtual void DoMultiPageScan(DoneEvent done);
  virtual void DoReset();
  virtual void DoEndScan();
  virtual void DoJobStatusQuery(DoneEvent done);
  virtual void DoSerializedDeviceCancel();
  // ---- Cancel-thread handlers, on the cancel context -----------------------------------------
  virtual void DoDriverAndDeviceCancel(struct soap* cancelContext);
  virtual void DoDeviceCancel(struct soap* cancelContext);

  // ---- Host-side steps of the job flow -----------------------------------------------------------
  void DoAsynchronousScan();
  void DoAsynchronousSinglePageScan();
  void DoAsynchronousMultiPageScan();
  bool OpenDataSource();
  // Bytes of one page: BytesPerLine x Lines of the job's parameters (32-bit product); 0
  // before the first job.
  uint32_t ScanSize() const;
  // Publishes `parameters` as the current object (parametersLock_ held by the caller).
  void PublishParameters(std::unique_ptr<ScanParameters> parameters) REQUIRES(parametersLock_);
  // Fills the ticket from `p`.
  void InitScanTicket(wscn__ScanTicketType& ticket, const ScanParameters& p);
  // Host side of a cancel: the cancel thread cancels the page and the job on the device.
  void DoAsynchronousCancel(uint32_t reason);

  // ---- Job flow on the scan thread (ScanJobFlow.cpp) ---------------------------------------
  // An exchange routine: one SOAP exchange on the scan context, returning the gSOAP status.
  using Rpc = int (SoapScanDevice::*)();
  // Runs the routine; after a TCP failure (28) it runs it once more if the protocol found the
  // device again, else gives 28.
  int CallRpc(Rpc routine);
  // Creates the job and signals done exactly once on every path.
  void SetupScanJob(DoneEvent& done);
  int CreateScanJob();
  // Fetches one page (RetrieveImage, job state, pad lines); false when the page failed.
  bool ScanPage();
  int RetrieveImage();
  // RetrieveImage while the data source discards: SOAP_OK when an image arrived (and was
  // thrown away), else the exchange's status.
  int RetrieveDiscardedImage();
  int CachePadlinesAddedByFirmware();
  // Finishes an ADF job after the feeder reported empty.
  void EndAdfJob();
  int CacheAdfStatus();
  int CacheScanId();

  // ---- Device status and fault mapping (DeviceStatusMapping.cpp), scan thread ---------------
  uint32_t SoapErrorToDriverError(int status);
  void LogSoapError();
  std::string LastSoapFault(int status);
  bool SoapFaultDueToBadArgs(int status);
  bool ImagesAbsentButExpected(int status);
  bool ImagesAbsentAsExpected(int status);
  bool RpcNotImplemented(int status);
  bool JobStateIndicatesScanFailed() const;
  // A copy of the last GetJobInfo answer's values. Any thread.
  wscn__JobSummaryType JobStatus() const;
  // Whether the page was delivered; a failed page is cancelled with its reason. With
  // `pageEnded` (the closing exchange of a feeder job, after a whole page) the page the host
  // may still be reading is kept: the failure is kept in job_.deferredFailure instead.
  bool HandleRetrieveImageResult(int status, bool pageEnded = false);
  // The page's failure as judged on the scan thread: kept for the host's Read and cancels the
  // page with `code` (unless the page was cancelled already, which keeps its first reason).
  void FailPage(uint32_t code);
  void HandleCreateScanJobError(int status, DoneEvent& done);
  void CreateScanJobError(DoneEvent& done, uint32_t code, const char* text);
  void HandleCacheScanIdError(int status, DoneEvent& done);
  void HandleWaitForScannerToIdleError(int status, DoneEvent& done);
  int GetScannerElements(wscn__ScanElements& elements);
  int CacheScannerStateReason();
  int CacheScannerIdleStatus();
  // Polls until the scanner is idle; 100 (busy) after the last round without idle.
  int WaitForScannerToIdle();
  int CacheJobStatus();

  // ---- Cancellation (Cancellation.cpp) ------------------------------------------------------
  // The software half: cancels the page with the reason; false when it was cancelled already.
  bool CancelSoftware(uint32_t reason);
  // Scan thread: both halves, the device half on the scan context.
  void DoSynchronousCancel(uint32_t reason);
  bool CancelScanOnConnectionOrientedDevice(struct soap* context);
  bool CancelScanOnConnectionlessDevice();

  // ---- Set-up and clean-up (host thread, except the cancel context's) ------------------------
  void InitSoap(int kind, const char* device);
  void InitSoapPointerMap();
  void InitSoapDataSource();
  void InitSoapIoProtocol(int kind, const char* device);
  // Cancel thread: its context, map and protocol twin; false (logged) on failure.
  bool InitSoapOnCancelThread(struct soap*& cancelContext);
  void CleanupSoapOnCancelThread(struct soap*& cancelContext);
  void CleanupSoapPointerMap();
  void CleanupSoapDataSource();
  void CleanupSoapIoProtocol();
  void CleanupSoap();
  // Lets go of the current and the job's parameters.
  void DropParameters();

  // The status of the scan context's last exchange with the guard's verdict (ExchangeGuard).
  int ExchangeOutcome(int status) const { return scanGuard_.Outcome(status); }
  // The page's capacity as the data source sizes it, for the image exchange's bounds.
  uint64_t PageCapacity() const;

  // Stores code as the last failure (logging its name) and returns false. After Close every
  // failure is CERR_INVALID_SESSION.
  bool Fail(uint32_t code);
  // A failure kept for the next BeginScan or EndScan (0 when none); taken once.
  bool TakeDeferredFailure();
  // Scan thread: records `code` as its handlers' last failure (0 clears it) and as the device's.
  void RecordScanError(uint32_t code);

  // ---- Worker loops ----------------------------------------------------------------------
  static void ScanThread(void* device);
  static void CancelThread(void* device);
  // Handles scan-thread messages until Quit.
  void HandleScanThreadMessage();
  // One cancel-thread message; false on Quit.
  bool HandleCancelThreadMessage(struct soap* cancelContext);

  // ---- Members, in the device's documented order ------------------------------------------------
  std::atomic<uint32_t> error_{0};                 // last failure (CAVIX_ERRORS)
  struct soap* scanContext_ = nullptr;             // owned; scan thread after Init
  std::unique_ptr<IScanDataSource> dataSource_;    // owned
  std::unique_ptr<ISoapIoProtocol> protocol_;      // owned; transport of the scan context
  std::atomic<ISoapIoProtocol*> cancelProtocol_{nullptr};  // twin, owned by the cancel context
  std::atomic<bool> initialized_{false};
  mutable Mutex parametersLock_;
  // The current parameters (the shared default is not owned) and the job's own.
  std::shared_ptr<ScanParameters> parameters_ GUARDED_BY(parametersLock_);
  std::shared_ptr<const ScanParameters> jobParameters_ GUARDED_BY(parametersLock_);
  bool duplex_ GUARDED_BY(parametersLock_) = false;  // SetAdfOptions' choice
  MessageThread scanThread_;
  MessageThread cancelThread_;
  SoapPointerMap soapPointerMap_;                  // the scan context's map
  std::atomic<uint32_t> jobId_{0};
  std::atomic<const char*> jobToken_{nullptr};     // text owned by the scan context
  std::atomic<bool> adfLoaded_{false};
  std::string scanIdentifier_;                     // scan thread
  std::atomic<bool> multiPageFlow_{true};
  std::unique_ptr<Event> cancelThreadLock_;        // auto-reset; created by Init
  std::atomic<int32_t> scannerStateReason_{9};     // None
  std::atomic<uint32_t> bytesRead_{0};
  mutable Mutex jobStatusLock_;
  wscn__JobSummaryType jobStatus_ GUARDED_BY(jobStatusLock_);  // JobState Unknown, reason None
  std::atomic<uint32_t> padlines_{0};
  std::atomic<bool> scannerIdle_{false};
  std::atomic<bool> mfgMode_{false};
  std::string lastSoapFault_;                      // scan thread
  // The job's phase, the session, and the page's hand-over fields (any thread).
  ScanJobState job_;
  // The last failure the scan thread's handlers recorded (scan thread only); a handler answers
  // its host call with it.
  uint32_t scanError_ = 0;
  ExchangeGuard scanGuard_;                        // bounds of the scan context's exchanges
  ExchangeGuard cancelGuard_;                      // bounds of the cancel context's exchanges
  // How long Cleanup lets a worker finish what was posted before it aborts its exchange.
  static constexpr uint32_t kCloseGraceMs = 400;
  // Cancels posted to the cancel thread and not yet handled: Close lets them run first, so
  // that a host's stop followed at once by its close still ends the job on the device.
  // cancelsLock_ guards cancelsPending_; cancelsHandled_ is notified as each one ends.
  Mutex cancelsLock_;
  std::condition_variable cancelsHandled_;
  int cancelsPending_ GUARDED_BY(cancelsLock_) = 0;
  void PostCancel(uint32_t message);
  void CancelHandled();
  bool WaitForPostedCancels(uint32_t limitMs);

 private:
  friend class IdleLockForCancelThread;
  // Resources a stopped-too-late worker may still use were kept by Cleanup.
  bool cleanupDeferred_ = false;
};

#endif
