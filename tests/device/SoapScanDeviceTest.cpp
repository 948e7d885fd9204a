// The scan device: Init and its clean-up, the worker loops and their handshakes, and the
// operations on parameters, options and the scan ticket.
#include <gtest/gtest.h>
#include <stdsoap2.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/ScanDeviceHandle.h"
#include "device/SoapScanDevice.h"
#include "image/IScanDataSource.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/HostCalls.h"
#include "transport/ISoapIoProtocol.h"

namespace {

using devicetest::Eventually;
using devicetest::LoopbackDeviceName;
using devicetest::ThreadCount;

SCANNER_PARAMETERS Record(uint16_t method, uint32_t width, uint32_t length, uint32_t mode = 2, uint8_t bits = 8,
                          uint16_t dpi = 300) {
  return testsupport::HostParameters(method, mode, bits, dpi, 0, 0, width, length);
}

// A device whose scan-thread and cancel-thread handlers can be made to throw, block or count.
class ProbeDevice : public SoapScanDevice {
 public:
  std::atomic<int> resets{0};
  std::atomic<int> throwOnReset{0};  // how many of the next resets throw
  std::atomic<int> deviceCancels{0};
  std::atomic<bool> blockEndScan{false};
  std::shared_ptr<Event> endScanRelease = std::make_shared<Event>(true, false);
  std::atomic<uint32_t> singlePageThrows{0};
  std::atomic<bool> resetBeforeTheAnswer{false};

  using SoapScanDevice::error_;
  using SoapScanDevice::multiPageFlow_;

 protected:
  void DoReset() override {
    ++resets;
    if (throwOnReset > 0) {
      --throwOnReset;
      throw CERR_UNKNOWN;
    }
    SoapScanDevice::DoReset();
  }
  void DoEndScan() override {
    if (blockEndScan) {
      endScanRelease->Wait(INFINITE);
      return;
    }
    SoapScanDevice::DoEndScan();
  }
  void DoSinglePageScan(DoneEvent done) override {
    if (uint32_t code = singlePageThrows.load()) throw static_cast<CAVIX_ERRORS>(code);
    if (resetBeforeTheAnswer) {
      // The job's set-up fails, and the reset a close posts runs before the host looks.
      DoneEvent answer = DoneEvent::Make();
      HandleCacheScanIdError(SOAP_TCP_ERROR, answer);
      DoReset();
      done.Signal(answer.Result());
      return;
    }
    SoapScanDevice::DoSinglePageScan(done);
  }
  void DoDeviceCancel(struct soap*) override { ++deviceCancels; }
};

class SoapScanDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.CaptureLog(); }

  // A probe device behind the handle the front end would hold.
  std::unique_ptr<ScanDeviceHandle> MakeProbe(std::shared_ptr<ProbeDevice>* probe = nullptr) {
    auto device = std::make_shared<ProbeDevice>();
    if (probe) *probe = device;
    return std::make_unique<ScanDeviceHandle>(device);
  }
  std::unique_ptr<ScanDeviceHandle> MakeDevice() {
    return std::unique_ptr<ScanDeviceHandle>(static_cast<ScanDeviceHandle*>(ScanDeviceHandle::CreateSoapScanDevice()));
  }

  devicetest::Sandbox sandbox_;
};

TEST_F(SoapScanDeviceTest, OperationsThatNeedInitRefuseBeforeIt) {
  auto device = MakeDevice();
  uint8_t buffer[16];
  uint32_t got = 0;
  bool ready = false;
  const std::vector<std::pair<const char*, std::function<bool()>>> operations = {
      {"BeginScan", [&] { return device->BeginScan(); }},
      {"Read", [&] { return device->Read(buffer, sizeof buffer, got); }},
      {"EndScan", [&] { return device->EndScan(); }},
      {"AdfReady", [&] { return device->AdfReady(ready); }},
      {"EjectAdfMedia", [&] { return device->EjectAdfMedia(); }},
      {"SetMfgMode", [&] { return device->SetMfgMode(); }},
  };
  for (const auto& op : operations) {
    EXPECT_FALSE(op.second()) << op.first;
    EXPECT_EQ(CERR_INVALID_SESSION, device->GetError()) << op.first;
  }
  // The parameter operations do not need Init.
  EXPECT_TRUE(device->SetParameters(Record(0, 2550, 3507)));
  EXPECT_TRUE(device->SetAdfOptions(4));
  BUFFER_INFO info;
  EXPECT_TRUE(device->GetBufferInfo(Record(0, 2550, 3507), info));
  // Reset does not check either: without a scan thread its post fails.
  EXPECT_FALSE(device->Reset());
  EXPECT_EQ(CERR_UNKNOWN, device->GetError());
}

