// The discovery library libzkdisc01.so through its seven C functions (loaded with dlopen as
// the driver does), and its sources: the fixture format, rtnetlink dumps and WS-Discovery
// messages; and the cleaning of texts taken from the network.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/transport/TransportTestSupport.h"
#include "transport/DiscoveryLibrary.h"
#include "platform/NetworkText.h"
#include "transport/NeighbourTable.h"
#include "transport/WsDiscovery.h"
#include "transport/zkdisc01.h"

namespace {

TEST(NeighbourTable, CanonicalMacAcceptsColonsOrHyphensInAnyCase) {
  std::string mac;
  EXPECT_TRUE(NeighbourTable::CanonicalMac("00:1B:78:AA:bb:Cc", mac));
  EXPECT_EQ("00:1b:78:aa:bb:cc", mac);
  EXPECT_TRUE(NeighbourTable::CanonicalMac("00-1b-78-aa-bb-cc", mac));
  EXPECT_EQ("00:1b:78:aa:bb:cc", mac);
  for (const char* bad : {"00:1b:78:aa:bb", "00:1b:78:aa:bb:cc:dd", "00-1b:78:aa:bb:cc",
                          "001b78aabbcc", "00:1b:78:aa:bb:cg", "", "00.1b.78.aa.bb.cc"}) {
    EXPECT_FALSE(NeighbourTable::CanonicalMac(bad, mac)) << bad;
  }
}

TEST(NeighbourTable, FixtureLinesCommentsAndSkippedTokens) {
  std::istringstream in(
      "# devices\n"
      "\n"
      "00:1B:78:AA:BB:CC 127.0.0.3\t2001:db8::1 # trailing comment 127.0.0.9\n"
      "   00-1b-78-11-22-33   127.0.0.40  \n"
      "not-a-mac 127.0.0.50\n"
      "00:1b:78:aa:bb:cc 127.0.0.4 host.example 2001:db8::2 10.0.0.1\n");
  std::vector<std::string> skipped;
  const auto devices = NeighbourTable::ParseFixture(in, &skipped);
  ASSERT_EQ(3u, devices.size());
  EXPECT_EQ("00:1b:78:aa:bb:cc", devices[0].mac);
  EXPECT_EQ(std::vector<std::string>{"127.0.0.3"}, devices[0].ipv4);
  EXPECT_EQ(std::vector<std::string>{"2001:db8::1"}, devices[0].ipv6);
  EXPECT_EQ("00:1b:78:11:22:33", devices[1].mac);
  EXPECT_EQ((std::vector<std::string>{"127.0.0.4", "10.0.0.1"}), devices[2].ipv4);
  EXPECT_EQ(std::vector<std::string>{"2001:db8::2"}, devices[2].ipv6);
  EXPECT_EQ((std::vector<std::string>{"line 5: MAC address not-a-mac", "line 6: address host.example"}),
            skipped);
  EXPECT_EQ(2u, NeighbourTable::Select(devices, "00:1b:78:aa:bb:cc").size());
  EXPECT_EQ(0u, NeighbourTable::Select(devices, "00:1b:78:aa:bb:cd").size());
}

TEST(NetworkText, ControlsAndBadUtf8AreReplacedAndTheTextCapped) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::string raw;
    size_t cap;
    std::string clean;
  } kCases[] = {
      {"vqm440 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 256, "vqm440 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\x1b]0;title\x07\r\nx\t\x7f", 256, r + "]0;title" + r + r + r + "x" + r + r},
      {"\xC2\x9B" "2J", 256, r + "2J"},                           // C1 control (CSI)
      {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xC3", 256, r + r + r + r + r + r + r + r + r + r},
      {"a\xE2\x82", 256, "a" + r + r},                            // cut sequence
      {"\xC3\xA9\xC3\xA9\xC3\xA9", 2, "\xC3\xA9\xC3\xA9"},   // cap counts characters
      {std::string("a\0b", 3), 256, "a" + r + "b"},
  };
  for (const auto& c : kCases) EXPECT_EQ(c.clean, NetworkText::Clean(c.raw, c.cap)) << c.raw;
  EXPECT_EQ(std::string(256, 'm'), NetworkText::Clean(std::string(10u << 20, 'm')));
  EXPECT_EQ("", NetworkText::FromC(nullptr));
}

