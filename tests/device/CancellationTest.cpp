// Ending scans early through the driver object: a stop while the host's read waits in the
// middle of a page (by StopScan or by the host's cancel event), a device that does not know the
// job yet when the cancel comes, and the feeder eject for running and finished jobs.
#include <atomic>
#include <thread>

#include "tests/device/FlowTestSupport.h"

namespace {

using namespace flowtest;
using devicetest::Eventually;
using devicetest::Occurrences;

class CancellationTest : public FlowTest {
 protected:
  // A black and white page of about three megabytes that the device sends slowly: a piece
  // every 0.8 s, so the page's exchange is still under way for a while after a cancel (the
  // device's next piece ends it).
  void StartSlowPage(SimConfig config = SimConfig()) {
    config.rateBytesPerSecond = 20000;
    config.chunkSize = 16384;
    StartSimAndOpen(config);
    if (HasFatalFailure()) return;
    pageBytes_ = SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_BW, 1, 1200, 0, 0, 1200, 1200));
    DWORD code = 0;
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
  }

  // Reads the page on a host thread of its own; `reading` turns true with the first bytes.
  std::thread ReadOnHostThread(HostPage& page, std::atomic<bool>& reading) {
    return std::thread([this, &page, &reading] {
      page = ReadPage(8192, [&](size_t) { reading = true; });
    });
  }

  uint64_t pageBytes_ = 0;

  HRESULT Stop(bool byEvent, DWORD* code) {
    return byEvent ? events_->SendAppEvent(session_, C_EVENT_SW_CANCEL, code) : StopScan(code);
  }

  // Waits until the scan thread has handled everything posted to it (the feeder query waits
  // for that first).
  void SettleScanThread() {
    BYTE ready = 0;
    DWORD code = 0;
    adf2_->ADFIsReady(session_, &ready, &code);
  }
};

TEST_F(CancellationTest, StopDuringAPageWakesTheReadWithCancelAndCancelsTheJobOnce) {
  for (const bool firstByEvent : {false, true}) {
    SCOPED_TRACE(firstByEvent ? "SendAppEvent, then StopScan" : "StopScan, then SendAppEvent");
    StartSlowPage();
    HostPage page;
    std::atomic<bool> reading{false};
    std::thread host = ReadOnHostThread(page, reading);
    ASSERT_TRUE(Eventually([&] { return reading.load(); }));
    DWORD code = 0xDEAD;
    EXPECT_EQ(S_OK, Stop(firstByEvent, &code));
    EXPECT_EQ(0u, code);
    // A second stop before the scan ended: the job is cancelled already.
    EXPECT_EQ(S_OK, Stop(!firstByEvent, &code));
    EXPECT_EQ(0u, code);
    host.join();
    EXPECT_EQ(E_FAIL, page.lastResult);
    EXPECT_EQ(static_cast<DWORD>(CERR_CANCEL_PRESSED), page.lastCode);
    EXPECT_LT(page.bytes.size(), pageBytes_);

    EXPECT_EQ(1, LogCount("Error: User pressed cancel on host"));
    SettleScanThread();
    // The second stop either meets the cancelled page (and is disregarded) or, when the scan
    // thread has already ended and closed that page, cancels the job once more: every stop is
    // accounted for, and the first one always reaches the device.
    const int disregarded = LogCount("Job already canceled; disregarding cancel request");
    const std::vector<RequestRecord> cancels = Requests(Operation::CancelJob);
    EXPECT_LE(disregarded, 1);
    ASSERT_EQ(2u, cancels.size() + static_cast<size_t>(disregarded));
    for (const RequestRecord& cancel : cancels) {
      EXPECT_EQ(Requests(Operation::CreateScanJob).at(0).jobId, cancel.jobId);
    }
    EXPECT_TRUE(cancels[0].faultSubcode.empty());

    // The session scans again afterwards.
    DWORD again = 0;
    SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 75));
    ASSERT_EQ(S_OK, StartScan(&again)) << again;
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
    EXPECT_EQ(S_OK, StopScan(&again));

    DWORD error = 0;
    scanner_->UnlockScanner(session_, &error);
    ASSERT_EQ(S_OK, scanner_->CloseScannerSession(session_, &error));
    session_ = 0;
    sim_->Stop();
    sim_.reset();
    sandbox_->ClearLog();
  }
}

