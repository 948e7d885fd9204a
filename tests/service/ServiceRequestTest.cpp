// What the client calls put on the wire: the HTTP request and the SOAP 1.2 document/literal
// envelope, compared with hand-written XML after canonicalisation.
#include <gtest/gtest.h>

#include <string>

#include "service/WscnService.h"
#include "tests/service/LoopbackHttpServer.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/service/XmlCanon.h"

namespace {

const std::string kEnvelopeOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\"\n"
    "    xmlns:wscn=\"http://tempuri.org/wscn.xsd\">\n"
    " <SOAP-ENV:Body>\n";
const std::string kEnvelopeClose = " </SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n";

std::string Expected(const std::string& body) { return kEnvelopeOpen + body + kEnvelopeClose; }

class ServiceRequestTest : public ::testing::Test {
 protected:
  // The one request the server received, checked for the HTTP framing every call shares.
  LoopbackHttpServer::Request OnlyRequest() {
    auto requests = server_.Requests();
    EXPECT_EQ(1u, requests.size());
    if (requests.empty()) return {};
    const auto& request = requests.front();
    EXPECT_EQ("POST / HTTP/1.1", request.requestLine);
    EXPECT_EQ("127.0.0.1:" + std::to_string(server_.Port()), request.Header("Host"));
    EXPECT_EQ("gSOAP/2.8", request.Header("User-Agent"));
    EXPECT_EQ("application/soap+xml; charset=utf-8", request.Header("Content-Type"));
    EXPECT_FALSE(request.HasHeader("SOAPAction"));
    return request;
  }

  void Reply(const std::string& body) {
    server_.SetReply(LoopbackHttpServer::HttpReply(kSoap12Type, Soap12(body)));
  }

