// Device answers as the host sees them: every way a page's retrieval can end, every reason a job
// is refused, the wait for a scanner that is not accepting jobs, and the pad-line query, each
// brought about by the simulated scanner and checked through the driver object's results and
// the log texts that name the case.
#include <atomic>
#include <thread>

#include "service/ServiceContext.h"
#include "service/WscnService.h"
#include "tests/device/FlowTestSupport.h"

namespace {

using namespace flowtest;
using cavixsim::Fault;
using cavixsim::InjectedFault;
using devicetest::Eventually;
using devicetest::Occurrences;

InjectedFault Injected(Operation op, const char* code, const char* subcode, const char* reason, int after = 0) {
  InjectedFault f;
  f.op = op;
  f.fault.code = code;
  f.fault.subcode = subcode;
  f.fault.reason = reason;
  f.after = after;
  return f;
}

enum class Source { Platen, Simplex, Duplex };

class DeviceStatusMappingTest : public FlowTest {
 protected:
  // Sets up a scan of small grey pages from the source.
  void Prepare(Source source) {
    if (source != Source::Platen) SetAdfOptions(source == Source::Duplex);
    SetParameters(Parameters(source == Source::Platen ? C_SCANMETHOD_FLATBED : C_SCANMETHOD_ADF,
                             C_SCANMODE_GREYSCALE, 8, 100));
  }

  // Scans `goodPages` pages that must succeed, then one more page that must fail; returns what
  // the host saw of the failing one (its StartScan result in lastResult/lastCode when that fails).
  HostPage ScanUntilFailure(int goodPages) {
    for (int i = 0; i < goodPages; ++i) {
      DWORD code = 0;
      EXPECT_EQ(S_OK, StartScan(&code)) << "page " << i << " code " << code;
      const HostPage page = ReadPage();
      EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), page.lastCode) << "page " << i;
      EXPECT_EQ(S_OK, StopScan(&code));
    }
    HostPage failed;
    DWORD code = 0;
    const HRESULT started = StartScan(&code);
    if (started != S_OK) {
      failed.lastResult = started;
      failed.lastCode = code;
      return failed;
    }
    failed = ReadPage();
    EXPECT_EQ(S_OK, StopScan(&code));
    return failed;
  }

  void Reconfigure(SimConfig config) {
    config.keepPageBytes = true;
    ASSERT_TRUE(sim_->Reconfigure(config));
    sandbox_->ClearLog();
  }
};

// A case: the device's behaviour, the pages that succeed first, and what the host must see.
struct PageFailureCase {
  const char* text;  // the log text that names the case
  Source source;
  int goodPages;
  std::function<void(SimConfig&)> configure;
  HRESULT result;
  DWORD code;
};

