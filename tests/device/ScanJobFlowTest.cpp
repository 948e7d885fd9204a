// Scans through the driver object against the simulated scanner: platen pages in colour, grey
// and black and white at several resolutions and regions, feeder jobs page by page in one job,
// the feeder refilled behind the driver's back, and the feeder state asked afresh each time.
#include "tests/device/FlowTestSupport.h"

namespace {

using namespace flowtest;
using devicetest::Eventually;
using devicetest::Occurrences;

class ScanJobFlowTest : public FlowTest {
 protected:
  BYTE AdfIsReady() {
    BYTE ready = 7;
    DWORD error = 0;
    EXPECT_EQ(S_OK, adf2_->ADFIsReady(session_, &ready, &error)) << error;
    return ready;
  }
};

struct PlatenCase {
  const char* name;
  DWORD mode;
  BYTE bits;
  WORD dpi;
  DWORD left, top, width, length;
  int format;
};

TEST_F(ScanJobFlowTest, PlatenPagesReachTheHostAsSentWithoutPadRows) {
  SimConfig config;
  config.padLines = 9;
  StartSimAndOpen(config);
  const PlatenCase cases[] = {
      {"colour 75 dpi, whole width", C_SCANMODE_COLOR, 8, 75, 0, 0, 2550, 900, cavixsim::kFormatJfif},
      {"colour 300 dpi, region", C_SCANMODE_COLOR, 8, 300, 150, 300, 640, 700, cavixsim::kFormatJfif},
      {"colour 600 dpi, region", C_SCANMODE_COLOR, 8, 600, 1000, 1200, 600, 580, cavixsim::kFormatJfif},
      {"grey 150 dpi, region", C_SCANMODE_GREYSCALE, 8, 150, 33, 17, 1201, 1333, cavixsim::kFormatJfif},
      {"grey 1200 dpi, region", C_SCANMODE_GREYSCALE, 8, 1200, 300, 300, 600, 600, cavixsim::kFormatJfif},
      {"bw 100 dpi", C_SCANMODE_BW, 1, 100, 0, 0, 2550, 3507, cavixsim::kFormatZkraw},
      {"bw 300 dpi, region", C_SCANMODE_BW, 1, 300, 77, 99, 1003, 777, cavixsim::kFormatZkraw},
      {"bw 1200 dpi, region", C_SCANMODE_BW, 1, 1200, 600, 600, 601, 600, cavixsim::kFormatZkraw},
  };
  size_t pagesBefore = 0;
  for (const PlatenCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t pageBytes =
        SetParameters(Parameters(C_SCANMETHOD_FLATBED, c.mode, c.bits, c.dpi, c.left, c.top, c.width, c.length));
    DWORD code = 0xDEAD;
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
    EXPECT_EQ(0u, code);
    const HostPage page = ReadPage(50000);
    EXPECT_EQ(S_OK, page.lastResult);
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), page.lastCode);
    EXPECT_EQ(1, page.shortReads);  // only the last read is short
    EXPECT_EQ(S_OK, StopScan(&code)) << code;

    const std::vector<SentPage> sent = sim_->SentPages();
    ASSERT_EQ(pagesBefore + 1, sent.size());
    const SentPage& last = sent.back();
    pagesBefore = sent.size();
    EXPECT_EQ(c.format, last.format);
    EXPECT_TRUE(last.complete);
    EXPECT_EQ(9u, last.padLines);
    EXPECT_EQ(pageBytes, page.bytes.size());
    const std::vector<uint8_t> expected = ExpectedHostBytes(last);
    ASSERT_EQ(expected.size(), page.bytes.size());
    EXPECT_TRUE(expected == page.bytes) << "host bytes differ from the page sent";
  }
  // One job and one page request per platen page, each followed by the job state and pad lines.
  const size_t pages = sizeof cases / sizeof cases[0];
  EXPECT_EQ(pages, Count(Operation::CreateScanJob));
  EXPECT_EQ(pages, Count(Operation::RetrieveImage));
  EXPECT_EQ(pages, Count(Operation::GetJobInfo));
  EXPECT_EQ(pages, Count(Operation::GetPreviousImagePadInfo));
  EXPECT_EQ(0u, Count(Operation::CancelJob));
  for (const RequestRecord& r : Requests(Operation::CreateScanJob)) {
    EXPECT_EQ(cavixsim::kSourcePlaten, r.ticket.inputSource);
    EXPECT_EQ(0, r.ticket.imagesToTransfer);
  }
}

