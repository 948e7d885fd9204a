// Rewriting of response envelopes, checked against hand-written documents.
#include <gtest/gtest.h>

#include "sim/XmlMangler.h"

using cavixsim::XmlMangler;

namespace {

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:SOAP-ENC=\"http://www.w3.org/2003/05/soap-encoding\" xmlns:wscn=\"http://tempuri.org/wscn.xsd\">"
    "<SOAP-ENV:Body>";
const std::string kTail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>\n";

const std::string kJob =
    "<wscn:JobSummaryType><JobId>3</JobId><JobState>Pending-Held</JobState>"
    "<JobStateReasons>MediaJam</JobStateReasons><ScansCompleted>0</ScansCompleted></wscn:JobSummaryType>";

const std::string kStatus =
    "<wscn:ScanElements><ScannerConfiguration><DeviceSettings>"
    "<FormatSupported SOAP-ENC:itemType=\"wscn:ScanDocumentFormat\" SOAP-ENC:arraySize=\"2\"><item>jfif</item>"
    "<item>zkraw</item></FormatSupported><QualityFactorSupported>false</QualityFactorSupported>"
    "</DeviceSettings></ScannerConfiguration><ScannerStatus><ScannerState>Stopped</ScannerState>"
    "<ScannerStateReason>MediaJam</ScannerStateReason><ScanToStatus><PaperInADF>true</PaperInADF>"
    "</ScanToStatus></ScannerStatus></wscn:ScanElements>";

XmlMangler::Options Opt(bool reorder, bool extra, bool numbers, bool soap11) {
  XmlMangler::Options o;
  o.reorder = reorder;
  o.extraElements = extra;
  o.enumNumbers = numbers;
  o.soap11 = soap11;
  return o;
}

}  // namespace

TEST(XmlManglerTest, EnumerationsAndBooleansBecomeTheirCodes) {
  EXPECT_EQ(XmlMangler::Apply(kHead + kJob + kTail, Opt(false, false, true, false)),
            kHead +
                "<wscn:JobSummaryType><JobId>3</JobId><JobState>5</JobState>"
                "<JobStateReasons>12</JobStateReasons><ScansCompleted>0</ScansCompleted></wscn:JobSummaryType>" +
                kTail);
  // The same word is another code in the scanner's reasons; array items take the array's type.
  EXPECT_EQ(XmlMangler::Apply(kHead + kStatus + kTail, Opt(false, false, true, false)),
            kHead +
                "<wscn:ScanElements><ScannerConfiguration><DeviceSettings>"
                "<FormatSupported SOAP-ENC:itemType=\"wscn:ScanDocumentFormat\" SOAP-ENC:arraySize=\"2\">"
                "<item>0</item><item>1</item></FormatSupported><QualityFactorSupported>0</QualityFactorSupported>"
                "</DeviceSettings></ScannerConfiguration><ScannerStatus><ScannerState>2</ScannerState>"
                "<ScannerStateReason>7</ScannerStateReason><ScanToStatus><PaperInADF>1</PaperInADF>"
                "</ScanToStatus></ScannerStatus></wscn:ScanElements>" +
                kTail);
  EXPECT_EQ(XmlMangler::EnumCode("ImageProcessingRemoval", "captureAfterLUT"), 25);
  EXPECT_EQ(XmlMangler::EnumCode("Format", "zkraw"), 1);
  EXPECT_EQ(XmlMangler::EnumCode("JobState", "Pending Held"), -1);
  EXPECT_EQ(XmlMangler::EnumCode("ModelNumber", "vqm440"), -1);
}

TEST(XmlManglerTest, ReorderReversesElementsButNotArrayItems) {
  EXPECT_EQ(XmlMangler::Apply(kHead + kJob + kTail, Opt(true, false, false, false)),
            kHead +
                "<wscn:JobSummaryType><ScansCompleted>0</ScansCompleted><JobStateReasons>MediaJam</JobStateReasons>"
                "<JobState>Pending-Held</JobState><JobId>3</JobId></wscn:JobSummaryType>" +
                kTail);
  const std::string out = XmlMangler::Apply(kHead + kStatus + kTail, Opt(true, false, false, false));
  EXPECT_NE(out.find("<wscn:ScanElements><ScannerStatus><ScanToStatus>"), std::string::npos) << out;
  EXPECT_NE(out.find("<item>jfif</item><item>zkraw</item>"), std::string::npos) << out;
}

TEST(XmlManglerTest, ExtraElementsGoIntoComplexElementsOnly) {
  const std::string out = XmlMangler::Apply(kHead + kStatus + kTail, Opt(false, true, false, false));
  const std::string extra = "<VendorExtension><Revision>7</Revision></VendorExtension>";
  EXPECT_NE(out.find("<wscn:ScanElements>" + extra + "<ScannerConfiguration>" + extra + "<DeviceSettings>" + extra +
                     "<FormatSupported"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("SOAP-ENC:arraySize=\"2\"><item>jfif</item>"), std::string::npos) << out;
  EXPECT_NE(out.find("<ScanToStatus>" + extra + "<PaperInADF>true</PaperInADF>"), std::string::npos) << out;
}

TEST(XmlManglerTest, Soap11SwapsTheEnvelopeNamespacesAndFaultsStayWhole) {
  const std::string fault =
      "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value></SOAP-ENV:Code>"
      "</SOAP-ENV:Fault>";
  const std::string out = XmlMangler::Apply(kHead + fault + kTail, Opt(true, true, true, true));
  EXPECT_EQ(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:wscn=\"http://tempuri.org/wscn.xsd\">"
            "<SOAP-ENV:Body>" + fault + kTail);
  // Text that is no envelope comes back unchanged.
  EXPECT_EQ(XmlMangler::Apply("<a><b>open", Opt(true, true, true, false)), "<a><b>open");
}

TEST(XmlManglerTest, ArraysTakeTheArrayTypeForm) {
  XmlMangler::Options o;
  o.arrayTypeForm = true;
  EXPECT_EQ(XmlMangler::Apply(kHead + kStatus + kTail, o),
            kHead +
                "<wscn:ScanElements><ScannerConfiguration><DeviceSettings>"
                "<FormatSupported SOAP-ENC:arrayType=\"wscn:ScanDocumentFormat[2]\"><item>jfif</item>"
                "<item>zkraw</item></FormatSupported><QualityFactorSupported>false</QualityFactorSupported>"
                "</DeviceSettings></ScannerConfiguration><ScannerStatus><ScannerState>Stopped</ScannerState>"
                "<ScannerStateReason>MediaJam</ScannerStateReason><ScanToStatus><PaperInADF>true</PaperInADF>"
                "</ScanToStatus></ScannerStatus></wscn:ScanElements>" +
                kTail);
}
