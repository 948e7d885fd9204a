// Fuzzes the generated client calls with what a device answers: the input is one selector byte
// that picks the operation (its low seven bits modulo 6, in the order of kOperations) followed by
// the device's whole HTTP response (status line, headers, body). With the selector's top bit set
// the call runs under the module's exchange bounds (ExchangeGuard: response size limit and text
// caps; RetrieveImage as an image exchange of a small page). The context's transport hooks send into
// nothing and receive from the input, so each call runs exactly as against a device, from the
// HTTP reader through the envelope, the fault reader and the response's serializers.
//
// Checks beyond the sanitizers: the status's name and the fault's parts (which may be
// missing: a Fault element without a code is still a fault) are strings that end, and an answer
// read as a success holds arrays whose counts match their storage and strings that end (every
// byte of them is touched). Under the bounds, a success read no more than the response limit
// and kept no text longer than the text cap, and a failure the bounds caused reads as the
// guard's status.
#include <fcntl.h>
#include <stdsoap2.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "service/ServiceContext.h"
#include "service/ServiceFault.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"
#include "transport/ExchangeGuard.h"

namespace {

const char kEndpoint[] = "http://127.0.0.1:8289";

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
};
Input g_input;
int g_socket = -1;  // a descriptor that stands for the connection; never read or written
bool g_trace = false;
bool g_guarded = false;  // the call runs under the exchange bounds
constexpr uint64_t kPageCapacity = 4096;  // of a guarded RetrieveImage

int FakeOpen(struct soap*, const char*, const char*, int) { return g_socket; }
int FakeClose(struct soap*) { return SOAP_OK; }
int FakeCloseSocket(struct soap*, SOAP_SOCKET) { return SOAP_OK; }
int FakeSend(struct soap*, const char*, size_t) { return SOAP_OK; }
size_t FakeReceive(struct soap*, char* buffer, size_t length) {
  size_t n = g_input.size - g_input.pos;
  if (n > length) n = length;
  std::memcpy(buffer, g_input.data + g_input.pos, n);
  g_input.pos += n;
  return n;
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_service_response: %s\n", what);
  std::abort();
}

// Reads every byte of a string the response holds; ASan reports one that does not end.
volatile size_t g_sink;
void Touch(const char* text) {
  if (text == nullptr) return;
  const size_t length = std::strlen(text);
  g_sink += length;
  if (g_guarded && length > static_cast<size_t>(ExchangeGuard::kMaxTextLength)) Fail("text over its cap kept");
}

// Enumeration members may hold any number the device sent (codes beyond the listed literals are
// kept), so they are read as the integers they are stored as.
template <typename Array>
void TouchArray(const Array& array) {
  if (array.__size < 0) Fail("negative array count");
  if (array.__size > 0 && array.__ptr == nullptr) Fail("array count without members");
  static_assert(sizeof array.__ptr[0] == sizeof(int), "enumerations are stored as int");
  for (int i = 0; i < array.__size; ++i) {
    int code;
    std::memcpy(&code, &array.__ptr[i], sizeof code);
    g_sink += static_cast<size_t>(code);
  }
}

int CreateScanJob(struct soap* soap) {
  wscn__ScanTicketType ticket;
  wscn__CreateScanJobResponseType response;
  int rc = soap_call_wscn__CreateScanJobRequest(soap, kEndpoint, nullptr, const_cast<char*>("id"),
                                                nullptr, &ticket, &response);
  if (rc == SOAP_OK) Touch(response.JobToken);
  return rc;
}

int RetrieveImage(struct soap* soap) {
  wscn__DocumentDescriptionType description;
  wscn__RetrieveImageResponseType response;
  int rc = soap_call_wscn__RetrieveImageRequest(soap, kEndpoint, nullptr, 7, const_cast<char*>("t"),
                                                &description, response);
  if (rc == SOAP_OK) {
    if (response.__size < 0) Fail("negative attachment size");
    for (int i = 0; i < response.__size; ++i) g_sink += response.__ptr[i];
    Touch(response.id);
    Touch(response.type);
    Touch(response.options);
  }
  return rc;
}

int CancelJob(struct soap* soap) {
  wscn__CancelRequestResponseType response;
  return soap_call_wscn__CancelJobRequest(soap, kEndpoint, nullptr, 7, &response);
}

