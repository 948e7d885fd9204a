// Parsing of hand-written responses: both envelope versions, lenient structure (any order,
// unknown and repeated elements, missing elements), enumerations as literals or numbers,
// booleans, and SOAP-encoded arrays with and without a count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/WscnService.h"
#include "tests/service/LoopbackHttpServer.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

enum class Envelope { kSoap12, kSoap11 };

class ServiceResponseTest : public ::testing::Test {
 protected:
  void Reply(const std::string& body, Envelope envelope = Envelope::kSoap12) {
    server_.SetReply(envelope == Envelope::kSoap12
                         ? LoopbackHttpServer::HttpReply(kSoap12Type, Soap12(body))
                         : LoopbackHttpServer::HttpReply(kSoap11Type, Soap11(body)));
  }
  int CreateScanJob(wscn__CreateScanJobResponseType& response) {
    wscn__ScanTicketType ticket;
    return soap_call_wscn__CreateScanJobRequest(soap_, server_.Endpoint().c_str(), nullptr,
                                                const_cast<char*>(""), nullptr, &ticket,
                                                &response);
  }
  int GetJobInfo(wscn__JobSummaryType& response) {
    return soap_call_wscn__GetJobInfo(soap_, server_.Endpoint().c_str(), nullptr, 1, &response);
  }
  int GetScannerElements(wscn__ScanElements& response) {
    return soap_call_wscn__GetScannerElements(soap_, server_.Endpoint().c_str(), nullptr,
                                              &response);
  }

  LoopbackHttpServer server_;
  TestContext soap_;
};

const char* const kCreateScanJobResponse = R"(
  <w:CreateScanJobResponseType>
   <JobId>4000000002</JobId>
   <JobToken>token-17</JobToken>
   <ImageInformation>
    <MediaFrontImageInfo>
     <PixelsPerLine>2550</PixelsPerLine>
     <NumberOfLines>3300</NumberOfLines>
     <BytesPerLine>7650</BytesPerLine>
    </MediaFrontImageInfo>
   </ImageInformation>
   <DocumentFinalParameters>
    <Format>jfif</Format>
    <CompressionQualityFactor>75</CompressionQualityFactor>
    <ImagesToTransfer>2</ImagesToTransfer>
    <InputSource>ADF</InputSource>
    <ContentType>Photo</ContentType>
    <InputSize>
     <InputMediaSize><Width>8500</Width><Height>14000</Height></InputMediaSize>
     <DocumentSizeAutoDetect>true</DocumentSizeAutoDetect>
    </InputSize>
    <Exposure>
     <AutoExposure>false</AutoExposure>
     <ExposureSettings><Contrast>-3</Contrast></ExposureSettings>
    </Exposure>
    <MediaSides>
     <MediaFront>
      <ScanRegion>
       <ScanRegionXOffset>10</ScanRegionXOffset>
       <ScanRegionYOffset>20</ScanRegionYOffset>
       <ScanRegionWidth>8480</ScanRegionWidth>
       <ScanRegionHeight>13980</ScanRegionHeight>
      </ScanRegion>
      <ColorProcessing>RGB24</ColorProcessing>
      <Resolution><Width>300</Width><Height>300</Height></Resolution>
     </MediaFront>
    </MediaSides>
   </DocumentFinalParameters>
  </w:CreateScanJobResponseType>)";

