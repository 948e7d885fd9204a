// The choice of the last known address (rediscovered, installed, from the device name) and
// the rediscovery by MAC address through the discovery library, with registry and
// neighbour-table fixtures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "driver/CavixErrors.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/DiscoveryLibrary.h"
#include "transport/IpAddressFinder.h"

using transporttest::DeviceName;
using transporttest::ReadText;

namespace {

CAVIX_ERRORS Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (CAVIX_ERRORS e) {
    return e;
  }
  return CERR_NONE;
}

const char* const kUserKeySection =
    "[HKEY_CURRENT_USER\\SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\00:1B:78:AA:BB:CC]\n";

class AddressFinder : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.CaptureLog(); }
  bool Logged(const std::string& text) const {
    return sandbox_.Log().find(text) != std::string::npos;
  }
  std::string UserRoot() const { return ReadText(sandbox_.Path("hkcu.reg")); }

  transporttest::Sandbox sandbox_;
  DiscoveryLibrary library_{{CAVIX_ZKDISC01_PATH}};
};

TEST_F(AddressFinder, RediscoveredAddressInUserKeyWinsOverInstalledPortId) {
  sandbox_.UseHklm("hklm_instances.reg");
  sandbox_.UseHkcu("hkcu_ipaddress.reg");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.9", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("GetRediscoveredIpAddressFromRegistry succeeded, IP is 127.0.0.9"));
  EXPECT_TRUE(Logged("lastKnownIpAddress_ 127.0.0.9"));
}

TEST_F(AddressFinder, UserKeyWithoutIpAddressFallsThroughToPortId) {
  sandbox_.UseHklm("hklm_instances.reg");
  sandbox_.UseHkcu("hkcu_no_ipaddress.reg");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.5", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("Value not found in registry"));
  EXPECT_TRUE(Logged("GetInstalledIpAddressFromRegistry succeeded, IP is 127.0.0.5"));
}

TEST_F(AddressFinder, WithoutRegistryTheDeviceNameGivesTheAddress) {
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("Error: Unknown error"));  // no imaging class key at all
  EXPECT_TRUE(Logged("IpAddressFinder: last known IP address from networkDeviceId is 127.0.0.2"));

  // A case-different NetworkDeviceID is another device: its PortID is not taken.
  sandbox_.UseHklm("hklm_case_differs.reg");
  IpAddressFinder other(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.2", other.LastKnownIpAddress());
  EXPECT_TRUE(Logged("Error: Failed to open registry settings"));
}

TEST_F(AddressFinder, NameWithoutGuidMarkerAndNoRegistryAddressIsInvalid) {
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] {
              IpAddressFinder finder("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2",
                                     &library_);
            }));
  // With an address in the user key the device name's address is not needed.
  sandbox_.UseHkcu("hkcu_ipaddress.reg");
  IpAddressFinder finder("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2",
                         &library_);
  EXPECT_EQ("127.0.0.9", finder.LastKnownIpAddress());
}

TEST_F(AddressFinder, AddressesThatAreNotHostsAreNeverTaken) {
  sandbox_.UseHklm("hklm_tampered_portid.reg");
  sandbox_.UseHkcu("hkcu_wrong_types.reg");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] {
              IpAddressFinder bad("\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2/x\\guid{}",
                                  &library_);
            }));
}

TEST_F(AddressFinder, DiscoveryFindsTheMovedDeviceAndRemembersIt) {
  sandbox_.UseHklm("hklm_instances.reg");
  sandbox_.UseNeighbourTable("neighbours_moved.txt");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.5", finder.LastKnownIpAddress());
  ASSERT_TRUE(finder.DiscoverCurrentIp());
  EXPECT_EQ("127.0.0.3", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("macAddress 00:1B:78:AA:BB:CC"));
  EXPECT_TRUE(Logged("discovered ipAddress 127.0.0.3"));
  EXPECT_NE(std::string::npos,
            UserRoot().find(std::string(kUserKeySection) + "\"IpAddress\"=\"127.0.0.3\"\n"))
      << UserRoot();

  // The next finder for the device starts from the remembered address.
  IpAddressFinder next(DeviceName(), &library_);
  EXPECT_EQ("127.0.0.3", next.LastKnownIpAddress());
}

TEST_F(AddressFinder, TwoDevicesWithTheMacAddressFailAndNothingIsWritten) {
  sandbox_.UseNeighbourTable("neighbours_two.txt");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("Error: Discovered more than one device"));
  EXPECT_TRUE(Logged("Error: DiscoverDeviceByMacAddress() failed unexpectedly"));
  EXPECT_EQ(std::string::npos, UserRoot().find("IpAddress"));
}

TEST_F(AddressFinder, UnknownMacAddressFails) {
  sandbox_.UseNeighbourTable("neighbours_none.txt");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_TRUE(Logged("Error: Failed to discover device\n"));
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
}

TEST_F(AddressFinder, WithoutIpv4TheFirstIpv6AddressIsUsed) {
  sandbox_.UseNeighbourTable("neighbours_ipv6.txt");
  IpAddressFinder finder(DeviceName(), &library_);
  ASSERT_TRUE(finder.DiscoverCurrentIp());
  EXPECT_EQ("2001:db8::17", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("SDI_getIPAddress is NO_IPV4_ADDRESS"));
  EXPECT_TRUE(Logged("IPv6 address list is 2001:db8::17 2001:db8::18, using 1st in list"));
  EXPECT_NE(std::string::npos, UserRoot().find("\"IpAddress\"=\"2001:db8::17\"\n"));

  sandbox_.UseNeighbourTable("neighbours_one_ipv6.txt");
  ASSERT_TRUE(finder.DiscoverCurrentIp());
  EXPECT_EQ("::1", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("IPv6 address list of 1: ::1"));
}

