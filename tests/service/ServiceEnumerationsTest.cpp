// Every enumeration literal of the scan service against its code, both ways, from a table
// typed in here from the service's description (not generated from the schema header).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/WscnService.h"
#include "tests/service/ServiceTestSupport.h"

namespace {

struct Literal {
  const char* text;
  int code;
};

template <typename Enum>
void ExpectLiterals(const char* type, const std::vector<Literal>& literals,
                    const char* (*toText)(struct soap*, Enum),
                    int (*fromText)(struct soap*, const char*, Enum*)) {
  TestContext soap;
  for (const Literal& literal : literals) {
    SCOPED_TRACE(std::string(type) + " " + literal.text);
    EXPECT_STREQ(literal.text, toText(soap, static_cast<Enum>(literal.code)));
    Enum value = static_cast<Enum>(-1);
    EXPECT_EQ(SOAP_OK, fromText(soap, literal.text, &value));
    EXPECT_EQ(literal.code, static_cast<int>(value));
  }
}

TEST(ServiceEnumerationsTest, LiteralsAndCodesMatchTheServiceBothWays) {
  ExpectLiterals<wscn__ScanDocumentFormat>(
      "ScanDocumentFormat", {{"jfif", 0}, {"zkraw", 1}, {"mmr", 2}, {"png", 3}},
      soap_wscn__ScanDocumentFormat2s, soap_s2wscn__ScanDocumentFormat);
  ExpectLiterals<wscn__ScanInputSource>(
      "ScanInputSource", {{"ADF", 0}, {"ADFDuplex", 1}, {"Platen", 2}, {"S2", 3}},
      soap_wscn__ScanInputSource2s, soap_s2wscn__ScanInputSource);
  ExpectLiterals<wscn__ContentType>(
      "ContentType", {{"Auto", 0}, {"Document", 1}, {"Photo", 2}, {"Object3D", 3}},
      soap_wscn__ContentType2s, soap_s2wscn__ContentType);
  ExpectLiterals<wscn__ColorEntryType>(
      "ColorEntryType",
      {{"BlackandWhite1", 0}, {"GrayScale8", 1}, {"RGB24", 2}, {"RGB48", 3}},
      soap_wscn__ColorEntryType2s, soap_s2wscn__ColorEntryType);
  ExpectLiterals<wscn__ImageProcessingRemoveType>(
      "ImageProcessingRemoveType",
      {{"removeNone", 0},           {"removeAll", 1},
       {"remove10to8", 2},          {"remove3x3", 3},
       {"captureLeftAmb", 10},      {"captureLeftFlash", 11},
       {"captureRightAmb", 12},     {"captureRightFlash", 13},
       {"captureCenterAmb", 14},    {"captureCenterFlash", 15},
       {"captureLeftLamp", 16},     {"captureRightLamp", 17},
       {"captureCenterLamp", 18},   {"captureLeftUniform", 19},
       {"captureRightUniform", 20}, {"captureCenterUniform", 21},
       {"captureMerged", 22},       {"captureDemosaiced", 23},
       {"captureDistortionCorrect", 24}, {"captureAfterLUT", 25},
       {"captureFinalSendToBIP", 26}},
      soap_wscn__ImageProcessingRemoveType2s, soap_s2wscn__ImageProcessingRemoveType);
  ExpectLiterals<wscn__JobStateType>(
      "JobStateType",
      {{"Aborted", 0}, {"Canceled", 1}, {"Completed", 2}, {"Creating", 3}, {"Pending", 4},
       {"Pending-Held", 5}, {"Processing", 6}, {"Started", 7}, {"Terminating", 8},
       {"Unknown", 9}},
      soap_wscn__JobStateType2s, soap_s2wscn__JobStateType);
  ExpectLiterals<wscn__JobStateReasonsType>(
      "JobStateReasonsType",
      {{"InvalidScanTicket", 0}, {"DocumentFormatError", 1}, {"ImageTransferError", 2},
       {"JobCanceledAtDevice", 3}, {"JobCompletedSuccessfully", 4}, {"JobScanning", 5},
       {"JobScanningAndTransferring", 6}, {"JobTimedOut", 7}, {"JobTransferring", 8},
       {"None", 9}, {"ScannerStopped", 10}, {"MediaMispick", 11}, {"MediaJam", 12},
       {"CoverOpen", 13}, {"InternalStorageFull", 14}},
      soap_wscn__JobStateReasonsType2s, soap_s2wscn__JobStateReasonsType);
  ExpectLiterals<wscn__ScannerStateType>(
      "ScannerStateType", {{"Idle", 0}, {"Processing", 1}, {"Stopped", 2}},
      soap_wscn__ScannerStateType2s, soap_s2wscn__ScannerStateType);
  ExpectLiterals<wscn__ScannerStateReasonsType>(
      "ScannerStateReasonsType",
      {{"AttentionRequired", 0}, {"Calibrating", 1}, {"CoverOpen", 2}, {"InputTrayEmpty", 3},
       {"InternalStorageFull", 4}, {"LampError", 5}, {"LampWarming", 6}, {"MediaJam", 7},
       {"Busy", 8}, {"None", 9}, {"MediaMispick", 10}},
      soap_wscn__ScannerStateReasonsType2s, soap_s2wscn__ScannerStateReasonsType);
}

TEST(ServiceEnumerationsTest, CodesWithoutLiteralAreWrittenAsNumbers) {
  TestContext soap;
  for (int code : {4, 5, 9, 27}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(std::to_string(code),
              soap_wscn__ImageProcessingRemoveType2s(
                  soap, static_cast<wscn__ImageProcessingRemoveType>(code)));
  }
  EXPECT_STREQ("42", soap_wscn__JobStateType2s(soap, static_cast<wscn__JobStateType>(42)));
}

}  // namespace
