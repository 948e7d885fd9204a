// The network protocol on a real SOAP context: time-outs, endpoint, twins, rediscovery, and
// the repeat of an exchange on the rediscovered address over loopback TCP.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdsoap2.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <string>

#include "driver/CavixErrors.h"
#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "tests/transport/TransportTestSupport.h"
#include "transport/DiscoveryLibrary.h"
#include "transport/NetworkProtocol.h"
#include "transport/RpcRetry.h"

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

class NetworkProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.CaptureLog();
    soap_ = ServiceContext::Create(ServiceContext::kPlainOutput);
    ASSERT_NE(nullptr, soap_);
    SoapPointerMap::Attach(soap_, &map_);
    // A marker the protocol must leave alone where it does not own the field.
    soap_->connect_timeout = 77;
  }
  void TearDown() override { ServiceContext::Destroy(soap_); }
  bool Logged(const std::string& text) const {
    return sandbox_.Log().find(text) != std::string::npos;
  }

  transporttest::Sandbox sandbox_;
  DiscoveryLibrary library_{{CAVIX_ZKDISC01_PATH}};
  SoapPointerMap map_;
  struct soap* soap_ = nullptr;
};

TEST_F(NetworkProtocolTest, TimeOutsAtConstructionAndOnRequest) {
  NetworkProtocol protocol(soap_, &library_);
  EXPECT_EQ(240, soap_->recv_timeout);
  EXPECT_EQ(240, soap_->send_timeout);
  EXPECT_EQ(77, soap_->connect_timeout);
  protocol.EnableShortTimeout();
  EXPECT_EQ(20, soap_->recv_timeout);
  EXPECT_EQ(20, soap_->send_timeout);
  protocol.EnableDefaultTimeout();
  EXPECT_EQ(240, soap_->recv_timeout);
  EXPECT_EQ(240, soap_->send_timeout);
  EXPECT_EQ(77, soap_->connect_timeout);
  EXPECT_TRUE(Logged("+++NetworkProtocol::EnableShortTimeout"));
  // Nothing to drain, never connectionless, and not in its own context's map.
  EXPECT_TRUE(protocol.Flush());
  EXPECT_FALSE(protocol.IsConnectionless());
  EXPECT_EQ(0u, map_.Size());
}

TEST_F(NetworkProtocolTest, ConnectTimeoutZeroFromRegistryIsKept) {
  sandbox_.UseHkcu("hkcu_ipaddress.reg");
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install(DeviceName());
  EXPECT_EQ(0, soap_->connect_timeout);
  EXPECT_EQ(240, soap_->recv_timeout);
  EXPECT_STREQ("http://127.0.0.9:8289", protocol.GetEndpoint());
  EXPECT_TRUE(Logged("webServiceAddress_ http://127.0.0.9:8289"));
}

TEST_F(NetworkProtocolTest, ConnectTimeoutWithoutValueIs20) {
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install(DeviceName());
  EXPECT_EQ(20, soap_->connect_timeout);
  EXPECT_EQ(240, soap_->recv_timeout);
  EXPECT_EQ(240, soap_->send_timeout);
  EXPECT_STREQ("http://127.0.0.2:8289", protocol.GetEndpoint());
}

TEST_F(NetworkProtocolTest, ConnectTimeoutFromDriverKeyAndClamped) {
  // The user root cannot be read: the settings come from the driver key (45 s).
  sandbox_.UseHklm("hklm_instances.reg");
  sandbox_.UseHkcu("hkcu_corrupt.reg");
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install(DeviceName());
  EXPECT_EQ(45, soap_->connect_timeout);
  EXPECT_STREQ("http://127.0.0.5:8289", protocol.GetEndpoint());

  // 0xffffffff seconds must not become a negative (microsecond) time-out.
  sandbox_.UseHkcu("hkcu_wrong_types.reg");
  protocol.Install(DeviceName());
  EXPECT_EQ(INT_MAX, soap_->connect_timeout);
}