TEST(WsDiscovery, ReadsWhatDiscoveryNeedsFromAHandWrittenProbeMatches) {
  const std::string matches =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
      "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
      "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\">\n"
      "<s:Header><a:Action s:mustUnderstand=\"1\">\n  http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</a:Action>"
      "<a:MessageID>urn:uuid:2</a:MessageID><a:RelatesTo>urn:uuid:1</a:RelatesTo>"
      "<d:AppSequence InstanceId=\"7\" MessageNumber=\"3\"/></s:Header>"
      "<s:Body><d:ProbeMatches><d:ProbeMatch><a:EndpointReference><a:Address>urn:uuid:dev</a:Address>"
      "</a:EndpointReference><d:Types>wscn:ScanDeviceType</d:Types>"
      "<d:XAddrs>http://192.0.2.7:8289/x?a=1&amp;b=2  http://[fe80::7%25eth0]:8289/ http://host.example/"
      " http://[fe80::7%25e[x]:8289/</d:XAddrs>"
      "</d:ProbeMatch></d:ProbeMatches></s:Body></s:Envelope>";
  WsDiscovery::Message m;
  ASSERT_TRUE(WsDiscovery::Parse(matches.data(), matches.size(), &m));
  EXPECT_EQ("ProbeMatches", m.action);
  EXPECT_EQ("urn:uuid:1", m.relatesTo);
  EXPECT_EQ("urn:uuid:dev", m.endpoint);
  ASSERT_EQ(4u, m.xaddrs.size());
  EXPECT_EQ("http://192.0.2.7:8289/x?a=1&b=2", m.xaddrs[0]);
  const std::string hosts[] = {"192.0.2.7", "fe80::7%eth0", "", ""};  // no names, no zone that is none
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(hosts[i], WsDiscovery::HostOf(m.xaddrs[i])) << m.xaddrs[i];
  EXPECT_EQ("", WsDiscovery::HostOf(std::string("http://[fe80::7\0x]/", 19)));
  // A Resolve names the endpoint a ProbeMatch gave, escaped.
  EXPECT_NE(std::string::npos, WsDiscovery::Resolve("urn:uuid:3", "urn:x&<y>")
                                   .find("<wsd:Resolve><wsa:EndpointReference><wsa:Address>urn:x&amp;&lt;y&gt;</wsa:Address>"));
  // What this side writes reads back; what is not an envelope, or is cut, does not.
  ASSERT_TRUE(WsDiscovery::Parse(WsDiscovery::Probe("urn:uuid:9").data(), WsDiscovery::Probe("urn:uuid:9").size(), &m));
  EXPECT_EQ("Probe", m.action);
  EXPECT_EQ("urn:uuid:9", m.messageId);
  for (const std::string& bad : {std::string("<Action>Probe</Action>"), matches.substr(0, 40), std::string()})
    EXPECT_FALSE(WsDiscovery::Parse(bad.data(), bad.size(), &m)) << bad;
}

// Appends one RTM_NEWNEIGH message to a dump.
void AddNeighbour(std::vector<char>& dump, unsigned char family, uint16_t state,
                  const std::string& address, const unsigned char* mac) {
  unsigned char dst[16];
  const std::size_t dstLength = family == AF_INET ? 4 : 16;
  inet_pton(family, address.c_str(), dst);
  const std::size_t length = NLMSG_LENGTH(sizeof(ndmsg)) + RTA_SPACE(dstLength) +
                             (mac ? RTA_SPACE(6) : 0);
  std::vector<char> message(NLMSG_ALIGN(length), 0);
  auto* h = reinterpret_cast<nlmsghdr*>(message.data());
  h->nlmsg_len = static_cast<uint32_t>(length);
  h->nlmsg_type = RTM_NEWNEIGH;
  auto* nd = static_cast<ndmsg*>(NLMSG_DATA(h));
  nd->ndm_family = family;
  nd->ndm_state = state;
  auto* a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(nd) + NLMSG_ALIGN(sizeof(ndmsg)));
  a->rta_type = NDA_DST;
  a->rta_len = static_cast<unsigned short>(RTA_LENGTH(dstLength));
  std::memcpy(RTA_DATA(a), dst, dstLength);
  if (mac) {
    a = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(a) + RTA_SPACE(dstLength));
    a->rta_type = NDA_LLADDR;
    a->rta_len = static_cast<unsigned short>(RTA_LENGTH(6));
    std::memcpy(RTA_DATA(a), mac, 6);
  }
  dump.insert(dump.end(), message.begin(), message.end());
}