TEST_F(SoapScanDeviceTest, GetErrorLogsAndKeepsTheLastFailure) {
  auto device = MakeDevice();
  EXPECT_EQ(0u, device->GetError());
  EXPECT_FALSE(device->SetAdfOptions(2));
  EXPECT_TRUE(device->SetAdfOptions(5));  // success leaves the code
  EXPECT_EQ(CERR_INVALID_PARAMETER, device->GetError());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("error_ = 2"));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("+++SoapScanDevice::SetAdfOptions"));
}

TEST_F(SoapScanDeviceTest, BufferInfoReportsTheGeometryOfValidParameters) {
  auto device = MakeDevice();
  BUFFER_INFO info;
  std::memset(&info, 0x5A, sizeof info);
  ASSERT_TRUE(device->GetBufferInfo(Record(0, 2550, 3507), info));
  EXPECT_EQ(2550u, info.dwPixelWidth);
  EXPECT_EQ(3507u, info.dwPixelHeight);
  EXPECT_EQ(2550u, info.dwBytesPerLine);
  for (DWORD reserved : info.dwReserved) EXPECT_EQ(0u, reserved);

  ASSERT_TRUE(device->GetBufferInfo(Record(0, 2550, 3507, 4, 1), info));
  EXPECT_EQ(2544u, info.dwPixelWidth);
  EXPECT_EQ(318u, info.dwBytesPerLine);
  // An undersized region is reported as enlarged.
  ASSERT_TRUE(device->GetBufferInfo(Record(0, 300, 400), info));
  EXPECT_EQ(576u, info.dwPixelWidth);
  EXPECT_EQ(576u, info.dwPixelHeight);

  std::memset(&info, 0x5A, sizeof info);
  EXPECT_FALSE(device->GetBufferInfo(Record(1, 2550, 4200, 2, 8, 600), info));
  EXPECT_EQ(CERR_INVALID_PARAMETER, device->GetError());
  EXPECT_EQ(0x5A5A5A5Au, info.dwPixelWidth);  // nothing written on failure
  EXPECT_FALSE(device->GetBufferInfo(Record(2, 2550, 3507), info));
  EXPECT_EQ(CERR_OUT_OF_MEMORY, device->GetError());
}

TEST_F(SoapScanDeviceTest, SetParametersKeepsOnlyAcceptedRecords) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  EXPECT_EQ(&ScanParameters::DefaultParameters(), probe->CurrentParameters());

  ASSERT_TRUE(handle->SetParameters(Record(0, 300, 400)));
  const ScanParameters* kept = probe->CurrentParameters();
  ASSERT_NE(&ScanParameters::DefaultParameters(), kept);
  EXPECT_EQ(576u, kept->parameters.dwWidth);  // kept as enlarged
  EXPECT_EQ(576u, kept->parameters.dwLength);

  EXPECT_FALSE(handle->SetParameters(Record(0, 2550, 3507, 2, 8, 250)));
  EXPECT_EQ(CERR_INVALID_PARAMETER, handle->GetError());
  EXPECT_EQ(kept, probe->CurrentParameters());
  EXPECT_FALSE(handle->SetParameters(Record(2, 2550, 3507)));
  EXPECT_EQ(CERR_UNKNOWN, handle->GetError());
  EXPECT_EQ(kept, probe->CurrentParameters());

  ASSERT_TRUE(handle->SetParameters(Record(1, 2550, 4200)));
  EXPECT_EQ(kInputSourceAdf, probe->CurrentParameters()->InputSource());
}

