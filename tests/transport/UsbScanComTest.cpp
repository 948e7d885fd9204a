// Scans over USB through the scanner interface: the driver object (front end linked in, the
// module's load done by the suite) opens a session of I/O type 1 on the pseudo-terminal of an
// in-process simulated scanner. Platen pages and a duplex feeder job arrive as the device sent
// them; a StopScan in the middle of a page interrupts the scan thread's pending read, the
// CancelJob follows on the scan thread after the interrupted exchange, and the pipe is flushed
// so that the next scan on the same session finds it in step.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/CavixDriver.h"
#include "driver/CavixErrors.h"
#include "driver/CavixScanner.h"
#include "driver/DriverModule.h"
#include "platform/TimeLimits.h"
#include "sim/DeviceSimulator.h"
#include "tests/support/ExpectedHostBytes.h"
#include "tests/support/HostCalls.h"
#include "tests/transport/TransportTestSupport.h"

namespace {

using cavixsim::DeviceSimulator;
using cavixsim::Operation;
using cavixsim::RequestRecord;
using cavixsim::SentPage;
using cavixsim::SimConfig;

using testsupport::ExpectedHostBytes;
using testsupport::Wide;

bool Eventually(const std::function<bool()>& condition, int limitMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The thread id ("[T:n]") of the first log line holding `text` at or after `from`; empty when
// there is none.
std::string ThreadOf(const std::string& log, const std::string& text, size_t from = 0) {
  const size_t at = log.find(text, from);
  if (at == std::string::npos) return "";
  const size_t lineStart = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
  const size_t tag = log.find("[T:", lineStart);
  if (tag == std::string::npos || tag > at) return "";
  return log.substr(tag, log.find(']', tag) - tag + 1);
}

struct HostPage {
  std::vector<uint8_t> bytes;
  HRESULT lastResult = S_OK;
  DWORD lastCode = 0;
};

class UsbScanComTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new transporttest::Sandbox();
    sandbox_->CaptureLog();
    DriverModule::Load();
  }
  static void TearDownTestSuite() {
    DriverModule::Unload();
    delete sandbox_;
    sandbox_ = nullptr;
  }

  void SetUp() override {
    TimeLimits::Instance().Reset();
    ASSERT_EQ(S_OK, CavixDriver::Create(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner_)));
    ASSERT_EQ(S_OK, scanner_->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf2_)));
  }
  void TearDown() override {
    if (session_ != 0) {
      DWORD error = 0;
      scanner_->UnlockScanner(session_, &error);
      EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &error));
    }
    if (adf2_) adf2_->Release();
    if (scanner_) scanner_->Release();
    if (sim_) sim_->Stop();
    TimeLimits::Instance().Reset();
  }

  // Starts the simulated scanner on a pseudo-terminal and opens a locked USB session on it.
  void StartSimAndOpen(SimConfig config) {
    config.usb = true;
    config.keepPageBytes = true;
    sim_ = std::make_unique<DeviceSimulator>(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    ASSERT_EQ("http:" + sim_->PtyPath(), sim_->Endpoint());
    sandbox_->ClearLog();
    testsupport::OpenLockedSession(scanner_, Wide(sim_->PtyPath()), C_IOTYPE_USB, &session_);
  }

  static SCANNER_PARAMETERS Parameters(WORD method, DWORD mode, BYTE bits, WORD dpi, DWORD width, DWORD length) {
    return testsupport::HostParameters(method, mode, bits, dpi, 0, 0, width, length);
  }

  // Sets the parameters; the page size the host is told.
  uint64_t SetParameters(SCANNER_PARAMETERS p) { return testsupport::SetParameters(scanner_, session_, p); }

  // Reads until the end of the page or a failure.
  HostPage ReadPage(size_t chunk = 32768) {
    HostPage page;
    std::vector<BYTE> buffer(chunk);
    for (;;) {
      DWORD got = 0;
      DWORD code = 0xDEAD;
      page.lastResult = scanner_->ReadScanEx(session_, buffer.data(), static_cast<DWORD>(chunk), &got, &code);
      page.lastCode = code;
      if (page.lastResult != S_OK) break;
      page.bytes.insert(page.bytes.end(), buffer.begin(), buffer.begin() + got);
      if (code == CERR_SCANNER_END_OF_PAGE) break;
    }
    return page;
  }

  // One whole platen page: started, read to its end, stopped.
  HostPage ScanPlatenPage() {
    DWORD code = 0xDEAD;
    EXPECT_EQ(S_OK, scanner_->StartScan(session_, &code)) << code;
    HostPage page = ReadPage();
    EXPECT_EQ(S_OK, scanner_->StopScan(session_, &code)) << code;
    return page;
  }

  std::vector<RequestRecord> Requests(Operation op) const {
    std::vector<RequestRecord> matching;
    for (const RequestRecord& r : sim_->Requests()) {
      if (r.op == op) matching.push_back(r);
    }
    return matching;
  }

  // The operations the device received, in order, as one text ("C R G ...").
  std::string RequestOrder() const {
    static const char* const kLetters = "CRXSJP?";
    std::string order;
    for (const RequestRecord& r : sim_->Requests()) order += kLetters[static_cast<int>(r.op)];
    return order;
  }

  static inline transporttest::Sandbox* sandbox_ = nullptr;
  std::unique_ptr<DeviceSimulator> sim_;
  IScanner* scanner_ = nullptr;
  IADF2* adf2_ = nullptr;
  DWORD session_ = 0;
};