TEST_F(ScanJobFlowTest, ReadOfExactlyThePageEndsItAndTheNextReadIsEmptyWithEndOfPage) {
  StartSimAndOpen();
  const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 100));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  std::vector<BYTE> buffer(pageBytes + 10);
  DWORD got = 0;
  // Reading exactly the page's size ends the page before the stream reports its end.
  ASSERT_EQ(S_OK, scanner_->ReadScanEx(session_, buffer.data(), static_cast<DWORD>(pageBytes), &got, &code));
  EXPECT_EQ(pageBytes, got);
  EXPECT_EQ(0u, code);
  ASSERT_EQ(S_OK, scanner_->ReadScanEx(session_, buffer.data(), 100, &got, &code));
  EXPECT_EQ(0u, got);
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), code);
  EXPECT_EQ(S_OK, StopScan(&code));
  EXPECT_EQ(0u, Count(Operation::CancelJob));
}

TEST_F(ScanJobFlowTest, FeederJobsRunPageByPageInOneJobAndEndOnTheNoImagesRefusal) {
  struct FeederCase {
    bool duplex;
    int sheets;
    int images;
  };
  for (const FeederCase c : {FeederCase{false, 3, 3}, FeederCase{true, 2, 4}}) {
    SCOPED_TRACE(c.duplex ? "duplex" : "simplex");
    SimConfig config;
    config.adfSheets = c.sheets;
    config.padLines = 4;
    if (sim_) {
      config.keepPageBytes = true;
      ASSERT_TRUE(sim_->Reconfigure(config));
    } else {
      StartSimAndOpen(config);
    }
    SetAdfOptions(c.duplex);
    const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 8, 150, 0, 0, 700, 800));
    std::vector<HostPage> pages;
    while (AdfIsReady() == 1 && pages.size() < 10) {
      DWORD code = 0xDEAD;
      ASSERT_EQ(S_OK, StartScan(&code)) << code;
      pages.push_back(ReadPage(40000));
      EXPECT_EQ(S_OK, StopScan(&code));
    }
    ASSERT_EQ(size_t(c.images), pages.size());
    const std::vector<SentPage> sent = sim_->SentPages();
    ASSERT_EQ(size_t(c.images), sent.size());
    for (int i = 0; i < c.images; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), pages[i].lastCode);
      EXPECT_EQ(pageBytes, pages[i].bytes.size());
      EXPECT_TRUE(ExpectedHostBytes(sent[i]) == pages[i].bytes);
      EXPECT_EQ(c.duplex ? i % 2 : 0, sent[i].side);
      EXPECT_EQ(i + 1, sent[i].imageInJob);
    }
    // One job; one page request per image and one more that found no images.
    const std::vector<RequestRecord> creates = Requests(Operation::CreateScanJob);
    ASSERT_EQ(1u, creates.size());
    EXPECT_EQ(c.duplex ? cavixsim::kSourceAdfDuplex : cavixsim::kSourceAdf, creates[0].ticket.inputSource);
    EXPECT_EQ(0, creates[0].ticket.imagesToTransfer);
    const std::vector<RequestRecord> retrieves = Requests(Operation::RetrieveImage);
    ASSERT_EQ(size_t(c.images + 1), retrieves.size());
    EXPECT_EQ("wscn:ClientErrorNoImagesAvailable", retrieves.back().faultSubcode);
    EXPECT_EQ(0u, Count(Operation::CancelJob));
  }
  EXPECT_EQ(0, Occurrences(sandbox_->Log(), "RetrieveImageError"));
}