  LoopbackHttpServer server_;
  TestContext soap_;
};

wscn__ScanTicketType PlatenTicket() {
  wscn__ScanTicketType ticket;
  ticket.JobDescription.JobName = const_cast<char*>("Scan 1");
  ticket.JobDescription.JobOriginatingUserName = const_cast<char*>("alice & bob");
  auto& document = ticket.DocumentParameters;
  document.Format = wscn__ScanDocumentFormat__zkraw;
  document.CompressionQualityFactor = 85;
  document.ImagesToTransfer = 1;
  document.InputSource = wscn__ScanInputSource__Platen;
  document.ContentType = wscn__ContentType__Document;
  document.InputSize.InputMediaSize.Width = 8500;
  document.InputSize.InputMediaSize.Height = 11700;
  document.InputSize.DocumentSizeAutoDetect = false;
  document.Exposure.AutoExposure = true;
  document.Exposure.ExposureSettings.Contrast = -5;
  auto& front = document.MediaSides.MediaFront;
  front.ScanRegion.ScanRegionXOffset = 0;
  front.ScanRegion.ScanRegionYOffset = 12;
  front.ScanRegion.ScanRegionWidth = 8500;
  front.ScanRegion.ScanRegionHeight = 11688;
  front.ColorProcessing = wscn__ColorEntryType__BlackandWhite1;
  front.Resolution.Width = 300;
  front.Resolution.Height = 600;
  ticket.RetrieveImageTimeout = 90;
  ticket.ScanManufacturingParameters.ImageProcessingRemoval =
      wscn__ImageProcessingRemoveType__captureAfterLUT;
  return ticket;
}

TEST_F(ServiceRequestTest, CreateScanJobWritesTicketLiterallyWithEmptyIdentifierAndNoToken) {
  Reply("<w:CreateScanJobResponseType><JobId>7</JobId></w:CreateScanJobResponseType>");
  wscn__ScanTicketType ticket = PlatenTicket();
  wscn__CreateScanJobResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CreateScanJobRequest(soap_, server_.Endpoint().c_str(),
                                                          nullptr, const_cast<char*>(""),
                                                          nullptr, &ticket, &response));
  EXPECT_EQ(7u, response.JobId);
  auto request = OnlyRequest();
  EXPECT_EQ(CanonicalXml(Expected(R"(
  <wscn:CreateScanJobRequest>
   <ScanIdentifier></ScanIdentifier>
   <ScanTicket>
    <JobDescription>
     <JobName>Scan 1</JobName>
     <JobOriginatingUserName>alice &amp; bob</JobOriginatingUserName>
    </JobDescription>
    <DocumentParameters>
     <Format>zkraw</Format>
     <CompressionQualityFactor>85</CompressionQualityFactor>
     <ImagesToTransfer>1</ImagesToTransfer>
     <InputSource>Platen</InputSource>
     <ContentType>Document</ContentType>
     <InputSize>
      <InputMediaSize><Width>8500</Width><Height>11700</Height></InputMediaSize>
      <DocumentSizeAutoDetect>false</DocumentSizeAutoDetect>
     </InputSize>
     <Exposure>
      <AutoExposure>true</AutoExposure>
      <ExposureSettings><Contrast>-5</Contrast></ExposureSettings>
     </Exposure>
     <MediaSides>
      <MediaFront>
       <ScanRegion>
        <ScanRegionXOffset>0</ScanRegionXOffset>
        <ScanRegionYOffset>12</ScanRegionYOffset>
        <ScanRegionWidth>8500</ScanRegionWidth>
        <ScanRegionHeight>11688</ScanRegionHeight>
       </ScanRegion>
       <ColorProcessing>BlackandWhite1</ColorProcessing>
       <Resolution><Width>300</Width><Height>600</Height></Resolution>
      </MediaFront>
     </MediaSides>
    </DocumentParameters>
    <RetrieveImageTimeout>90</RetrieveImageTimeout>
    <ScanManufacturingParameters>
     <ImageProcessingRemoval>captureAfterLUT</ImageProcessingRemoval>
    </ScanManufacturingParameters>
   </ScanTicket>
  </wscn:CreateScanJobRequest>
)")),
            CanonicalXml(request.body));
}

TEST_F(ServiceRequestTest, CreateScanJobWritesCodesWithoutLiteralAsNumbersAndOtherLiterals) {
  Reply("<w:CreateScanJobResponseType/>");
  wscn__ScanTicketType ticket = PlatenTicket();
  ticket.JobDescription.JobName = nullptr;
  ticket.JobDescription.JobOriginatingUserName = nullptr;
  ticket.JobDescription.JobInformation = const_cast<char*>("");
  ticket.DocumentParameters.Format = wscn__ScanDocumentFormat__jfif;
  ticket.DocumentParameters.InputSource = wscn__ScanInputSource__ADFDuplex;
  ticket.DocumentParameters.ContentType = wscn__ContentType__Object3D;
  ticket.DocumentParameters.MediaSides.MediaFront.ColorProcessing = wscn__ColorEntryType__RGB24;
  ticket.ScanManufacturingParameters.ImageProcessingRemoval =
      static_cast<wscn__ImageProcessingRemoveType>(5);
  wscn__CreateScanJobResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CreateScanJobRequest(soap_, server_.Endpoint().c_str(),
                                                          nullptr, const_cast<char*>("scan-to-7"),
                                                          nullptr, &ticket, &response));
  auto request = OnlyRequest();
  EXPECT_EQ(CanonicalXml(Expected(R"(
  <wscn:CreateScanJobRequest>
   <ScanIdentifier>scan-to-7</ScanIdentifier>
   <ScanTicket>
    <JobDescription><JobInformation></JobInformation></JobDescription>
    <DocumentParameters>
     <Format>jfif</Format>
     <CompressionQualityFactor>85</CompressionQualityFactor>
     <ImagesToTransfer>1</ImagesToTransfer>
     <InputSource>ADFDuplex</InputSource>
     <ContentType>Object3D</ContentType>
     <InputSize>
      <InputMediaSize><Width>8500</Width><Height>11700</Height></InputMediaSize>
      <DocumentSizeAutoDetect>false</DocumentSizeAutoDetect>
     </InputSize>
     <Exposure>
      <AutoExposure>true</AutoExposure>
      <ExposureSettings><Contrast>-5</Contrast></ExposureSettings>
     </Exposure>
     <MediaSides>
      <MediaFront>
       <ScanRegion>
        <ScanRegionXOffset>0</ScanRegionXOffset>
        <ScanRegionYOffset>12</ScanRegionYOffset>
        <ScanRegionWidth>8500</ScanRegionWidth>
        <ScanRegionHeight>11688</ScanRegionHeight>
       </ScanRegion>
       <ColorProcessing>RGB24</ColorProcessing>
       <Resolution><Width>300</Width><Height>600</Height></Resolution>
      </MediaFront>
     </MediaSides>
    </DocumentParameters>
    <RetrieveImageTimeout>90</RetrieveImageTimeout>
    <ScanManufacturingParameters>
     <ImageProcessingRemoval>5</ImageProcessingRemoval>
    </ScanManufacturingParameters>
   </ScanTicket>
  </wscn:CreateScanJobRequest>
)")),
            CanonicalXml(request.body));
}

TEST_F(ServiceRequestTest, RetrieveImageWritesJobIdTokenAndDescription) {
  Reply("<w:RetrieveImageRequestResponse/>");
  wscn__DocumentDescriptionType description;
  description.DocumentName = const_cast<char*>("page 1");
  wscn__RetrieveImageResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__RetrieveImageRequest(
                         soap_, server_.Endpoint().c_str(), nullptr, 4000000001u,
                         const_cast<char*>("tok-9"), &description, response));
  EXPECT_EQ(CanonicalXml(Expected(R"(
  <wscn:RetrieveImageRequest>
   <JobId>4000000001</JobId>
   <JobToken>tok-9</JobToken>
   <DocumentDescription><DocumentName>page 1</DocumentName></DocumentDescription>
  </wscn:RetrieveImageRequest>
)")),
            CanonicalXml(OnlyRequest().body));
}

TEST_F(ServiceRequestTest, RetrieveImageLeavesNullTokenAndNameOut) {
  Reply("<w:RetrieveImageRequestResponse/>");
  wscn__DocumentDescriptionType description;
  wscn__RetrieveImageResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__RetrieveImageRequest(soap_, server_.Endpoint().c_str(),
                                                          nullptr, 3, nullptr, &description,
                                                          response));
  EXPECT_EQ(CanonicalXml(Expected(R"(
  <wscn:RetrieveImageRequest>
   <JobId>3</JobId>
   <DocumentDescription/>
  </wscn:RetrieveImageRequest>
)")),
            CanonicalXml(OnlyRequest().body));
}

TEST_F(ServiceRequestTest, CancelJobWritesCapitalJobId) {
  Reply("<w:CancelRequestResponseType><JobId>12</JobId></w:CancelRequestResponseType>");
  wscn__CancelRequestResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CancelJobRequest(soap_, server_.Endpoint().c_str(),
                                                      nullptr, 12, &response));
  EXPECT_EQ(12u, response.JobId);
  EXPECT_EQ(CanonicalXml(Expected(
                "<wscn:CancelJobRequest><JobId>12</JobId></wscn:CancelJobRequest>")),
            CanonicalXml(OnlyRequest().body));
}