TEST_F(UsbScanComTest, PlatenPagesArriveAsSentAndEveryEndOfScanFlushesAndResetsThePipe) {
  StartSimAndOpen(SimConfig());
  struct Case {
    const char* name;
    DWORD mode;
    BYTE bits;
    WORD dpi;
    int format;
  } cases[] = {
      {"grey 150 dpi", C_SCANMODE_GREYSCALE, 8, 150, cavixsim::kFormatJfif},
      {"colour 100 dpi", C_SCANMODE_COLOR, 8, 100, cavixsim::kFormatJfif},
      {"black and white 300 dpi", C_SCANMODE_BW, 1, 300, cavixsim::kFormatZkraw},
  };
  size_t page = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_FLATBED, c.mode, c.bits, c.dpi, 900, 1200));
    const HostPage host = ScanPlatenPage();
    EXPECT_EQ(S_OK, host.lastResult);
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), host.lastCode);
    EXPECT_EQ(pageBytes, host.bytes.size());
    ASSERT_TRUE(Eventually([&] { return sim_->SentPages().size() == page + 1; }));
    const SentPage sent = sim_->SentPages()[page++];
    EXPECT_TRUE(sent.complete);
    EXPECT_EQ(c.format, sent.format);
    EXPECT_TRUE(ExpectedHostBytes(sent) == host.bytes);
  }
  // Per page: scan identifier, state reason, job, page, job state, pad lines; no cancel.
  EXPECT_EQ("SSCRJPSSCRJPSSCRJP", RequestOrder());
  // Every end of scan drains the pipe, then re-arms the cancel event, on the scan thread.
  ASSERT_TRUE(Eventually([&] {
    const std::string log = sandbox_->Log();
    size_t ends = 0;
    for (size_t at = log.find("---SoapScanDevice::DoEndScan"); at != std::string::npos;
         at = log.find("---SoapScanDevice::DoEndScan", at + 1)) {
      ++ends;
    }
    return ends == 3;
  }));
  const std::string log = sandbox_->Log();
  size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    at = log.find("+++SoapScanDevice::DoEndScan", at);
    ASSERT_NE(std::string::npos, at);
    const size_t flush = log.find("+++UsbProtocol::Flush", at);
    const size_t reset = log.find("+++UsbProtocol::Reset", at);
    const size_t end = log.find("---SoapScanDevice::DoEndScan", at);
    EXPECT_LT(flush, reset);
    EXPECT_LT(reset, end);
    EXPECT_EQ(ThreadOf(log, "+++SoapScanDevice::ScanPage"), ThreadOf(log, "+++UsbProtocol::Flush", at));
    at = end;
  }
  EXPECT_EQ(std::string::npos, log.find("Flush() failed unexpectedly"));
  EXPECT_EQ(std::string::npos, log.find("Too many empty reads"));
}