TEST_F(AddressFinder, DeviceWithoutAnyAddressIsNotDiscoveredAt0000) {
  sandbox_.UseNeighbourTable("neighbours_no_address.txt");
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("Error: Failed to obtain IP address"));
  EXPECT_EQ(std::string::npos, UserRoot().find("IpAddress"));
}

TEST_F(AddressFinder, NameWithoutMacFieldRaisesAndEndsTheSession) {
  sandbox_.UseNeighbourTable("neighbours_moved.txt");
  IpAddressFinder noMac("\\ipaddr:127.0.0.2\\guid{}", &library_);
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] { noMac.DiscoverCurrentIp(); }));
  // The session was shut down: the next discovery on this thread can start one.
  IpAddressFinder finder(DeviceName(), &library_);
  EXPECT_TRUE(finder.DiscoverCurrentIp());
  EXPECT_EQ("127.0.0.3", finder.LastKnownIpAddress());

  IpAddressFinder emptyMac("\\macaddr:\\port1\\ipaddr:127.0.0.2\\guid{}", &library_);
  EXPECT_FALSE(emptyMac.DiscoverCurrentIp());
  EXPECT_TRUE(Logged("Error: Missing MAC address"));
}

TEST_F(AddressFinder, LibraryThatCannotBeLoadedFailsDiscoveryOnly) {
  sandbox_.UseNeighbourTable("neighbours_moved.txt");
  DiscoveryLibrary missing({sandbox_.Path("no-such-dir/libzkdisc01.so")});
  IpAddressFinder finder(DeviceName(), &missing);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  ScanError failure;
  EXPECT_EQ(nullptr, missing.Functions(&failure));
  EXPECT_NE(std::string::npos, failure.Text().find("no-such-dir"));
  EXPECT_TRUE(Logged("DiscoverCurrentIp: cannot load libzkdisc01.so"));
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
}

// Answers the real library never gives, from the test library.
class FakeDiscovery : public AddressFinder {
 protected:
  void SetUp() override {
    AddressFinder::SetUp();
    trace_ = sandbox_.Path("sdi-trace.txt");
    setenv("FAKE_SDI_TRACE", trace_.c_str(), 1);
  }
  void TearDown() override {
    for (const char* name : {"FAKE_SDI_TRACE", "FAKE_SDI_STARTUP", "FAKE_SDI_SHUTDOWN",
                             "FAKE_SDI_COUNT", "FAKE_SDI_IPV4", "FAKE_SDI_FILL64"}) {
      unsetenv(name);
    }
  }
  std::string Calls() const { return ReadText(trace_); }

  std::string trace_;
  DiscoveryLibrary fake_{{CAVIX_FAKE_SDI_PATH}};
};

TEST_F(FakeDiscovery, AnswerLongerThanTheBufferIsRefusedNotCut) {
  setenv("FAKE_SDI_FILL64", "1", 1);
  IpAddressFinder finder(DeviceName(), &fake_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
  EXPECT_TRUE(Logged("Error: Failed to obtain IP address"));
  EXPECT_EQ("startup 1\nsetLoggingLevel 2\ndiscoverMAC 00:1B:78:AA:BB:CC 0 0 0\n"
            "getIPAddress 0 64\nshutdown 1\n",
            Calls());
  EXPECT_EQ(std::string::npos, UserRoot().find("IpAddress"));
}

TEST_F(FakeDiscovery, UnusableAnswerIsRefused) {
  setenv("FAKE_SDI_IPV4", "127.0.0.3/admin", 1);
  IpAddressFinder finder(DeviceName(), &fake_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_EQ("127.0.0.2", finder.LastKnownIpAddress());
}

TEST_F(FakeDiscovery, StartupFailureEndsAtOnce) {
  setenv("FAKE_SDI_STARTUP", "7", 1);
  IpAddressFinder finder(DeviceName(), &fake_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_TRUE(Logged("DiscoverCurrentIp: Failed in SDI_startup() 7"));
  EXPECT_EQ("startup 1\n", Calls());
}

TEST_F(FakeDiscovery, ShutdownFailureAfterANewAddressReportsFailure) {
  setenv("FAKE_SDI_IPV4", "127.0.0.12", 1);
  setenv("FAKE_SDI_SHUTDOWN", "3", 1);
  IpAddressFinder finder(DeviceName(), &fake_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_TRUE(Logged("DiscoverCurrentIp: Failed in SDI_shutdown() 3"));
  // The address is known and remembered all the same.
  EXPECT_EQ("127.0.0.12", finder.LastKnownIpAddress());
  EXPECT_NE(std::string::npos, UserRoot().find("\"IpAddress\"=\"127.0.0.12\"\n"));
}

TEST_F(FakeDiscovery, ZeroAddressWithEmptyIpv6ListAsksTheListLengthThenFails) {
  IpAddressFinder finder(DeviceName(), &fake_);
  EXPECT_FALSE(finder.DiscoverCurrentIp());
  EXPECT_EQ("startup 1\nsetLoggingLevel 2\ndiscoverMAC 00:1B:78:AA:BB:CC 0 0 0\n"
            "getIPAddress 0 64\ngetIPv6Addresses 0 0\nshutdown 1\n",
            Calls());
  EXPECT_TRUE(Logged("SDI_getIPAddress is NO_IPV4_ADDRESS"));
}

}  // namespace