TEST(NeighbourTable, KernelDumpGroupsResolvedEntriesByMac) {
  const unsigned char ours[6] = {0x00, 0x1b, 0x78, 0xaa, 0xbb, 0xcc};
  const unsigned char other[6] = {0x00, 0x1b, 0x78, 0x11, 0x22, 0x33};
  std::vector<char> dump;
  AddNeighbour(dump, AF_INET, NUD_REACHABLE, "192.168.1.20", ours);
  AddNeighbour(dump, AF_INET, NUD_STALE, "192.168.1.30", other);
  AddNeighbour(dump, AF_INET6, NUD_STALE, "fe80::21b:78ff:feaa:bbcc", ours);  // on an interface with no name
  AddNeighbour(dump, AF_INET6, NUD_DELAY, "2001:db8::20", ours);
  AddNeighbour(dump, AF_INET, NUD_FAILED, "192.168.1.21", ours);       // unresolved
  AddNeighbour(dump, AF_INET, NUD_INCOMPLETE, "192.168.1.22", nullptr);
  AddNeighbour(dump, AF_INET, NUD_STALE, "192.168.2.20", ours);        // second interface
  AddNeighbour(dump, AF_INET, NUD_REACHABLE, "192.168.1.20", ours);    // listed twice
  std::vector<NeighbourDevice> devices;
  NeighbourTable::ParseNeighbourDump(dump.data(), dump.size(), devices);
  ASSERT_EQ(2u, devices.size());
  EXPECT_EQ("00:1b:78:aa:bb:cc", devices[0].mac);
  EXPECT_EQ((std::vector<std::string>{"192.168.1.20", "192.168.2.20"}), devices[0].ipv4);
  EXPECT_EQ(std::vector<std::string>{"2001:db8::20"}, devices[0].ipv6);
  EXPECT_EQ(std::vector<std::string>{"192.168.1.30"}, devices[1].ipv4);
  // A dump cut in the middle of a message stops at the last whole one.
  std::vector<NeighbourDevice> truncated;
  NeighbourTable::ParseNeighbourDump(dump.data(), dump.size() / 2 + 3, truncated);
  EXPECT_LE(truncated.size(), 2u);
}

TEST(NeighbourTable, KernelTablesGiveCanonicalMacsAndLiterals) {
  // Reads the tables only: no probe, so no traffic leaves the machine.
  std::vector<NeighbourDevice> devices;
  if (!NeighbourTable::ReadKernel(devices)) GTEST_SKIP() << "rtnetlink is not available here";
  for (const auto& d : devices) {
    std::string mac;
    EXPECT_TRUE(NeighbourTable::CanonicalMac(d.mac, mac) && mac == d.mac) << d.mac;
    EXPECT_FALSE(d.ipv4.empty() && d.ipv6.empty()) << d.mac;
    unsigned char raw[16];
    for (const auto& a : d.ipv4) EXPECT_EQ(1, inet_pton(AF_INET, a.c_str(), raw)) << a;
    for (const auto& a : d.ipv6) {
      EXPECT_EQ(1, inet_pton(AF_INET6, a.substr(0, a.find('%')).c_str(), raw)) << a;
      EXPECT_EQ(a.compare(0, 4, "fe80") == 0, a.find('%') != std::string::npos) << a << ": a zone on link-local only";
    }
  }
}

// The library as the driver binds it.
class Zkdisc01 : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanError failure;
    sdi_ = library_.Functions(&failure);
    ASSERT_NE(nullptr, sdi_) << failure.Text();
  }
  transporttest::Sandbox sandbox_;
  DiscoveryLibrary library_{{CAVIX_ZKDISC01_PATH}};
  const DiscoveryFunctions* sdi_ = nullptr;
};

TEST_F(Zkdisc01, ExportsExactlyTheSevenFunctions) {
  void* handle = dlopen(CAVIX_ZKDISC01_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle);
  EXPECT_EQ(nullptr, dlsym(handle, "_ZN14NeighbourTable6ProbeEv"));
  EXPECT_NE(nullptr, dlsym(handle, "SDI_getIPv6Addresses"));
  dlclose(handle);
}