int GetScannerElements(struct soap* soap) {
  wscn__ScanElements response;
  int rc = soap_call_wscn__GetScannerElements(soap, kEndpoint, nullptr, &response);
  if (rc == SOAP_OK) {
    TouchArray(response.ScannerConfiguration.DeviceSettings.FormatSupported);
    TouchArray(response.ScannerConfiguration.DeviceSettings.ContentSupported);
    TouchArray(response.ScannerConfiguration.Platen.ColorSupported);
    const wscn__ScanToStatusType& status = response.ScannerStatus.ScanToStatus;
    Touch(response.ScannerStatus.ScannerCurrentTime);
    for (const char* text : {status.ScanIdentifier, status.Host, status.Display, status.EmailAddress,
                             status.Subject, status.FromAddress, status.ReplyToAddress}) {
      Touch(text);
    }
    Touch(response.ScannerInfo.ModelNumber);
  }
  return rc;
}

int GetJobInfo(struct soap* soap) {
  wscn__JobSummaryType response;
  int rc = soap_call_wscn__GetJobInfo(soap, kEndpoint, nullptr, 7, &response);
  if (rc == SOAP_OK) {
    Touch(response.JobName);
    Touch(response.JobOriginatingUserName);
  }
  return rc;
}

int GetPreviousImagePadInfo(struct soap* soap) {
  wscn__PadInfoResponseType response;
  return soap_call_wscn__GetPreviousImagePadInfo(soap, kEndpoint, nullptr, &response);
}

int (*const kOperations[])(struct soap*) = {CreateScanJob,      RetrieveImage, CancelJob,
                                            GetScannerElements, GetJobInfo,    GetPreviousImagePadInfo};
constexpr size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];

// DIME attachments of a RetrieveImage answer go into nothing, as the scan device's discard
// mode would, but every chunk is read.
void* DimeOpen(struct soap*, const char*, const char*, const char*) { return &g_input; }
int DimeWrite(struct soap*, void*, const char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) g_sink += static_cast<unsigned char>(bytes[i]);
  return SOAP_OK;
}
void DimeClose(struct soap*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_socket = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (g_socket < 0) Fail("cannot open /dev/null");
  g_trace = std::getenv("CAVIX_FUZZ_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  g_input = Input{data + 1, size - 1, 0};
  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  if (soap == nullptr) Fail("no context");
  SoapPointerMap map;
  SoapPointerMap::Attach(soap, &map);
  soap->fopen = FakeOpen;
  soap->fclose = FakeClose;
  soap->fclosesocket = FakeCloseSocket;
  soap->fsend = FakeSend;
  soap->frecv = FakeReceive;
  soap->fdimewriteopen = DimeOpen;
  soap->fdimewrite = DimeWrite;
  soap->fdimewriteclose = DimeClose;
  const size_t operation = (data[0] & 0x7F) % kOperationCount;
  g_guarded = (data[0] & 0x80) != 0;
  ExchangeGuard guard;
  uint64_t limit = 0;
  if (g_guarded) {
    guard.Attach(soap);
    if (operation == 1) guard.ExpectImage(kPageCapacity);
    limit = operation == 1 ? kPageCapacity + kPageCapacity / 4 + ExchangeGuard::kEnvelopeBytes
                           : ExchangeGuard::kControlResponseBytes;
  }

  int rc = kOperations[operation](soap);
  if (g_guarded) {
    rc = guard.Outcome(rc);
    if (rc == SOAP_OK && g_input.pos > limit) Fail("success over the response limit");
    if (g_input.pos > limit) Fail("read past the response limit");
    guard.Detach();
  }
  // CAVIX_FUZZ_TRACE=1 shows how each input read (to check what a corpus covers).
  if (g_trace) {
    std::fprintf(stderr, "operation %u%s: status %d (%s), fault code %s\n", unsigned(operation),
                 g_guarded ? " (bounded)" : "", rc,
                 ServiceFault::StatusName(rc), ServiceFault::Code(soap) ? ServiceFault::Code(soap) : "-");
  }

  Touch(ServiceFault::StatusName(rc));
  Touch(ServiceFault::Code(soap));
  Touch(ServiceFault::Subcode(soap));
  Touch(ServiceFault::Reason(soap));
  Touch(ServiceFault::Detail(soap));
  if (rc == SOAP_OK && g_input.pos == 0) Fail("success without reading the answer");

  soap_destroy(soap);
  soap_end(soap);
  SoapPointerMap::Attach(soap, nullptr);
  ServiceContext::Destroy(soap);
  return 0;
}
