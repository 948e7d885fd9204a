// A failure from the layers below as the SOAP runtime hears it, and the failure's text as it
// is handed up.
#include <gtest/gtest.h>

#include <errno.h>

#include <climits>
#include <string>

#include "service/SoapResult.h"

namespace {

TEST(SoapResultTest, EachKindOfFailureGivesTheRuntimeItsCode) {
  // The runtime's own values: SOAP_OK 0, SOAP_EOF -1, SOAP_FATAL_ERROR 11.
  const struct {
    ScanError error;
    size_t chunk;
    int soap;
  } kCases[] = {
      {ScanError(), 0, 0},
      {ScanError(), 4096, 0},
      {ScanError::EndOfData(CERR_CANCEL_PRESSED, "Stream end-of-data or cancel"), 4096, -1},
      {ScanError::EndOfData(CERR_SCANNER_END_OF_PAGE, ""), 0, -1},
      {ScanError::Failed(CERR_UNKNOWN, "Failed to decompress data"), 4096, 11},
      {ScanError::Failed(CERR_OUT_OF_MEMORY, ""), 0, 11},
      {ScanError::Declined(), 4096, 4096},
      {ScanError::Declined(), 0, 0},
      {ScanError::Declined(), static_cast<size_t>(INT_MAX) + 10, INT_MAX},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.error.Text() + " / " + std::to_string(c.chunk));
    EXPECT_EQ(c.soap, SoapResultOf(c.error, c.chunk));
  }
}

TEST(SoapResultTest, TheTextNamesTheFailedCallAndEachStepAboveIt) {
  const ScanError success;
  EXPECT_TRUE(success.Ok());
  EXPECT_EQ(static_cast<uint32_t>(CERR_NONE), success.Code());
  EXPECT_FALSE(ScanError::Declined().Ok());

  const ScanError read = ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "read()", EIO);
  EXPECT_EQ(ScanError::Kind::Failed, read.GetKind());
  EXPECT_EQ("read(): Input/output error", read.Text());
  const ScanError above = read.Within("UsbProtocol::Receive");
  EXPECT_EQ("UsbProtocol::Receive: read(): Input/output error", above.Text());
  EXPECT_EQ(static_cast<uint32_t>(CERR_SCANNER_COMMUNICATION_FAILED), above.Code());
  EXPECT_EQ(ScanError::Kind::Failed, above.GetKind());
  const ScanError ended = ScanError::EndOfData(CERR_CANCEL_PRESSED, "").Within("Stream end-of-data or cancel");
  EXPECT_EQ("Stream end-of-data or cancel", ended.Text());
  EXPECT_EQ(ScanError::Kind::EndOfData, ended.GetKind());
  EXPECT_EQ(static_cast<uint32_t>(CERR_CANCEL_PRESSED), ended.Code());
}

}  // namespace
