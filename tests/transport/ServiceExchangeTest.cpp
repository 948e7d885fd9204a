// Real scan-service exchanges through the transports against the simulated scanner: over a
// pseudo-terminal with the USB protocol's hooks, and over loopback TCP where the device has
// moved and the call is repeated on the address found by MAC.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"
#include "sim/DeviceSimulator.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/DiscoveryLibrary.h"
#include "transport/NetworkProtocol.h"
#include "transport/RpcRetry.h"
#include "transport/UsbProtocol.h"

using cavixsim::DeviceSimulator;
using cavixsim::Operation;
using cavixsim::SimConfig;

namespace {

int CountRequests(const DeviceSimulator& sim, Operation op) {
  int n = 0;
  for (const auto& r : sim.Requests()) n += r.op == op ? 1 : 0;
  return n;
}

class ServiceExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    soap_ = ServiceContext::Create(ServiceContext::kChunkedOutput);
    ASSERT_NE(nullptr, soap_);
    SoapPointerMap::Attach(soap_, &map_);
  }
  void TearDown() override {
    soap_destroy(soap_);
    soap_end(soap_);
    ServiceContext::Destroy(soap_);
  }
  transporttest::Sandbox sandbox_;
  SoapPointerMap map_;
  struct soap* soap_ = nullptr;
};

TEST_F(ServiceExchange, UsbExchangesOneAfterTheOtherOverThePipe) {
  SimConfig config;
  config.usb = true;
  DeviceSimulator sim(config);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  {
    UsbProtocol usb(soap_);
    usb.Install(sim.PtyPath().c_str());
    EXPECT_EQ(sim.Endpoint(), usb.GetEndpoint());
    for (int i = 0; i < 3; ++i) {
      wscn__ScanElements elements;
      ASSERT_EQ(SOAP_OK, soap_call_wscn__GetScannerElements(soap_, usb.GetEndpoint(), nullptr, &elements))
          << "exchange " << i;
      ASSERT_NE(nullptr, elements.ScannerInfo.ModelNumber);
      EXPECT_FALSE(usb.IsOpen());  // each exchange opens and closes the device
      soap_end(soap_);
    }
    wscn__JobSummaryType summary;
    // A job the device does not know: a fault comes back through the pipe, not a transport error.
    const int status = soap_call_wscn__GetJobInfo(soap_, usb.GetEndpoint(), nullptr, 4242, &summary);
    EXPECT_NE(SOAP_OK, status);
    EXPECT_NE(SOAP_TCP_ERROR, status);
    EXPECT_NE(SOAP_EOF, status);
  }
  EXPECT_EQ(3, CountRequests(sim, Operation::GetScannerElements));
  EXPECT_EQ(1, CountRequests(sim, Operation::GetJobInfo));
}

TEST_F(ServiceExchange, MovedDeviceAnswersTheRepeatedCall) {
  // The device was installed at 127.0.84.2; it now listens at 127.0.84.3 and is listed there
  // by its MAC address in the neighbour table.
  const std::string table = sandbox_.Path("neighbours.txt");
  transporttest::WriteText(table, "# written by the test\n");
  setenv("CAVIX_NEIGHBOUR_TABLE", table.c_str(), 1);
  SimConfig config;
  config.listenAddress = "127.0.84.3";
  config.macAddress = "00:1B:78:AA:BB:CC";
  config.neighbourTableFile = table;
  DeviceSimulator sim(config);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;

  DiscoveryLibrary library({CAVIX_ZKDISC01_PATH});
  NetworkProtocol protocol(soap_, &library);
  protocol.Install("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.84.2\\guid{}");
  std::vector<std::string> endpoints;
  wscn__ScanElements elements;
  const int status = RpcRetry::Call(&protocol, [&] {
    endpoints.push_back(protocol.GetEndpoint());
    return soap_call_wscn__GetScannerElements(soap_, protocol.GetEndpoint(), nullptr, &elements);
  });
  EXPECT_EQ(SOAP_OK, status);
  EXPECT_EQ((std::vector<std::string>{"http://127.0.84.2:8289", "http://127.0.84.3:8289"}), endpoints);
  EXPECT_EQ(1, CountRequests(sim, Operation::GetScannerElements));
  EXPECT_NE(std::string::npos, transporttest::ReadText(sandbox_.Path("hkcu.reg"))
                                   .find("\"IpAddress\"=\"127.0.84.3\"\n"));
}

}  // namespace