TEST_F(ServiceRequestTest, GetJobInfoWritesLowerCaseJobId) {
  Reply("<w:JobSummaryType><JobId>12</JobId></w:JobSummaryType>");
  wscn__JobSummaryType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetJobInfo(soap_, server_.Endpoint().c_str(), nullptr, 12,
                                                &response));
  EXPECT_EQ(CanonicalXml(Expected("<wscn:GetJobInfo><jobId>12</jobId></wscn:GetJobInfo>")),
            CanonicalXml(OnlyRequest().body));
}

TEST_F(ServiceRequestTest, GetScannerElementsWritesAnEmptyElement) {
  Reply("<w:ScanElements/>");
  wscn__ScanElements response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetScannerElements(soap_, server_.Endpoint().c_str(),
                                                        nullptr, &response));
  EXPECT_EQ(CanonicalXml(Expected("<wscn:GetScannerElements/>")),
            CanonicalXml(OnlyRequest().body));
}

TEST_F(ServiceRequestTest, GetPreviousImagePadInfoWritesAnEmptyElement) {
  Reply("<w:PadInfoResponseType><TotalPadLines>31</TotalPadLines></w:PadInfoResponseType>");
  wscn__PadInfoResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetPreviousImagePadInfo(soap_, server_.Endpoint().c_str(),
                                                             nullptr, &response));
  EXPECT_EQ(31, response.TotalPadLines);
  EXPECT_EQ(CanonicalXml(Expected("<wscn:GetPreviousImagePadInfo/>")),
            CanonicalXml(OnlyRequest().body));
}

