// The life of a scan: the host-side operations (AdfReady, BeginScan, Read, EndScan, Reset) and
// the scan-thread routines they post to, which create the job, fetch each page with a
// RetrieveImage exchange whose attachment streams into the data source while the host reads,
// learn the pad lines the firmware added, and finish an ADF job when the feeder runs empty.
// Every exchange here runs on the scan context, in message order on the scan thread.
#include <new>
#include <stdsoap2.h>

#include "device/DiscardedImageProbe.h"
#include "device/IdleLockForCancelThread.h"
#include "device/SoapScanDevice.h"
#include "image/IScanDataSource.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/ResultHelpers.h"
#include "transport/ISoapIoProtocol.h"
#include "service/ExchangeStatus.h"
#include "transport/RpcRetry.h"

// ---- Host side -------------------------------------------------------------------------------

bool SoapScanDevice::AdfReady(bool& ready) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::AdfReady");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  if (!WaitForScanThreadToIdle()) return Fail(CERR_UNKNOWN);
  error_.store(0);
  uint32_t result = 0;
  try {
    result = AskScanThread(AdfStatusQuery);
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  if (result != 0) {
    error_.store(result);
    return LogErrorText("Could not complete ADF status query");
  }
  ready = adfLoaded_.load();
  return true;
}

bool SoapScanDevice::BeginScan() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::BeginScan");
  if (!initialized_.load() || job_.Closed()) return Fail(CERR_INVALID_SESSION);
  if (!TakeDeferredFailure()) {
    job_.noPageReason.store(error_.load());
    return false;
  }
  try {
    DoAsynchronousScan();
  } catch (...) {
    const uint32_t code = ErrorCodeFromCurrentException();
    Fail(code);
    // A read that follows learns at once why no page comes.
    job_.noPageReason.store(job_.Closed() ? CERR_INVALID_SESSION : code);
    return false;
  }
  bytesRead_.store(0);
  job_.noPageReason.store(0);
  return true;
}

void SoapScanDevice::DoAsynchronousScan() {
  std::shared_ptr<const ScanParameters> parameters = Parameters();
  switch (parameters ? parameters->InputSource() : -1) {
    case kInputSourceAdf:
    case kInputSourceAdfDuplex:
      DoAsynchronousMultiPageScan();
      break;
    case kInputSourcePlaten:
      DoAsynchronousSinglePageScan();
      break;
    default:
      RaiseError(CERR_UNKNOWN);
  }
}

void SoapScanDevice::DoAsynchronousSinglePageScan() {
  if (const uint32_t error = AskScanThread(SinglePageScan)) RaiseError(error);
}

void SoapScanDevice::DoAsynchronousMultiPageScan() {
  // The end of the previous page is finished first: its DoEndScan waits for the cancel thread
  // to answer an idle request, which a cancel thread parked by the lock below could not do
  // until the lock's time limit (a host that ends a page and begins the next at once would
  // wait that long and fail).
  if (!WaitForScanThreadToIdle()) RaiseError(CERR_UNKNOWN);
  // Every posted cancel has run and the cancel thread stays parked: no cancel can come between
  // the job's creation and the flag that records it.
  IdleLockForCancelThread lock(*this);
  if (!WaitForScanThreadToIdle()) RaiseError(CERR_UNKNOWN);
  if (job_.JobActive()) {
    // The next page of the open job is fetched while the host reads.
    scanThread_.PostMessageAsynchronously(MultiPageScan);
    return;
  }
  if (const uint32_t error = AskScanThread(MultiPageScan)) RaiseError(error);
}

uint64_t SoapScanDevice::PageCapacity() const {
  // As the data source sizes the page's mapping: the page and a tenth.
  return static_cast<uint64_t>(ScanSize()) * 11 / 10;
}

uint32_t SoapScanDevice::ScanSize() const {
  std::shared_ptr<const ScanParameters> job = JobParameters();
  return job ? job->BytesPerLine() * job->Lines() : 0;
}

bool SoapScanDevice::OpenDataSource() {
  if (dataSource_->Open()) return true;
  if (dataSource_->Canceled()) return Fail(dataSource_->GetCancelReason());
  // The end of the scan closes the page and takes the cancel back, possibly before this
  // reader, woken by that cancel, looked: the reason the scan ended was recorded first.
  const uint32_t reason = job_.noPageReason.load();
  return Fail(reason != 0 ? reason : CERR_UNKNOWN);
}