TEST_F(DeviceStatusMappingTest, EachWayAPageRetrievalFailsReachesTheHostWithItsCode) {
  StartSimAndOpen();
  const PageFailureCase cases[] = {
      {"Bad arguments to RetrieveImageRequest", Source::Platen, 0,
       [](SimConfig& c) {
         c.faults.push_back(Injected(Operation::RetrieveImage, "Sender", "wscn:ClientErrorInvalidJobToken", "bad"));
       },
       E_FAIL, CERR_UNKNOWN},
      {"ADF empty", Source::Simplex, 0, [](SimConfig& c) { c.adfSheets = 0; }, E_FAIL, CERR_ADF_EMPTY},
      {"Could not cache job status", Source::Platen, 0,
       [](SimConfig& c) {
         c.faults.push_back(
             Injected(Operation::GetJobInfo, "Receiver", "wscn:ServerErrorNotAcceptingJobs", "not now"));
       },
       CAVIX_E_SCONF_BUSY, CERR_SCANNER_COMMUNICATION_FAILED},
      {"ADF mispick", Source::Simplex, 1,
       [](SimConfig& c) {
         c.adfSheets = 3;
         c.mispickAtSheet = 2;
       },
       E_FAIL, CERR_ADF_PICK_FAILED},
      {"ADF jam", Source::Simplex, 1,
       [](SimConfig& c) {
         c.adfSheets = 3;
         c.jamAtSheet = 2;
       },
       E_FAIL, CERR_ADF_JAMMED},
      {"ADF cover open", Source::Simplex, 2,
       [](SimConfig& c) {
         c.adfSheets = 3;
         c.coverOpenAtSheet = 3;
       },
       E_FAIL, CERR_ADF_HATCH_OPEN},
      {"Scanner resource problem", Source::Platen, 0, [](SimConfig& c) { c.storageFullAtSheet = 1; },
       CAVIX_E_SCONF_BUSY, CERR_SCANNER_COMMUNICATION_FAILED},
      // A duplex job is not failed by a mispick as such; the aborted job is.
      {"Job state indicates scan ended without success", Source::Duplex, 2,
       [](SimConfig& c) {
         c.adfSheets = 3;
         c.mispickAtSheet = 2;
       },
       E_FAIL, CERR_UNKNOWN},
      {"Scan failed for unknown reasons", Source::Platen, 0,
       [](SimConfig& c) {
         c.faults.push_back(Injected(Operation::RetrieveImage, "Receiver", "wscn:ServerErrorTemporaryError", "hm"));
       },
       E_FAIL, CERR_UNKNOWN},
      {"Unable to query device for padline count", Source::Platen, 0,
       [](SimConfig& c) {
         c.faults.push_back(
             Injected(Operation::GetPreviousImagePadInfo, "Receiver", "wscn:ClientErrorJobCancelled", "gone"));
       },
       E_FAIL, CERR_CANCEL_PRESSED},
  };
  for (const PageFailureCase& c : cases) {
    SCOPED_TRACE(c.text);
    SimConfig config;
    c.configure(config);
    Reconfigure(config);
    Prepare(c.source);
    const HostPage failed = ScanUntilFailure(c.goodPages);
    EXPECT_EQ(c.result, failed.lastResult);
    EXPECT_EQ(c.code, failed.lastCode);
    EXPECT_EQ(1, LogCount("Error: " + std::string(c.text)));
    EXPECT_EQ(0, Occurrences(sandbox_->Log(), "User pressed cancel on host"));
    // Failed pages are not cancelled on the device: the device ended them itself.
    EXPECT_EQ(0u, Count(Operation::CancelJob));
  }
}

TEST_F(DeviceStatusMappingTest, LostConnectionDuringAFeederJobFailsThePageWithCommunicationFailure) {
  SimConfig config;
  config.adfSheets = 3;
  StartSimAndOpen(config);
  Prepare(Source::Simplex);
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
  EXPECT_EQ(S_OK, StopScan(&code));
  // The device goes away between two pages of the job; it is not found again.
  sim_->Stop();
  ASSERT_EQ(S_OK, StartScan(&code)) << code;  // the next page of an open job starts at once
  const HostPage page = ReadPage();
  EXPECT_EQ(E_FAIL, page.lastResult);
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_COMMUNICATION_FAILED), page.lastCode);
  EXPECT_TRUE(page.bytes.empty());
  EXPECT_EQ(S_OK, StopScan(&code));
  EXPECT_EQ(1, LogCount("Error: Network connection failure"));
}

TEST_F(DeviceStatusMappingTest, JobCancelledAtTheDeviceDuringThePageIsReportedAsCancelPressed) {
  SimConfig config;
  config.rateBytesPerSecond = 200000;  // pages of about two seconds
  config.chunkSize = 16384;
  StartSimAndOpen(config);
  // Raw rows, and JPEG pages whose decoding breaks off with the transfer: the job's state on
  // the device names the cause for each.
  struct Case {
    const char* name;
    SCANNER_PARAMETERS parameters;
  };
  const Case cases[] = {
      {"black and white", Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_BW, 1, 1200, 0, 0, 900, 900)},
      {"grey", Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 600, 0, 0, 2400, 3000)},
      {"colour", Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_COLOR, 8, 300, 0, 0, 2400, 3000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reconfigure(config);
    SetParameters(c.parameters);
    DWORD code = 0;
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
    // Someone presses cancel at the device once the host has its first rows.
    std::atomic<bool> reading{false};
    std::thread device([&] {
      ASSERT_TRUE(Eventually([&] { return reading.load(); }));
      const uint32_t job = Requests(Operation::CreateScanJob).at(0).jobId;
      struct soap* panel = ServiceContext::Create(ServiceContext::kPlainOutput);
      wscn__CancelRequestResponseType response;
      EXPECT_EQ(SOAP_OK, soap_call_wscn__CancelJobRequest(panel, sim_->Endpoint().c_str(), nullptr, job, &response));
      ServiceContext::Destroy(panel);
    });
    const HostPage page = ReadPage(8192, [&](size_t) { reading = true; });
    device.join();
    EXPECT_EQ(E_FAIL, page.lastResult);
    EXPECT_EQ(static_cast<DWORD>(CERR_CANCEL_PRESSED), page.lastCode);
    EXPECT_FALSE(sim_->SentPages().at(0).complete);
    EXPECT_EQ(S_OK, StopScan(&code));
    EXPECT_EQ(1, LogCount("Error: User pressed cancel on device"));
    EXPECT_EQ(0, Occurrences(sandbox_->Log(), "User pressed cancel on host"));
    EXPECT_EQ(1u, Count(Operation::CancelJob));  // the panel's; the driver sent none
  }
}

