// The server side (cavix_service_server) as the device simulator uses it: soap_serve
// dispatches to the six operations, defined here the way the simulator defines them, and the
// client calls read what it writes, faults with subcodes included.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "service/ServiceFault.h"
#include "service/WscnService.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

struct Received {
  bool scanIdentifierNull = true;
  std::string scanIdentifier;
  bool destinationTokenNull = false;
  int format = -1;
  int removal = -1;
  unsigned int retrieveImageTimeout = 0;
  std::string jobName;
} g_received;

// Serves `count` connections on 127.0.0.1 (a free port), one request each.
class TestService {
 public:
  explicit TestService(int count) : soap_(ServiceContext::Create(ServiceContext::kPlainOutput)) {
    soap_->accept_timeout = 30;
    soap_->recv_timeout = 30;
    soap_->send_timeout = 30;
    soap_->bind_flags = SO_REUSEADDR;
    if (!soap_valid_socket(soap_bind(soap_, "127.0.0.1", 0, 8))) return;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(soap_->master, reinterpret_cast<sockaddr*>(&sa), &len);
    endpoint_ = "http://127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    thread_ = std::thread([this, count] {
      for (int i = 0; i < count; ++i) {
        if (!soap_valid_socket(soap_accept(soap_))) break;
        soap_serve(soap_);
        soap_destroy(soap_);
        soap_end(soap_);
      }
    });
  }
  ~TestService() {
    if (thread_.joinable()) thread_.join();
    ServiceContext::Destroy(soap_);
  }
  const std::string& Endpoint() const { return endpoint_; }

 private:
  struct soap* soap_;
  std::string endpoint_;
  std::thread thread_;
};

TEST(ServiceServerTest, ClientCallsRoundTripThroughTheServerSide) {
  TestService service(4);
  ASSERT_FALSE(service.Endpoint().empty());
  TestContext client(ServiceContext::kChunkedOutput);

  wscn__ScanTicketType ticket;
  ticket.JobDescription.JobName = const_cast<char*>("job");
  ticket.DocumentParameters.Format = wscn__ScanDocumentFormat__zkraw;
  ticket.RetrieveImageTimeout = 90;
  ticket.ScanManufacturingParameters.ImageProcessingRemoval =
      static_cast<wscn__ImageProcessingRemoveType>(7);
  wscn__CreateScanJobResponseType created;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CreateScanJobRequest(client, service.Endpoint().c_str(),
                                                          nullptr, const_cast<char*>(""), nullptr,
                                                          &ticket, &created));
  EXPECT_FALSE(g_received.scanIdentifierNull);
  EXPECT_EQ("", g_received.scanIdentifier);
  EXPECT_TRUE(g_received.destinationTokenNull);
  EXPECT_EQ(1, g_received.format);
  EXPECT_EQ(7, g_received.removal);
  EXPECT_EQ(90u, g_received.retrieveImageTimeout);
  EXPECT_EQ("job", g_received.jobName);
  EXPECT_EQ(41u, created.JobId);
  EXPECT_STREQ("t-41", created.JobToken);
  EXPECT_EQ(1275, created.ImageInformation.MediaFrontImageInfo.BytesPerLine);
  EXPECT_EQ(wscn__ScanDocumentFormat__zkraw, created.DocumentFinalParameters.Format);

  wscn__ScanElements elements;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetScannerElements(client, service.Endpoint().c_str(),
                                                        nullptr, &elements));
  const auto& formats = elements.ScannerConfiguration.DeviceSettings.FormatSupported;
  ASSERT_EQ(2, formats.__size);
  EXPECT_EQ(wscn__ScanDocumentFormat__zkraw, formats.__ptr[0]);
  EXPECT_EQ(wscn__ScanDocumentFormat__jfif, formats.__ptr[1]);
  EXPECT_EQ(wscn__ScannerStateReasonsType__MediaJam, elements.ScannerStatus.ScannerStateReason);
  EXPECT_STREQ("scan-7", elements.ScannerStatus.ScanToStatus.ScanIdentifier);

  wscn__JobSummaryType summary;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetJobInfo(client, service.Endpoint().c_str(), nullptr, 41,
                                                &summary));
  EXPECT_EQ(41u, summary.JobId);
  EXPECT_EQ(wscn__JobStateType__Pending_Held, summary.JobState);
  EXPECT_EQ(42, static_cast<int>(summary.JobStateReasons));

  EXPECT_EQ(ServiceFault::kSenderFault,
            soap_call_wscn__GetJobInfo(client, service.Endpoint().c_str(), nullptr, 404,
                                       &summary));
  EXPECT_STREQ("SOAP-ENV:Sender", ServiceFault::Code(client));
  EXPECT_STREQ("wscn:ClientErrorJobIdNotFound", ServiceFault::Subcode(client));
  EXPECT_STREQ("no such job", ServiceFault::Reason(client));
}

}  // namespace

