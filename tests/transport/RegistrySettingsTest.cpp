// The network device's registry settings: the driver key found by NetworkDeviceID, the user
// key named by the MAC address, and the choice between them. Roots are hand-written .reg
// fixtures.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "driver/CavixErrors.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/DriverNetworkRegistrySettings.h"
#include "transport/NetworkRegistrySettings.h"
#include "transport/UserNetworkRegistrySettings.h"

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

class RegistrySettings : public ::testing::Test {
 protected:
  void SetUp() override { sandbox_.CaptureLog(); }
  transporttest::Sandbox sandbox_;
};

TEST_F(RegistrySettings, DriverKeyIsTheInstanceWhoseNetworkDeviceIdMatches) {
  sandbox_.UseHklm("hklm_instances.reg");
  DriverNetworkRegistrySettings driver(DeviceName());
  ASSERT_TRUE(driver.Open());
  EXPECT_EQ("0002\\DeviceData", driver.DataKeyPath());
  std::string port;
  ASSERT_TRUE(driver.ReadString("PortID", port));
  EXPECT_EQ("127.0.0.5", port);
  DWORD timeout = 0;
  ASSERT_TRUE(driver.ReadDword("ConnectionTimeout", timeout));
  EXPECT_EQ(45u, timeout);
  // 0000 has no DeviceData: its read fails and the search goes on.
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Registry read failed unexpectedly"));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("valueName = PortID, value = 127.0.0.5"));

  std::string missing;
  EXPECT_FALSE(driver.ReadString("IpAddress", missing));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: ReadData() failed"));
}

TEST_F(RegistrySettings, DriverKeyMatchIsExactAndCaseSensitive) {
  sandbox_.UseHklm("hklm_case_differs.reg");
  DriverNetworkRegistrySettings driver(DeviceName());
  EXPECT_FALSE(driver.Open());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: Failed to open registry key"));
  EXPECT_EQ("", driver.DataKeyPath());
  std::string value;
  EXPECT_EQ(CERR_UNKNOWN, Raised([&] { driver.ReadString("PortID", value); }));

  DriverNetworkRegistrySettings unnamed("");
  EXPECT_FALSE(unnamed.Open());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: Missing networkDeviceId_"));
}

TEST_F(RegistrySettings, DriverKeyWithoutClassKeyRaisesUnknown) {
  DriverNetworkRegistrySettings driver(DeviceName());
  EXPECT_EQ(CERR_UNKNOWN, Raised([&] { driver.Open(); }));
}

TEST_F(RegistrySettings, DriverKeyWritesIntoTheMatchedDataKey) {
  sandbox_.UseHklm("hklm_instances.reg");
  DriverNetworkRegistrySettings driver(DeviceName());
  EXPECT_EQ(CERR_UNKNOWN, Raised([&] { driver.WriteString("IpAddress", "127.0.0.7"); }));
  ASSERT_TRUE(driver.Open());
  driver.WriteString("IpAddress", "127.0.0.7");
  EXPECT_NE(std::string::npos, sandbox_.Log().find("StringName=IpAddress, StringVal=127.0.0.7"));
  EXPECT_EQ(CERR_UNKNOWN, Raised([&] { driver.WriteString("IpAddress", ""); }));
  EXPECT_EQ(CERR_UNKNOWN, Raised([&] { driver.WriteString("", "x"); }));
  driver.Close();
  driver.Close();  // harmless when closed

  const std::string text = ReadText(sandbox_.Path("hklm.reg"));
  const std::string section =
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
      "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0002\\DeviceData]\n";
  const auto at = text.find(section);
  ASSERT_NE(std::string::npos, at) << text;
  const auto next = text.find("\n[", at + 1);
  EXPECT_NE(std::string::npos, text.substr(at, next - at).find("\"IpAddress\"=\"127.0.0.7\"\n"))
      << text;
  EXPECT_EQ(1u, [&] {
    std::size_t n = 0;
    for (auto p = text.find("\"IpAddress\""); p != std::string::npos; p = text.find("\"IpAddress\"", p + 1)) ++n;
    return n;
  }());
}

