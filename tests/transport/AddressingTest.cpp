// Device name fields and the endpoint built from an address.
#include <gtest/gtest.h>

#include "driver/CavixErrors.h"
#include "transport/HostAddress.h"
#include "transport/NetworkDeviceName.h"

namespace {

const char* const kName =
    "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2\\guid{7C2B0E11}";

CAVIX_ERRORS RaisedBy(void (*f)()) {
  try {
    f();
  } catch (CAVIX_ERRORS e) {
    return e;
  }
  return CERR_NONE;
}

TEST(NetworkDeviceName, CutsTheMacAndAddressFields) {
  EXPECT_EQ("00:1B:78:AA:BB:CC", NetworkDeviceName::MacAddress(kName));
  EXPECT_EQ("127.0.0.2", NetworkDeviceName::IpAddress(kName));
  // The first end marker after the start marker ends the field; an empty field is a field.
  EXPECT_EQ("", NetworkDeviceName::CutField("a\\macaddr:\\port\\port", "\\macaddr:", "\\port"));
  EXPECT_EQ("x", NetworkDeviceName::CutField("\\port9\\macaddr:x\\port1", "\\macaddr:", "\\port"));
}

TEST(NetworkDeviceName, AddressFieldTakesTheFirstOfAnIpv6List) {
  EXPECT_EQ("2001:db8::1",
            NetworkDeviceName::IpAddress("\\ipaddr:2001:db8::1 2001:db8::2\\guid{}"));
  EXPECT_EQ("fe80::1", NetworkDeviceName::IpAddress("\\ipaddr:fe80::1\\guid{}"));
  // Without a ':' the field is taken whole, blanks included.
  EXPECT_EQ("10.0.0.1 10.0.0.2", NetworkDeviceName::IpAddress("\\ipaddr:10.0.0.1 10.0.0.2\\guid"));
}

TEST(NetworkDeviceName, MissingMarkersRaiseInvalidParameter) {
  EXPECT_EQ(CERR_INVALID_PARAMETER,
            RaisedBy([] { NetworkDeviceName::IpAddress("\\macaddr:00\\port1\\ipaddr:127.0.0.2"); }));
  EXPECT_EQ(CERR_INVALID_PARAMETER,
            RaisedBy([] { NetworkDeviceName::IpAddress("\\macaddr:00\\port1\\guid{}"); }));
  EXPECT_EQ(CERR_INVALID_PARAMETER,
            RaisedBy([] { NetworkDeviceName::MacAddress("\\ipaddr:127.0.0.2\\guid{}"); }));
  EXPECT_EQ(CERR_INVALID_PARAMETER,
            RaisedBy([] { NetworkDeviceName::MacAddress("\\macaddr:00:1B:78:AA:BB:CC"); }));
}

TEST(HostAddress, EndpointBracketsIpv6Only) {
  EXPECT_EQ("http://127.0.0.2:8289", HostAddress::Endpoint("127.0.0.2"));
  EXPECT_EQ("http://[2001:db8::17]:8289", HostAddress::Endpoint("2001:db8::17"));
  EXPECT_EQ("http://[::1]:8289", HostAddress::Endpoint("::1"));
  EXPECT_EQ("http://[fe80::1%eth0]:8289", HostAddress::Endpoint("fe80::1%eth0"));
  EXPECT_EQ("http://scanner-3.office.example:8289", HostAddress::Endpoint("scanner-3.office.example"));
  EXPECT_EQ("http://localhost:8289", HostAddress::Endpoint("localhost"));
}

TEST(HostAddress, RefusesWhatCouldChangeTheRequestTargetOrPath) {
  const char* const refused[] = {
      "",                         // nothing
      "127.0.0.2/admin",          // a path
      "127.0.0.2:80",             // a port
      "evil@127.0.0.2",           // user information
      "127.0.0.2?x",              // a query
      "127.0.0.2#x",              // a fragment
      "127.0.0.2 ",               // a blank
      "scanner\r\nHost: x",       // header injection
      "[::1]",                    // brackets are added, not accepted
      "2001:db8::1%eth0",         // a zone on an address that is not link-local
      "fe80::1%",                 // an empty zone
      "fe80::1%eth0/x",           // a zone that is not an interface name
      "2001:db8::zz",             // not hexadecimal
      "1.2.3.999",                // neither a dotted quad nor a host name
      "-scanner",                 // a label starting with '-'
      "scanner-.example",         // a label ending with '-'
      "scanner..example",         // an empty label
      "scanner.example.",         // a trailing dot
      "sc_anner",                 // not a host name character
  };
  for (const char* address : refused) {
    EXPECT_FALSE(HostAddress::IsUsable(address)) << address;
    EXPECT_EQ("", HostAddress::Endpoint(address)) << address;
  }
  // A NUL after a valid address: the C string the endpoint becomes would end before the port.
  for (const std::string& address : {std::string("127.0.0.2\0evil", 14), std::string("fe80::21b:78f\0\0f:1", 18),
                                     std::string("scanner\0", 8)}) {
    EXPECT_FALSE(HostAddress::IsUsable(address)) << address.c_str();
    EXPECT_EQ("", HostAddress::Endpoint(address)) << address.c_str();
  }
  EXPECT_FALSE(HostAddress::IsUsable(std::string(64, 'a')));   // label over 63
  EXPECT_TRUE(HostAddress::IsUsable(std::string(63, 'a')));
  std::string longName;
  for (int i = 0; i < 64; ++i) longName += "abc.";
  longName += "example";                                        // 263 characters
  EXPECT_FALSE(HostAddress::IsUsable(longName));
}

}  // namespace