// A host that reads a feeder page only once the scanner has finished it (pad-line count
// given, the feeder asked again), after it read a longer page of an earlier job: the page comes
// whole and without its pad rows, as read at once.
TEST_F(ScanJobFlowTest, FeederPageReadAfterTheScanThreadFinishedItComesWithoutPadRows) {
  SimConfig config;
  config.adfSheets = 1;
  StartSimAndOpen(config);
  SetAdfOptions(false);
  const uint64_t longBytes = SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_COLOR, 8, 100));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  const HostPage longPage = ReadPage();
  EXPECT_EQ(S_OK, StopScan(&code));
  ASSERT_EQ(longBytes, longPage.bytes.size());

  config.adfSheets = 2;
  config.padLines = 3;
  config.keepPageBytes = true;
  ASSERT_TRUE(sim_->Reconfigure(config));
  const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 8, 100));
  ASSERT_LT(pageBytes, longBytes);
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("page " + std::to_string(i + 1));
    ASSERT_EQ(1, AdfIsReady());
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
    // The scan thread asks for the feeder state only after it gave the page its pad-line count.
    ASSERT_TRUE(Eventually([&] {
      size_t padQueries = 0;
      for (const RequestRecord& r : sim_->Requests()) {
        if (r.op == Operation::GetPreviousImagePadInfo) ++padQueries;
        if (padQueries == i + 1 && r.op == Operation::GetScannerElements) return true;
      }
      return false;
    }));
    const HostPage page = ReadPage();
    EXPECT_EQ(S_OK, StopScan(&code));
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), page.lastCode);
    const std::vector<SentPage> sent = sim_->SentPages();
    ASSERT_EQ(i + 1, sent.size());
    EXPECT_EQ(3u, sent[i].padLines);
    EXPECT_EQ(pageBytes, page.bytes.size());
    EXPECT_TRUE(ExpectedHostBytes(sent[i]) == page.bytes) << "host bytes differ from the page sent";
  }
}

TEST_F(ScanJobFlowTest, FeederRefilledAfterItsLastEmptyAnswerGetsItsJobCancelledAndThePageStaysWhole) {
  SimConfig config;
  config.adfSheets = 2;
  config.refillAdfWhenEmpty = 3;
  StartSimAndOpen(config);
  SetAdfOptions(false);
  const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_COLOR, 8, 100));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  HostPage first = ReadPage();
  EXPECT_EQ(S_OK, StopScan(&code));
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  // The driver learns of the refill only from the image that came after the empty answer; the
  // job is cancelled on the device while the host has not yet read the page before it.
  ASSERT_TRUE(Eventually([&] { return Count(Operation::CancelJob) == 1; }));
  HostPage second = ReadPage();
  EXPECT_EQ(S_OK, StopScan(&code));

  const std::vector<SentPage> sent = sim_->SentPages();
  ASSERT_EQ(3u, sent.size());  // the third image was the refill's, thrown away
  for (int i = 0; i < 2; ++i) {
    const HostPage& page = i == 0 ? first : second;
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), page.lastCode);
    EXPECT_EQ(pageBytes, page.bytes.size());
    EXPECT_TRUE(ExpectedHostBytes(sent[i]) == page.bytes);
  }
  const std::vector<RequestRecord> cancels = Requests(Operation::CancelJob);
  ASSERT_EQ(1u, cancels.size());
  EXPECT_EQ(Requests(Operation::CreateScanJob).at(0).jobId, cancels[0].jobId);
  const std::string log = sandbox_->Log();
  EXPECT_EQ(1, Occurrences(log, "The ADF has been reloaded since we last queried the device."));
  EXPECT_EQ(0, Occurrences(log, "Scan failed for unknown reasons"));

  // The job is over for the driver too: the next page starts a new job.
  ASSERT_EQ(1, AdfIsReady());
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  HostPage third = ReadPage();
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), third.lastCode);
  EXPECT_EQ(S_OK, StopScan(&code));
  EXPECT_EQ(2u, Count(Operation::CreateScanJob));
}

TEST_F(ScanJobFlowTest, FeederStateComesFromAFreshQueryEachTime) {
  StartSimAndOpen();
  EXPECT_EQ(0, AdfIsReady());
  sim_->LoadAdf(2);
  EXPECT_EQ(1, AdfIsReady());
  sim_->LoadAdf(0);
  EXPECT_EQ(0, AdfIsReady());
  EXPECT_EQ(3u, Count(Operation::GetScannerElements));

  // A failed query is a failure, not a stale answer.
  sim_->Stop();
  BYTE ready = 7;
  DWORD error = 0;
  EXPECT_EQ(E_FAIL, adf2_->ADFIsReady(session_, &ready, &error));
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_COMMUNICATION_FAILED), error);
  EXPECT_EQ(7, ready);
}

}  // namespace