TEST_F(SoapScanDeviceTest, AdfOptionsAcceptOnlyDuplexAndPageFlow) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->SetParameters(Record(1, 2550, 4200)));
  for (uint32_t refused : {2u, 3u, 0x8u, 0x80000004u}) {
    EXPECT_FALSE(handle->SetAdfOptions(refused)) << refused;
    EXPECT_EQ(CERR_INVALID_PARAMETER, handle->GetError()) << refused;
  }
  EXPECT_FALSE(probe->Duplex());

  sandbox_.ClearLog();
  probe->multiPageFlow_ = false;
  EXPECT_TRUE(handle->SetAdfOptions(0));
  EXPECT_TRUE(probe->MultiPageFlow());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Warning! No page-flow option specified; using default"));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("options = 0"));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("multiPageFlow_ = 1"));

  EXPECT_TRUE(handle->SetAdfOptions(5));
  EXPECT_TRUE(probe->Duplex());
  wscn__ScanTicketType ticket;
  probe->InitScanTicket(ticket);
  EXPECT_EQ(wscn__ScanInputSource__ADFDuplex, ticket.DocumentParameters.InputSource);

  sandbox_.ClearLog();
  EXPECT_TRUE(handle->SetAdfOptions(4));
  EXPECT_EQ(std::string::npos, sandbox_.Log().find("No page-flow option"));
  probe->InitScanTicket(ticket);
  EXPECT_EQ(wscn__ScanInputSource__ADF, ticket.DocumentParameters.InputSource);
}

TEST_F(SoapScanDeviceTest, TicketCarriesTheParametersAndIsDumped) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  SCANNER_PARAMETERS record = Record(0, 2550, 3507);
  record.byContentType = 2;
  ASSERT_TRUE(handle->SetParameters(record));
  sandbox_.ClearLog();
  wscn__ScanTicketType ticket;
  probe->InitScanTicket(ticket);

  const wscn__DocumentParametersType& doc = ticket.DocumentParameters;
  EXPECT_EQ(nullptr, ticket.JobDescription.JobName);
  EXPECT_EQ(wscn__ScanDocumentFormat__jfif, doc.Format);
  EXPECT_EQ(wscn__ScanInputSource__Platen, doc.InputSource);
  EXPECT_EQ(wscn__ContentType__Document, doc.ContentType);
  EXPECT_EQ(wscn__ColorEntryType__GrayScale8, doc.MediaSides.MediaFront.ColorProcessing);
  EXPECT_EQ(300u, ticket.RetrieveImageTimeout);
  EXPECT_EQ(wscn__ImageProcessingRemoveType__removeNone, ticket.ScanManufacturingParameters.ImageProcessingRemoval);

  // The dump, field by field, as the device's log shows it.
  const char* expected[] = {
      "JobDescription.JobName = (null)",
      "JobDescription.JobOriginatingUserName = (null)",
      "JobDescription.JobInformation = (null)",
      "DocumentParameters.Format = 0",
      "DocumentParameters.CompressionQualityFactor = 0",
      "DocumentParameters.ImagesToTransfer = 0",
      "DocumentParameters.InputSource = 2",
      "DocumentParameters.ContentType = 1",
      "DocumentParameters.InputSize.InputMediaSize.Width = 8500",
      "DocumentParameters.InputSize.InputMediaSize.Height = 11690",
      "DocumentParameters.InputSize.DocumentSizeAutoDetect = 0",
      "DocumentParameters.Exposure.AutoExposure = 0",
      "DocumentParameters.Exposure.ExposureSettings.Contrast = 0",
      "DocumentParameters.MediaSides.MediaFront.ColorProcessing = 1",
      "DocumentParameters.MediaSides.MediaFront.Resolution.Width = 300",
      "DocumentParameters.MediaSides.MediaFront.Resolution.Height = 300",
      "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionXOffset = 0",
      "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionYOffset = 0",
      "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionWidth = 8500",
      "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionHeight = 11690",
  };
  const std::string log = sandbox_.Log();
  size_t at = 0;
  for (const char* line : expected) {
    const size_t found = log.find(std::string(line) + "\n", at);
    ASSERT_NE(std::string::npos, found) << "missing or out of order: " << line;
    at = found + 1;
  }
}

