// Turns the scan service's answers into the driver's error codes and log texts: the mapping of
// SOAP statuses and fault subcodes, the judgement whether a RetrieveImage delivered its page,
// the reaction to a refused CreateScanJob, the wait for an idle scanner, and the caches of
// scanner and job status. Everything here runs on the scan thread and reads the scan context;
// it reports through the recorded scan error (RecordScanError) and its result and never throws.
#include <chrono>
#include <cstring>
#include <new>
#include <stdsoap2.h>
#include <string>
#include <thread>

#include "device/SoapScanDevice.h"
#include "image/IScanDataSource.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/LogLevels.h"
#include "platform/TimeLimits.h"
#include "service/ExchangeStatus.h"
#include "service/ServiceFault.h"
#include "transport/ISoapIoProtocol.h"

namespace {

constexpr int kTcpError = SOAP_TCP_ERROR;             // 28
constexpr int kHttpError = SOAP_HTTP_ERROR;           // 29
constexpr int kOutOfMemory = SOAP_EOM;                // 20
constexpr int kIdleRounds = 16;

constexpr const char* kJobIdNotFound = "wscn:ClientErrorJobIdNotFound";
constexpr const char* kNoImagesAvailable = "wscn:ClientErrorNoImagesAvailable";
constexpr const char* kNoSoapFault = "No SOAP Fault";

// Statuses mapped without looking at the fault.
struct StatusCode {
  int status;
  uint32_t code;
};
constexpr StatusCode kStatusCodes[] = {
    {SOAP_OK, CERR_NONE},
    {kOutOfMemory, CERR_OUT_OF_MEMORY},
    {kTcpError, CERR_SCANNER_COMMUNICATION_FAILED},
    {kHttpError, CERR_SCANNER_COMMUNICATION_FAILED},
    {kExchangeScannerNotIdle, CERR_NET_SOCKET_BUSY},
    {kExchangeNotCompleted, CERR_UNKNOWN},
    {kExchangeTimedOut, CERR_SCANNER_COMMUNICATION_FAILED},
    {kExchangeTooLarge, CERR_SCANNER_COMMUNICATION_FAILED},
    {kExchangeAborted, CERR_SCANNER_COMMUNICATION_FAILED},
};

// Fault subcodes with a code of their own, in the order they are tried; any other: unknown.
struct SubcodeCode {
  const char* subcode;
  uint32_t code;
};
constexpr SubcodeCode kSubcodeCodes[] = {
    {"wscn:ClientErrorJobCancelled", CERR_CANCEL_PRESSED},
    {kNoImagesAvailable, CERR_ADF_EMPTY},
    {"wscn:ServerErrorTemporaryError", CERR_UNKNOWN},
    {"wscn:ServerErrorNotAcceptingJobs", CERR_NET_SOCKET_BUSY},
};

// Subcodes of a request whose arguments the device rejected, in the order they are tried.
constexpr const char* kBadArgsSubcodes[] = {
    kJobIdNotFound,
    "wscn:ClientErrorInvalidJobToken",
    "wscn:ClientErrorInvalidScanIdentifier",
    "wscn:ClientErrorInvalidArgs",
};

// The names the device logs for a job's state and its reason.
constexpr const char* kJobStateNames[] = {"Aborted",    "Canceled", "Completed", "Creating",    "Pending",
                                          "Pending Held", "Processing", "Started", "Terminating", "Unknown_"};
constexpr const char* kJobStateReasonNames[] = {
    "InvalidScanTicket", "DocumentFormatError", "ImageTransferError", "JobCanceledAtDevice",
    "JobCompletedSuccessfully", "JobScanning", "JobScanningAndTransferring", "JobTimedOut",
    "JobTransferring", "None", "ScannerStopped", "MediaMispick", "MediaJam", "CoverOpen",
    "InternalStorageFull"};
constexpr const char* kNotAValidJobState = "not a valid JobState";

template <size_t N>
const char* NameOf(const char* const (&names)[N], int value) {
  return value >= 0 && static_cast<size_t>(value) < N ? names[value] : kNotAValidJobState;
}

void LogInfo(const char* format, const char* text) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_INFO_MSG, format, text ? text : "");
}

}  // namespace

// ---- Statuses and faults ---------------------------------------------------------------------

uint32_t SoapScanDevice::SoapErrorToDriverError(int status) {
  status = ExchangeOutcome(status);
  if (status != SOAP_OK) LogSoapError();
  uint32_t code = CERR_UNKNOWN;
  bool mapped = false;
  for (const StatusCode& entry : kStatusCodes) {
    if (entry.status == status) {
      code = entry.code;
      mapped = true;
      break;
    }
  }
  if (!mapped) {
    const std::string subcode = LastSoapFault(status);
    for (const SubcodeCode& entry : kSubcodeCodes) {
      if (subcode == entry.subcode) {
        code = entry.code;
        break;
      }
    }
  }
  return LogErrorCode(code);
}