void ExpectFullCreateScanJobResponse(const wscn__CreateScanJobResponseType& response) {
  EXPECT_EQ(4000000002u, response.JobId);
  ASSERT_NE(nullptr, response.JobToken);
  EXPECT_STREQ("token-17", response.JobToken);
  EXPECT_EQ(2550, response.ImageInformation.MediaFrontImageInfo.PixelsPerLine);
  EXPECT_EQ(3300, response.ImageInformation.MediaFrontImageInfo.NumberOfLines);
  EXPECT_EQ(7650, response.ImageInformation.MediaFrontImageInfo.BytesPerLine);
  const auto& document = response.DocumentFinalParameters;
  EXPECT_EQ(wscn__ScanDocumentFormat__jfif, document.Format);
  EXPECT_EQ(75, document.CompressionQualityFactor);
  EXPECT_EQ(2, document.ImagesToTransfer);
  EXPECT_EQ(wscn__ScanInputSource__ADF, document.InputSource);
  EXPECT_EQ(wscn__ContentType__Photo, document.ContentType);
  EXPECT_EQ(8500, document.InputSize.InputMediaSize.Width);
  EXPECT_EQ(14000, document.InputSize.InputMediaSize.Height);
  EXPECT_TRUE(document.InputSize.DocumentSizeAutoDetect);
  EXPECT_FALSE(document.Exposure.AutoExposure);
  EXPECT_EQ(-3, document.Exposure.ExposureSettings.Contrast);
  const auto& front = document.MediaSides.MediaFront;
  EXPECT_EQ(10, front.ScanRegion.ScanRegionXOffset);
  EXPECT_EQ(20, front.ScanRegion.ScanRegionYOffset);
  EXPECT_EQ(8480, front.ScanRegion.ScanRegionWidth);
  EXPECT_EQ(13980, front.ScanRegion.ScanRegionHeight);
  EXPECT_EQ(wscn__ColorEntryType__RGB24, front.ColorProcessing);
  EXPECT_EQ(300, front.Resolution.Width);
  EXPECT_EQ(300, front.Resolution.Height);
}

TEST_F(ServiceResponseTest, CreateScanJobResponseInSoap12AndSoap11ReadsTheSameValues) {
  for (Envelope envelope : {Envelope::kSoap12, Envelope::kSoap11}) {
    SCOPED_TRACE(envelope == Envelope::kSoap12 ? "SOAP 1.2" : "SOAP 1.1");
    Reply(kCreateScanJobResponse, envelope);
    wscn__CreateScanJobResponseType response;
    ASSERT_EQ(SOAP_OK, CreateScanJob(response));
    ExpectFullCreateScanJobResponse(response);
  }
}

TEST_F(ServiceResponseTest, ReorderedUnknownAndRepeatedElementsReadAsTheInOrderResponse) {
  // Children in reverse order, an unknown element holding a JobId of its own, a second
  // JobId and JobToken that are skipped, the xsi namespace of another year with xsi:type
  // naming the member's own type, and a wscn prefix other than the usual one.
  Reply(R"(
  <w:CreateScanJobResponseType xmlns:xsi="http://www.w3.org/1999/XMLSchema-instance"
      xmlns:xsd="http://www.w3.org/1999/XMLSchema">
   <DocumentFinalParameters>
    <MediaSides>
     <MediaFront>
      <Resolution><Height>300</Height><Width>300</Width></Resolution>
      <ColorProcessing>RGB24</ColorProcessing>
      <ScanRegion>
       <ScanRegionHeight>13980</ScanRegionHeight>
       <ScanRegionWidth>8480</ScanRegionWidth>
       <ScanRegionYOffset>20</ScanRegionYOffset>
       <ScanRegionXOffset>10</ScanRegionXOffset>
      </ScanRegion>
     </MediaFront>
     <MediaBack><ColorProcessing>GrayScale8</ColorProcessing></MediaBack>
    </MediaSides>
    <Exposure>
     <ExposureSettings><Contrast>-3</Contrast><Brightness>4</Brightness></ExposureSettings>
     <AutoExposure>false</AutoExposure>
    </Exposure>
    <InputSize>
     <DocumentSizeAutoDetect>true</DocumentSizeAutoDetect>
     <InputMediaSize><Height>14000</Height><Width>8500</Width></InputMediaSize>
    </InputSize>
    <ContentType>Photo</ContentType>
    <InputSource>ADF</InputSource>
    <ImagesToTransfer>2</ImagesToTransfer>
    <CompressionQualityFactor>75</CompressionQualityFactor>
    <Format>jfif</Format>
    <Format>png</Format>
   </DocumentFinalParameters>
   <ImageInformation>
    <MediaFrontImageInfo>
     <BytesPerLine>7650</BytesPerLine>
     <NumberOfLines>3300</NumberOfLines>
     <PixelsPerLine>2550</PixelsPerLine>
    </MediaFrontImageInfo>
   </ImageInformation>
   <Vendor><JobId>99</JobId><Note>ignored</Note></Vendor>
   <JobToken>token-17</JobToken>
   <JobId xsi:type="xsd:unsignedInt">4000000002</JobId>
   <JobId>5</JobId>
   <JobToken>token-other</JobToken>
  </w:CreateScanJobResponseType>)");
  wscn__CreateScanJobResponseType response;
  ASSERT_EQ(SOAP_OK, CreateScanJob(response));
  ExpectFullCreateScanJobResponse(response);
}

