// Host calls that overlap on several host threads, through the driver object against the
// simulated scanner: a close while another call waits inside the device, a stop followed at
// once by the close, new parameters while a page streams, an idle wait that timed out followed
// by another, a feeder job whose closing exchange fails after its last page, two sessions with
// different feeder options, and reads with no page to come.
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "tests/device/FlowTestSupport.h"

namespace {

using namespace flowtest;
using cavixsim::InjectedFault;
using devicetest::Eventually;
using devicetest::ThreadCount;

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class HostConcurrencyTest : public FlowTest {
 protected:
  // A black and white page of 180 000 raw bytes that the device sends in about three seconds.
  static SCANNER_PARAMETERS SlowPage() {
    return Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_BW, 1, 300, 0, 0, 1200, 1200);
  }
  static SimConfig SlowDevice() {
    SimConfig config;
    config.rateBytesPerSecond = 60000;
    config.chunkSize = 8192;
    return config;
  }
};

// A close from a second host thread while a call waits inside the device: the call returns at
// once with CERR_INVALID_SESSION, the close succeeds, and the device's threads are gone after it.
TEST_F(HostConcurrencyTest, CloseDuringACallEndsTheCallAndLeavesNothingBehind) {
  enum class Blocked { Read, StartScan };
  for (const Blocked blocked : {Blocked::Read, Blocked::StartScan}) {
    SCOPED_TRACE(blocked == Blocked::Read ? "read waiting for bytes" : "StartScan waiting for the job");
    const int before = ThreadCount();
    SimConfig config = SlowDevice();
    if (blocked == Blocked::StartScan) {
      // The device refuses jobs and stays busy: the job's set-up polls it for about 8 s.
      config.notAcceptingSeconds = -1;
      TimeLimits::Instance().scannerIdlePollMs = 500;
    }
    StartSimAndOpen(config);
    ASSERT_FALSE(HasFatalFailure());
    SetParameters(SlowPage());
    DWORD code = 0;
    if (blocked == Blocked::Read) {
      ASSERT_EQ(S_OK, StartScan(&code)) << code;
    }

    std::atomic<bool> inside{false};
    HRESULT result = S_OK;
    DWORD callCode = 0;
    Clock::time_point returned;
    std::thread host([&] {
      if (blocked == Blocked::Read) {
        const HostPage page = ReadPage(8192, [&](size_t) { inside = true; });
        result = page.lastResult;
        callCode = page.lastCode;
      } else {
        inside = true;
        result = StartScan(&callCode);
      }
      returned = Clock::now();
    });
    ASSERT_TRUE(
        Eventually([&] { return inside.load() && (blocked == Blocked::Read || Count(Operation::CreateScanJob) > 0); }));
    const Clock::time_point closing = Clock::now();
    EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &code));
    const double closeSeconds = SecondsSince(closing);
    host.join();  // before the handle is cleared: the host thread reads it for each call
    session_ = 0;
    EXPECT_LT(std::chrono::duration<double>(returned - closing).count(), 5.0);
    EXPECT_EQ(E_FAIL, result);
    EXPECT_EQ(static_cast<DWORD>(CERR_INVALID_SESSION), callCode);
    // The device went with the close, its threads joined (none was left to end on its own).
    EXPECT_LT(closeSeconds, 10.0);
    EXPECT_EQ(std::string::npos, sandbox_->Log().find("did not end in time"));
    EXPECT_EQ(std::string::npos, sandbox_->Log().find("still inside the closed device"));
    sim_->Stop();
    sim_.reset();
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == before; }));
    // The session can be opened again and scans.
    StartSimAndOpen();
    SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 100));
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
    EXPECT_EQ(S_OK, StopScan(&code));
    scanner_->UnlockScanner(session_, &code);
    EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &code));
    session_ = 0;
    sim_->Stop();
    sim_.reset();
    TimeLimits::Instance().Reset();
  }
}

// A host that stops a page and closes the session at once (as a command-line host does on
// Ctrl-C): the close must not take the page's cancel from the stop, whose CancelJob still
// reaches the device for every job.
TEST_F(HostConcurrencyTest, StopThenCloseAtOnceStillCancelsTheJobOnTheDevice) {
  StartSim(SlowDevice());
  ASSERT_FALSE(HasFatalFailure());
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    Open();
    SetParameters(SlowPage());
    DWORD code = 0;
    ASSERT_EQ(S_OK, StartScan(&code)) << code;
    std::vector<BYTE> buffer(4096);
    DWORD got = 0;
    ASSERT_EQ(S_OK, scanner_->ReadScanEx(session_, buffer.data(), 4096, &got, &code)) << code;
    EXPECT_EQ(S_OK, StopScan(&code)) << code;
    scanner_->UnlockScanner(session_, &code);
    EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &code)) << code;
    session_ = 0;
  }
  std::set<uint32_t> cancelled;  // distinct jobs named by a CancelJob
  ASSERT_TRUE(Eventually([&] {
    cancelled.clear();
    for (const RequestRecord& r : Requests(Operation::CancelJob)) {
      if (r.jobId != 0) cancelled.insert(r.jobId);
    }
    return cancelled.size() >= static_cast<size_t>(kRounds);
  })) << cancelled.size() << " of " << kRounds << " jobs cancelled";
  EXPECT_EQ(Count(Operation::CreateScanJob), static_cast<size_t>(kRounds));
}