bool SoapScanDevice::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Read");
  if (!initialized_.load() || job_.Closed()) return Fail(CERR_INVALID_SESSION);
  // No page will come (no scan started, the scan was refused or ended): nothing to wait for.
  if (const uint32_t reason = job_.noPageReason.load()) return Fail(reason);
  if (dataSource_->IsClosed() && !OpenDataSource()) return false;
  uint32_t status = dataSource_->Read(buffer, size, bytesRead);
  if (status == CERR_UNKNOWN && dataSource_->Canceled() && !job_.Closed()) {
    // The data source failed the page itself (a JPEG that broke off, for example): the scan
    // thread's judgement of the exchange (the job's state on the device) names the cause.
    if (WaitForScanThreadToIdle() && job_.pageFailure.load() != 0) status = job_.pageFailure.load();
  }
  if (status != CERR_NONE && status != CERR_SCANNER_END_OF_PAGE) return Fail(status);
  bytesRead_ += bytesRead;
  LogNamedValue("bytesRead_", static_cast<int>(bytesRead_.load()));
  if (bytesRead_.load() == ScanSize() || status == CERR_SCANNER_END_OF_PAGE) {
    // The page is complete: let the scan thread finish it (pad lines included) first.
    if (!WaitForScanThreadToIdle()) return Fail(CERR_UNKNOWN);
    if (error_.load() != 0) return LogErrorText("Scan did not succeed");
    if (status == CERR_SCANNER_END_OF_PAGE) error_.store(CERR_SCANNER_END_OF_PAGE);
  }
  return true;
}

bool SoapScanDevice::EndScan() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::EndScan");
  if (!initialized_.load() || job_.Closed()) return Fail(CERR_INVALID_SESSION);
  job_.noPageReason.store(CERR_CANCEL_PRESSED);
  if (!dataSource_->Ended()) DoAsynchronousCancel(CERR_CANCEL_PRESSED);
  try {
    scanThread_.PostMessageAsynchronously(EndScanRequest);
  } catch (...) {
    return Fail(CERR_UNKNOWN);
  }
  return TakeDeferredFailure();
}

bool SoapScanDevice::Reset() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Reset");
  if (!job_.Closed()) job_.noPageReason.store(CERR_INVALID_PARAMETER);
  job_.deferredFailure.store(0);
  try {
    scanThread_.PostMessageAsynchronously(ResetRequest);
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  return true;
}

// ---- Scan thread: exchanges -------------------------------------------------------------------

int SoapScanDevice::CallRpc(Rpc routine) {
  // A closed session starts no further exchange: the handler in progress ends quickly.
  if (job_.Closed()) return SOAP_TCP_ERROR;
  return RpcRetry::Call(protocol_.get(), [this, routine] { return ExchangeOutcome((this->*routine)()); });
}

int SoapScanDevice::CacheScanId() {
  wscn__ScanElements elements;
  const int status = GetScannerElements(elements);
  if (status != SOAP_OK) {
    LogText("Error: soap_call_wscn__GetScannerElements() failed unexpectedly");
    return status;
  }
  const char* identifier = elements.ScannerStatus.ScanToStatus.ScanIdentifier;
  try {
    scanIdentifier_.assign(identifier ? identifier : "");
  } catch (...) {
    LogText("Error: string operation failed");
    return kExchangeNotCompleted;
  }
  if (identifier) LogText("ScanTo in effect");
  return SOAP_OK;
}

int SoapScanDevice::CreateScanJob() {
  wscn__ScanTicketType ticket;
  std::shared_ptr<const ScanParameters> job = JobParameters();
  InitScanTicket(ticket, job ? *job : ScanParameters::DefaultParameters());
  if (!protocol_->Flush()) return kExchangeNotCompleted;
  wscn__CreateScanJobResponseType response;
  const int status = soap_call_wscn__CreateScanJobRequest(
      scanContext_, protocol_->GetEndpoint(), nullptr, const_cast<char*>(scanIdentifier_.c_str()), nullptr,
      &ticket, &response);
  if (status == SOAP_OK) {
    jobId_.store(response.JobId);
    jobToken_.store(response.JobToken);  // owned by the scan context until its next clean-up
  }
  return status;
}