TEST_F(ServiceResponseTest, XsiTypeOtherThanTheMembersOwnFailsWithTypeCode) {
  Reply(R"(<w:CreateScanJobResponseType
             xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
             xmlns:xsd="http://www.w3.org/2001/XMLSchema">
             <JobId xsi:type="xsd:string">5</JobId></w:CreateScanJobResponseType>)");
  wscn__CreateScanJobResponseType response;
  EXPECT_EQ(SOAP_TYPE, CreateScanJob(response));
}

TEST_F(ServiceResponseTest, MissingElementsLeaveDefaultsEvenOverEarlierValues) {
  Reply(R"(<w:CreateScanJobResponseType>
             <DocumentFinalParameters><ImagesToTransfer>1</ImagesToTransfer></DocumentFinalParameters>
           </w:CreateScanJobResponseType>)");
  wscn__CreateScanJobResponseType response;
  response.JobId = 77;
  response.JobToken = const_cast<char*>("stale");
  response.ImageInformation.MediaFrontImageInfo.BytesPerLine = 12;
  response.DocumentFinalParameters.Format = wscn__ScanDocumentFormat__png;
  response.DocumentFinalParameters.InputSize.DocumentSizeAutoDetect = true;
  ASSERT_EQ(SOAP_OK, CreateScanJob(response));
  EXPECT_EQ(0u, response.JobId);
  EXPECT_EQ(nullptr, response.JobToken);
  EXPECT_EQ(0, response.ImageInformation.MediaFrontImageInfo.BytesPerLine);
  EXPECT_EQ(wscn__ScanDocumentFormat__jfif, response.DocumentFinalParameters.Format);
  EXPECT_FALSE(response.DocumentFinalParameters.InputSize.DocumentSizeAutoDetect);
  EXPECT_EQ(1, response.DocumentFinalParameters.ImagesToTransfer);
}

struct EnumCase {
  const char* jobState;
  int jobStateCode;
  const char* jobReason;
  int jobReasonCode;
};

TEST_F(ServiceResponseTest, JobStatesAndReasonsReadAsLiteralsOrAnyDecimalNumber) {
  const EnumCase cases[] = {
      {"Aborted", 0, "InvalidScanTicket", 0},
      {"Pending-Held", 5, "MediaJam", 12},
      {"Started", 7, "CoverOpen", 13},
      {"Unknown", 9, "None", 9},
      {"7", 7, "InternalStorageFull", 14},
      {"42", 42, "4", 4},
      {"Terminating", 8, "-2", -2},
  };
  for (const EnumCase& c : cases) {
    SCOPED_TRACE(c.jobState);
    Reply(std::string("<w:JobSummaryType><JobId>3</JobId><JobName>n</JobName>") +
          "<JobOriginatingUserName>u</JobOriginatingUserName><JobState>" + c.jobState +
          "</JobState><JobStateReasons>" + c.jobReason +
          "</JobStateReasons><ScansCompleted>2</ScansCompleted></w:JobSummaryType>");
    wscn__JobSummaryType response;
    ASSERT_EQ(SOAP_OK, GetJobInfo(response));
    EXPECT_EQ(3u, response.JobId);
    EXPECT_STREQ("n", response.JobName);
    EXPECT_STREQ("u", response.JobOriginatingUserName);
    EXPECT_EQ(c.jobStateCode, static_cast<int>(response.JobState));
    EXPECT_EQ(c.jobReasonCode, static_cast<int>(response.JobStateReasons));
    EXPECT_EQ(2, response.ScansCompleted);
  }
}

TEST_F(ServiceResponseTest, LiteralThatIsNeitherListedNorANumberFailsWithTypeCode) {
  for (const char* bad : {"Paused", "pending-held", "7x", "Pending Held", ""}) {
    SCOPED_TRACE(bad);
    Reply(std::string("<w:JobSummaryType><JobState>") + bad + "</JobState></w:JobSummaryType>");
    wscn__JobSummaryType response;
    EXPECT_EQ(SOAP_TYPE, GetJobInfo(response));
  }
}

