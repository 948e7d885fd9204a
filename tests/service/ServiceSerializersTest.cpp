// The elements of the operations the driver never sends: written and read by their
// serializers in the same literal form as the rest of the schema.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "service/WscnService.h"
#include "tests/service/ServiceTestSupport.h"
#include "tests/service/XmlCanon.h"

namespace {

template <typename Element>
std::string Written(int (*write)(struct soap*, const Element*), const Element& element) {
  TestContext soap;
  soap.get()->encodingStyle = nullptr;
  std::ostringstream out;
  soap.get()->os = &out;
  EXPECT_EQ(SOAP_OK, write(soap, &element));
  return CanonicalXml(out.str());
}

// Canonical text of one hand-written element under the wscn prefix.
std::string Hand(const std::string& element) {
  return CanonicalXml("<?xml version=\"1.0\"?>" + element.substr(0, element.find('>')) +
                      " xmlns:wscn=\"http://tempuri.org/wscn.xsd\"" +
                      element.substr(element.find('>')));
}

TEST(ServiceSerializersTest, NeverSentRequestsAndResponsesWriteLiterally) {
  wscn__ScanDestinationType destination;
  destination.ClientDisplayName = const_cast<char*>("Office PC");
  destination.Hostname = const_cast<char*>("pc-1");
  destination.port = 8289;

  wscn__SubscribeScanDestination subscribe{};
  subscribe.destination = &destination;
  EXPECT_EQ(Hand("<wscn:SubscribeScanDestination><destination>"
                 "<ClientDisplayName>Office PC</ClientDisplayName><Hostname>pc-1</Hostname>"
                 "<port>8289</port></destination></wscn:SubscribeScanDestination>"),
            Written(soap_write_wscn__SubscribeScanDestination, subscribe));

  wscn__RemoveScanDestination remove{};
  remove.destination = &destination;
  EXPECT_EQ(Hand("<wscn:RemoveScanDestination><destination>"
                 "<ClientDisplayName>Office PC</ClientDisplayName><Hostname>pc-1</Hostname>"
                 "<port>8289</port></destination></wscn:RemoveScanDestination>"),
            Written(soap_write_wscn__RemoveScanDestination, remove));

  wscn__RemoveScanDestinationByHostname byHost{};
  byHost.hostname = const_cast<char*>("pc-1");
  EXPECT_EQ(Hand("<wscn:RemoveScanDestinationByHostname><hostname>pc-1</hostname>"
                 "</wscn:RemoveScanDestinationByHostname>"),
            Written(soap_write_wscn__RemoveScanDestinationByHostname, byHost));

  wscn__Ping ping{};
  EXPECT_EQ(Hand("<wscn:Ping></wscn:Ping>"), Written(soap_write_wscn__Ping, ping));
  wscn__GetScanDestinations destinations{};
  EXPECT_EQ(Hand("<wscn:GetScanDestinations></wscn:GetScanDestinations>"),
            Written(soap_write_wscn__GetScanDestinations, destinations));

  wscn__PingResponse pong{};
  pong.param_6 = 1;
  EXPECT_EQ(Hand("<wscn:PingResponse><param-6>1</param-6></wscn:PingResponse>"),
            Written(soap_write_wscn__PingResponse, pong));
  wscn__SubscribeScanDestinationResponse subscribed{};
  subscribed.succeeded = true;
  EXPECT_EQ(Hand("<wscn:SubscribeScanDestinationResponse><succeeded>true</succeeded>"
                 "</wscn:SubscribeScanDestinationResponse>"),
            Written(soap_write_wscn__SubscribeScanDestinationResponse, subscribed));
  wscn__RemoveScanDestinationByHostnameResponse removed{};
  EXPECT_EQ(Hand("<wscn:RemoveScanDestinationByHostnameResponse><succeeded>false</succeeded>"
                 "</wscn:RemoveScanDestinationByHostnameResponse>"),
            Written(soap_write_wscn__RemoveScanDestinationByHostnameResponse, removed));
}

TEST(ServiceSerializersTest, ScanDestinationsResponseReadsItsArray) {
  std::istringstream in(R"(<?xml version="1.0"?>
    <w:GetScanDestinationsResponse xmlns:w="http://tempuri.org/wscn.xsd"
        xmlns:enc="http://schemas.xmlsoap.org/soap/encoding/">
     <destinations enc:arrayType="w:ScanDestinationType[2]">
      <item><port>1</port><Hostname>a</Hostname><URL>http://a/</URL></item>
      <item><ClientContext>ctx</ClientContext><port>2</port></item>
     </destinations>
    </w:GetScanDestinationsResponse>)");
  TestContext soap;
  soap.get()->is = &in;
  wscn__GetScanDestinationsResponse response{};
  ASSERT_EQ(SOAP_OK, soap_read_wscn__GetScanDestinationsResponse(soap, &response));
  ASSERT_NE(nullptr, response.destinations);
  ASSERT_EQ(2, response.destinations->__size);
  const wscn__ScanDestinationType* items = response.destinations->__ptr;
  EXPECT_EQ(1, items[0].port);
  EXPECT_STREQ("a", items[0].Hostname);
  EXPECT_STREQ("http://a/", items[0].URL);
  EXPECT_EQ(nullptr, items[0].ClientContext);
  EXPECT_EQ(2, items[1].port);
  EXPECT_STREQ("ctx", items[1].ClientContext);
  EXPECT_EQ(nullptr, items[1].Hostname);
}

}  // namespace
