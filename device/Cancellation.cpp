// Ending a scan early. A cancel has two halves, always in this order: the software half
// (CancelSoftware) cancels the page in the data source, which wakes the host's blocked read
// with the reason, and interrupts a cancelable transport read; the device half sends CancelJob
// for the current job. A connection-oriented transport (network) carries the CancelJob at once
// on the cancelling thread's own context; a connectionless one (USB) queues it to the scan
// thread behind the exchange in progress and flushes the pipe after it.
#include <chrono>
#include <stdsoap2.h>
#include <string>
#include <thread>

#include "device/SoapScanDevice.h"
#include "image/IScanDataSource.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/ResultHelpers.h"
#include "platform/TimeLimits.h"
#include "service/ServiceFault.h"
#include "transport/ISoapIoProtocol.h"

namespace {

// A connection-oriented cancel is repeated while the device does not know the job yet.
constexpr int kCancelAttempts = 11;
constexpr const char* kJobIdNotFound = "wscn:ClientErrorJobIdNotFound";

// Inside a catch handler of a failed post to a worker thread: what failed on Linux. A queue
// refuses messages when its thread has ended (or never started); the other failure is a lack
// of memory.
ScanError PostFailure() {
  const ScanError error = ErrorFromCurrentException();
  if (error.Code() != CERR_UNKNOWN) return error;
  return ScanError::Failed(CERR_UNKNOWN, "the thread has ended: its message queue takes no messages");
}

}  // namespace

bool SoapScanDevice::CancelSoftware(uint32_t reason) {
  if (!dataSource_->Cancel(reason)) return false;  // cancelled by the driver already
  protocol_->Cancel();
  return true;
}

void SoapScanDevice::DoAsynchronousCancel(uint32_t reason) {
  LogText("Canceling scan because:");
  LogErrorCode(reason);
  try {
    // The cancel thread always cancels with CERR_CANCEL_PRESSED.
    PostCancel(DriverAndDeviceCancel);
  } catch (...) {
    LogTextWith("Error: PostThreadMessage() failed unexpectedly", PostFailure().Text().c_str());
  }
}

void SoapScanDevice::DoDriverAndDeviceCancel(struct soap* cancelContext) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoDriverAndDeviceCancel");
  if (CancelSoftware(CERR_CANCEL_PRESSED)) {
    DoDeviceCancel(cancelContext);
  } else if (job_.closeTookCancel.exchange(false) && jobId_.load() != 0) {
    // The session's close woke the reader before this cancel ran; the job on the device
    // still has to end.
    DoDeviceCancel(cancelContext);
  } else {
    LogText("Job already canceled; disregarding cancel request");
  }
}

void SoapScanDevice::DoSynchronousCancel(uint32_t reason) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoSynchronousCancel");
  if (!CancelSoftware(reason)) LogText("Job already canceled; disregarding current cancel request");
  DoDeviceCancel(scanContext_);
}

void SoapScanDevice::DoDeviceCancel(struct soap* context) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoDeviceCancel");
  if (protocol_->IsConnectionless()) {
    try {
      scanThread_.PostMessageAsynchronously(SerializedDeviceCancel);
    } catch (...) {
      LogText("Warning! PostMessageAsynchronously() failed unexpectedly");
    }
    return;
  }
  if (!CancelScanOnConnectionOrientedDevice(context)) LogText("Warning: Couldn't cancel scan on device");
  job_.Apply(ScanJobState::Event::DeviceCancelled);
}

void SoapScanDevice::DoSerializedDeviceCancel() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoSerializedDeviceCancel");
  if (!CancelScanOnConnectionlessDevice()) LogText("Warning! CancelScanOnConnectionlessDevice() failed unexpectedly");
  job_.Apply(ScanJobState::Event::DeviceCancelled);
}

bool SoapScanDevice::CancelScanOnConnectionlessDevice() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::CancelScanOnConnectionlessDevice");
  wscn__CancelRequestResponseType response;
  // The answer is not examined: the flush that follows drains whatever the device still sends.
  soap_call_wscn__CancelJobRequest(scanContext_, protocol_->GetEndpoint(), nullptr, jobId_.load(), &response);
  if (protocol_->Flush()) return true;
  return LogErrorText("Flush() failed unexpectedly");
}

bool SoapScanDevice::CancelScanOnConnectionOrientedDevice(struct soap* context) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::CancelScanOnConnectionOrientedDevice");
  // The endpoint of the protocol that carries this context: the twin on the cancel context,
  // the installed protocol (which follows a rediscovered address) on the scan context.
  ISoapIoProtocol* protocol = context == scanContext_ ? protocol_.get() : cancelProtocol_.load();
  if (!context || !protocol) return LogErrorText("No protocol for the cancel's context");
  // The cancel context's answers are released after each attempt; the scan context's live on
  // with the job (its token among them).
  const bool ownContext = context != scanContext_;
  for (int attempts = 0;;) {
    wscn__CancelRequestResponseType response;
    const int status = soap_call_wscn__CancelJobRequest(context, protocol->GetEndpoint(), nullptr, jobId_.load(),
                                                        &response);
    if (status == SOAP_OK) {
      if (ownContext) {
        soap_destroy(context);
        soap_end(context);
      }
      return true;
    }
    if (!context->fault) return LogErrorText("Missing fault");
    std::string subcode;
    try {
      // A fault without a subcode reads as an empty subcode, which is not "job id not found".
      const char* text = ServiceFault::Subcode(context);
      subcode.assign(text ? text : "");
    } catch (...) {
      return LogErrorText("Failed to obtain fault info");
    }
    if (ownContext) {
      soap_destroy(context);
      soap_end(context);
    }
    if (subcode != kJobIdNotFound) return LogErrorText("CancelJobRequest() failed unexpectedly");
    std::this_thread::sleep_for(std::chrono::milliseconds(TimeLimits::Instance().cancelRetryMs.load()));
    if (++attempts >= kCancelAttempts) return LogErrorText("Failed to cancel scan before retry expiration");
  }
}

bool SoapScanDevice::EjectAdfMedia() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::EjectAdfMedia");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  if (!WaitForPendingCancelsToFinish()) return false;
  error_.store(0);
  uint32_t result = 0;
  try {
    result = AskScanThread(JobStatusQuery);
  } catch (...) {
    return Fail(ErrorCodeFromCurrentException());
  }
  if (result != 0) {
    error_.store(result);
    LogErrorCode(result);
    return false;
  }
  switch (JobStatus().JobState) {
    case wscn__JobStateType__Aborted:
    case wscn__JobStateType__Canceled:
    case wscn__JobStateType__Completed:
    case wscn__JobStateType__Terminating:
      return true;  // the job is over
    default:
      break;
  }
  try {
    // Ejecting the media is this job cancel; nothing else is sent to the device.
    PostCancel(DeviceCancel);
  } catch (...) {
    return LogErrorTextWith("PostThreadMessage() failed unexpectedly", PostFailure().Text().c_str());
  }
  return true;
}

void SoapScanDevice::DoJobStatusQuery(DoneEvent done) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::DoJobStatusQuery");
  scanError_ = 0;
  CallRpc(&SoapScanDevice::CacheJobStatus);
  if (!done.Signal(scanError_)) LogErrorText("Could not signal job query done");
}