// A complete ScanElements answer; %FORMATS% is replaced by each case's array element.
const char* const kScanElements = R"(
  <w:ScanElements xmlns:enc="http://schemas.xmlsoap.org/soap/encoding/">
   <ScannerConfiguration>
    <DeviceSettings>
     %FORMATS%
     <QualityFactorSupported>1</QualityFactorSupported>
     <ContentSupported enc:arrayType="w:ContentType[2]">
      <item>Document</item><item>3</item>
     </ContentSupported>
     <DocumentSizeAutoDetectSupported>0</DocumentSizeAutoDetectSupported>
     <FeederCapacity>50</FeederCapacity>
     <DuplexRotation>180</DuplexRotation>
     <Rotation>90</Rotation>
    </DeviceSettings>
    <Platen>
     <ColorSupported enc:arrayType="w:ColorEntryType[4]">
      <item>BlackandWhite1</item><item>GrayScale8</item><item>RGB24</item><item>RGB48</item>
     </ColorSupported>
     <PlatenMinimumSize><Width>100</Width><Height>200</Height></PlatenMinimumSize>
     <PlatenMaximumSize><Width>8500</Width><Height>11700</Height></PlatenMaximumSize>
     <PlatenOpticalResolution><Width>1200</Width><Height>2400</Height></PlatenOpticalResolution>
     <FlatbedSupported>true</FlatbedSupported>
    </Platen>
    <ADF>
     <ADFSupported>true</ADFSupported>
     <ADFSupportsDuplex>false</ADFSupportsDuplex>
     <ADFMinimumSize><Width>300</Width><Height>400</Height></ADFMinimumSize>
     <ADFMaximumSize><Width>8500</Width><Height>14000</Height></ADFMaximumSize>
     <ADFOpticalResolution><Width>600</Width><Height>600</Height></ADFOpticalResolution>
    </ADF>
   </ScannerConfiguration>
   <ScannerStatus>
    <ScannerCurrentTime>2026-12-07T09:00:00Z</ScannerCurrentTime>
    <ScannerState>Processing</ScannerState>
    <ScannerStateReason>MediaJam</ScannerStateReason>
    <ScanToStatus>
     <PaperInADF>true</PaperInADF>
     <ScanToAvailable>false</ScanToAvailable>
     <ScanIdentifier>id-5</ScanIdentifier>
     <Host>pc-1</Host>
     <Display>Scan to PC</Display>
     <EmailAddress>a@b.c</EmailAddress>
     <Subject>s</Subject>
     <FromAddress>f@b.c</FromAddress>
     <ReplyToAddress>r@b.c</ReplyToAddress>
    </ScanToStatus>
   </ScannerStatus>
   <ScannerInfo><ModelNumber>ZK-3000</ModelNumber></ScannerInfo>
  </w:ScanElements>)";

std::string ScanElementsWith(const std::string& formats) {
  std::string body = kScanElements;
  body.replace(body.find("%FORMATS%"), 9, formats);
  return body;
}

std::vector<int> Formats(const wscn__ScanElements& response) {
  const auto& array = response.ScannerConfiguration.DeviceSettings.FormatSupported;
  std::vector<int> codes;
  for (int i = 0; i < array.__size; ++i) codes.push_back(array.__ptr[i]);
  return codes;
}