TEST_F(SoapScanDeviceTest, InitWithAnUnsupportedKindLeavesNothingRunning) {
  const int before = ThreadCount();
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  EXPECT_FALSE(handle->Init(2, LoopbackDeviceName()));
  EXPECT_EQ(CERR_INVALID_PARAMETER, handle->GetError());
  EXPECT_FALSE(probe->Initialized());
  EXPECT_FALSE(probe->ScanWorker().HasThread());
  EXPECT_FALSE(probe->CancelWorker().HasThread());
  EXPECT_EQ(nullptr, probe->ScanContext());
  EXPECT_EQ(nullptr, probe->Protocol());
  EXPECT_EQ(before, ThreadCount());
  EXPECT_FALSE(handle->BeginScan());
  EXPECT_EQ(CERR_INVALID_SESSION, handle->GetError());

  EXPECT_EQ(before, ThreadCount());
}

TEST_F(SoapScanDeviceTest, InitOverTheNetworkSetsUpBothContextsAndThreads) {
  const int before = ThreadCount();
  auto handle = MakeDevice();
  SoapScanDevice& device = handle->Device();
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  EXPECT_TRUE(device.Initialized());
  EXPECT_EQ(before + 2, ThreadCount());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Tobrel CPE driver with WHQL bug fixes"));

  struct soap* scan = device.ScanContext();
  ASSERT_NE(nullptr, scan);
  EXPECT_EQ(SOAP_IO_CHUNK, scan->omode & SOAP_IO);
  EXPECT_EQ(SOAP_IO_CHUNK, scan->imode & SOAP_IO);
  EXPECT_EQ(&device.ScanPointerMap(), SoapPointerMap::Of(scan));
  EXPECT_EQ(device.DataSource(), SoapPointerMap::Lookup(scan, "DimeDataSource"));
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(scan, "NetworkProtocol"));  // the installed one is not registered
  ASSERT_NE(nullptr, device.Protocol());
  EXPECT_STREQ("http://127.0.0.2:8289", device.Protocol()->GetEndpoint());
  EXPECT_FALSE(device.Protocol()->IsConnectionless());

  // The cancel thread makes its own context with the protocol's twin.
  ASSERT_TRUE(device.WaitForPendingCancelsToFinish());
  ISoapIoProtocol* twin = device.CancelProtocol();
  ASSERT_NE(nullptr, twin);
  EXPECT_NE(device.Protocol(), twin);
  EXPECT_STREQ("http://127.0.0.2:8289", twin->GetEndpoint());

  handle.reset();
  EXPECT_TRUE(Eventually([&] { return ThreadCount() == before; }));
}

TEST_F(SoapScanDeviceTest, ThrowingHandlerDoesNotStopTheScanThread) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  probe->throwOnReset = 1;
  EXPECT_TRUE(handle->Reset());
  EXPECT_TRUE(handle->Reset());
  ASSERT_TRUE(probe->WaitForScanThreadToIdle());
  EXPECT_EQ(2, probe->resets.load());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: exception thrown on ScanThread(); ignoring and continuing..."));

  // A handler that throws before signalling its done event still wakes the waiting host, with
  // the code it threw (the limit is a safety net only).
  TimeLimits::Instance().doneEventMs = 30000;
  probe->singlePageThrows = CERR_ADF_JAMMED;
  EXPECT_FALSE(handle->BeginScan());
  EXPECT_EQ(CERR_ADF_JAMMED, handle->GetError());
  EXPECT_TRUE(probe->WaitForScanThreadToIdle());

  // A failed set-up is the host's answer even when a reset clears the last failure before the
  // host reads it.
  probe->singlePageThrows = 0;
  probe->resetBeforeTheAnswer = true;
  EXPECT_FALSE(handle->BeginScan());
  EXPECT_EQ(CERR_SCANNER_COMMUNICATION_FAILED, handle->GetError());
}