// Parameters set while a page streams apply from the next job: the page comes whole at the
// size it was started with, and the next page has the new size.
TEST_F(HostConcurrencyTest, NewParametersDuringAPageApplyFromTheNextScan) {
  StartSimAndOpen(SlowDevice());
  const uint64_t firstSize = SetParameters(SlowPage());
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  std::atomic<bool> finished{false};
  HostPage first;
  std::thread host([&] {
    first = ReadPage(8000);
    finished = true;
  });
  // Replaced over and over from the job's start while the page streams (grey: 40 000 bytes a page, a multiple of the
  // reads, so that a page judged by the new size would end early).
  const SCANNER_PARAMETERS grey = Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 100);
  const SCANNER_PARAMETERS colour = Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_COLOR, 8, 100);
  for (int i = 0; i < 2000 && !finished.load(); ++i) {
    SetParameters(i % 2 ? grey : colour);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const uint64_t lastSize = SetParameters(grey);
  host.join();
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), first.lastCode);
  ASSERT_EQ(1u, sim_->SentPages().size());
  EXPECT_EQ(firstSize, first.bytes.size());
  EXPECT_EQ(ExpectedHostBytes(sim_->SentPages()[0]), first.bytes);
  EXPECT_EQ(S_OK, StopScan(&code));

  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  const HostPage second = ReadPage(8000);
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), second.lastCode);
  EXPECT_EQ(lastSize, second.bytes.size());
  EXPECT_EQ(40000u, lastSize);
  EXPECT_EQ(S_OK, StopScan(&code));
}

// An idle wait that timed out leaves its request queued; its late answer must not end the next
// wait before that wait's own request was handled.
TEST_F(HostConcurrencyTest, TimedOutIdleWaitDoesNotEndTheNextWaitEarly) {
  StartSimAndOpen(SlowDevice());
  SetParameters(SlowPage());
  TimeLimits::Instance().idleMs = 300;
  DWORD code = 0;
  BYTE ready = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  // The feeder query waits for the scan thread, which is busy with the page.
  EXPECT_EQ(E_FAIL, adf2_->ADFIsReady(session_, &ready, &code));
  EXPECT_EQ(static_cast<DWORD>(CERR_UNKNOWN), code);
  // The page is handled; the scan thread answers the abandoned request with nobody waiting.
  ASSERT_TRUE(
      Eventually([&] { return sandbox_->Log().find("---SoapScanDevice::DoSinglePageScan") != std::string::npos; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(S_OK, StopScan(&code));

  // A second page keeps the scan thread busy again: the next query must time out as well.
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  const Clock::time_point asked = Clock::now();
  EXPECT_EQ(E_FAIL, adf2_->ADFIsReady(session_, &ready, &code));
  EXPECT_EQ(static_cast<DWORD>(CERR_UNKNOWN), code);
  EXPECT_LT(SecondsSince(asked), 2.0);
  TimeLimits::Instance().idleMs = 60000;
  EXPECT_EQ(S_OK, StopScan(&code));
  // The waits are in step again: the next query answers.
  EXPECT_EQ(S_OK, adf2_->ADFIsReady(session_, &ready, &code)) << code;
}

// The feeder's last page is whole on the host although the job's closing exchange fails while
// the host still reads it; the failure comes with the next call.
TEST_F(HostConcurrencyTest, FailedClosingExchangeKeepsTheLastFeederPage) {
  SimConfig config;
  config.adfSheets = 1;
  InjectedFault fault;
  fault.op = Operation::RetrieveImage;
  fault.fault.code = "Receiver";
  fault.fault.subcode = "wscn:ServerErrorTemporaryError";
  fault.fault.reason = "later";
  fault.after = 1;  // the page's own retrieval is answered; the closing one fails
  config.faults.push_back(fault);
  StartSimAndOpen(config);
  SetAdfOptions(false);
  SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 8, 100));
  DWORD code = 0;
  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  bool waited = false;
  // The host takes the first bytes, then goes on only after the closing exchange has failed.
  const HostPage page = ReadPage(4096, [&](size_t) {
    if (waited) return;
    waited = true;
    EXPECT_EQ(1, LogCount("Error: Scan failed for unknown reasons"));
  });
  EXPECT_EQ(S_OK, page.lastResult);
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), page.lastCode);
  ASSERT_EQ(1u, sim_->SentPages().size());
  EXPECT_EQ(ExpectedHostBytes(sim_->SentPages()[0]), page.bytes);
  EXPECT_EQ(2u, Count(Operation::RetrieveImage));
  EXPECT_EQ(E_FAIL, StopScan(&code));
  EXPECT_EQ(static_cast<DWORD>(CERR_UNKNOWN), code);
}

