// Construction, Init and clean-up of the scan device, its two worker loops and the idle
// handshakes between them and the host.
#include "device/SoapScanDevice.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <stdsoap2.h>

#include "image/DimeDataSource.h"
#include "image/IScanDataSource.h"
#include "image/PadlessStreamFactory.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/ResultHelpers.h"
#include "platform/TimeLimits.h"
#include "service/ServiceContext.h"
#include "transport/ISoapIoProtocol.h"
#include "transport/NetworkProtocol.h"
#include "transport/UsbProtocol.h"

namespace {

// The shared default object, held without owning it.
std::shared_ptr<ScanParameters> SharedDefaultParameters() {
  return std::shared_ptr<ScanParameters>(&ScanParameters::DefaultParameters(), [](ScanParameters*) {});
}

}  // namespace

SoapScanDevice::SoapScanDevice()
    : parameters_(SharedDefaultParameters()),
      scanThread_(&SoapScanDevice::ScanThread),
      cancelThread_(&SoapScanDevice::CancelThread),
      jobStatus_() {
  {
    MutexLock guard(jobStatusLock_);
    jobStatus_.JobState = wscn__JobStateType__Unknown;
    jobStatus_.JobStateReasons = wscn__JobStateReasonsType__None;
  }
  // A host that stops waiting for a worker ends the exchange holding it up.
  scanThread_.OnWaitExpired([this] { scanGuard_.Abort(); });
  cancelThread_.OnWaitExpired([this] { cancelGuard_.Abort(); });
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::SoapScanDevice");
}

SoapScanDevice::~SoapScanDevice() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::~SoapScanDevice");
  Cleanup();
}

bool SoapScanDevice::Fail(uint32_t code) {
  // A call that the session's close ended reports the closed session, whatever woke it.
  if (job_.Closed()) code = CERR_INVALID_SESSION;
  error_.store(LogErrorCode(code));
  return false;
}

void SoapScanDevice::RecordScanError(uint32_t code) {
  scanError_ = code;
  error_.store(code);
}

bool SoapScanDevice::TakeDeferredFailure() {
  const uint32_t code = job_.deferredFailure.exchange(0);
  if (code == 0) return true;
  LogText("Reporting the failure of the job's closing exchange");
  return Fail(code);
}

void SoapScanDevice::Close() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Close");
  job_.Apply(ScanJobState::Event::Close);
  job_.noPageReason.store(CERR_INVALID_SESSION);
  // A cancel the host posted just before runs first (within the grace), so that the device's
  // job is cancelled by it and not left running because the close took the page's cancel.
  if (!WaitForPostedCancels(kCloseGraceMs)) LogText("Warning! posted cancel still pending at close");
  // A reader blocked in the page wakes with the cancel; waits for the workers' answers end.
  if (dataSource_ && protocol_ && CancelSoftware(CERR_CANCEL_PRESSED)) job_.closeTookCancel.store(true);
  scanThread_.Abandon();
  cancelThread_.Abandon();
}

uint32_t SoapScanDevice::GetError() {
  // A call that the session's close ended reports the closed session, also when the scan
  // thread records its own failure of the cut-short exchange after the call's answer.
  const uint32_t error = job_.Closed() ? static_cast<uint32_t>(CERR_INVALID_SESSION) : error_.load();
  LogNamedValue("error_", static_cast<int>(error));
  return error;
}

// ---- Init and clean-up ------------------------------------------------------------------------

bool SoapScanDevice::Init(int kind, const char* device) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Init");
  try {
    LogText("Tobrel CPE driver with WHQL bug fixes");
    InitSoap(kind, device);
    // The workers co-own the device while they run (see MessageThread.h).
    std::shared_ptr<void> keepAlive = weak_from_this().lock();
    scanThread_.Start(this, keepAlive);
    cancelThread_.Start(this, keepAlive);
    cancelThreadLock_ = std::make_unique<Event>(false, false);
    initialized_.store(true);
    return true;
  } catch (...) {
    const uint32_t code = ErrorCodeFromCurrentException();
    Cleanup();
    return Fail(code);
  }
}