TEST_F(ServiceResponseTest, ScanElementsReadsEveryMemberInBothEnvelopes) {
  for (Envelope envelope : {Envelope::kSoap12, Envelope::kSoap11}) {
    SCOPED_TRACE(envelope == Envelope::kSoap12 ? "SOAP 1.2" : "SOAP 1.1");
    Reply(ScanElementsWith(R"(<FormatSupported enc:arrayType="w:ScanDocumentFormat[2]">
                                <item>zkraw</item><item>jfif</item></FormatSupported>)"),
          envelope);
    wscn__ScanElements response;
    ASSERT_EQ(SOAP_OK, GetScannerElements(response));
    EXPECT_EQ((std::vector<int>{1, 0}), Formats(response));
    const auto& settings = response.ScannerConfiguration.DeviceSettings;
    EXPECT_TRUE(settings.QualityFactorSupported);
    ASSERT_EQ(2, settings.ContentSupported.__size);
    EXPECT_EQ(wscn__ContentType__Document, settings.ContentSupported.__ptr[0]);
    EXPECT_EQ(wscn__ContentType__Object3D, settings.ContentSupported.__ptr[1]);
    EXPECT_FALSE(settings.DocumentSizeAutoDetectSupported);
    EXPECT_EQ(50, settings.FeederCapacity);
    EXPECT_EQ(180, settings.DuplexRotation);
    EXPECT_EQ(90, settings.Rotation);
    const auto& platen = response.ScannerConfiguration.Platen;
    ASSERT_EQ(4, platen.ColorSupported.__size);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(i, platen.ColorSupported.__ptr[i]);
    EXPECT_EQ(100, platen.PlatenMinimumSize.Width);
    EXPECT_EQ(200, platen.PlatenMinimumSize.Height);
    EXPECT_EQ(8500, platen.PlatenMaximumSize.Width);
    EXPECT_EQ(11700, platen.PlatenMaximumSize.Height);
    EXPECT_EQ(1200, platen.PlatenOpticalResolution.Width);
    EXPECT_EQ(2400, platen.PlatenOpticalResolution.Height);
    EXPECT_TRUE(platen.FlatbedSupported);
    const auto& adf = response.ScannerConfiguration.ADF;
    EXPECT_TRUE(adf.ADFSupported);
    EXPECT_FALSE(adf.ADFSupportsDuplex);
    EXPECT_EQ(300, adf.ADFMinimumSize.Width);
    EXPECT_EQ(400, adf.ADFMinimumSize.Height);
    EXPECT_EQ(8500, adf.ADFMaximumSize.Width);
    EXPECT_EQ(14000, adf.ADFMaximumSize.Height);
    EXPECT_EQ(600, adf.ADFOpticalResolution.Width);
    EXPECT_EQ(600, adf.ADFOpticalResolution.Height);
    const auto& status = response.ScannerStatus;
    EXPECT_STREQ("2026-12-07T09:00:00Z", status.ScannerCurrentTime);
    EXPECT_EQ(wscn__ScannerStateType__Processing, status.ScannerState);
    EXPECT_EQ(7, static_cast<int>(status.ScannerStateReason));  // MediaJam is 7 here, 12 for jobs
    EXPECT_TRUE(status.ScanToStatus.PaperInADF);
    EXPECT_FALSE(status.ScanToStatus.ScanToAvailable);
    EXPECT_STREQ("id-5", status.ScanToStatus.ScanIdentifier);
    EXPECT_STREQ("pc-1", status.ScanToStatus.Host);
    EXPECT_STREQ("Scan to PC", status.ScanToStatus.Display);
    EXPECT_STREQ("a@b.c", status.ScanToStatus.EmailAddress);
    EXPECT_STREQ("s", status.ScanToStatus.Subject);
    EXPECT_STREQ("f@b.c", status.ScanToStatus.FromAddress);
    EXPECT_STREQ("r@b.c", status.ScanToStatus.ReplyToAddress);
    EXPECT_STREQ("ZK-3000", response.ScannerInfo.ModelNumber);
  }
}

TEST_F(ServiceResponseTest, ScannerStateReasonsUseTheirOwnCodes) {
  const std::pair<const char*, int> cases[] = {
      {"AttentionRequired", 0}, {"CoverOpen", 2}, {"InputTrayEmpty", 3}, {"MediaJam", 7},
      {"Busy", 8},              {"None", 9},      {"MediaMispick", 10},  {"12", 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Reply(std::string("<w:ScanElements><ScannerStatus><ScannerState>Stopped</ScannerState>") +
          "<ScannerStateReason>" + c.first + "</ScannerStateReason></ScannerStatus></w:ScanElements>");
    wscn__ScanElements response;
    ASSERT_EQ(SOAP_OK, GetScannerElements(response));
    EXPECT_EQ(wscn__ScannerStateType__Stopped, response.ScannerStatus.ScannerState);
    EXPECT_EQ(c.second, static_cast<int>(response.ScannerStatus.ScannerStateReason));
  }
}

TEST_F(ServiceResponseTest, ArraysAreSizedByTheirCountOrGrowWithoutOne) {
  struct ArrayCase {
    const char* name;
    const char* element;
    std::vector<int> codes;
  };
  const ArrayCase cases[] = {
      {"count equals members",
       R"(<FormatSupported enc:arrayType="w:ScanDocumentFormat[3]">
            <item>png</item><item>mmr</item><item>zkraw</item></FormatSupported>)",
       {3, 2, 1}},
      {"count above members: the rest keep defaults",
       R"(<FormatSupported enc:arrayType="w:ScanDocumentFormat[4]">
            <item>png</item><item>zkraw</item></FormatSupported>)",
       {3, 1, 0, 0}},
      {"count below members: the extra members are dropped",
       R"(<FormatSupported enc:arrayType="w:ScanDocumentFormat[2]">
            <item>zkraw</item><item>png</item><item>mmr</item></FormatSupported>)",
       {1, 3}},
      {"no count", R"(<FormatSupported><item>zkraw</item><item>jfif</item><item>png</item>
                        <item>9</item></FormatSupported>)",
       {1, 0, 3, 9}},
      {"no count, no members", "<FormatSupported/>", {}},
      {"element missing", "", {}},
  };
  for (Envelope envelope : {Envelope::kSoap12, Envelope::kSoap11}) {
    for (const ArrayCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (envelope == Envelope::kSoap12 ? ", SOAP 1.2" : ", SOAP 1.1"));
      Reply(ScanElementsWith(c.element), envelope);
      wscn__ScanElements response;
      ASSERT_EQ(SOAP_OK, GetScannerElements(response));
      EXPECT_EQ(c.codes, Formats(response));
      // The members after the array still read.
      EXPECT_EQ(50, response.ScannerConfiguration.DeviceSettings.FeederCapacity);
    }
  }
}

