// The life of a scan: host-side operations (AdfReady, BeginScan, Read, EndScan, Reset,
// EjectAdfMedia) and the scan-thread and cancel-thread handlers they post to.
//
// The handlers that exchange messages with the device's scan service (job creation, page
// retrieval, status queries, job cancel) are not part of this build yet: they answer with
// CERR_NOT_IMPLEMENTED and signal their done event at once, so that a host never waits for
// them. The handlers that need no exchange (end of scan, reset, idle) are complete.
#include "device/IdleLockForCancelThread.h"
#include "device/SoapScanDevice.h"
#include "image/IScanDataSource.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/ResultHelpers.h"
#include "transport/ISoapIoProtocol.h"

// ---- Host side -------------------------------------------------------------------------------

bool SoapScanDevice::AdfReady(bool& ready) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::AdfReady");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  if (!WaitForScanThreadToIdle()) return Fail(CERR_UNKNOWN);
  error_.store(0);
  try {
    scanThread_.PostMessageSynchronously(AdfStatusQuery);
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  if (error_.load() != 0) return LogErrorText("Could not complete ADF status query");
  ready = adfLoaded_.load();
  return true;
}

bool SoapScanDevice::BeginScan() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::BeginScan");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  try {
    DoAsynchronousScan();
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  bytesRead_.store(0);
  return true;
}

void SoapScanDevice::DoAsynchronousScan() {
  switch (parameters_ ? parameters_->InputSource() : -1) {
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
  scanThread_.PostMessageSynchronously(SinglePageScan);
  if (const uint32_t error = error_.load()) RaiseError(error);
}

void SoapScanDevice::DoAsynchronousMultiPageScan() {
  IdleLockForCancelThread lock(*this);
  if (!WaitForScanThreadToIdle()) RaiseError(CERR_UNKNOWN);
  if (jobActive_.load()) {
    // The next page of the open job is fetched while the host reads.
    scanThread_.PostMessageAsynchronously(MultiPageScan);
    return;
  }
  scanThread_.PostMessageSynchronously(MultiPageScan);
  if (const uint32_t error = error_.load()) RaiseError(error);
}

uint32_t SoapScanDevice::ScanSize() const {
  return parameters_ ? parameters_->BytesPerLine() * parameters_->Lines() : 0;
}

bool SoapScanDevice::OpenDataSource() {
  if (dataSource_->Open()) return true;
  return Fail(dataSource_->Canceled() ? dataSource_->GetCancelReason() : CERR_UNKNOWN);
}

bool SoapScanDevice::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Read");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  if (dataSource_->IsClosed() && !OpenDataSource()) return false;
  const uint32_t status = dataSource_->Read(buffer, size, bytesRead);
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
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  if (!dataSource_->Ended()) DoAsynchronousCancel(CERR_CANCEL_PRESSED);
  try {
    scanThread_.PostMessageAsynchronously(EndScanRequest);
  } catch (...) {
    return Fail(CERR_UNKNOWN);
  }
  return true;
}

bool SoapScanDevice::Reset() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::Reset");
  try {
    scanThread_.PostMessageAsynchronously(ResetRequest);
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  return true;
}

void SoapScanDevice::DoAsynchronousCancel(uint32_t reason) {
  LogText("Canceling scan because:");
  LogErrorCode(reason);
  try {
    cancelThread_.PostMessageAsynchronously(DriverAndDeviceCancel);
  } catch (...) {
    LogText("Error: PostThreadMessage() failed unexpectedly");
  }
}

bool SoapScanDevice::EjectAdfMedia() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::EjectAdfMedia");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  if (!WaitForPendingCancelsToFinish()) return false;
  error_.store(0);
  try {
    scanThread_.PostMessageSynchronously(JobStatusQuery);
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  if (const uint32_t error = error_.load()) {
    LogErrorCode(error);
    return false;
  }
  switch (jobStatus_.JobState) {
    case wscn__JobStateType__Aborted:
    case wscn__JobStateType__Canceled:
    case wscn__JobStateType__Completed:
    case wscn__JobStateType__Terminating:
      return true;  // the job is over
    default:
      break;
  }
  try {
    cancelThread_.PostMessageAsynchronously(DeviceCancel);
  } catch (...) {
    return LogErrorText("PostThreadMessage() failed unexpectedly");
  }
  return true;
}

// ---- Scan thread -------------------------------------------------------------------------------

void SoapScanDevice::ReportJobFlowUnavailable(DoneEvent& done, const char* what) {
  LogErrorText(what);
  error_.store(LogErrorCode(CERR_NOT_IMPLEMENTED));
  if (done && !done.Signal()) LogErrorText("Could not signal done event");
}

void SoapScanDevice::DoSinglePageScan(DoneEvent done) {
  ReportJobFlowUnavailable(done, "single-page scan is not available in this build");
}

void SoapScanDevice::DoMultiPageScan(DoneEvent done) {
  ReportJobFlowUnavailable(done, "multi-page scan is not available in this build");
}

void SoapScanDevice::DoAdfStatusQuery(DoneEvent done) {
  ReportJobFlowUnavailable(done, "ADF status query is not available in this build");
}

void SoapScanDevice::DoJobStatusQuery(DoneEvent done) {
  ReportJobFlowUnavailable(done, "job status query is not available in this build");
}

void SoapScanDevice::DoSerializedDeviceCancel() {
  // The CancelJob exchange is not part of this build: the job counts as ended for the driver.
  LogText("Warning! CancelScanOnConnectionlessDevice() failed unexpectedly");
  jobActive_.store(false);
}

void SoapScanDevice::DoEndScan() {
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
  jobActive_.store(false);
  adfLoaded_.store(false);
  jobId_.store(0);
  jobToken_.store(nullptr);
  multiPageFlow_.store(true);
  error_.store(0);
  if (!dataSource_->IsClosed()) dataSource_->Close();
  protocol_->Reset();
}

// ---- Cancel thread -----------------------------------------------------------------------------

void SoapScanDevice::DoDriverAndDeviceCancel(struct soap* cancelContext) {
  // The software half: wake the host's blocked read with the reason.
  if (!dataSource_->Cancel(CERR_CANCEL_PRESSED)) {
    LogText("Job already canceled; disregarding cancel request");
    return;
  }
  protocol_->Cancel();
  DoDeviceCancel(cancelContext);
}

void SoapScanDevice::DoDeviceCancel(struct soap*) {
  if (protocol_->IsConnectionless()) {
    try {
      scanThread_.PostMessageAsynchronously(SerializedDeviceCancel);
    } catch (...) {
      LogText("Warning! PostMessageAsynchronously() failed unexpectedly");
    }
    return;
  }
  // The CancelJob exchange is not part of this build: the job counts as ended for the driver.
  LogText("Warning: Couldn't cancel scan on device");
  jobActive_.store(false);
}