void SoapScanDevice::InitSoap(int kind, const char* device) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::InitSoap");
  if (scanContext_) {
    ServiceContext::Destroy(scanContext_);
    scanContext_ = nullptr;
  }
  scanContext_ = ServiceContext::Create(ServiceContext::kChunkedOutput);
  if (!scanContext_) RaiseError(CERR_OUT_OF_MEMORY);
  soap_set_imode(scanContext_, SOAP_IO_CHUNK);
  soap_set_omode(scanContext_, SOAP_IO_CHUNK);
  if (soap_set_namespaces(scanContext_, namespaces) != 0) RaiseError(CERR_UNKNOWN);
  InitSoapPointerMap();
  InitSoapDataSource();
  InitSoapIoProtocol(kind, device);
  scanGuard_.Attach(scanContext_);
}

void SoapScanDevice::InitSoapPointerMap() { SoapPointerMap::Attach(scanContext_, &soapPointerMap_); }

void SoapScanDevice::InitSoapDataSource() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::InitSoapDataSource");
  if (!dataSource_) {
    PadlessStreamFactory streamFactory;
    dataSource_ = std::make_unique<DimeDataSource>(scanContext_, streamFactory);
  }
  dataSource_->Install();
}

void SoapScanDevice::InitSoapIoProtocol(int kind, const char* device) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::InitSoapIoProtocol");
  protocol_.reset();
  switch (kind) {
    case kScanDeviceNetwork:
      protocol_ = std::make_unique<NetworkProtocol>(scanContext_);
      break;
    case kScanDeviceUsb:
      protocol_ = std::make_unique<UsbProtocol>(scanContext_);
      break;
    default:
      RaiseError(CERR_INVALID_PARAMETER);
  }
  protocol_->Install(device);
}

bool SoapScanDevice::InitSoapOnCancelThread(struct soap*& cancelContext) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::InitSoapOnCancelThread");
  cancelContext = nullptr;
  SoapPointerMap* map = nullptr;
  try {
    cancelContext = ServiceContext::Create(ServiceContext::kPlainOutput);
    if (!cancelContext) throw std::bad_alloc();
    map = new SoapPointerMap();
  } catch (const std::bad_alloc&) {
    ServiceContext::Destroy(cancelContext);
    cancelContext = nullptr;
    return LogErrorText("Out of memory");
  }
  SoapPointerMap::Attach(cancelContext, map);
  bool ok = false;
  try {
    if (soap_set_namespaces(cancelContext, namespaces) == 0 && protocol_) {
      cancelProtocol_.store(protocol_->CloneInSoapPointerMap(cancelContext));
      ok = cancelProtocol_.load() != nullptr;
      if (ok) cancelGuard_.Attach(cancelContext);
    }
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    cancelGuard_.Detach();
    if (protocol_) protocol_->DestroyClone(cancelContext);
    cancelProtocol_.store(nullptr);
    SoapPointerMap::Attach(cancelContext, nullptr);
    delete map;
    ServiceContext::Destroy(cancelContext);
    cancelContext = nullptr;
    return LogErrorText("cancelContext initialization failed");
  }
  return true;
}

void SoapScanDevice::CleanupSoapOnCancelThread(struct soap*& cancelContext) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::CleanupSoapOnCancelThread");
  if (!protocol_ || !cancelContext) return;
  cancelGuard_.Detach();
  protocol_->DestroyClone(cancelContext);
  cancelProtocol_.store(nullptr);
  SoapPointerMap* map = SoapPointerMap::Of(cancelContext);
  SoapPointerMap::Attach(cancelContext, nullptr);
  delete map;
  ServiceContext::Destroy(cancelContext);
  cancelContext = nullptr;
}

void SoapScanDevice::CleanupSoapPointerMap() { soapPointerMap_.Clear(); }

void SoapScanDevice::CleanupSoapDataSource() { dataSource_.reset(); }

void SoapScanDevice::CleanupSoapIoProtocol() { protocol_.reset(); }

void SoapScanDevice::CleanupSoap() {
  scanGuard_.Detach();
  CleanupSoapDataSource();
  CleanupSoapIoProtocol();
  if (scanContext_) {
    ServiceContext::Destroy(scanContext_);
    scanContext_ = nullptr;
  }
  CleanupSoapPointerMap();
}

void SoapScanDevice::DropParameters() {
  MutexLock guard(parametersLock_);
  parameters_.reset();
  jobParameters_.reset();
}

std::shared_ptr<const ScanParameters> SoapScanDevice::Parameters() const {
  MutexLock guard(parametersLock_);
  return parameters_;
}