struct RefusalCase {
  const char* text;
  std::function<void(SimConfig&)> configure;
  HRESULT result;
  DWORD code;
  size_t creates;  // CreateScanJob requests the refusal costs
};

TEST_F(DeviceStatusMappingTest, EachReasonForARefusedJobReachesTheHostWithItsCode) {
  StartSimAndOpen();
  const RefusalCase cases[] = {
      {"Could not connect", [](SimConfig& c) { c.connectionLimit = 2; }, E_FAIL, CERR_SCANNER_COMMUNICATION_FAILED,
       0},
      {"Could not query scanner state, so reporting error based on original error code",
       [](SimConfig& c) {
         c.faults.push_back(Injected(Operation::CreateScanJob, "Sender", "wscn:ClientErrorJobCancelled", "no"));
         c.faults.push_back(
             Injected(Operation::GetScannerElements, "Receiver", "wscn:ServerErrorTemporaryError", "later", 2));
       },
       E_FAIL, CERR_CANCEL_PRESSED, 1},
      {"Attention required at scanner", [](SimConfig& c) { c.scannerCondition = cavixsim::kScannerAttentionRequired; },
       CAVIX_E_SCONF_BUSY, CERR_SCANNER_COMMUNICATION_FAILED, 1},
      {"Calibrating", [](SimConfig& c) { c.scannerCondition = cavixsim::kScannerCalibrating; }, CAVIX_E_SCONF_BUSY,
       CERR_SCANNER_COMMUNICATION_FAILED, 1},
      {"Scanner busy", [](SimConfig& c) { c.scannerCondition = cavixsim::kScannerBusy; }, CAVIX_E_SCONF_BUSY,
       CERR_SCANNER_COMMUNICATION_FAILED, 1},
      {"Unknown error",
       [](SimConfig& c) {
         c.faults.push_back(Injected(Operation::CreateScanJob, "Sender", "wscn:ClientErrorInvalidArgs", "no"));
       },
       E_FAIL, CERR_UNKNOWN, 1},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.text);
    SimConfig config;
    c.configure(config);
    Reconfigure(config);
    Prepare(Source::Platen);
    DWORD code = 0;
    EXPECT_EQ(c.result, StartScan(&code));
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(c.creates, Count(Operation::CreateScanJob));
    EXPECT_EQ(0u, Count(Operation::RetrieveImage));
    EXPECT_EQ(1, LogCount(std::string(c.text) + "\n"));
    if (config.connectionLimit > 0) {
      // The device stopped listening: a fresh one on the same address for the next case.
      sim_->Stop();
      StartSim();
    }
  }
}