TEST_F(SoapScanDeviceTest, UnknownMessagesAreLoggedOnBothThreads) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  sandbox_.ClearLog();
  probe->ScanWorker().PostMessageAsynchronously(0x9999);
  // A cancel-thread message is unknown to the scan thread, and the other way round.
  probe->ScanWorker().PostMessageAsynchronously(SoapScanDevice::DeviceCancel);
  probe->CancelWorker().PostMessageAsynchronously(SoapScanDevice::ResetRequest);
  probe->CancelWorker().PostMessageAsynchronously(0x7FFF);
  ASSERT_TRUE(probe->WaitForScanThreadToIdle());
  ASSERT_TRUE(probe->WaitForPendingCancelsToFinish());
  EXPECT_EQ(4, devicetest::Occurrences(sandbox_.Log(), "Error: Illegal message received"));
  EXPECT_EQ(0, probe->resets.load());
  EXPECT_EQ(0, probe->deviceCancels.load());
  // Both threads still work.
  probe->CancelWorker().PostMessageAsynchronously(SoapScanDevice::DeviceCancel);
  ASSERT_TRUE(probe->WaitForPendingCancelsToFinish());
  EXPECT_EQ(1, probe->deviceCancels.load());
}

TEST_F(SoapScanDeviceTest, LockedCancelThreadRunsNoCancelUntilReleased) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  probe->LockCancelThreadOnceItsMessageQueueEmpties();
  probe->CancelWorker().PostMessageAsynchronously(SoapScanDevice::DeviceCancel);
  EXPECT_EQ(0, probe->deviceCancels.load());
  probe->UnlockCancelThread();
  EXPECT_TRUE(Eventually([&] { return probe->deviceCancels.load() == 1; }));
  EXPECT_EQ(std::string::npos, sandbox_.Log().find("Warning! Wait() failed unexpectedly"));
}

TEST_F(SoapScanDeviceTest, BackToBackLocksDoNotSwallowEachOthersRelease) {
  // A lock taken right after the previous release (end of a page, then the next BeginScan or
  // EjectAdfMedia) must not leave the cancel thread parked until its limit.
  TimeLimits::Instance().cancelParkMs = 3000;
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  for (int round = 0; round < 20; ++round) {
    probe->LockCancelThreadOnceItsMessageQueueEmpties();
    probe->UnlockCancelThread();
    ASSERT_TRUE(probe->WaitForPendingCancelsToFinish());
  }
  probe->CancelWorker().PostMessageAsynchronously(SoapScanDevice::DeviceCancel);
  ASSERT_TRUE(probe->WaitForPendingCancelsToFinish());
  EXPECT_EQ(1, probe->deviceCancels.load());
  EXPECT_EQ(std::string::npos, sandbox_.Log().find("Warning! Wait() failed unexpectedly"));
}

TEST_F(SoapScanDeviceTest, ParkedCancelThreadResumesAfterItsLimit) {
  TimeLimits::Instance().cancelParkMs = 100;
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  probe->LockCancelThreadOnceItsMessageQueueEmpties();  // never unlocked
  probe->CancelWorker().PostMessageAsynchronously(SoapScanDevice::DeviceCancel);
  EXPECT_TRUE(sandbox_.LogEventuallyHas("Warning! Wait() failed unexpectedly"));
  EXPECT_TRUE(Eventually([&] { return probe->deviceCancels.load() == 1; }));
}