// Two sessions on two devices: one scans duplex, the other simplex, each as it chose.
TEST_F(HostConcurrencyTest, DuplexIsChosenPerDevice) {
  SimConfig config;
  config.adfSheets = 2;
  StartSimAndOpen(config);
  // The second device, on an address of its own.
  const std::string otherAddress =
      address_.substr(0, address_.rfind('.') + 1) + (address_.substr(address_.rfind('.') + 1) == "200" ? "201" : "200");
  SimConfig otherConfig = config;
  otherConfig.listenAddress = otherAddress;
  otherConfig.keepPageBytes = true;
  DeviceSimulator other(otherConfig);
  std::string error;
  ASSERT_TRUE(other.Start(&error)) << error;
  const std::u16string otherName = Wide("\\\\?\\cavixnet#\\macaddr:00:1B:78:77:00:02\\port1\\ipaddr:" + otherAddress +
                                        "\\guid{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7D}");
  DWORD otherSession = 0;
  DWORD code = 0;
  ASSERT_EQ(S_OK, scanner_->OpenScannerSession(otherName.c_str(), C_IOTYPE_NETWORK, &otherSession, &code));
  ASSERT_EQ(S_OK, scanner_->LockScanner(otherSession, C_LOCK_PROCESS, 1000, &code));

  const SCANNER_PARAMETERS feeder = Parameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 8, 100);
  SetAdfOptions(true);
  SetParameters(feeder);
  ASSERT_EQ(S_OK, adf2_->SetADFOptions(otherSession, 0x4, &code));
  testsupport::SetParameters(scanner_, otherSession, feeder);

  ASSERT_EQ(S_OK, StartScan(&code)) << code;
  ASSERT_EQ(S_OK, scanner_->StartScan(otherSession, &code)) << code;
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
  std::vector<BYTE> buffer(65536);
  DWORD got = 0;
  do {
    ASSERT_EQ(S_OK, scanner_->ReadScanEx(otherSession, buffer.data(), DWORD(buffer.size()), &got, &code));
  } while (code != CERR_SCANNER_END_OF_PAGE);
  EXPECT_EQ(S_OK, StopScan(&code));
  EXPECT_EQ(S_OK, scanner_->StopScan(otherSession, &code));

  const auto duplexJobs = Requests(Operation::CreateScanJob);
  ASSERT_EQ(1u, duplexJobs.size());
  EXPECT_EQ(cavixsim::kSourceAdfDuplex, duplexJobs[0].ticket.inputSource);
  int simplexJobs = 0;
  for (const RequestRecord& r : other.Requests()) {
    if (r.op != Operation::CreateScanJob) continue;
    ++simplexJobs;
    EXPECT_EQ(cavixsim::kSourceAdf, r.ticket.inputSource);
  }
  EXPECT_EQ(1, simplexJobs);
  scanner_->UnlockScanner(otherSession, &code);
  EXPECT_EQ(S_OK, scanner_->CloseScannerSession(otherSession, &code));
  other.Stop();
}

// A read that no page will ever feed returns at once with the reason.
TEST_F(HostConcurrencyTest, ReadWithNoPageToComeReturnsAtOnceWithTheReason) {
  StartSimAndOpen();
  std::vector<BYTE> buffer(4096);
  DWORD got = 0;
  DWORD code = 0;
  struct Case {
    const char* name;
    std::function<void()> before;
    DWORD expected;
  };
  const Case cases[] = {
      {"before any StartScan", [] {}, CERR_INVALID_PARAMETER},
      {"after a refused StartScan",
       [&] {
         SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 100));
         SimConfig refusing;
         refusing.scannerCondition = cavixsim::kScannerBusy;
         ASSERT_TRUE(sim_->Reconfigure(refusing));
         EXPECT_EQ(CAVIX_E_SCONF_BUSY, StartScan(&code));
       },
       CERR_SCANNER_COMMUNICATION_FAILED},
      {"after StopScan",
       [&] {
         ASSERT_TRUE(sim_->Reconfigure(SimConfig()));
         SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_GREYSCALE, 8, 100));
         ASSERT_EQ(S_OK, StartScan(&code)) << code;
         EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), ReadPage().lastCode);
         EXPECT_EQ(S_OK, StopScan(&code));
       },
       CERR_CANCEL_PRESSED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    const Clock::time_point asked = Clock::now();
    EXPECT_NE(S_OK, scanner_->ReadScanEx(session_, buffer.data(), DWORD(buffer.size()), &got, &code));
    EXPECT_EQ(c.expected, code);
    EXPECT_EQ(0u, got);
    EXPECT_LT(SecondsSince(asked), 2.0);
  }
}

}  // namespace