TEST_F(UsbScanComTest, DuplexFeederJobDeliversEveryPageOfOneJob) {
  SimConfig config;
  config.adfSheets = 2;
  StartSimAndOpen(config);
  DWORD code = 0;
  ASSERT_EQ(S_OK, adf2_->SetADFOptions(session_, 0x1 | 0x4, &code)) << code;  // duplex, multi-page
  const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 8, 150, 700, 800));
  std::vector<HostPage> pages;
  for (;;) {
    BYTE ready = 7;
    ASSERT_EQ(S_OK, adf2_->ADFIsReady(session_, &ready, &code)) << code;
    if (ready != 1 || pages.size() == 8) break;
    ASSERT_EQ(S_OK, scanner_->StartScan(session_, &code)) << code;
    pages.push_back(ReadPage(20000));
    EXPECT_EQ(S_OK, scanner_->StopScan(session_, &code)) << code;
  }
  ASSERT_EQ(4u, pages.size());
  const std::vector<SentPage> sent = sim_->SentPages();
  ASSERT_EQ(4u, sent.size());
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), pages[i].lastCode);
    EXPECT_EQ(pageBytes, pages[i].bytes.size());
    EXPECT_TRUE(ExpectedHostBytes(sent[i]) == pages[i].bytes);
    EXPECT_EQ(int(i % 2), sent[i].side);
    EXPECT_EQ(int(i + 1), sent[i].imageInJob);
  }
  const std::vector<RequestRecord> creates = Requests(Operation::CreateScanJob);
  ASSERT_EQ(1u, creates.size());
  EXPECT_EQ(cavixsim::kSourceAdfDuplex, creates[0].ticket.inputSource);
  const std::vector<RequestRecord> retrieves = Requests(Operation::RetrieveImage);
  ASSERT_EQ(5u, retrieves.size());  // one more that finds the feeder empty
  EXPECT_EQ("wscn:ClientErrorNoImagesAvailable", retrieves.back().faultSubcode);
  EXPECT_TRUE(Requests(Operation::CancelJob).empty());
}

// The device takes the page request and stays silent: the scan thread's read of the answer is
// pending until something ends it. With the shipped time-outs (a minute) only the cancel can
// end it within the test's limits.
TEST_F(UsbScanComTest, StopScanInterruptsThePendingPageReadAndCancelsOnTheScanThreadAfterIt) {
  SimConfig config;
  config.noAnswer = {Operation::RetrieveImage};
  StartSimAndOpen(config);
  const uint64_t pageBytes = SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_BW, 1, 300, 900, 1200));
  DWORD code = 0xDEAD;
  ASSERT_EQ(S_OK, scanner_->StartScan(session_, &code)) << code;
  HostPage host;
  std::thread reader([&] { host = ReadPage(); });
  ASSERT_TRUE(Eventually([&] { return !Requests(Operation::RetrieveImage).empty(); }));
  // The host is waiting in its read for the page (a read that only begins after the stop has
  // been dealt with finds no scan to cancel).
  ASSERT_TRUE(Eventually([&] { return sandbox_->Log().find("+++BufferedStream::OpenReadEnd") != std::string::npos; }));
  EXPECT_EQ(S_OK, scanner_->StopScan(session_, &code)) << code;
  reader.join();
  EXPECT_EQ(E_FAIL, host.lastResult);
  EXPECT_EQ(static_cast<DWORD>(CERR_CANCEL_PRESSED), host.lastCode);
  EXPECT_TRUE(host.bytes.empty());

  // The CancelJob for the job reaches the device after the page request, as the next exchange.
  ASSERT_TRUE(Eventually([&] { return !Requests(Operation::CancelJob).empty(); })) << RequestOrder();
  const std::vector<RequestRecord> creates = Requests(Operation::CreateScanJob);
  ASSERT_EQ(1u, creates.size());
  EXPECT_EQ("SSCRX", RequestOrder());
  EXPECT_FALSE(Requests(Operation::RetrieveImage)[0].answered);
  EXPECT_EQ(creates[0].jobId, Requests(Operation::CancelJob)[0].jobId);

  // On the driver's side: the pending read was cancelled, the interrupted exchange ended, and
  // then, on the same scan thread, the CancelJob went out and the pipe was flushed.
  ASSERT_TRUE(Eventually([&] {
    return sandbox_->Log().find("---SoapScanDevice::DoSerializedDeviceCancel") != std::string::npos;
  }));
  const std::string log = sandbox_->Log();
  const size_t page = log.find("+++SoapScanDevice::ScanPage");
  const size_t cancelIo = log.find("+++UsbProtocol::CancelIo", page);
  const size_t pageEnd = log.find("---SoapScanDevice::ScanPage", page);
  const size_t serialized = log.find("+++SoapScanDevice::DoSerializedDeviceCancel");
  const size_t flush = log.find("+++UsbProtocol::Flush", serialized);
  const size_t serializedEnd = log.find("---SoapScanDevice::DoSerializedDeviceCancel");
  ASSERT_NE(std::string::npos, page);
  ASSERT_NE(std::string::npos, cancelIo);
  ASSERT_NE(std::string::npos, serialized);
  EXPECT_LT(cancelIo, pageEnd);
  EXPECT_LT(pageEnd, serialized);
  EXPECT_LT(flush, serializedEnd);
  EXPECT_NE(std::string::npos, log.find("Error: WaitForCancelableIo() failed unexpectedly"));
  const std::string scanThread = ThreadOf(log, "+++SoapScanDevice::ScanPage");
  EXPECT_FALSE(scanThread.empty());
  EXPECT_EQ(scanThread, ThreadOf(log, "+++UsbProtocol::CancelIo", page));
  EXPECT_EQ(scanThread, ThreadOf(log, "+++SoapScanDevice::DoSerializedDeviceCancel"));
  EXPECT_EQ(scanThread, ThreadOf(log, "+++UsbProtocol::Flush", serialized));
  // The cancel thread only did the software half: it never sent anything itself.
  EXPECT_NE(scanThread, ThreadOf(log, "+++SoapScanDevice::DoDriverAndDeviceCancel"));
  EXPECT_EQ(std::string::npos, log.find("CancelScanOnConnectionOrientedDevice"));
  EXPECT_EQ(std::string::npos, log.find("Flush() failed unexpectedly"));
  EXPECT_EQ(std::string::npos, log.find("CancelScanOnConnectionlessDevice() failed unexpectedly"));

  // The session scans again: a new job, a whole page.
  ASSERT_TRUE(sim_->Reconfigure(SimConfig()));
  const HostPage next = ScanPlatenPage();
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), next.lastCode);
  EXPECT_EQ(pageBytes, next.bytes.size());
  EXPECT_EQ("SSCRJP", RequestOrder());
}