int SoapScanDevice::RetrieveImage() {
  protocol_->EnableCancelableIo(true);
  wscn__DocumentDescriptionType description;
  wscn__RetrieveImageResponseType response;
  scanGuard_.ExpectImage(PageCapacity());
  const int status = ExchangeOutcome(soap_call_wscn__RetrieveImageRequest(
      scanContext_, protocol_->GetEndpoint(), nullptr, jobId_.load(), const_cast<char*>(jobToken_.load()),
      &description, response));
  scanGuard_.ExpectControl();
  LogNamedValue("result", status);
  protocol_->EnableCancelableIo(false);
  return status;
}

int SoapScanDevice::RetrieveDiscardedImage() {
  // The data source throws a delivered attachment away, and in doing so ends the exchange with
  // an error of its own; whether an image came is learned from the attachment's arrival.
  DiscardedImageProbe probe(scanContext_);
  const int status = RetrieveImage();
  return probe.AttachmentArrived() ? SOAP_OK : status;
}

int SoapScanDevice::CachePadlinesAddedByFirmware() {
  wscn__PadInfoResponseType response;
  int status = soap_call_wscn__GetPreviousImagePadInfo(scanContext_, protocol_->GetEndpoint(), nullptr, &response);
  if (RpcNotImplemented(status)) {
    padlines_.store(0);
    return SOAP_OK;
  }
  padlines_.store(status == SOAP_OK && response.TotalPadLines > 0 ? static_cast<uint32_t>(response.TotalPadLines)
                                                                  : 0);
  if (status != SOAP_OK) RecordScanError(SoapErrorToDriverError(status));
  return status;
}

int SoapScanDevice::CacheAdfStatus() {
  wscn__ScanElements elements;
  const int status = GetScannerElements(elements);
  if (status == SOAP_OK) {
    adfLoaded_.store(elements.ScannerStatus.ScanToStatus.PaperInADF);
  } else {
    RecordScanError(SoapErrorToDriverError(status));
  }
  return status;
}

// ---- Scan thread: handlers -------------------------------------------------------------------

void SoapScanDevice::DoSinglePageScan(DoneEvent done) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoSinglePageScan");
  RecordScanError(0);
  SetupScanJob(done);
  if (scanError_ == 0) {
    ScanPage();
    job_.Apply(ScanJobState::Event::PlatenJobDone);
  }
}

void SoapScanDevice::DoMultiPageScan(DoneEvent done) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoMultiPageScan");
  RecordScanError(0);
  if (!job_.JobActive()) SetupScanJob(done);
  if (scanError_ != 0) return;
  if (ScanPage()) {
    CallRpc(&SoapScanDevice::CacheAdfStatus);
    if (!adfLoaded_.load()) EndAdfJob();
  } else {
    LogText("ScanPage() failed");
  }
}

void SoapScanDevice::SetupScanJob(DoneEvent& done) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::SetupScanJob");
  // A new job: the answers of earlier exchanges (the last job's token among them) are released.
  jobToken_.store(nullptr);
  soap_destroy(scanContext_);
  soap_end(scanContext_);
  // The job keeps the parameters it is created with, whatever the host sets meanwhile.
  std::shared_ptr<const ScanParameters> job;
  {
    MutexLock guard(parametersLock_);
    jobParameters_ = parameters_;
    job = jobParameters_;
  }
  if (!job) return HandleCacheScanIdError(kExchangeNotCompleted, done);

  int status = CallRpc(&SoapScanDevice::CacheScanId);
  if (status != SOAP_OK) return HandleCacheScanIdError(status, done);
  status = CallRpc(&SoapScanDevice::CacheScannerStateReason);
  if (status != SOAP_OK) return HandleCreateScanJobError(status, done);
  if (scannerStateReason_.load() == wscn__ScannerStateReasonsType__MediaJam) {
    return HandleCreateScanJobError(SOAP_OK, done);
  }
  status = CallRpc(&SoapScanDevice::CreateScanJob);
  if (SoapErrorToDriverError(status) == CERR_NET_SOCKET_BUSY) {
    // Not accepting jobs yet: once the scanner is idle the job is asked for once more.
    const int idle = WaitForScannerToIdle();
    if (idle != SOAP_OK) return HandleWaitForScannerToIdleError(idle, done);
    status = CallRpc(&SoapScanDevice::CreateScanJob);
  }
  if (status != SOAP_OK) return HandleCreateScanJobError(status, done);

  job_.Apply(ScanJobState::Event::JobCreated);
  if (done && !done.Signal(0)) {
    LogErrorText("Could not signal done event");
    CancelSoftware(CERR_UNKNOWN);
    job_.Apply(ScanJobState::Event::SetUpAbandoned);
    RecordScanError(CERR_UNKNOWN);
  }
  // The host may already be reading; the page's write end opens only with the first image bytes.
  dataSource_->SetMaxStreamLength(job->BytesPerLine() * job->Lines());
  dataSource_->SetExpectCompressed(job->ExpectCompressed());
  dataSource_->SetExpectOneBit(job->ExpectOneBit());
}