TEST_F(DeviceStatusMappingTest, JamAndOpenCoverLeftBySheetsRefuseTheNextJob) {
  struct Case {
    const char* text;
    const char* pageText;  // how the first page failed
    std::function<void(SimConfig&)> configure;
    DWORD code;
    size_t creates;  // a jam reported before the job is asked for costs no CreateScanJob
  };
  StartSimAndOpen();
  const Case cases[] = {
      {"ADF jammed", "ADF jam", [](SimConfig& c) { c.jamAtSheet = 1; }, CERR_ADF_JAMMED, 0},
      {"ADF cover open", "ADF cover open", [](SimConfig& c) { c.coverOpenAtSheet = 1; }, CERR_ADF_HATCH_OPEN, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SimConfig config;
    config.adfSheets = 2;
    c.configure(config);
    Reconfigure(config);
    Prepare(Source::Simplex);
    ScanUntilFailure(0);  // the sheet trouble fails the first page and stays at the scanner
    EXPECT_EQ(1, LogCount("Error: " + std::string(c.pageText) + "\n"));
    sim_->ClearRequests();
    sandbox_->ClearLog();
    DWORD code = 0;
    EXPECT_EQ(E_FAIL, StartScan(&code));
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(c.creates, Count(Operation::CreateScanJob));
    EXPECT_EQ(1, LogCount(std::string(c.text) + "\n"));
    EXPECT_EQ(0, Occurrences(sandbox_->Log(), "Error: " + std::string(c.pageText) + "\n"));
  }
}

TEST_F(DeviceStatusMappingTest, RefusedScanIdentifierQueryFailsTheStartWithItsCode) {
  SimConfig config;
  config.faults.push_back(Injected(Operation::GetScannerElements, "Receiver", "wscn:ServerErrorNotAcceptingJobs", "x"));
  StartSimAndOpen(config);
  Prepare(Source::Platen);
  DWORD code = 0;
  EXPECT_EQ(CAVIX_E_SCONF_BUSY, StartScan(&code));
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_COMMUNICATION_FAILED), code);
  EXPECT_EQ(1u, Count(Operation::GetScannerElements));
  EXPECT_EQ(0u, Count(Operation::CreateScanJob));
  EXPECT_EQ(1, LogCount("Error: soap_call_wscn__GetScannerElements() failed unexpectedly"));
}

TEST_F(DeviceStatusMappingTest, NotAcceptingJobsIsWaitedOutUntilTheScannerIsIdle) {
  TimeLimits::Instance().scannerIdlePollMs = 20;
  SimConfig config;
  config.notAcceptingSeconds = 0.25;
  StartSimAndOpen(config);
  Prepare(Source::Platen);
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
  EXPECT_EQ(S_OK, StopScan(&code));
  const std::vector<RequestRecord> creates = Requests(Operation::CreateScanJob);
  ASSERT_EQ(2u, creates.size());
  EXPECT_EQ("wscn:ServerErrorNotAcceptingJobs", creates[0].faultSubcode);
  EXPECT_EQ("", creates[1].faultSubcode);
  // Two queries before the job, then at least one poll while busy and the one that saw idle.
  EXPECT_GE(Count(Operation::GetScannerElements), 4u);
}

TEST_F(DeviceStatusMappingTest, ScannerThatNeverGoesIdleIsBusyAfterSixteenPolls) {
  TimeLimits::Instance().scannerIdlePollMs = 5;
  SimConfig config;
  config.notAcceptingSeconds = -1;
  StartSimAndOpen(config);
  Prepare(Source::Platen);
  DWORD code = 0;
  EXPECT_EQ(CAVIX_E_SCONF_BUSY, StartScan(&code));
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_COMMUNICATION_FAILED), code);
  EXPECT_EQ(1u, Count(Operation::CreateScanJob));
  EXPECT_EQ(2u + 16u, Count(Operation::GetScannerElements));
  EXPECT_EQ(0u, Count(Operation::RetrieveImage));
}

TEST_F(DeviceStatusMappingTest, PadInfoNotImplementedMeansNoPadLines) {
  SimConfig config;
  config.padInfoNotImplemented = true;
  StartSimAndOpen(config);
  const uint64_t pageBytes =
      SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_BW, 1, 300, 0, 0, 800, 700));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  const HostPage page = ReadPage();
  EXPECT_EQ(S_OK, page.lastResult);
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), page.lastCode);
  ASSERT_EQ(pageBytes, page.bytes.size());
  EXPECT_TRUE(ExpectedHostBytes(sim_->SentPages().at(0)) == page.bytes);
  EXPECT_EQ(S_OK, StopScan(&code));
  const std::vector<RequestRecord> pads = Requests(Operation::GetPreviousImagePadInfo);
  ASSERT_EQ(1u, pads.size());
  EXPECT_FALSE(pads[0].faultSubcode.empty());  // the device refused it
  EXPECT_EQ(0, Occurrences(sandbox_->Log(), "Unable to query device for padline count"));
}

}  // namespace