TEST_F(RegistrySettings, UserKeyIsCreatedUnderNetworkScannersByMacAddress) {
  UserNetworkRegistrySettings user(DeviceName());
  ASSERT_TRUE(user.Open());
  std::string value;
  EXPECT_FALSE(user.ReadString("IpAddress", value));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Value not found in registry"));
  DWORD timeout = 7;
  EXPECT_FALSE(user.ReadDword("ConnectionTimeout", timeout));
  EXPECT_EQ(7u, timeout);
  user.WriteString("IpAddress", "127.0.0.8");
  user.Close();

  const std::string expected =
      "[HKEY_CURRENT_USER\\SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\00:1B:78:AA:BB:CC]\n"
      "\"IpAddress\"=\"127.0.0.8\"\n";
  EXPECT_NE(std::string::npos, ReadText(sandbox_.Path("hkcu.reg")).find(expected))
      << ReadText(sandbox_.Path("hkcu.reg"));

  UserNetworkRegistrySettings again(DeviceName());
  ASSERT_TRUE(again.Open());
  ASSERT_TRUE(again.ReadString("IpAddress", value));
  EXPECT_EQ("127.0.0.8", value);
}

TEST_F(RegistrySettings, UserKeyRefusals) {
  UserNetworkRegistrySettings noMac("\\ipaddr:127.0.0.2\\guid{}");
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] { noMac.Open(); }));
  UserNetworkRegistrySettings emptyMac("\\macaddr:\\port1\\ipaddr:127.0.0.2\\guid{}");
  EXPECT_FALSE(emptyMac.Open());
  UserNetworkRegistrySettings nestedMac("\\macaddr:..\\other\\port1\\ipaddr:127.0.0.2\\guid{}");
  EXPECT_FALSE(nestedMac.Open());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: Failed to create user registry key"));
  EXPECT_EQ("", ReadText(sandbox_.Path("hkcu.reg")));

  sandbox_.UseHkcu("hkcu_corrupt.reg");
  UserNetworkRegistrySettings corrupt(DeviceName());
  EXPECT_FALSE(corrupt.Open());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: Failed to open HKEY_CURRENT_USER"));
  // The malformed file is left as it was.
  EXPECT_EQ(transporttest::ReadText(transporttest::DataFile("hkcu_corrupt.reg")),
            ReadText(sandbox_.Path("hkcu.reg")));
}

TEST_F(RegistrySettings, PolicyChoiceUserFirstThenDriver) {
  sandbox_.UseHklm("hklm_instances.reg");
  NetworkRegistrySettings settings(DeviceName());
  settings.Open();
  EXPECT_NE(nullptr, dynamic_cast<UserNetworkRegistrySettings*>(settings.Policy()));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Created user policy"));
  settings.Close();
  EXPECT_EQ(nullptr, settings.Policy());

  // The user root cannot be read: the driver key serves.
  sandbox_.UseHkcu("hkcu_corrupt.reg");
  sandbox_.ClearLog();
  settings.Open();
  EXPECT_NE(nullptr, dynamic_cast<DriverNetworkRegistrySettings*>(settings.Policy()));
  DWORD timeout = 0;
  EXPECT_TRUE(settings.ReadDword("ConnectionTimeout", timeout));
  EXPECT_EQ(45u, timeout);
  const std::string log = sandbox_.Log();
  EXPECT_NE(std::string::npos, log.find("Error: Failed to create opened policy"));
  EXPECT_NE(std::string::npos, log.find("Created driver policy"));
}

TEST_F(RegistrySettings, PolicyChoiceFailsWhenNeitherKeyOpens) {
  // No MAC field for the user key, and no driver instance with this name.
  NetworkRegistrySettings settings("\\ipaddr:127.0.0.2\\guid{}");
  EXPECT_EQ(CERR_UNKNOWN, Raised([&] { settings.Open(); }));
  EXPECT_EQ(nullptr, settings.Policy());
  const std::string log = sandbox_.Log();
  const auto first = log.find("Error: Failed to create opened policy");
  ASSERT_NE(std::string::npos, first);
  EXPECT_NE(std::string::npos, log.find("Error: Failed to create opened policy", first + 1));
  EXPECT_NE(std::string::npos, log.find("Unable to open user registry settings"));
}

TEST_F(RegistrySettings, UseWithoutOpenIsRefused) {
  NetworkRegistrySettings settings(DeviceName());
  std::string value;
  DWORD number = 0;
  EXPECT_FALSE(settings.ReadString("IpAddress", value));
  EXPECT_FALSE(settings.ReadDword("ConnectionTimeout", number));
  settings.WriteString("IpAddress", "127.0.0.9");
  settings.Close();
  const std::string log = sandbox_.Log();
  EXPECT_NE(std::string::npos, log.find("Error: Open() must succeed before calling me"));
  EXPECT_NE(std::string::npos, log.find("Close() attempted, but was not needed"));
  EXPECT_EQ("", ReadText(sandbox_.Path("hkcu.reg")));
}

}  // namespace