std::shared_ptr<const ScanParameters> SoapScanDevice::JobParameters() const {
  MutexLock guard(parametersLock_);
  return jobParameters_;
}

bool SoapScanDevice::Duplex() const {
  MutexLock guard(parametersLock_);
  return duplex_;
}

void SoapScanDevice::PublishParameters(std::unique_ptr<ScanParameters> parameters) {
  parameters_ = std::shared_ptr<ScanParameters>(std::move(parameters));
}

void SoapScanDevice::Cleanup() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Cleanup");
  // The messages already posted still run (a cancel must reach the device), but an exchange
  // that holds a worker past a short grace is aborted, with every later one: the session
  // closes at once whatever the device does.
  job_.Apply(ScanJobState::Event::Cleanup);
  // The scan thread may be waiting for the cancel thread (end of scan), so both are hurried.
  bool ended = scanThread_.Stop(kCloseGraceMs, [this] {
    scanGuard_.Abort();
    cancelGuard_.Abort();
  });
  // A cancel thread parked by a lock nobody will release would otherwise hold up its stop.
  try {
    UnlockCancelThread();
  } catch (...) {
  }
  ended = cancelThread_.Stop(kCloseGraceMs, [this] { cancelGuard_.Abort(); }) && ended;
  if (!ended) {
    // A worker is still inside a handler: what it may use stays until it lets go of the device.
    cleanupDeferred_ = true;
    LogText("Warning! worker thread still running; releasing the device when it ends");
    return;
  }
  cancelThreadLock_.reset();
  DropParameters();
  CleanupSoap();
  initialized_.store(false);
}

// ---- Worker loops -------------------------------------------------------------------------------

void SoapScanDevice::ScanThread(void* device) {
  auto* self = static_cast<SoapScanDevice*>(device);
  for (;;) {
    try {
      self->HandleScanThreadMessage();
      return;
    } catch (...) {
      LogText("Error: exception thrown on ScanThread(); ignoring and continuing...");
    }
  }
}

void SoapScanDevice::HandleScanThreadMessage() {
  // The scan thread's messages and their handlers; a handler takes the done event or nothing.
  struct Handler {
    uint32_t message;
    void (SoapScanDevice::*withDone)(DoneEvent);
    void (SoapScanDevice::*plain)();
  };
  static const Handler kHandlers[] = {
      {IdleRequest, nullptr, &SoapScanDevice::DoIdleNotification},
      {SinglePageScan, &SoapScanDevice::DoSinglePageScan, nullptr},
      {AdfStatusQuery, &SoapScanDevice::DoAdfStatusQuery, nullptr},
      {MultiPageScan, &SoapScanDevice::DoMultiPageScan, nullptr},
      {ResetRequest, nullptr, &SoapScanDevice::DoReset},
      {EndScanRequest, nullptr, &SoapScanDevice::DoEndScan},
      {JobStatusQuery, &SoapScanDevice::DoJobStatusQuery, nullptr},
      {SerializedDeviceCancel, nullptr, &SoapScanDevice::DoSerializedDeviceCancel},
  };
  for (;;) {
    DoneEvent done;
    const uint32_t message = scanThread_.Receive(&done);
    if (message == Quit) return;
    const Handler* handler = nullptr;
    for (const Handler& h : kHandlers) {
      if (h.message == message) handler = &h;
    }
    if (!handler) {
      LogErrorText("Illegal message received");
      continue;
    }
    // An abort by a host that gave up on an earlier message ends with that message.
    if (!job_.Stopping()) scanGuard_.Rearm();
    try {
      if (handler->withDone) {
        (this->*handler->withDone)(done);
      } else {
        (this->*handler->plain)();
      }
    } catch (...) {
      // The host waiting for this message learns the failure now rather than after the done
      // event's time-out.
      if (done && !done.Signalled()) {
        const uint32_t code = ErrorCodeFromCurrentException();
        error_.store(code);
        done.Signal(code);
      }
      throw;
    }
  }
}

void SoapScanDevice::CancelThread(void* device) {
  auto* self = static_cast<SoapScanDevice*>(device);
  struct soap* cancelContext = nullptr;
  if (!self->InitSoapOnCancelThread(cancelContext)) return;
  try {
    while (self->HandleCancelThreadMessage(cancelContext)) {
    }
  } catch (...) {
    // The loop ends; the context goes with it.
    self->CleanupSoapOnCancelThread(cancelContext);
    throw;
  }
}