// The operations, as the simulator defines them.
int wscn__CreateScanJobRequest(struct soap* soap, char* ScanIdentifier, char* DestinationToken,
                               wscn__ScanTicketType* ScanTicket,
                               wscn__CreateScanJobResponseType* response) {
  g_received.scanIdentifierNull = ScanIdentifier == nullptr;
  g_received.scanIdentifier = ScanIdentifier ? ScanIdentifier : "";
  g_received.destinationTokenNull = DestinationToken == nullptr;
  if (ScanTicket) {
    g_received.format = ScanTicket->DocumentParameters.Format;
    g_received.removal = ScanTicket->ScanManufacturingParameters.ImageProcessingRemoval;
    g_received.retrieveImageTimeout = ScanTicket->RetrieveImageTimeout;
    if (ScanTicket->JobDescription.JobName) g_received.jobName = ScanTicket->JobDescription.JobName;
  }
  response->JobId = 41;
  response->JobToken = soap_strdup(soap, "t-41");
  response->ImageInformation.MediaFrontImageInfo.BytesPerLine = 1275;
  response->DocumentFinalParameters.Format = wscn__ScanDocumentFormat__zkraw;
  return SOAP_OK;
}

int wscn__RetrieveImageRequest(struct soap* soap, unsigned int, char*,
                               wscn__DocumentDescriptionType*, wscn__RetrieveImageResponseType&) {
  return soap_receiver_fault_subcode(soap, "wscn:ServerErrorTemporaryError", "no image", nullptr);
}

int wscn__CancelJobRequest(struct soap*, unsigned int JobId,
                           wscn__CancelRequestResponseType* response) {
  response->JobId = JobId;
  return SOAP_OK;
}

int wscn__GetScannerElements(struct soap* soap, wscn__ScanElements* response) {
  auto& formats = response->ScannerConfiguration.DeviceSettings.FormatSupported;
  formats.__size = 2;
  formats.__ptr = static_cast<wscn__ScanDocumentFormat*>(
      soap_malloc(soap, 2 * sizeof(wscn__ScanDocumentFormat)));
  formats.__ptr[0] = wscn__ScanDocumentFormat__zkraw;
  formats.__ptr[1] = wscn__ScanDocumentFormat__jfif;
  response->ScannerStatus.ScannerStateReason = wscn__ScannerStateReasonsType__MediaJam;
  response->ScannerStatus.ScanToStatus.ScanIdentifier = soap_strdup(soap, "scan-7");
  return SOAP_OK;
}

int wscn__GetJobInfo(struct soap* soap, unsigned int jobId, wscn__JobSummaryType* response) {
  if (jobId == 404)
    return soap_sender_fault_subcode(soap, "wscn:ClientErrorJobIdNotFound", "no such job",
                                     nullptr);
  response->JobId = jobId;
  response->JobState = wscn__JobStateType__Pending_Held;
  response->JobStateReasons = static_cast<wscn__JobStateReasonsType>(42);
  return SOAP_OK;
}

int wscn__GetPreviousImagePadInfo(struct soap*, wscn__PadInfoResponseType* response) {
  response->TotalPadLines = 0;
  return SOAP_OK;
}