TEST_F(NetworkProtocolTest, RegistryFailureGivesConnectTimeout20) {
  // No user key (no MAC field) and no driver key: opening the settings raises.
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install("\\ipaddr:127.0.0.2\\guid{}");
  EXPECT_EQ(20, soap_->connect_timeout);
  EXPECT_TRUE(Logged("Failed to access registry"));
}

TEST_F(NetworkProtocolTest, Ipv6AddressIsBracketed) {
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install("\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:2001:db8::5 2001:db8::6\\guid{}");
  EXPECT_STREQ("http://[2001:db8::5]:8289", protocol.GetEndpoint());
}

TEST_F(NetworkProtocolTest, InstallRefusals) {
  NetworkProtocol protocol(soap_, &library_);
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] { protocol.Install(nullptr); }));
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] {
              protocol.Install("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2");
            }));
  EXPECT_STREQ("", protocol.GetEndpoint());
  EXPECT_FALSE(protocol.RediscoverDevice());
  EXPECT_TRUE(Logged("Error: protocol needs initialization"));
}

TEST_F(NetworkProtocolTest, RediscoveryMovesTheInstalledEndpointButNotTheTwin) {
  sandbox_.UseNeighbourTable("neighbours_moved.txt");
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install(DeviceName());

  struct soap* cancel = ServiceContext::Create(ServiceContext::kPlainOutput);
  ASSERT_NE(nullptr, cancel);
  SoapPointerMap cancelMap;
  SoapPointerMap::Attach(cancel, &cancelMap);
  cancel->connect_timeout = 33;
  ISoapIoProtocol* twin = protocol.CloneInSoapPointerMap(cancel);
  ASSERT_NE(nullptr, twin);
  EXPECT_EQ(twin, SoapPointerMap::Lookup(cancel, "NetworkProtocol"));
  EXPECT_EQ(240, cancel->recv_timeout);
  EXPECT_EQ(240, cancel->send_timeout);
  EXPECT_EQ(33, cancel->connect_timeout);
  EXPECT_STREQ("http://127.0.0.2:8289", twin->GetEndpoint());

  ASSERT_TRUE(protocol.RediscoverDevice());
  EXPECT_STREQ("http://127.0.0.3:8289", protocol.GetEndpoint());
  EXPECT_STREQ("http://127.0.0.2:8289", twin->GetEndpoint());
  // A twin has no finder.
  EXPECT_FALSE(twin->RediscoverDevice());
  EXPECT_TRUE(Logged("Error: protocol needs initialization"));

  protocol.DestroyClone(cancel);
  EXPECT_EQ(nullptr, SoapPointerMap::Lookup(cancel, "NetworkProtocol"));
  protocol.DestroyClone(cancel);  // nothing left to delete
  SoapPointerMap::Attach(cancel, nullptr);
  protocol.DestroyClone(cancel);  // no map at all
  ServiceContext::Destroy(cancel);

  // The next protocol for the device starts from the remembered address.
  NetworkProtocol next(soap_, &library_);
  next.Install(DeviceName());
  EXPECT_STREQ("http://127.0.0.3:8289", next.GetEndpoint());
}

TEST_F(NetworkProtocolTest, FailedRediscoveryKeepsTheEndpoint) {
  sandbox_.UseNeighbourTable("neighbours_two.txt");
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install(DeviceName());
  EXPECT_FALSE(protocol.RediscoverDevice());
  EXPECT_TRUE(Logged("Error: Failed to rediscover device"));
  EXPECT_STREQ("http://127.0.0.2:8289", protocol.GetEndpoint());

  NetworkProtocol noMac(soap_, &library_);
  noMac.Install("\\ipaddr:127.0.0.2\\guid{}");
  EXPECT_EQ(CERR_INVALID_PARAMETER, Raised([&] { noMac.RediscoverDevice(); }));
}