// The header lines a context writes: a link-local endpoint's zone is left out of Host alone.
TEST(ServiceContextHeaders, TheHostHeaderGoesWithoutALinkLocalZone) {
  static std::string sent;
  TestContext soap;
  soap.get()->fsend = [](struct soap*, const char* data, size_t n) {
    sent.append(data, n);
    return SOAP_OK;
  };
  const struct {
    const char* key;
    const char* value;
    const char* line;
  } kCases[] = {
      {"Host", "[fe80::b%eth0]:8289", "Host: [fe80::b]:8289\r\n"},
      {"Host", "[2001:db8::1]:8289", "Host: [2001:db8::1]:8289\r\n"},
      {"Host", "192.0.2.7:8289", "Host: 192.0.2.7:8289\r\n"},
      {"User-Agent", "[a%b]", "User-Agent: [a%b]\r\n"},
  };
  for (const auto& c : kCases) {
    sent.clear();
    EXPECT_EQ(SOAP_OK, soap.get()->fposthdr(soap, c.key, c.value));
    EXPECT_EQ(c.line, sent) << c.value;
  }
}

TEST_F(ServiceRequestTest, PlainContextSendsContentLengthAndEveryCallConnectsAnew) {
  Reply("<w:PadInfoResponseType><TotalPadLines>1</TotalPadLines></w:PadInfoResponseType>");
  wscn__PadInfoResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetPreviousImagePadInfo(soap_, server_.Endpoint().c_str(),
                                                             nullptr, &response));
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetPreviousImagePadInfo(soap_, server_.Endpoint().c_str(),
                                                             nullptr, &response));
  auto requests = server_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(2, server_.Connections());
  for (const auto& request : requests) {
    EXPECT_FALSE(request.chunked);
    EXPECT_EQ(std::to_string(request.body.size()), request.Header("Content-Length"));
    EXPECT_NE("keep-alive", request.Header("Connection"));
  }
}

TEST_F(ServiceRequestTest, ChunkedContextSendsChunkedBodyWithoutAction) {
  TestContext chunked(ServiceContext::kChunkedOutput);
  Reply("<w:JobSummaryType><JobId>5</JobId></w:JobSummaryType>");
  wscn__JobSummaryType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetJobInfo(chunked, server_.Endpoint().c_str(), nullptr, 5,
                                                &response));
  auto request = OnlyRequest();
  EXPECT_TRUE(request.chunked);
  EXPECT_FALSE(request.HasHeader("Content-Length"));
  EXPECT_EQ(CanonicalXml(Expected("<wscn:GetJobInfo><jobId>5</jobId></wscn:GetJobInfo>")),
            CanonicalXml(request.body));
}

TEST_F(ServiceRequestTest, RequestAfterASoap11ResponseIsStillSoap12) {
  server_.SetReply(LoopbackHttpServer::HttpReply(
      kSoap11Type, Soap11("<w:CancelRequestResponseType><JobId>2</JobId>"
                          "</w:CancelRequestResponseType>")));
  wscn__CancelRequestResponseType response;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CancelJobRequest(soap_, server_.Endpoint().c_str(),
                                                      nullptr, 2, &response));
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CancelJobRequest(soap_, server_.Endpoint().c_str(),
                                                      nullptr, 2, &response));
  auto requests = server_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("application/soap+xml; charset=utf-8", requests[1].Header("Content-Type"));
  EXPECT_EQ(CanonicalXml(Expected("<wscn:CancelJobRequest><JobId>2</JobId></wscn:CancelJobRequest>")),
            CanonicalXml(requests[1].body));
}

}  // namespace