bool SoapScanDevice::ScanPage() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::ScanPage");
  job_.pageFailure.store(0);
  job_.Apply(ScanJobState::Event::PageStarted);
  std::shared_ptr<const ScanParameters> job = JobParameters();
  dataSource_->SetBytesPerLine(job ? job->BytesPerLine() : 0);
  dataSource_->SetPixelsPerLine(job ? job->PixelsPerLine() : 0);
  const int status = CallRpc(&SoapScanDevice::RetrieveImage);
  if (!HandleRetrieveImageResult(status)) return LogErrorText("RetrieveImage() did not succeed");
  CallRpc(&SoapScanDevice::CachePadlinesAddedByFirmware);
  if (const uint32_t error = scanError_) {
    CHRESULT2 failure(GetGlobalLog(), "SoapScanDevice::RetrieveImageError");
    FailPage(error);
    job_.Apply(ScanJobState::Event::PageFailed);
    return LogErrorText("Unable to query device for padline count");
  }
  if (dataSource_->SetNumberOfTrailingPadlines(padlines_.load())) {
    job_.Apply(ScanJobState::Event::PageDelivered);
    return true;
  }
  CHRESULT2 failure(GetGlobalLog(), "SoapScanDevice::RetrieveImageError");
  FailPage(CERR_UNKNOWN);
  job_.Apply(ScanJobState::Event::PageFailed);
  return LogErrorText("Unable to set number of trailing padlines");
}

void SoapScanDevice::EndAdfJob() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::EndAdfJob");
  job_.Apply(ScanJobState::Event::FeederEmpty);
  dataSource_->SetDiscardData(true);
  const int status = CallRpc(&SoapScanDevice::RetrieveDiscardedImage);
  dataSource_->SetDiscardData(false);
  job_.Apply(ScanJobState::Event::FeederJobEnded);
  if (status != SOAP_OK) {
    // A refusal for lack of images, with no job active, is the expected end. Any other failure
    // leaves the page before, delivered whole, to the host that may still be reading it.
    HandleRetrieveImageResult(status, dataSource_->Ended());
    return;
  }
  LogText("The ADF has been reloaded since we last queried the device.");
  LogText("This scenario should be rare.");
  LogText("If you see it frequently, consider it to be a bug.");
  if (dataSource_->Ended()) {
    // The page before was delivered whole and the host may still be reading it: only the job
    // on the device is ended, the page stays readable.
    DoDeviceCancel(scanContext_);
  } else {
    DoSynchronousCancel(CERR_CANCEL_PRESSED);
  }
}

void SoapScanDevice::DoAdfStatusQuery(DoneEvent done) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoAdfStatusQuery");
  scanError_ = 0;
  CallRpc(&SoapScanDevice::CacheAdfStatus);
  if (!done.Signal(scanError_)) LogErrorText("Could not signal adf query done event");
}

void SoapScanDevice::DoEndScan() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoEndScan");
  try {
    LockCancelThreadOnceItsMessageQueueEmpties();
  } catch (...) {
    LogText("Error: WaitForIdle() failed unexpectedly");
  }
  dataSource_->Close();
  protocol_->Flush();
  protocol_->Reset();
  try {
    UnlockCancelThread();
  } catch (...) {
    LogText("Error: Post() failed unexpectedly");
  }
}

void SoapScanDevice::DoReset() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoReset");
  job_.Apply(ScanJobState::Event::Reset);
  adfLoaded_.store(false);
  jobId_.store(0);
  jobToken_.store(nullptr);
  multiPageFlow_.store(true);
  RecordScanError(0);
  if (!dataSource_->IsClosed()) dataSource_->Close();
  protocol_->Reset();
}