// A protocol that counts rediscoveries and answers as told.
class CountingProtocol : public NetworkProtocol {
 public:
  CountingProtocol(struct soap* soap, bool found) : NetworkProtocol(soap), found_(found) {}
  bool RediscoverDevice() override {
    ++rediscoveries;
    return found_;
  }
  int rediscoveries = 0;

 private:
  bool found_;
};

TEST(RpcRetry, RepeatsOnceOnlyAfterATcpErrorAndARediscovery) {
  struct soap* soap = ServiceContext::Create(ServiceContext::kPlainOutput);
  {
    CountingProtocol found(soap, true);
    int runs = 0;
    EXPECT_EQ(SOAP_TCP_ERROR, RpcRetry::Call(&found, [&] { ++runs; return SOAP_TCP_ERROR; }));
    EXPECT_EQ(2, runs);
    EXPECT_EQ(1, found.rediscoveries);

    runs = 0;
    EXPECT_EQ(SOAP_OK, RpcRetry::Call(&found, [&] { return ++runs == 1 ? SOAP_TCP_ERROR : SOAP_OK; }));
    EXPECT_EQ(2, runs);

    runs = 0;
    EXPECT_EQ(SOAP_FAULT, RpcRetry::Call(&found, [&] { ++runs; return SOAP_FAULT; }));
    EXPECT_EQ(1, runs);
    EXPECT_EQ(2, found.rediscoveries);

    CountingProtocol lost(soap, false);
    runs = 0;
    EXPECT_EQ(SOAP_TCP_ERROR, RpcRetry::Call(&lost, [&] { ++runs; return SOAP_TCP_ERROR; }));
    EXPECT_EQ(1, runs);
    EXPECT_EQ(1, lost.rediscoveries);
  }
  ServiceContext::Destroy(soap);
}

// A listening TCP socket on port 8289 of a free loopback address 127.0.83.x.
class LoopbackListener {
 public:
  LoopbackListener() {
    for (int host = 3; host < 250 && fd_ < 0; ++host) {
      const std::string address = "127.0.83." + std::to_string(host);
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(8289);
      inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd, 4) == 0) {
        fd_ = fd;
        address_ = address;
      } else {
        ::close(fd);
      }
    }
  }
  ~LoopbackListener() {
    if (fd_ >= 0) ::close(fd_);
  }
  const std::string& Address() const { return address_; }

 private:
  int fd_ = -1;
  std::string address_;
};

TEST_F(NetworkProtocolTest, TcpFailureIsRepeatedOnTheRediscoveredAddress) {
  LoopbackListener listener;
  ASSERT_FALSE(listener.Address().empty());
  // The device was installed at 127.0.83.2, where nothing listens; it now answers elsewhere.
  transporttest::WriteText(sandbox_.Path("moved.txt"),
                           "00:1B:78:AA:BB:CC " + listener.Address() + "\n");
  setenv("CAVIX_NEIGHBOUR_TABLE", sandbox_.Path("moved.txt").c_str(), 1);
  NetworkProtocol protocol(soap_, &library_);
  protocol.Install("\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.83.2\\guid{}");

  std::vector<std::string> endpoints;
  const int status = RpcRetry::Call(&protocol, [&] {
    endpoints.push_back(protocol.GetEndpoint());
    const int result = soap_connect(soap_, protocol.GetEndpoint(), "");
    soap_closesock(soap_);
    return result;
  });
  EXPECT_EQ(SOAP_OK, status);
  ASSERT_EQ(2u, endpoints.size());
  EXPECT_EQ("http://127.0.83.2:8289", endpoints[0]);
  EXPECT_EQ("http://" + listener.Address() + ":8289", endpoints[1]);
  EXPECT_NE(std::string::npos,
            ReadText(sandbox_.Path("hkcu.reg")).find("\"IpAddress\"=\"" + listener.Address() + "\"\n"));
}

}  // namespace