bool SoapScanDevice::HandleCancelThreadMessage(struct soap* cancelContext) {
  DoneEvent done;
  const uint32_t message = cancelThread_.Receive(&done);
  switch (message) {
    case IdleRequest: {
      cancelThread_.NotifyIdle();
      // Parked: no message is handled until the lock is released or the limit has passed.
      Event* lock = cancelThreadLock_.get();
      bool released = false;
      char thrown[128];  // what failed on Linux, after the documented text
      const char* why = lock ? "not released in time" : "no lock";
      try {
        released = lock && lock->Wait(TimeLimits::Instance().cancelParkMs.load());
      } catch (const std::exception& e) {
        released = false;
        std::snprintf(thrown, sizeof thrown, "%s", e.what());
        why = thrown;
      } catch (...) {
        released = false;
      }
      if (!released) LogTextWith("Warning! Wait() failed unexpectedly", why);
      return true;
    }
    case Quit:
      CleanupSoapOnCancelThread(cancelContext);
      return false;
    case DriverAndDeviceCancel:
    case DeviceCancel: {
      if (!job_.Stopping()) cancelGuard_.Rearm();
      // The posted cancel counts as handled however its handler ends.
      struct Handled {
        SoapScanDevice* device;
        ~Handled() { device->CancelHandled(); }
      } handled{this};
      if (message == DriverAndDeviceCancel) {
        DoDriverAndDeviceCancel(cancelContext);
      } else {
        DoDeviceCancel(cancelContext);
      }
      return true;
    }
    default:
      LogErrorText("Illegal message received");
      return true;
  }
}

// ---- Idle handshakes ---------------------------------------------------------------------------

void SoapScanDevice::DoIdleNotification() {
  try {
    scanThread_.NotifyIdle();
  } catch (...) {
    LogText("Error: NotifyIdle() failed unexpectedly");
  }
}

uint32_t SoapScanDevice::AskScanThread(uint32_t message) {
  const uint32_t result = scanThread_.PostMessageSynchronously(message);
  // Close marks the session closed before it cuts the handler short, so a handler ended by the
  // close is seen here.
  if (job_.Closed()) RaiseError(CERR_INVALID_SESSION);
  return result;
}

bool SoapScanDevice::WaitForScanThreadToIdle() {
  try {
    scanThread_.WaitForIdle();
    return true;
  } catch (...) {
    return false;
  }
}

// The lock event is not reset before a park is requested: the release of the previous park
// may still be pending (the cancel thread signals idle before it starts waiting), and clearing
// it would keep the cancel thread parked for the whole park limit. Each park consumes exactly
// the one release of the caller that requested it.
void SoapScanDevice::LockCancelThreadOnceItsMessageQueueEmpties() {
  try {
    cancelThread_.WaitForIdle();
  } catch (...) {
    UnlockCancelThread();
    throw;
  }
}

void SoapScanDevice::UnlockCancelThread() {
  if (!cancelThreadLock_) return;
  try {
    cancelThreadLock_->Set();
  } catch (...) {
    RaiseError(CERR_UNKNOWN);
  }
}

void SoapScanDevice::PostCancel(uint32_t message) {
  {
    MutexLock guard(cancelsLock_);
    ++cancelsPending_;
  }
  try {
    cancelThread_.PostMessageAsynchronously(message);
  } catch (...) {
    CancelHandled();
    throw;
  }
}

void SoapScanDevice::CancelHandled() {
  {
    MutexLock guard(cancelsLock_);
    if (cancelsPending_ > 0) --cancelsPending_;
  }
  cancelsHandled_.notify_all();
}

bool SoapScanDevice::WaitForPostedCancels(uint32_t limitMs) {
  MutexUniqueLock guard(cancelsLock_);
  return cancelsHandled_.wait_for(guard.Native(), std::chrono::milliseconds(limitMs),
                                  [this]() REQUIRES(cancelsLock_) { return cancelsPending_ == 0; });
}

bool SoapScanDevice::WaitForPendingCancelsToFinish() {
  try {
    cancelThread_.WaitForIdle();
    UnlockCancelThread();
    return true;
  } catch (...) {
    error_.store(CERR_UNKNOWN);
    return false;
  }
}