TEST_F(Zkdisc01, SessionFindsTheDeviceInTheFixture) {
  sandbox_.UseNeighbourTable("neighbours_moved.txt");
  uint32_t count = 99;
  EXPECT_EQ(SDI_ERR_NOT_STARTED, sdi_->discoverMAC("00:1B:78:AA:BB:CC", 0, 0, 0));
  ASSERT_EQ(SDI_OK, sdi_->startup(1));
  EXPECT_EQ(SDI_ERR_ALREADY_STARTED, sdi_->startup(1));
  EXPECT_EQ(SDI_OK, sdi_->setLoggingLevel(0));
  EXPECT_EQ(SDI_ERR_BAD_ARGUMENT, sdi_->discoverMAC("00:1B:78:AA:BB", 0, 0, 0));
  ASSERT_EQ(SDI_OK, sdi_->discoverMAC("00-1b-78-aa-bb-cc", 0, 0, 0));
  ASSERT_EQ(SDI_OK, sdi_->getNumDiscoveredDevices(&count));
  EXPECT_EQ(1u, count);
  char buffer[64];
  uint32_t v4 = 0;
  ASSERT_EQ(SDI_OK, sdi_->getIPAddress(0, buffer, sizeof buffer, &v4));
  EXPECT_STREQ("127.0.0.3", buffer);
  EXPECT_EQ(1u, v4);
  EXPECT_EQ(SDI_ERR_NO_DEVICE, sdi_->getIPAddress(1, buffer, sizeof buffer, &v4));
  uint32_t length = 7;
  ASSERT_EQ(SDI_OK, sdi_->getIPv6Addresses(0, nullptr, 0, &count, &length));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(0u, length);
  EXPECT_EQ(SDI_OK, sdi_->shutdown(1));
  EXPECT_EQ(SDI_ERR_NOT_STARTED, sdi_->shutdown(1));
}

TEST_F(Zkdisc01, AnswersThatDoNotFitAreRefusedNotCut) {
  sandbox_.UseNeighbourTable("neighbours_ipv6.txt");
  ASSERT_EQ(SDI_OK, sdi_->startup(1));
  ASSERT_EQ(SDI_OK, sdi_->discoverMAC("00:1B:78:AA:BB:CC", 0, 0, 0));
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  uint32_t v4 = 9;
  // "0.0.0.0" and its NUL need 8 bytes.
  EXPECT_EQ(SDI_ERR_BUFFER_TOO_SMALL, sdi_->getIPAddress(0, buffer, 7, &v4));
  EXPECT_EQ('x', buffer[0]);
  ASSERT_EQ(SDI_OK, sdi_->getIPAddress(0, buffer, 8, &v4));
  EXPECT_STREQ("0.0.0.0", buffer);
  EXPECT_EQ(0u, v4);

  const std::string list = "2001:db8::17 2001:db8::18";
  uint32_t count = 0;
  uint32_t length = 0;
  ASSERT_EQ(SDI_OK, sdi_->getIPv6Addresses(0, nullptr, 0, &count, &length));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(list.size() + 1, length);
  std::vector<char> text(length, 'x');
  EXPECT_EQ(SDI_ERR_BUFFER_TOO_SMALL, sdi_->getIPv6Addresses(0, text.data(), length - 1, &count, &length));
  EXPECT_EQ('x', text[0]);
  ASSERT_EQ(SDI_OK, sdi_->getIPv6Addresses(0, text.data(), length, &count, &length));
  EXPECT_EQ(list, std::string(text.data()));
  EXPECT_EQ(SDI_OK, sdi_->shutdown(1));
}

TEST_F(Zkdisc01, EachThreadHasItsOwnSession) {
  sandbox_.UseNeighbourTable("neighbours_two.txt");
  ASSERT_EQ(SDI_OK, sdi_->startup(1));
  ASSERT_EQ(SDI_OK, sdi_->discoverMAC("00:1B:78:AA:BB:CC", 0, 0, 0));
  int32_t otherStart = -1;
  int32_t otherShutdown = -1;
  std::thread other([&] {
    otherStart = sdi_->startup(1);
    otherShutdown = sdi_->shutdown(1);
  });
  other.join();
  EXPECT_EQ(SDI_OK, otherStart);
  EXPECT_EQ(SDI_OK, otherShutdown);
  uint32_t count = 0;
  ASSERT_EQ(SDI_OK, sdi_->getNumDiscoveredDevices(&count));
  EXPECT_EQ(2u, count);
  EXPECT_EQ(SDI_OK, sdi_->shutdown(1));
}

TEST_F(Zkdisc01, UnreadableFixtureIsASourceError) {
  setenv("CAVIX_NEIGHBOUR_TABLE", sandbox_.Path("missing.txt").c_str(), 1);
  ASSERT_EQ(SDI_OK, sdi_->startup(1));
  EXPECT_EQ(SDI_ERR_SOURCE, sdi_->discoverMAC("00:1B:78:AA:BB:CC", 0, 0, 0));
  uint32_t count = 5;
  ASSERT_EQ(SDI_OK, sdi_->getNumDiscoveredDevices(&count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(SDI_OK, sdi_->shutdown(1));
}

}  // namespace