void SoapScanDevice::LogSoapError() {
  struct soap* soap = scanContext_;
  if (!soap) return;
  if (!ServiceFault::Code(soap)) soap_set_fault(soap);
  LogText("SOAP FAULT: ");
  for (const char* part : {ServiceFault::Code(soap), ServiceFault::Reason(soap), ServiceFault::Detail(soap),
                           ServiceFault::Subcode(soap)}) {
    if (part) LogInfo("%s", part);
  }
}

std::string SoapScanDevice::LastSoapFault(int status) {
  const bool faultStatus = status == SOAP_CLI_FAULT || status == SOAP_SVR_FAULT || status == SOAP_FAULT;
  if (!faultStatus || !scanContext_ || !scanContext_->fault) return kNoSoapFault;
  try {
    // A fault without a subcode reads as an empty subcode.
    const char* subcode = ServiceFault::Subcode(scanContext_);
    std::string text(subcode ? subcode : "");
    lastSoapFault_ = text;
    LogText(text.c_str());
    return text;
  } catch (...) {
    LogInfo("Error: exception thrown while creating SOAP fault subcode string. Defaulting to last result of %s",
            lastSoapFault_.c_str());
    return lastSoapFault_;
  }
}

bool SoapScanDevice::SoapFaultDueToBadArgs(int status) {
  for (const char* subcode : kBadArgsSubcodes) {
    if (LastSoapFault(status) == subcode) return true;
  }
  return false;
}

bool SoapScanDevice::ImagesAbsentButExpected(int status) {
  return job_.JobActive() && LastSoapFault(status) == kNoImagesAvailable;
}

bool SoapScanDevice::ImagesAbsentAsExpected(int status) {
  return !job_.JobActive() && LastSoapFault(status) == kNoImagesAvailable;
}

bool SoapScanDevice::RpcNotImplemented(int status) {
  if (status != SOAP_CLI_FAULT) return false;
  const char* reason = ServiceFault::Reason(scanContext_);
  return reason && std::strstr(reason, "not implemented") != nullptr;
}

bool SoapScanDevice::JobStateIndicatesScanFailed() const {
  const int state = JobStatus().JobState;
  return state == wscn__JobStateType__Aborted || state == wscn__JobStateType__Terminating;
}

wscn__JobSummaryType SoapScanDevice::JobStatus() const {
  MutexLock guard(jobStatusLock_);
  return jobStatus_;
}

// ---- Result of a page's RetrieveImage ---------------------------------------------------------