// The device is still sending the page when the host stops, and reads the CancelJob only after
// its page: until then the pipe carries the rest of the page. The flushes drain it, and the
// next page on the same session arrives whole and in step with its requests.
TEST_F(UsbScanComTest, StopScanWhileThePageStillStreamsLeavesThePipeCleanForTheNextScan) {
  StartSimAndOpen(SimConfig());
  // About a megabyte of raw rows: far more than the pseudo-terminal holds.
  const uint64_t pageBytes =
      SetParameters(Parameters(C_SCANMETHOD_FLATBED, C_SCANMODE_BW, 1, 300, 2550, 3300));
  DWORD code = 0xDEAD;
  ASSERT_EQ(S_OK, scanner_->StartScan(session_, &code)) << code;
  std::vector<BYTE> buffer(4096);
  DWORD got = 0;
  ASSERT_EQ(S_OK, scanner_->ReadScanEx(session_, buffer.data(), 4096, &got, &code)) << code;
  EXPECT_EQ(S_OK, scanner_->StopScan(session_, &code)) << code;
  ASSERT_TRUE(Eventually([&] { return !Requests(Operation::CancelJob).empty(); })) << RequestOrder();
  EXPECT_EQ("SSCRX", RequestOrder());
  ASSERT_TRUE(Eventually([&] {
    return sandbox_->Log().find("---SoapScanDevice::DoSerializedDeviceCancel") != std::string::npos;
  }));
  EXPECT_EQ(std::string::npos, sandbox_->Log().find("Flush() failed unexpectedly"));

  sim_->ClearRequests();
  const size_t sentBefore = sim_->SentPages().size();
  const HostPage next = ScanPlatenPage();
  EXPECT_EQ(S_OK, next.lastResult);
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), next.lastCode);
  ASSERT_EQ(pageBytes, next.bytes.size());
  ASSERT_TRUE(Eventually([&] { return sim_->SentPages().size() == sentBefore + 1; }));
  EXPECT_TRUE(ExpectedHostBytes(sim_->SentPages().back()) == next.bytes);
  EXPECT_EQ("SSCRJP", RequestOrder());
}

}  // namespace