TEST_F(CancellationTest, CancelOfAJobTheDeviceDoesNotKnowYetIsRepeated) {
  struct Case {
    int notFoundAnswers;
    size_t attempts;
    bool gaveUp;
  };
  TimeLimits::Instance().cancelRetryMs = 10;
  for (const Case c : {Case{2, 3, false}, Case{1000, 11, true}}) {
    SCOPED_TRACE(c.notFoundAnswers);
    SimConfig config;
    config.cancelJobIdNotFound = c.notFoundAnswers;
    StartSlowPage(config);
    HostPage page;
    std::atomic<bool> reading{false};
    std::thread host = ReadOnHostThread(page, reading);
    ASSERT_TRUE(Eventually([&] { return reading.load(); }));
    DWORD code = 0;
    EXPECT_EQ(S_OK, StopScan(&code));
    host.join();
    EXPECT_EQ(static_cast<DWORD>(CERR_CANCEL_PRESSED), page.lastCode);
    if (c.gaveUp) {
      EXPECT_EQ(1, LogCount("Error: Failed to cancel scan before retry expiration"));
      EXPECT_EQ(1, LogCount("Warning: Couldn't cancel scan on device"));
    }
    SettleScanThread();
    ASSERT_TRUE(Eventually([&] { return Count(Operation::CancelJob) >= c.attempts; }));
    const std::vector<RequestRecord> cancels = Requests(Operation::CancelJob);
    ASSERT_EQ(c.attempts, cancels.size());
    for (size_t i = 0; i < cancels.size(); ++i) {
      const bool refused = int(i) < c.notFoundAnswers;
      EXPECT_EQ(refused ? "wscn:ClientErrorJobIdNotFound" : "", cancels[i].faultSubcode) << i;
    }
    if (!c.gaveUp) {
      EXPECT_EQ(0, Occurrences(sandbox_->Log(), "Failed to cancel scan before retry expiration"));
    }

    DWORD error = 0;
    scanner_->UnlockScanner(session_, &error);
    ASSERT_EQ(S_OK, scanner_->CloseScannerSession(session_, &error));
    session_ = 0;
    sim_->Stop();
    sim_.reset();
    sandbox_->ClearLog();
  }
}

TEST_F(CancellationTest, EjectCancelsARunningFeederJobOnly) {
  SimConfig config;
  config.adfSheets = 3;
  StartSimAndOpen(config);
  SetAdfOptions(false);
  SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 8, 100));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
  EXPECT_EQ(S_OK, StopScan(&code));

  // Two sheets are left: the job still runs on the device, and ejecting cancels it.
  const uint32_t job = Requests(Operation::CreateScanJob).at(0).jobId;
  EXPECT_EQ(S_OK, adf2_->ADFEjectMedia(session_, &code));
  EXPECT_EQ(0u, code);
  ASSERT_TRUE(Eventually([&] { return Count(Operation::CancelJob) == 1; }));
  EXPECT_EQ(job, Requests(Operation::CancelJob).at(0).jobId);

  // The next page starts a new job, which the feeder's remaining sheets finish.
  int pages = 0;
  for (BYTE ready = 1; ready == 1 && pages < 5;) {
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
    EXPECT_EQ(S_OK, StopScan(&code));
    ++pages;
    ASSERT_EQ(S_OK, adf2_->ADFIsReady(session_, &ready, &code));
  }
  EXPECT_EQ(2, pages);
  EXPECT_EQ(2u, Count(Operation::CreateScanJob));

  // That job is over (the feeder ran empty): ejecting asks for its state and cancels nothing.
  const size_t queries = Count(Operation::GetJobInfo);
  EXPECT_EQ(S_OK, adf2_->ADFEjectMedia(session_, &code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ(queries + 1, Count(Operation::GetJobInfo));
  SettleScanThread();
  EXPECT_EQ(1u, Count(Operation::CancelJob));
}

TEST_F(CancellationTest, EjectAfterACompletedPlatenPageCancelsNothing) {
  StartSimAndOpen();
  SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_COLOR, 8, 75));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
  EXPECT_EQ(S_OK, StopScan(&code));
  EXPECT_EQ(S_OK, adf2_->ADFEjectMedia(session_, &code));
  EXPECT_EQ(0u, code);
  EXPECT_EQ(2u, Count(Operation::GetJobInfo));  // the page's check and the eject's
  SettleScanThread();
  EXPECT_EQ(0u, Count(Operation::CancelJob));
  EXPECT_EQ(2, LogCount("job state 2 (Completed)"));
}

}  // namespace