TEST_F(SoapScanDeviceTest, StuckScanThreadIsLeftBehindAndTheDeviceOutlivesIt) {
  TimeLimits::Instance().threadStopMs = 100;
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  probe->blockEndScan = true;
  std::shared_ptr<Event> release = probe->endScanRelease;
  std::weak_ptr<ProbeDevice> observed = probe;
  probe.reset();
  ASSERT_TRUE(handle->EndScan());  // stuck in its handler from now on

  handle.reset();  // the session closes: Stop gives up on the scan thread
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Warning! worker thread still running"));
  EXPECT_FALSE(observed.expired());
  release->Set();
  EXPECT_TRUE(Eventually([&] { return observed.expired(); }));
  EXPECT_TRUE(sandbox_.LogEventuallyHas("---SoapScanDevice::~SoapScanDevice"));
}

TEST_F(SoapScanDeviceTest, ResetForgetsTheJobAndRestoresPageFlow) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  probe->multiPageFlow_ = false;
  probe->error_ = CERR_ADF_JAMMED;
  ASSERT_TRUE(handle->Reset());
  ASSERT_TRUE(probe->WaitForScanThreadToIdle());
  EXPECT_TRUE(probe->MultiPageFlow());
  EXPECT_EQ(0u, handle->GetError());
  EXPECT_TRUE(probe->DataSource()->IsClosed());
}

TEST_F(SoapScanDeviceTest, EndScanBeforeThePageEndedCancelsOnceAndSucceeds) {
  std::shared_ptr<ProbeDevice> probe;
  auto handle = MakeProbe(&probe);
  ASSERT_TRUE(handle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  ASSERT_FALSE(probe->DataSource()->Ended());
  EXPECT_TRUE(handle->EndScan());
  // The end of scan on the scan thread first lets every posted cancel run.
  ASSERT_TRUE(probe->WaitForScanThreadToIdle());
  EXPECT_EQ(1, probe->deviceCancels.load());
  const std::string log = sandbox_.Log();
  EXPECT_NE(std::string::npos, log.find("Canceling scan because:"));
  EXPECT_NE(std::string::npos, log.find("CERR_CANCEL_PRESSED"));
  EXPECT_NE(std::string::npos, log.find("+++DimeDataSource::Close"));
}

TEST_F(SoapScanDeviceTest, ManufacturingModeAppliesToThisDeviceOnly) {
  std::shared_ptr<ProbeDevice> first;
  auto firstHandle = MakeProbe(&first);
  std::shared_ptr<ProbeDevice> second;
  auto secondHandle = MakeProbe(&second);
  ASSERT_TRUE(firstHandle->Init(kScanDeviceNetwork, LoopbackDeviceName()));
  ASSERT_TRUE(firstHandle->SetMfgMode());
  EXPECT_TRUE(first->MfgMode());

  wscn__ScanTicketType ticket;
  first->InitScanTicket(ticket);
  EXPECT_EQ(wscn__ScanDocumentFormat__zkraw, ticket.DocumentParameters.Format);
  EXPECT_EQ(wscn__ImageProcessingRemoveType__removeAll, ticket.ScanManufacturingParameters.ImageProcessingRemoval);
  // Later parameters are lossless too: a 50-row strip grows only to 90 rows.
  SCANNER_PARAMETERS strip = Record(0, 2550, 50);
  ASSERT_TRUE(firstHandle->SetParameters(strip));
  EXPECT_EQ(90u, first->CurrentParameters()->parameters.dwLength);
  BUFFER_INFO info;
  ASSERT_TRUE(firstHandle->GetBufferInfo(strip, info));
  EXPECT_EQ(90u, info.dwPixelHeight);

  // The other session still scans compressed with the shared defaults.
  EXPECT_FALSE(ScanParameters::DefaultParameters().lossless);
  second->InitScanTicket(ticket);
  EXPECT_EQ(wscn__ScanDocumentFormat__jfif, ticket.DocumentParameters.Format);
  EXPECT_EQ(wscn__ImageProcessingRemoveType__removeNone, ticket.ScanManufacturingParameters.ImageProcessingRemoval);
  ASSERT_TRUE(secondHandle->GetBufferInfo(strip, info));
  EXPECT_EQ(576u, info.dwPixelHeight);
}

}  // namespace
