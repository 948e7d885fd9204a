// Through the driver's COM interface, loaded like a host loads it: a network scanner that has
// moved since it was installed. The first exchange fails with a TCP error, the driver finds the
// device again by MAC address through the discovery library (in a network of the test's own:
// the scanner answers WS-Discovery from its new address, whose MAC address the neighbour-table
// fixture gives), repeats the exchange on the new address, scans the page, and remembers the
// address in the user's key.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/CavixCom.h"
#include "driver/CavixErrors.h"
#include "driver/CavixScanner.h"
#include "sim/DeviceSimulator.h"
#include "tests/support/HostCalls.h"
#include "tests/support/OwnNetwork.h"
#include "tests/transport/TransportTestSupport.h"

using cavixsim::DeviceSimulator;
using cavixsim::Operation;
using cavixsim::SimConfig;

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

int CountRequests(const DeviceSimulator& sim, Operation op) {
  int n = 0;
  for (const auto& r : sim.Requests()) n += r.op == op ? 1 : 0;
  return n;
}

class DriverModule {
 public:
  DriverModule() {
    handle_ = dlopen(CAVIX_DRIVER_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle_, "DllGetClassObject"));
    IClassFactory* factory = nullptr;
    if (!getClassObject ||
        getClassObject(CLSID_CavixScanner, IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
      return;
    }
    factory->CreateInstance(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner_));
    factory->Release();
  }
  ~DriverModule() {
    if (scanner_) scanner_->Release();
    // The module stays loaded: its threads and the discovery library belong to the process.
  }
  IScanner* Scanner() const { return scanner_; }

 private:
  void* handle_ = nullptr;
  IScanner* scanner_ = nullptr;
};

TEST(NetworkRediscoveryCom, MovedScannerIsFoundAgainAndScanned) {
  std::string error;
  ASSERT_TRUE(testsupport::OwnNetwork(&error)) << error;
  transporttest::Sandbox sandbox;
  const std::string table = sandbox.Path("neighbours.txt");
  transporttest::WriteText(table, "# the simulated scanner adds its line\n");
  setenv("CAVIX_NEIGHBOUR_TABLE", table.c_str(), 1);
  setenv("CAVIX_DISCOVERY", "wsd", 1);  // only hosts that answer the Probe

  // Installed at 127.0.85.2 (nothing listens there); now at a 127.0.84.x of its own.
  SimConfig config;
  config.macAddress = "00:1B:78:AA:BB:CC";
  config.neighbourTableFile = table;
  std::unique_ptr<DeviceSimulator> sim;
  std::string address;
  for (int host = 3; host < 250 && !sim; ++host) {
    config.listenAddress = "127.0.84." + std::to_string(host);
    sim.reset(new DeviceSimulator(config));
    std::string error;
    if (!sim->Start(&error)) sim.reset();
  }
  ASSERT_TRUE(sim);
  address = config.listenAddress;

  // The module reads its log switches when it loads: both the test and the module log there.
  sandbox.CaptureLog();
  DriverModule module;
  IScanner* scanner = module.Scanner();
  ASSERT_NE(nullptr, scanner);
  const std::u16string name = Wide(
      "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.85.2\\guid"
      "{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}");
  DWORD session = 0;
  DWORD code = 0;
  ASSERT_NO_FATAL_FAILURE(testsupport::OpenLockedSession(scanner, name, C_IOTYPE_NETWORK, &session, 10000));

  SCANNER_PARAMETERS p = testsupport::HostParameters(0, C_SCANMODE_GREYSCALE, 8, 75, 0, 0, 600, 600);
  ASSERT_EQ(S_OK, scanner->SetScannerParameters(session, &p, &code)) << code;
  ASSERT_EQ(S_OK, scanner->StartScan(session, &code)) << code;

  std::vector<BYTE> buffer(65536);
  DWORD total = 0;
  for (;;) {
    DWORD got = 0;
    const HRESULT hr = scanner->ReadScanEx(session, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &code);
    ASSERT_EQ(S_OK, hr) << code;
    total += got;
    if (got < buffer.size()) break;
  }
  EXPECT_EQ(static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE), code);
  EXPECT_GT(total, 0u);
  EXPECT_EQ(S_OK, scanner->StopScan(session, &code)) << code;
  EXPECT_EQ(S_OK, scanner->UnlockScanner(session, &code)) << code;
  EXPECT_EQ(S_OK, scanner->CloseScannerSession(session, &code)) << code;

  EXPECT_EQ(1, CountRequests(*sim, Operation::CreateScanJob));
  EXPECT_EQ(1, CountRequests(*sim, Operation::RetrieveImage));
  EXPECT_NE(std::string::npos, transporttest::ReadText(sandbox.Path("hkcu.reg"))
                                   .find("\"IpAddress\"=\"" + address + "\"\n"));

  // The exchange went to the installed address first, then to the discovered one.
  const std::string log = sandbox.Log();
  const auto first = log.find("webServiceAddress_ http://127.0.85.2:8289");
  const auto found = log.find("discovered ipAddress " + address);
  const auto second = log.find("webServiceAddress_ http://" + address + ":8289");
  ASSERT_NE(std::string::npos, first) << log;
  ASSERT_NE(std::string::npos, found);
  ASSERT_NE(std::string::npos, second);
  EXPECT_LT(first, found);
  EXPECT_LT(found, second);
}

}  // namespace