bool SoapScanDevice::HandleRetrieveImageResult(int status, bool pageEnded) {
  // The checks in order; the first that applies decides. A row without text accepts the page.
  // kNoCancel: the page is cancelled already; kRecordedError: the code the scan thread recorded.
  // The host's cancel (and the close of the session) cancels with CERR_CANCEL_PRESSED; a page
  // the data source failed itself (another reason) is judged by the job's state on the device,
  // so that a cancel at the device reads the same for raw and JPEG pages.
  constexpr uint32_t kNoCancel = 0xFFFFFFFFu;
  constexpr uint32_t kRecordedError = 0xFFFFFFFEu;
  // The page's exchange as judged: its status and its fault subcode, read before the job-state
  // exchange of row 5 replaces the context's fault.
  struct Judged {
    int status;
    std::string subcode;
  };
  struct Row {
    bool (*applies)(SoapScanDevice& self, const Judged& judged);
    const char* text;
    uint32_t code;
  };
  static const Row kRows[] = {
      {[](SoapScanDevice&, const Judged& j) { return j.status == kTcpError || IsGuardStatus(j.status); },
       "Network connection failure",
       CERR_SCANNER_COMMUNICATION_FAILED},
      {[](SoapScanDevice& d, const Judged&) {
         return d.dataSource_->Canceled() && d.dataSource_->GetCancelReason() == CERR_CANCEL_PRESSED;
       },
       "User pressed cancel on host", kNoCancel},
      {[](SoapScanDevice& d, const Judged& j) { return d.SoapFaultDueToBadArgs(j.status); }, "Bad arguments to RetrieveImageRequest",
       CERR_UNKNOWN},
      {[](SoapScanDevice& d, const Judged& j) { return d.ImagesAbsentButExpected(j.status); }, "ADF empty", CERR_ADF_EMPTY},
      {[](SoapScanDevice& d, const Judged&) {
         d.CallRpc(&SoapScanDevice::CacheJobStatus);
         return d.scanError_ != 0;
       },
       "Could not cache job status", kRecordedError},
      {[](SoapScanDevice& d, const Judged&) { return d.JobStatus().JobState == wscn__JobStateType__Canceled; },
       "User pressed cancel on device", CERR_CANCEL_PRESSED},
      {[](SoapScanDevice& d, const Judged&) {
         std::shared_ptr<const ScanParameters> job = d.JobParameters();
         return job && job->InputSource() == kInputSourceAdf &&
                d.JobStatus().JobStateReasons == wscn__JobStateReasonsType__MediaMispick;
       },
       "ADF mispick", CERR_ADF_PICK_FAILED},
      {[](SoapScanDevice& d, const Judged&) { return d.JobStatus().JobStateReasons == wscn__JobStateReasonsType__MediaJam; },
       "ADF jam", CERR_ADF_JAMMED},
      {[](SoapScanDevice& d, const Judged&) { return d.JobStatus().JobStateReasons == wscn__JobStateReasonsType__CoverOpen; },
       "ADF cover open", CERR_ADF_HATCH_OPEN},
      {[](SoapScanDevice& d, const Judged&) {
         return d.JobStatus().JobStateReasons == wscn__JobStateReasonsType__InternalStorageFull;
       },
       "Scanner resource problem", CERR_NET_SOCKET_BUSY},
      {[](SoapScanDevice& d, const Judged&) { return d.JobStateIndicatesScanFailed(); },
       "Job state indicates scan ended without success", CERR_UNKNOWN},
      {[](SoapScanDevice& d, const Judged&) { return d.dataSource_->Canceled(); }, "Scan failed for unknown reasons",
       CERR_UNKNOWN},
      {[](SoapScanDevice& d, const Judged& j) {
         return (!d.job_.JobActive() && j.subcode == kNoImagesAvailable) || j.status == SOAP_OK;
       }, nullptr, CERR_NONE},
      {[](SoapScanDevice&, const Judged&) { return true; }, "Scan failed for unknown reasons", CERR_UNKNOWN},
  };
  const Judged judged{status, LastSoapFault(status)};
  const uint32_t errorBefore = error_.load();
  const uint32_t scanErrorBefore = scanError_;
  for (const Row& row : kRows) {
    if (!row.applies(*this, judged)) continue;
    if (!row.text) return true;
    CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::RetrieveImageError");
    const uint32_t code = row.code == kRecordedError ? scanError_ : row.code;
    job_.Apply(ScanJobState::Event::PageFailed);
    if (pageEnded && row.code != kNoCancel) {
      // The closing exchange of a feeder job failed after a whole page: the host reads that page
      // to its end, and the failure is reported by its next call instead.
      job_.deferredFailure.store(code);
      scanError_ = scanErrorBefore;
      error_.store(errorBefore);
      return LogErrorText(row.text);
    }
    if (row.code != kNoCancel) FailPage(code);
    return LogErrorText(row.text);
  }
  return false;
}

void SoapScanDevice::FailPage(uint32_t code) {
  job_.pageFailure.store(code);
  CancelSoftware(code);
}

// ---- Refused job creation ----------------------------------------------------------------------

void SoapScanDevice::HandleCreateScanJobError(int status, DoneEvent& done) {
  if (status == kTcpError) {
    CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::CreateScanJobError");
    RecordScanError(LogErrorCode(CERR_SCANNER_COMMUNICATION_FAILED));
    if (!done.Signal(scanError_)) LogErrorText("Could not signal done event");
    LogText("Could not connect");
    return;
  }
  // The refusal's own code is read now: the state query below replaces the fault that the
  // context holds, and the code must come from the refused exchange, not from the query.
  const uint32_t original = SoapErrorToDriverError(status);
  CallRpc(&SoapScanDevice::CacheScannerStateReason);
  if (scanError_ != 0) {
    RecordScanError(LogErrorCode(original));
    if (!done.Signal(scanError_)) LogErrorText("Could not signal done event");
    LogText("Could not query scanner state, so reporting error based on original error code");
    return;
  }
  // By the scanner's state reason; kByStatus: the code of the refused exchange's status.
  constexpr uint32_t kByStatus = 0xFFFFFFFFu;
  struct Row {
    int reason;
    uint32_t code;
    const char* text;
    bool commonTail;  // through CreateScanJobError (with its scope)
  };
  static const Row kRows[] = {
      {wscn__ScannerStateReasonsType__AttentionRequired, CERR_NET_SOCKET_BUSY, "Attention required at scanner", true},
      {wscn__ScannerStateReasonsType__Calibrating, CERR_NET_SOCKET_BUSY, "Calibrating", true},
      {wscn__ScannerStateReasonsType__CoverOpen, CERR_ADF_HATCH_OPEN, "ADF cover open", false},
      {wscn__ScannerStateReasonsType__MediaJam, CERR_ADF_JAMMED, "ADF jammed", false},
      {wscn__ScannerStateReasonsType__Busy, CERR_NET_SOCKET_BUSY, "Scanner busy", true},
  };
  static const Row kOther = {-1, kByStatus, "Unknown error", true};
  const int reason = scannerStateReason_.load();
  const Row* row = &kOther;
  for (const Row& candidate : kRows) {
    if (candidate.reason == reason) row = &candidate;
  }
  uint32_t code = row->code == kByStatus ? original : row->code;
  // The job was not created: a refusal whose status maps to no error (a jam that cleared
  // between the two queries) must not let the host believe the scan started.
  if (code == CERR_NONE) code = CERR_UNKNOWN;
  if (row->commonTail) return CreateScanJobError(done, code, row->text);
  RecordScanError(LogErrorCode(code));
  if (!done.Signal(scanError_)) LogErrorText("Could not signal done event");
  LogText(row->text);
}

