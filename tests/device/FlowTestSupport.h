// Helpers of the scan job flow tests: the in-process driver object (the front end linked in,
// the module load done by the suite) with a network session on an in-process simulated
// scanner on a loopback address of the test's own, the host's page reads, and the bytes the
// host must see for a page the simulator sent (raw rows as sent, JPEG decoded with libjpeg from
// the bytes sent; trailing pad rows removed).
#ifndef CAVIX_TESTS_DEVICE_FLOWTESTSUPPORT_H
#define CAVIX_TESTS_DEVICE_FLOWTESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "driver/CavixDriver.h"
#include "driver/CavixScanner.h"
#include "driver/DriverModule.h"
#include "sim/DeviceSimulator.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/ExpectedHostBytes.h"
#include "tests/support/HostCalls.h"

namespace flowtest {

using cavixsim::DeviceSimulator;
using cavixsim::Operation;
using cavixsim::RequestRecord;
using cavixsim::SentPage;
using cavixsim::SimConfig;

// A loopback address for the running test, derived from its name and process, so that tests
// run side by side (also with other suites on 127.0.0.x, or the same test in another build
// tree) do not meet on one address.
inline std::string AddressForCurrentTest() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "flow";
  name += "#" + std::to_string(getpid());
  uint32_t hash = 2166136261u;
  for (char c : name) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return "127.77." + std::to_string((hash >> 8) & 0xFF) + "." + std::to_string(1 + (hash & 0xFF) % 254);
}

using testsupport::ExpectedHostBytes;
using testsupport::Wide;

// What the host saw of one page.
struct HostPage {
  std::vector<uint8_t> bytes;
  HRESULT lastResult = S_OK;
  DWORD lastCode = 0;
  int shortReads = 0;  // reads that delivered fewer bytes than asked for
};

class FlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new devicetest::Sandbox();
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
    address_ = AddressForCurrentTest();
    deviceName_ = "\\\\?\\cavixnet#\\macaddr:00:1B:78:77:00:01\\port1\\ipaddr:" + address_ +
                  "\\guid{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}";
    ASSERT_EQ(S_OK, CavixDriver::Create(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner_)));
    ASSERT_EQ(S_OK, scanner_->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf2_)));
    ASSERT_EQ(S_OK, scanner_->QueryInterface(IID_IEventNotify, reinterpret_cast<void**>(&events_)));
    sandbox_->ClearLog();
  }

  void TearDown() override {
    // CAVIX_FLOW_KEEP_LOG=DIR keeps the log of a failed test for a look at what happened.
    const char* keep = std::getenv("CAVIX_FLOW_KEEP_LOG");
    if (keep && HasFailure()) {
      const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
      devicetest::WriteText(std::string(keep) + "/" + info->name() + ".log", sandbox_->Log());
    }
    if (session_ != 0) {
      DWORD error = 0;
      scanner_->UnlockScanner(session_, &error);
      EXPECT_EQ(S_OK, scanner_->CloseScannerSession(session_, &error));
      session_ = 0;
    }
    if (events_) events_->Release();
    if (adf2_) adf2_->Release();
    if (scanner_) scanner_->Release();
    if (sim_) sim_->Stop();
    sim_.reset();
    TimeLimits::Instance().Reset();
  }

  // Starts the simulated scanner on the test's address, keeping the bytes of every page.
  void StartSim(SimConfig config = SimConfig()) {
    config.listenAddress = address_;
    config.keepPageBytes = true;
    sim_ = std::make_unique<DeviceSimulator>(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
  }

  // Opens and locks a network session on the simulated scanner.
  void Open() {
    testsupport::OpenLockedSession(scanner_, Wide(deviceName_), C_IOTYPE_NETWORK, &session_);
  }

  void StartSimAndOpen(SimConfig config = SimConfig()) {
    StartSim(config);
    if (!HasFatalFailure()) Open();
  }

  // Scan parameters of the host (units: 1/300 inch).
  static SCANNER_PARAMETERS Parameters(WORD method, DWORD mode, BYTE bits, WORD dpi, DWORD left = 0, DWORD top = 0,
                                       DWORD width = 600, DWORD length = 600) {
    return testsupport::HostParameters(method, mode, bits, dpi, left, top, width, length);
  }

  // Sets the parameters; returns the page size the host is told.
  uint64_t SetParameters(SCANNER_PARAMETERS p) { return testsupport::SetParameters(scanner_, session_, p); }

  void SetAdfOptions(bool duplex) {
    DWORD error = 0;
    ASSERT_EQ(S_OK, adf2_->SetADFOptions(session_, (duplex ? 0x1 : 0x0) | 0x4, &error)) << error;
  }

  HRESULT StartScan(DWORD* code) { return scanner_->StartScan(session_, code); }
  HRESULT StopScan(DWORD* code) { return scanner_->StopScan(session_, code); }

  // Reads until the end of the page or a failure, `chunk` bytes a call. `afterRead` runs after
  // each successful read (with the total so far).
  HostPage ReadPage(size_t chunk = 65536, const std::function<void(size_t)>& afterRead = nullptr) {
    HostPage page;
    std::vector<BYTE> buffer(chunk);
    for (int reads = 0; reads < 1000000; ++reads) {
      DWORD got = 0;
      DWORD code = 0xDEAD;
      const HRESULT hr = scanner_->ReadScanEx(session_, buffer.data(), static_cast<DWORD>(chunk), &got, &code);
      page.lastResult = hr;
      page.lastCode = code;
      if (hr != S_OK) break;
      page.bytes.insert(page.bytes.end(), buffer.begin(), buffer.begin() + got);
      if (got < chunk) ++page.shortReads;
      if (afterRead) afterRead(page.bytes.size());
      if (code == CERR_SCANNER_END_OF_PAGE) break;
    }
    return page;
  }

  // How often the log holds `text`, once it holds it at all (worker threads write some texts
  // after the host has been answered), or 0 when it never comes.
  static int LogCount(const std::string& text) {
    devicetest::Eventually([&] { return devicetest::Occurrences(sandbox_->Log(), text) > 0; }, 5000);
    return devicetest::Occurrences(sandbox_->Log(), text);
  }

  // Requests of one operation the simulator received.
  std::vector<RequestRecord> Requests(Operation op) const {
    std::vector<RequestRecord> matching;
    for (const RequestRecord& r : sim_->Requests()) {
      if (r.op == op) matching.push_back(r);
    }
    return matching;
  }
  size_t Count(Operation op) const { return Requests(op).size(); }

  static inline devicetest::Sandbox* sandbox_ = nullptr;
  std::string address_;
  std::string deviceName_;
  std::unique_ptr<DeviceSimulator> sim_;
  IScanner* scanner_ = nullptr;
  IADF2* adf2_ = nullptr;
  IEventNotify* events_ = nullptr;
  DWORD session_ = 0;
};

}  // namespace flowtest

#endif