// SOAP-ENC:position belongs to SOAP 1.1 encoding; SOAP 1.2 has no positioned members.
TEST_F(ServiceResponseTest, PositionedArrayMembersInSoap11PlaceOrFailOutsideTheCount) {
  Reply(ScanElementsWith(R"(<FormatSupported enc:arrayType="w:ScanDocumentFormat[3]">
        <item enc:position="[0]">zkraw</item><item enc:position="[2]">png</item>
      </FormatSupported>)"),
        Envelope::kSoap11);
  wscn__ScanElements placed;
  ASSERT_EQ(SOAP_OK, GetScannerElements(placed));
  EXPECT_EQ((std::vector<int>{1, 0, 3}), Formats(placed));

  Reply(ScanElementsWith(R"(<FormatSupported enc:arrayType="w:ScanDocumentFormat[2]">
        <item enc:position="[0]">zkraw</item><item enc:position="[5]">png</item>
      </FormatSupported>)"),
        Envelope::kSoap11);
  wscn__ScanElements outside;
  EXPECT_EQ(SOAP_IOB, GetScannerElements(outside));
}

TEST_F(ServiceResponseTest, BooleansReadTrueFalseOneAndZero) {
  const std::pair<const char*, bool> cases[] = {
      {"true", true}, {"false", false}, {"1", true}, {"0", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Reply(std::string("<w:ScanElements><ScannerStatus><ScanToStatus><PaperInADF>") + c.first +
          "</PaperInADF></ScanToStatus></ScannerStatus></w:ScanElements>");
    wscn__ScanElements response;
    response.ScannerStatus.ScanToStatus.PaperInADF = !c.second;
    ASSERT_EQ(SOAP_OK, GetScannerElements(response));
    EXPECT_EQ(c.second, response.ScannerStatus.ScanToStatus.PaperInADF);
  }
  for (const char* bad : {"yes", "2", ""}) {
    SCOPED_TRACE(bad);
    Reply(std::string("<w:ScanElements><ScannerStatus><ScanToStatus><PaperInADF>") + bad +
          "</PaperInADF></ScanToStatus></ScannerStatus></w:ScanElements>");
    wscn__ScanElements response;
    EXPECT_EQ(SOAP_TYPE, GetScannerElements(response));
  }
}

TEST_F(ServiceResponseTest, CancelAndPadInfoResponsesRead) {
  Reply("<w:CancelRequestResponseType><JobId>31</JobId></w:CancelRequestResponseType>",
        Envelope::kSoap11);
  wscn__CancelRequestResponseType cancel;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__CancelJobRequest(soap_, server_.Endpoint().c_str(), nullptr,
                                                      31, &cancel));
  EXPECT_EQ(31u, cancel.JobId);
  Reply("<w:PadInfoResponseType><Extra/><TotalPadLines>-1</TotalPadLines></w:PadInfoResponseType>");
  wscn__PadInfoResponseType pad;
  ASSERT_EQ(SOAP_OK, soap_call_wscn__GetPreviousImagePadInfo(soap_, server_.Endpoint().c_str(),
                                                             nullptr, &pad));
  EXPECT_EQ(-1, pad.TotalPadLines);
}

}  // namespace