void SoapScanDevice::CreateScanJobError(DoneEvent& done, uint32_t code, const char* text) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::CreateScanJobError");
  RecordScanError(LogErrorCode(code));
  if (!done.Signal(scanError_)) LogErrorText("Could not signal done event");
  LogText(text);
}

void SoapScanDevice::HandleCacheScanIdError(int status, DoneEvent& done) {
  RecordScanError(SoapErrorToDriverError(status));
  if (!done.Signal(scanError_)) {
    LogText("Error: done event signal failed, so we can't wake up Cavix thread");
    LogText("Cavix thread will hang until timeout");
  }
}

void SoapScanDevice::HandleWaitForScannerToIdleError(int status, DoneEvent& done) {
  HandleCacheScanIdError(status, done);
}

// ---- Scanner and job caches -------------------------------------------------------------------

int SoapScanDevice::GetScannerElements(wscn__ScanElements& elements) {
  if (!protocol_->Flush()) {
    RecordScanError(CERR_UNKNOWN);
    return kExchangeNotCompleted;
  }
  const int status = soap_call_wscn__GetScannerElements(scanContext_, protocol_->GetEndpoint(), nullptr, &elements);
  RecordScanError(SoapErrorToDriverError(status));
  return status;
}

int SoapScanDevice::CacheScannerStateReason() {
  wscn__ScanElements elements;
  const int status = GetScannerElements(elements);
  if (status != SOAP_OK) {
    RecordScanError(SoapErrorToDriverError(status));
  } else {
    scannerStateReason_.store(elements.ScannerStatus.ScannerStateReason);
  }
  LogNamedValue("scannerStateReason_", scannerStateReason_.load());
  return status;
}

int SoapScanDevice::CacheScannerIdleStatus() {
  wscn__ScanElements elements;
  const int status = GetScannerElements(elements);
  if (status != SOAP_OK) {
    RecordScanError(SoapErrorToDriverError(status));
  } else {
    scannerIdle_.store(elements.ScannerStatus.ScannerState == wscn__ScannerStateType__Idle);
  }
  return status;
}

int SoapScanDevice::WaitForScannerToIdle() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::WaitForScannerToIdle");
  for (int round = 0; round < kIdleRounds; ++round) {
    const int status = CallRpc(&SoapScanDevice::CacheScannerIdleStatus);
    if (status != SOAP_OK) return status;
    if (scannerIdle_.load()) return SOAP_OK;
    std::this_thread::sleep_for(std::chrono::milliseconds(TimeLimits::Instance().scannerIdlePollMs.load()));
  }
  return kExchangeScannerNotIdle;
}

int SoapScanDevice::CacheJobStatus() {
  if (!protocol_->Flush()) {
    RecordScanError(CERR_SCANNER_COMMUNICATION_FAILED);
    return kExchangeNotCompleted;
  }
  wscn__JobSummaryType summary;
  const int status = soap_call_wscn__GetJobInfo(scanContext_, protocol_->GetEndpoint(), nullptr, jobId_.load(), &summary);
  if (status == SOAP_OK) {
    // Only the values are kept: the texts of the answer live in the scan context.
    MutexLock guard(jobStatusLock_);
    jobStatus_.JobId = summary.JobId;
    jobStatus_.JobState = summary.JobState;
    jobStatus_.JobStateReasons = summary.JobStateReasons;
    jobStatus_.ScansCompleted = summary.ScansCompleted;
  } else {
    RecordScanError(SoapErrorToDriverError(status));
  }
  if (CLog2* log = GetGlobalLog()) {
    const wscn__JobSummaryType current = JobStatus();
    const int state = current.JobState;
    const int reason = current.JobStateReasons;
    log->print(LOG_INFO_MSG, "job state %d (%s)", state, NameOf(kJobStateNames, state));
    log->print(LOG_INFO_MSG, "job state reason %d (%s)", reason, NameOf(kJobStateReasonNames, reason));
  }
  return status;
}
